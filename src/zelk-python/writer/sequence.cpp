// Writer functions for sequence streams, and for tests the bare range
// coder with each adaptive model and the reverse-complement paths.
#include <algorithm>

#include "zelk-sequence/sequence.h"
#include "zelk-dna/dna.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

// Lengths and concatenated bases of a list of reads.
bool sequence_block_of(PyObject* reads_arg, seq::SequenceBlock& block) {
  std::vector<std::string> reads;
  if (!bytes_sequence(reads_arg, reads)) return false;
  block.read_lengths.reserve(reads.size());
  for (const auto& read : reads) {
    if (read.size() > UINT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "read longer than 2^32 - 1 bytes");
      return false;
    }
    block.read_lengths.push_back(static_cast<uint32_t>(read.size()));
    append_bytes(block.bases, as_bytes(read));
  }
  return true;
}

// Replaces `field` when the keyword was given (not None).
bool override_byte(PyObject* arg, const char* name, uint8_t& field) {
  std::optional<uint64_t> value;
  if (!optional_u64(arg, value)) return false;
  if (value && *value > UINT8_MAX) {
    PyErr_Format(PyExc_ValueError, "%s must be below 256", name);
    return false;
  }
  if (value) field = static_cast<uint8_t>(*value);
  return true;
}

// Contigs given as a list of bytes, in one reference set.
bool reference_of(PyObject* contigs_arg, dna::ReferenceSet& reference) {
  std::vector<std::string> contigs;
  if (!bytes_sequence(contigs_arg, contigs)) return false;
  for (const auto& contig : contigs) {
    append_bytes(reference.bases, as_bytes(contig));
    reference.offsets.push_back(reference.bases.size());
  }
  return true;
}

// Methods 1, 2 and 4; method 2 needs `reference`.
PyObject* encode_long_reads(PyObject* module, const seq::SequenceBlock& block, int method, PyObject* reference_arg) {
  auto long_read_method = static_cast<seq::SequenceMethod>(method);
  dna::ReferenceSet reference;
  bool shared = long_read_method == seq::SequenceMethod::SharedOverlap;
  if (shared && (!reference_arg || reference_arg == Py_None)) {
    PyErr_SetString(PyExc_ValueError, "sequence method 2 needs reference contigs");
    return nullptr;
  }
  if (shared && !reference_of(reference_arg, reference)) return nullptr;
  Result<Bytes> stream;
  {
    GilReleased unlocked;
    stream = seq::encode_long_read_stream(block, long_read_method, shared ? &reference : nullptr);
  }
  if (!stream) return raise_writer_error(module, stream.error());
  return bytes_from(ByteSpan(*stream));
}

PyObject* py_encode_sequences(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"reads", "method", "order", "hashed_order", "table_bits", "reference", nullptr};
  PyObject* reads_arg;
  int method = 0;
  PyObject *order = nullptr, *hashed_order = nullptr, *table_bits = nullptr, *reference = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$iOOOO:encode_sequences", const_cast<char**>(keywords),
                                   &reads_arg, &method, &order, &hashed_order, &table_bits, &reference))
    return nullptr;
  constexpr int kLongReadMethods[] = {1, 2, 4};
  bool long_reads = std::find(std::begin(kLongReadMethods), std::end(kLongReadMethods), method) != std::end(kLongReadMethods);
  if (method != static_cast<int>(seq::SequenceMethod::ContextModel) && !long_reads) {
    PyErr_Format(PyExc_ValueError, "sequence method %d has no encoder yet", method);
    return nullptr;
  }
  seq::SequenceBlock block;
  if (!sequence_block_of(reads_arg, block)) return nullptr;
  if (long_reads) return encode_long_reads(module, block, method, reference);
  uint64_t mean_length = block.read_lengths.empty() ? 0 : block.bases.size() / block.read_lengths.size();
  seq::ContextParams params = seq::default_context_params(block.bases.size(), mean_length);
  if (!override_byte(order, "order", params.order) ||
      !override_byte(hashed_order, "hashed_order", params.hashed_order) ||
      !override_byte(table_bits, "table_bits", params.table_bits))
    return nullptr;
  auto stream = seq::encode_context_model_stream(block, params);
  if (!stream) return raise_writer_error(module, stream.error());
  return bytes_from(ByteSpan(*stream));
}

// The reads of a decoded block, as a list of bytes.
PyObject* reads_of(const seq::SequenceBlock& block) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(block.read_lengths.size())));
  if (!list) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < block.read_lengths.size(); ++i) {
    PyObject* read = bytes_from(ByteSpan(block.bases).subspan(at, block.read_lengths[i]));
    if (!read) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), read);
    at += block.read_lengths[i];
  }
  return list.release();
}

PyObject* py_decode_sequences(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"stream", "reference", nullptr};
  PyObject* stream;
  PyObject* reference_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$O:decode_sequences", const_cast<char**>(keywords), &stream,
                                   &reference_arg))
    return nullptr;
  dna::ReferenceSet reference;
  bool with_reference = reference_arg && reference_arg != Py_None;
  if (with_reference && !reference_of(reference_arg, reference)) return nullptr;
  auto block = seq::decode_sequence_stream(bytes_view(stream), with_reference ? &reference : nullptr);
  if (!block) return raise_writer_error(module, block.error());
  return reads_of(*block);
}

// The adaptive models a single symbol stream can be coded with.
template <class Model>
Bytes encode_symbols(ByteSpan symbols) {
  Model model;
  Bytes out;
  range::RangeEncoder encoder(out);
  for (uint8_t symbol : symbols) encoder.encode(model, symbol);
  encoder.finish();
  return out;
}

