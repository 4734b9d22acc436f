// The _zelk_writer extension module: encoders and archive writers built on
// the same core as _zelk.
#include "zelk-python/writer/writer.h"

#include "zelk-python/common/py.h"

namespace zelk::py {

namespace {

PyMethodDef* const kAreaMethods[] = {container_methods, checksum_methods, archive_methods, rans_methods,
                                     names_methods,     sequence_methods, quality_methods,
                                     reorder_methods};

int module_exec(PyObject* module) {
  PyRef reader_module(PyImport_ImportModule("_zelk"));
  if (!reader_module) return -1;
  WriterState* state = writer_state(module);
  state->zelk_error = PyObject_GetAttrString(reader_module.get(), "ZelkError");
  if (!state->zelk_error) return -1;
  for (PyMethodDef* methods : kAreaMethods)
    if (PyModule_AddFunctions(module, methods) < 0) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(writer_state(module)->zelk_error);
  return 0;
}

int module_clear(PyObject* module) {
  Py_CLEAR(writer_state(module)->zelk_error);
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

bool bytes_sequence(PyObject* arg, std::vector<std::string>& out) {
  PyRef items(PySequence_Fast(arg, "expected a sequence of bytes"));
  if (!items) return false;
  Py_ssize_t count = PySequence_Size(items.get());
  out.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item(PySequence_GetItem(items.get(), i));
    if (!item) return false;
    if (!PyBytes_Check(item.get())) {
      PyErr_SetString(PyExc_TypeError, "expected a sequence of bytes");
      return false;
    }
    ByteSpan data = bytes_view(item.get());
    out.emplace_back(data.begin(), data.end());
  }
  return true;
}

}  // namespace zelk::py

PyMODINIT_FUNC PyInit__zelk_writer(void) { return PyModuleDef_Init(&zelk::py::module_def); }
