// Shared pieces of the _zelk_writer module: its state and the method
// tables each area contributes.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::py {

struct WriterState {
  PyObject* zelk_error;  // _zelk.ZelkError, so both modules raise one type
};

WriterState* writer_state(PyObject* module);
// Raises `error` as _zelk would; returns nullptr.
PyObject* raise_writer_error(PyObject* module, const ArchiveError& error);

// Optional integer keyword: None or absent leaves `out` empty. False with
// an exception set on a bad value.
bool optional_u64(PyObject* arg, std::optional<uint64_t>& out);
bool optional_u32(PyObject* arg, std::optional<uint32_t>& out);
// A sequence of bytes objects, copied.
bool bytes_sequence(PyObject* arg, std::vector<std::string>& out);

// One method-table entry for a keyword-taking function `py_<name>`.
#define ZELK_WRITER_FN(name, doc)                                                        \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)),         \
   METH_VARARGS | METH_KEYWORDS, doc}

// Method tables of the areas, added to the module in this order.
extern PyMethodDef container_methods[];
extern PyMethodDef checksum_methods[];
extern PyMethodDef archive_methods[];
extern PyMethodDef rans_methods[];
extern PyMethodDef names_methods[];
extern PyMethodDef sequence_methods[];
extern PyMethodDef quality_methods[];
extern PyMethodDef reorder_methods[];

// write_archive's `layout` keyword: 1 for "reordered", 0 for "plain" or
// absent (the keyword is then removed from `kwargs`), -1 with an exception
// set for anything else.
int requested_layout(PyObject* kwargs);
// write_archive(records, layout="reordered", ...).
PyObject* write_reordered_archive(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace zelk::py