template <class Model>
Bytes decode_symbols(ByteSpan coded, size_t count) {
  Model model;
  range::RangeDecoder decoder(coded);
  Bytes out(count);
  for (uint8_t& symbol : out) symbol = static_cast<uint8_t>(decoder.decode(model));
  return out;
}

struct ModelCoders {
  const char* name;
  unsigned symbols;
  Bytes (*encode)(ByteSpan);
  Bytes (*decode)(ByteSpan, size_t);
};

constexpr ModelCoders kModelCoders[] = {
    {"base5", 5, encode_symbols<range::BaseModel5>, decode_symbols<range::BaseModel5>},
    {"freq4", 4, encode_symbols<range::FreqModel4>, decode_symbols<range::FreqModel4>},
    {"freq5", 5, encode_symbols<range::FreqModel5>, decode_symbols<range::FreqModel5>},
};

const ModelCoders* model_coders(const char* name) {
  for (const auto& coders : kModelCoders)
    if (std::string_view(coders.name) == name) return &coders;
  PyErr_Format(PyExc_ValueError, "unknown model %s", name);
  return nullptr;
}

PyObject* py_range_encode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"symbols", "model", nullptr};
  PyObject* symbols_arg;
  const char* model = "base5";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$s:range_encode", const_cast<char**>(keywords), &symbols_arg,
                                   &model))
    return nullptr;
  const ModelCoders* coders = model_coders(model);
  if (!coders) return nullptr;
  ByteSpan symbols = bytes_view(symbols_arg);
  for (uint8_t symbol : symbols) {
    if (symbol >= coders->symbols) {
      PyErr_Format(PyExc_ValueError, "symbol %u outside the model", symbol);
      return nullptr;
    }
  }
  return bytes_from(ByteSpan(coders->encode(symbols)));
}

PyObject* py_range_decode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"coded", "count", "model", nullptr};
  PyObject* coded;
  Py_ssize_t count;
  const char* model = "base5";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Sn|$s:range_decode", const_cast<char**>(keywords), &coded,
                                   &count, &model))
    return nullptr;
  const ModelCoders* coders = model_coders(model);
  if (!coders) return nullptr;
  if (count < 0 || count > (Py_ssize_t{1} << 28)) {
    PyErr_SetString(PyExc_ValueError, "count must be between 0 and 2^28");
    return nullptr;
  }
  return bytes_from(ByteSpan(coders->decode(bytes_view(coded), static_cast<size_t>(count))));
}

PyObject* py_revcomp(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "vector", nullptr};
  PyObject* data;
  PyObject* vector = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$O:revcomp", const_cast<char**>(keywords), &data, &vector))
    return nullptr;
  ByteSpan source = bytes_view(data);
  Bytes out(source.size());
  if (vector == Py_None) {
    (void)dna::revcomp_into(source, out);  // equal lengths: cannot fail
  } else if (PyObject_IsTrue(vector)) {
    if (!dna::revcomp_vector_available()) {
      PyErr_SetString(PyExc_RuntimeError, "this CPU has no SSE4.2");
      return nullptr;
    }
    size_t done = dna::revcomp_vector_blocks(source, out);
    out.resize(done);
  } else {
    dna::revcomp_bytewise(source, out);
  }
  return bytes_from(ByteSpan(out));
}

PyObject* py_reverse_complement(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", nullptr};
  PyObject* data;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S:reverse_complement", const_cast<char**>(keywords), &data))
    return nullptr;
  return bytes_from(ByteSpan(dna::reverse_complement(bytes_view(data))));
}

}  // namespace

#define ZELK_WRITER_FN(name, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef sequence_methods[] = {
    ZELK_WRITER_FN(encode_sequences,
                   "encode_sequences(reads, *, method=0, order=None, hashed_order=None, "
                   "table_bits=None, reference=None)\n--\n\n"
                   "A whole sequence stream for `reads` (a list of bytes). Method 0: a None\n"
                   "parameter picks the default for the reads' total and mean length. Methods\n"
                   "1 (contigs from the reads), 2 (placed on `reference`, a list of contig\n"
                   "bytes) and 4 (tiles from earlier reads) code long reads by alignment."),
    ZELK_WRITER_FN(decode_sequences,
                   "decode_sequences(stream, *, reference=None)\n--\n\n"
                   "The reads of a whole sequence stream, decoded as a block of an archive\n"
                   "whose shared reference holds the contigs `reference` (a list of bytes)."),
    ZELK_WRITER_FN(range_encode,
                   "range_encode(symbols, *, model='base5')\n--\n\n"
                   "Range-codes `symbols` (bytes of symbol values) with one adaptive model:\n"
                   "'base5' (counts only), 'freq4' or 'freq5' (counts and a running total)."),
    ZELK_WRITER_FN(range_decode,
                   "range_decode(coded, count, *, model='base5')\n--\n\n"
                   "Decodes `count` symbols coded as by `range_encode`; missing input reads as\n"
                   "zeros."),
    ZELK_WRITER_FN(revcomp,
                   "revcomp(data, *, vector=None)\n--\n\n"
                   "The case-keeping reverse complement. `vector=None` takes the dispatched\n"
                   "path; False the byte loop; True only the vector blocks (the first\n"
                   "len(data) // 16 * 16 bytes of the result)."),
    ZELK_WRITER_FN(reverse_complement,
                   "reverse_complement(data)\n--\n\n"
                   "The reverse complement swapping upper-case bases only."),
    {nullptr, nullptr, 0, nullptr},
};

#undef ZELK_WRITER_FN

}  // namespace zelk::py
