// decode_sequences_bytes: one fetched sequence stream, decoded and split
// per read.
#include "zelk-bytes/sequence.h"
#include "zelk-python/common/py.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/state.h"

namespace zelk::py {

namespace {

// One bytes object per read; the lengths must fit inside `bases`.
PyObject* split_per_read(PyObject* zelk_error, const seq::SequenceBlock& block) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(block.read_lengths.size())));
  if (!list) return nullptr;
  uint64_t offset = 0;
  for (size_t i = 0; i < block.read_lengths.size(); ++i) {
    uint32_t length = block.read_lengths[i];
    if (block.bases.size() - offset < length)
      return raise_archive_error(zelk_error, ArchiveError::malformed("sequence shorter than declared read lengths"));
    PyObject* read = bytes_from(ByteSpan(block.bases).subspan(offset, length));
    if (!read) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), read);
    offset += length;
  }
  return list.release();
}

}  // namespace

PyObject* py_decode_sequences_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", nullptr};
  PyObject* coded;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!:decode_sequences_bytes", const_cast<char**>(keywords),
                                   &PyBytes_Type, &coded))
    return nullptr;
  PyObject* zelk_error = module_state(module)->zelk_error;
  auto block = seq::decode_sequence_stream(bytes_view(coded));
  if (!block) return raise_archive_error(zelk_error, block.error());
  return split_per_read(zelk_error, *block);
}

}  // namespace zelk::py
