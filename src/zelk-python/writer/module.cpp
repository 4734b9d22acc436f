// The _zelk_writer extension module: encoders and archive writers built on
// the same core as _zelk.
#include "zelk-python/writer/writer.h"

#include "zelk-python/common/py.h"

namespace zelk::py {

namespace {

PyMethodDef* const kAreaMethods[] = {container_methods, checksum_methods, archive_methods, rans_methods,
                                     names_methods,     sequence_methods, quality_methods};

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

bool optional_u64(PyObject* arg, std::optional<uint64_t>& out) {
  if (!arg || arg == Py_None) return true;
  unsigned long long value = PyLong_AsUnsignedLongLong(arg);
  if (PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool optional_u32(PyObject* arg, std::optional<uint32_t>& out) {
  std::optional<uint64_t> wide;
  if (!optional_u64(arg, wide)) return false;
  if (wide && *wide > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value does not fit in 32 bits");
    return false;
  }
  if (wide) out = static_cast<uint32_t>(*wide);
  return true;
}

bool text_bytes(PyObject* arg, std::string& out) {
  if (PyBytes_Check(arg)) {
    ByteSpan data = bytes_view(arg);
    out.assign(data.begin(), data.end());
    return true;
  }
  if (PyUnicode_Check(arg)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<size_t>(size));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "expected bytes or str");
  return false;
}

bool bytes_sequence(PyObject* arg, std::vector<std::string>& out) {
  PyRef items(PySequence_Fast(arg, "expected a sequence of bytes or str"));
  if (!items) return false;
  Py_ssize_t count = PySequence_Size(items.get());
  out.resize(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item(PySequence_GetItem(items.get(), i));
    if (!item || !text_bytes(item.get(), out[static_cast<size_t>(i)])) return false;
  }
  return true;
}

}  // namespace zelk::py

PyMODINIT_FUNC PyInit__zelk_writer(void) { return PyModuleDef_Init(&zelk::py::module_def); }
