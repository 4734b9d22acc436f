// Conversion of the `source` argument and of path arguments.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "zelk-base/io.h"

namespace zelk::py {

// bytes (copied) or a path (opened). Returns nullptr with a Python
// exception set on failure.
std::unique_ptr<Source> source_from_bytes_or_path(PyObject* arg);
// As above, or any object with a `read` attribute (read with the
// interpreter lock taken).
std::unique_ptr<Source> source_from_any(PyObject* arg);

// Registers the atexit hook after which file-like sources no longer call
// into Python (decode threads may outlive the interpreter). False with an
// exception set on failure.
bool register_exit_hook();
// A str or os.PathLike argument as a filesystem path; false with a Python
// exception set on failure.
bool path_from(PyObject* arg, std::string& path);

// The output `dest` names: a path, created (or truncated), or an open file
// descriptor (an int), written at its position and left open; nullptr with
// OSError "{dest}: {os message}" set on failure.
std::unique_ptr<OutputFile> output_file_from(PyObject* dest);

// The Python text of an open failure: "{path}: {os message}".
PyObject* raise_open_error(const std::string& path, const ArchiveError& error);

}  // namespace zelk::py
