// Writer functions for the quality codec.
#include "zelk-quality/quality.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

constexpr unsigned kMaxTestWorkers = 64;

PyObject* py_encode_qualities(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"quals", "seqs", "mode", "binning", "symbols", "quantizer",
                                   "chunk_variant", "segments", "warmup", nullptr};
  PyObject *quals_arg, *seqs_arg = nullptr, *symbols_arg = nullptr, *quantizer_arg = nullptr,
           *warmup_arg = nullptr;
  quality::QualityEncodeOptions options;
  unsigned int segments = options.segments;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ObbOObIO:encode_qualities", const_cast<char**>(keywords),
                                   &quals_arg, &seqs_arg, &options.mode, &options.binning, &symbols_arg,
                                   &quantizer_arg, &options.chunk_variant, &segments, &warmup_arg))
    return nullptr;
  options.segments = segments;
  if (!optional_bytes(symbols_arg, "symbols", options.symbols) ||
      !optional_bytes(quantizer_arg, "quantizer", options.quantizer) ||
      !optional_u64(warmup_arg, options.warmup_reads))
    return nullptr;
  dna::SequenceBlock qualities, sequences;
  if (!reads_block(quals_arg, qualities)) return nullptr;
  if (seqs_arg && seqs_arg != Py_None) {
    if (!reads_block(seqs_arg, sequences)) return nullptr;
    if (sequences.read_lengths != qualities.read_lengths) {
      PyErr_SetString(PyExc_ValueError, "seqs must match quals read for read");
      return nullptr;
    }
  }
  auto coded = quality::encode_quality_stream(qualities.read_lengths, qualities.bases, sequences.bases, options);
  if (!coded) return raise_writer_error(module, coded.error());
  return bytes_from(ByteSpan(*coded));
}

PyObject* py_decode_qualities(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", "seq", "workers", nullptr};
  PyObject *coded, *seq = nullptr;
  unsigned int workers = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|S$I:decode_qualities", const_cast<char**>(keywords), &coded,
                                   &seq, &workers))
    return nullptr;
  // Not capped at the processor count: tests want more workers than cores.
  if (workers < 1 || workers > kMaxTestWorkers) {
    PyErr_SetString(PyExc_ValueError, "workers must be 1 to 64");
    return nullptr;
  }
  WorkerPool pool(workers);
  auto decoded = quality::decode_quality_stream(bytes_view(coded), seq ? bytes_view(seq) : ByteSpan{}, &pool);
  if (!decoded) return raise_writer_error(module, decoded.error());
  return bytes_from(ByteSpan(decoded->qualities));
}

PyObject* py_bin_qualities(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"quals", "binning", nullptr};
  PyObject* quals;
  const char* name;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ss:bin_qualities", const_cast<char**>(keywords), &quals,
                                   &name))
    return nullptr;
  auto tag = quality::binning_tag(name);
  if (!tag) {
    PyErr_Format(PyExc_ValueError, "unknown quality binning %s", name);
    return nullptr;
  }
  ByteSpan raw = bytes_view(quals);
  Bytes binned(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) binned[i] = quality::bin_quality(*tag, raw[i]);
  return bytes_from(ByteSpan(binned));
}

PyObject* py_binning_names(PyObject*, PyObject*) {
  PyRef list(PyList_New(quality::kBinningTagCount));
  if (!list) return nullptr;
  for (uint8_t tag = 0; tag < quality::kBinningTagCount; ++tag) {
    std::string_view name = quality::binning_name(tag);
    PyObject* item = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!item) return nullptr;
    PyList_SetItem(list.get(), tag, item);
  }
  return list.release();
}

}  // namespace

PyMethodDef quality_methods[] = {
    ZELK_WRITER_FN(encode_qualities,
                   "encode_qualities(quals, *, seqs=None, mode=0, binning=0, symbols=None, quantizer=None, "
                   "chunk_variant=1, segments=4, warmup=None)\n--\n\n"
                   "A whole quality stream for the reads' quality strings. `seqs` (the same reads'\n"
                   "bases) is needed by every mode but 0; `symbols` orders the symbol table\n"
                   "(default: ascending); `quantizer` holds the byte pairs of modes 4 and 6;\n"
                   "`chunk_variant`, `segments` and `warmup` (reads in the warm-up segment)\n"
                   "shape modes 5 and 6. Raises ValueError for what a stream cannot hold."),
    ZELK_WRITER_FN(decode_qualities,
                   "decode_qualities(coded, seq=None, *, workers=1)\n--\n\n"
                   "The concatenated qualities of a quality stream, decoded on a pool of its own\n"
                   "with `workers` workers (1 to 64) besides the calling thread."),
    ZELK_WRITER_FN(bin_qualities,
                   "bin_qualities(quals, binning)\n--\n\n"
                   "`quals` with every byte mapped by the named quality binning."),
    {"binning_names", py_binning_names, METH_NOARGS,
     "binning_names()\n--\n\nThe quality-binning names in tag order."},
    {nullptr, nullptr, 0, nullptr},
};

#undef ZELK_WRITER_FN

}  // namespace zelk::py
