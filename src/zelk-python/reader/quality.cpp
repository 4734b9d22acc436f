// decode_qualities_bytes and quality_needs_sequence_bytes: in-memory, with
// the interpreter lock held.
#include "zelk-fqzcomp/quality.h"
#include "zelk-python/common/py.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

namespace {

// One bytes object per read, cut from the concatenated qualities.
PyObject* split_per_read(const quality::DecodedQualities& decoded) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(decoded.read_lengths.size())));
  if (!list) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < decoded.read_lengths.size(); ++i) {
    PyObject* item = bytes_from(ByteSpan(decoded.qualities).subspan(at, decoded.read_lengths[i]));
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    at += decoded.read_lengths[i];
  }
  return list.release();
}

}  // namespace

PyObject* py_decode_qualities_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", "seq", nullptr};
  PyObject* coded;
  PyObject* seq = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!|O:decode_qualities_bytes", const_cast<char**>(keywords),
                                   &PyBytes_Type, &coded, &seq))
    return nullptr;
  if (seq != Py_None && !PyBytes_Check(seq)) {
    PyErr_SetString(PyExc_TypeError, "decode_qualities_bytes() argument 'seq' must be bytes or None");
    return nullptr;
  }
  ByteSpan sequence = seq == Py_None ? ByteSpan{} : bytes_view(seq);
  auto decoded = quality::decode_quality_stream(bytes_view(coded), sequence, nullptr);
  if (!decoded) return raise_archive_error(module_state(module)->zelk_error, decoded.error());
  return split_per_read(*decoded);
}

PyObject* py_quality_needs_sequence_bytes(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", nullptr};
  PyObject* coded;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:quality_needs_sequence_bytes", const_cast<char**>(keywords),
                                   &PyBytes_Type, &coded))
    return nullptr;
  return PyBool_FromLong(quality::quality_needs_sequence(bytes_view(coded)));
}

}  // namespace zelk::py
