// Writer functions for sequence streams, and for tests the bare range
// coder with each adaptive model and the reverse-complement paths.
#include "zelk-sequence/sequence.h"
#include "zelk-dna/dna.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

// Contigs given as a list of bytes (None: none), in one reference set.
bool optional_contigs(PyObject* arg, std::optional<dna::ReferenceSet>& out) {
  if (!arg || arg == Py_None) return true;
  std::vector<std::string> contigs;
  if (!bytes_sequence(arg, contigs)) return false;
  out.emplace();
  for (const auto& contig : contigs) out->add(as_bytes(contig));
  return true;
}

PyObject* py_encode_sequences(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"reads", "method", "order", "hashed_order", "table_bits", "reference", nullptr};
  PyObject* reads_arg;
  unsigned char method = 0;
  PyObject *order = nullptr, *hashed_order = nullptr, *table_bits = nullptr, *reference_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$bOOOO:encode_sequences", const_cast<char**>(keywords),
                                   &reads_arg, &method, &order, &hashed_order, &table_bits, &reference_arg))
    return nullptr;
  seq::SequenceBlock block;
  seq::SequenceEncodeOptions options;
  std::optional<dna::ReferenceSet> reference;
  options.method = method;
  if (!reads_block(reads_arg, block) || !optional_byte(order, "order", options.order) ||
      !optional_byte(hashed_order, "hashed_order", options.hashed_order) ||
      !optional_byte(table_bits, "table_bits", options.table_bits) || !optional_contigs(reference_arg, reference))
    return nullptr;
  if (reference) options.reference = &*reference;
  Result<Bytes> stream;
  {
    // Aligning long reads takes a while.
    GilReleased unlocked;
    stream = seq::encode_sequence_stream(block, options);
  }
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
  std::optional<dna::ReferenceSet> reference;
  if (!optional_contigs(reference_arg, reference)) return nullptr;
  auto block = seq::decode_sequence_stream(bytes_view(stream), reference ? &*reference : nullptr);
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
