// Shared pieces of the _zelk_writer module: its state and the method
// tables each area contributes.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-container/reordered_writer.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/arguments.h"

namespace zelk::py {

struct WriterState {
  PyObject* zelk_error;  // _zelk.ZelkError, so both modules raise one type
  PyObject* fastq_input_type;
};

WriterState* writer_state(PyObject* module);
// The state of the _zelk_writer module that defined `type`.
WriterState* writer_state_of_type(PyTypeObject* type);
// Raises `error` as _zelk would; returns nullptr.
PyObject* raise_writer_error(PyObject* module, const ArchiveError& error);

// One method-table entry for a keyword-taking function `py_<name>`.
#define ZELK_WRITER_FN(name, doc) ZELK_METHOD(name, METH_VARARGS | METH_KEYWORDS, doc)

// Method tables of the areas, added to the module in this order.
extern PyMethodDef container_methods[];
extern PyMethodDef checksum_methods[];
extern PyMethodDef archive_methods[];
extern PyMethodDef rans_methods[];
extern PyMethodDef names_methods[];
extern PyMethodDef sequence_methods[];
extern PyMethodDef reference_methods[];
extern PyMethodDef quality_methods[];
extern PyMethodDef block_methods[];

// Adds the streaming writer's classes, ArchiveStream and FastqInput.
int add_stream_types(PyObject* module);
extern PyMethodDef reorder_methods[];

// write_archive's `layout` keyword: 1 for "reordered", 0 for "plain" or
// absent (the keyword is then removed from `kwargs`), -1 with an exception
// set for anything else.
int requested_layout(PyObject* kwargs);
// write_archive(records, layout="reordered", ...).
PyObject* write_reordered_archive(PyObject* module, PyObject* args, PyObject* kwargs);
// The keyword options of the reordered layout (`layout` among them), for
// `function`'s messages; false with an exception set on a bad one.
bool reordered_options_from(PyObject* kwargs, const char* function, container::ArchiveOptions& options,
                            container::ReorderedOptions& reordered);

}  // namespace zelk::py
