// Writer functions for shared references: the payloads of the reordered
// layout's reference section and of the plain layout's reference frame,
// and their decoders so tests can read them back.
#include "zelk-base/pool.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"
#include "zelk-reorder/reference.h"

namespace zelk::py {

namespace {

std::vector<ByteSpan> spans_of(const std::vector<std::string>& items) {
  std::vector<ByteSpan> spans;
  spans.reserve(items.size());
  for (const auto& item : items) spans.push_back(as_bytes(item));
  return spans;
}

PyObject* contig_list(PyObject* module, const Result<dna::ReferenceSet>& reference) {
  if (!reference) return raise_writer_error(module, reference.error());
  std::vector<std::string> contigs;
  contigs.reserve(reference->contig_count());
  for (size_t k = 0; k < reference->contig_count(); ++k) {
    ByteSpan contig = reference->contig(k);
    contigs.emplace_back(contig.begin(), contig.end());
  }
  return bytes_list(contigs);
}

PyObject* payload_or_error(PyObject* module, const Result<Bytes>& payload) {
  if (!payload) return raise_writer_error(module, payload.error());
  return bytes_from(ByteSpan(*payload));
}

PyObject* py_encode_reorder_reference(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"contigs", "method", nullptr};
  PyObject* contigs_arg;
  int method = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$i:encode_reorder_reference", const_cast<char**>(keywords),
                                   &contigs_arg, &method))
    return nullptr;
  using reorder::ReferenceMethod;
  if (method != static_cast<int>(ReferenceMethod::Single) && method != static_cast<int>(ReferenceMethod::Blocked) &&
      method != static_cast<int>(ReferenceMethod::Refpack)) {
    PyErr_Format(PyExc_ValueError, "reference method must be 0, 1 or 4, not %d", method);
    return nullptr;
  }
  std::vector<std::string> contigs;
  if (!bytes_sequence(contigs_arg, contigs)) return nullptr;
  auto spans = spans_of(contigs);
  return payload_or_error(module,
                          reorder::encode_reorder_reference(spans, static_cast<ReferenceMethod>(method)));
}

PyObject* py_encode_plain_reference(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"contigs", nullptr};
  PyObject* contigs_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:encode_plain_reference", const_cast<char**>(keywords),
                                   &contigs_arg))
    return nullptr;
  std::vector<std::string> contigs;
  if (!bytes_sequence(contigs_arg, contigs)) return nullptr;
  auto spans = spans_of(contigs);
  return payload_or_error(module, reorder::encode_plain_reference(spans));
}

PyObject* py_decode_reorder_reference(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"payload", "threads", nullptr};
  PyObject* payload;
  PyObject* threads_arg = nullptr;
  uint64_t threads;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$O:decode_reorder_reference", const_cast<char**>(keywords),
                                   &payload, &threads_arg) ||
      !threads_from(threads_arg, threads))
    return nullptr;
  WorkerPool pool(WorkerPool::decode_pool_size(threads));
  return contig_list(module, reorder::decode_reorder_reference(bytes_view(payload), pool));
}

PyObject* py_decode_plain_reference(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"payload", nullptr};
  PyObject* payload;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:decode_plain_reference", const_cast<char**>(keywords),
                                   &payload))
    return nullptr;
  return contig_list(module, reorder::decode_plain_reference(bytes_view(payload)));
}

}  // namespace

PyMethodDef reference_methods[] = {
    ZELK_WRITER_FN(encode_reorder_reference,
                   "encode_reorder_reference(contigs, *, method=0)\n--\n\n"
                   "The reordered layout's reference section payload for `contigs` (a list\n"
                   "of bytes): method 0 (one sequence stream), 1 (blocks of contigs) or 4\n"
                   "(refpack)."),
    ZELK_WRITER_FN(encode_plain_reference,
                   "encode_plain_reference(contigs)\n--\n\n"
                   "The plain layout's reference frame payload for `contigs`."),
    ZELK_WRITER_FN(decode_reorder_reference,
                   "decode_reorder_reference(payload, *, threads=0)\n--\n\n"
                   "The contigs of a reference section payload; method 1 decodes its blocks\n"
                   "on `threads` workers (0: one per processor)."),
    ZELK_WRITER_FN(decode_plain_reference,
                   "decode_plain_reference(payload)\n--\n\n"
                   "The contigs of a plain-layout reference frame payload."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
