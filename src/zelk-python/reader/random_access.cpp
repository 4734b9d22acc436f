// Random access by row group and by single coded stream.
#include <optional>
#include <vector>

#include "zelk-container/random_access.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/objects.h"

namespace zelk::py {

namespace {

using container::StreamKind;

bool groups_from(PyObject* arg, std::optional<std::vector<uint64_t>>& groups) {
  if (!arg || arg == Py_None) return true;
  if (PyUnicode_Check(arg) || !PySequence_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "groups must be None or a sequence of row-group indices");
    return false;
  }
  Py_ssize_t count = PySequence_Size(arg);
  if (count < 0) return false;
  groups.emplace();
  groups->reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item(PySequence_GetItem(arg, i));
    if (!item) return false;
    uint64_t group = PyLong_AsUnsignedLongLong(item.get());
    if (PyErr_Occurred()) return false;
    groups->push_back(group);
  }
  return true;
}

PyObject* read_stream_function(const char* format, StreamKind kind, PyObject* module, PyObject* args,
                               PyObject* kwargs) {
  static const char* keywords[] = {"source", "groups", nullptr};
  PyObject *source_arg, *groups_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &source_arg, &groups_arg))
    return nullptr;
  std::optional<std::vector<uint64_t>> groups;
  if (!groups_from(groups_arg, groups)) return nullptr;
  auto source = source_from_bytes_or_path(source_arg);
  if (!source) return nullptr;
  Result<std::vector<std::string>> reads = [&] {
    GilReleased unlocked;
    auto result = container::read_stream(*source, groups, kind);
    source.reset();
    return result;
  }();
  if (!reads) return raise_archive_error(module_state(module)->zelk_error, reads.error());
  return bytes_list(*reads);
}

PyObject* decoded_list(PyObject* module, const Result<std::vector<std::string>>& reads) {
  if (!reads) return raise_archive_error(module_state(module)->zelk_error, reads.error());
  return bytes_list(*reads);
}

// Parses the single `coded` bytes argument.
bool coded_argument(const char* format, PyObject* args, PyObject* kwargs, PyObject*& coded) {
  static const char* keywords[] = {"coded", nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &PyBytes_Type, &coded);
}

}  // namespace

PyObject* py_read_names(PyObject* module, PyObject* args, PyObject* kwargs) {
  return read_stream_function("O|O:read_names", StreamKind::Names, module, args, kwargs);
}

PyObject* py_read_sequences(PyObject* module, PyObject* args, PyObject* kwargs) {
  return read_stream_function("O|O:read_sequences", StreamKind::Sequence, module, args, kwargs);
}

PyObject* py_read_qualities(PyObject* module, PyObject* args, PyObject* kwargs) {
  return read_stream_function("O|O:read_qualities", StreamKind::Quality, module, args, kwargs);
}

PyObject* py_read_block(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "group", nullptr};
  PyObject *source_arg, *group_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:read_block", const_cast<char**>(keywords), &source_arg,
                                   &group_arg))
    return nullptr;
  uint64_t group = PyLong_AsUnsignedLongLong(group_arg);
  if (PyErr_Occurred()) return nullptr;
  auto source = source_from_bytes_or_path(source_arg);
  if (!source) return nullptr;
  Result<std::vector<container::Record>> records = [&] {
    GilReleased unlocked;
    auto result = container::read_block(*source, group);
    source.reset();
    return result;
  }();
  ModuleState* state = module_state(module);
  if (!records) return raise_archive_error(state->zelk_error, records.error());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < records->size(); ++i) {
    PyObject* record = new_record(state, std::move((*records)[i]));
    if (!record) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), record);
  }
  return list.release();
}

PyObject* py_decode_names_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* coded;
  if (!coded_argument("O!:decode_names_bytes", args, kwargs, coded)) return nullptr;
  return decoded_list(module, container::decode_names_stream(bytes_view(coded)));
}

PyObject* py_decode_sequences_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* coded;
  if (!coded_argument("O!:decode_sequences_bytes", args, kwargs, coded)) return nullptr;
  return decoded_list(module, container::decode_sequences_stream(bytes_view(coded)));
}

PyObject* py_decode_qualities_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", "seq", nullptr};
  PyObject *coded, *seq = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O:decode_qualities_bytes", const_cast<char**>(keywords),
                                   &PyBytes_Type, &coded, &seq))
    return nullptr;
  if (seq == Py_None) seq = nullptr;
  if (seq && !PyBytes_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "decode_qualities_bytes() argument 'seq' must be bytes or None");
    return nullptr;
  }
  ByteSpan bases = seq ? bytes_view(seq) : ByteSpan();
  return decoded_list(module, container::decode_qualities_stream(bytes_view(coded), bases));
}

PyObject* py_quality_needs_sequence_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* coded;
  if (!coded_argument("O!:quality_needs_sequence_bytes", args, kwargs, coded)) return nullptr;
  return PyBool_FromLong(container::quality_needs_sequence(bytes_view(coded)));
}

}  // namespace zelk::py
