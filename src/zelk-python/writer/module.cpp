// The _zelk_writer extension module: encoders and archive writers built on
// the same core as _zelk.
#include "zelk-python/writer/writer.h"

#include "zelk-python/common/py.h"

namespace zelk::py {

namespace {

PyMethodDef* const kAreaMethods[] = {container_methods, checksum_methods, archive_methods,  rans_methods,
                                     names_methods,     sequence_methods, reference_methods, quality_methods,
                                     block_methods,     reorder_methods};

int module_exec(PyObject* module) {
  PyRef reader_module(PyImport_ImportModule("zelk._zelk"));
  if (!reader_module) return -1;
  WriterState* state = writer_state(module);
  state->zelk_error = PyObject_GetAttrString(reader_module.get(), "ZelkError");
  if (!state->zelk_error) return -1;
  for (PyMethodDef* methods : kAreaMethods)
    if (PyModule_AddFunctions(module, methods) < 0) return -1;
  return add_stream_types(module);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(writer_state(module)->zelk_error);
  Py_VISIT(writer_state(module)->fastq_input_type);
  return 0;
}

int module_clear(PyObject* module) {
  Py_CLEAR(writer_state(module)->zelk_error);
  Py_CLEAR(writer_state(module)->fastq_input_type);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zelk_writer",
    "Encoders and archive writers: the writing half of zelk.",
    sizeof(WriterState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    nullptr,
};

}  // namespace

WriterState* writer_state(PyObject* module) {
  return static_cast<WriterState*>(PyModule_GetState(module));
}

WriterState* writer_state_of_type(PyTypeObject* type) {
  return static_cast<WriterState*>(PyType_GetModuleState(type));
}

PyObject* raise_writer_error(PyObject* module, const ArchiveError& error) {
  return raise_archive_error(writer_state(module)->zelk_error, error);
}

}  // namespace zelk::py

PyMODINIT_FUNC PyInit__zelk_writer(void) { return PyModuleDef_Init(&zelk::py::module_def); }
