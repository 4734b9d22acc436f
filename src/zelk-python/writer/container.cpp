// Writer functions for the container: headers, extension records, block
// payloads and frames, framed slices and whole plain archives.
#include "zelk-container/block_frame.h"
#include "zelk-container/block_reader.h"
#include "zelk-container/digest.h"
#include "zelk-container/header.h"
#include "zelk-container/writer.h"
#include "zelk-base/io.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

using namespace zelk::container;

PyObject* bytes_result(const Bytes& data) { return bytes_from(ByteSpan(data)); }

PyObject* py_encode_header(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"magic", "major", "minor", "required_features", "seq_order",
                                   "quality_binning", "flags", "member_count", "platform",
                                   "extensions", "crc", nullptr};
  HeaderFields fields;
  PyObject* magic = nullptr;
  PyObject* extensions = nullptr;
  PyObject* crc = nullptr;
  unsigned long long required_features = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$SbbKbbbbbSO:encode_header",
                                   const_cast<char**>(keywords), &magic, &fields.major, &fields.minor,
                                   &required_features, &fields.seq_order, &fields.quality_binning,
                                   &fields.flags, &fields.member_count, &fields.platform, &extensions, &crc))
    return nullptr;
  fields.required_features = required_features;
  if (magic) {
    ByteSpan raw = bytes_view(magic);
    if (raw.size() != 4) {
      PyErr_SetString(PyExc_ValueError, "magic must be 4 bytes");
      return nullptr;
    }
    std::copy(raw.begin(), raw.end(), fields.magic);
  }
  if (extensions) {
    ByteSpan raw = bytes_view(extensions);
    if (raw.size() > UINT16_MAX) {
      PyErr_SetString(PyExc_ValueError, "extension region longer than 65535 bytes");
      return nullptr;
    }
    fields.extensions.assign(raw.begin(), raw.end());
  }
  if (!optional_u32(crc, fields.crc)) return nullptr;
  return bytes_result(encode_header(fields));
}

PyObject* py_extension_record(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"tag", "payload", nullptr};
  unsigned char tag;
  PyObject* payload;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "bS:extension_record", const_cast<char**>(keywords),
                                   &tag, &payload))
    return nullptr;
  ByteSpan raw = bytes_view(payload);
  if (raw.size() > UINT16_MAX) {
    PyErr_SetString(PyExc_ValueError, "extension payload longer than 65535 bytes");
    return nullptr;
  }
  Bytes record;
  append_extension_record(record, tag, raw);
  return bytes_result(record);
}

PyObject* py_member_labels_record(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"labels", nullptr};
  PyObject* labels_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:member_labels_record", const_cast<char**>(keywords),
                                   &labels_arg))
    return nullptr;
  std::vector<std::string> labels;
  if (!bytes_sequence(labels_arg, labels)) return nullptr;
  for (const auto& label : labels) {
    if (label.size() > 255 || labels.size() > 255) {
      PyErr_SetString(PyExc_ValueError, "too many or too long labels");
      return nullptr;
    }
  }
  Bytes record;
  append_extension_record(record, kExtensionMemberLabels, member_labels_payload(labels));
  return bytes_result(record);
}

// The digest of decoded per-read data, unless overridden.
bool per_read_digest_of(PyObject* reads_arg, const std::vector<uint32_t>* lengths_from,
                        std::optional<uint64_t>& digest) {
  if (digest || !reads_arg || reads_arg == Py_None) return true;
  dna::SequenceBlock reads;
  if (!reads_block(reads_arg, reads)) return false;
  digest = per_read_digest(lengths_from ? *lengths_from : reads.read_lengths, reads.bases);
  return true;
}

PyObject* py_block_payload(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"names_coded", "sequence_coded", "quality_coded", "names",
                                   "sequences", "qualities", "read_count", "names_digest",
                                   "sequence_digest", "quality_digest", nullptr};
  PyObject *names_coded, *sequence_coded, *quality_coded;
  PyObject *names_arg = nullptr, *sequences_arg = nullptr, *qualities_arg = nullptr;
  PyObject *read_count_arg = nullptr, *names_digest_arg = nullptr, *sequence_digest_arg = nullptr,
           *quality_digest_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SSS|$OOOOOOO:block_payload",
                                   const_cast<char**>(keywords), &names_coded, &sequence_coded,
                                   &quality_coded, &names_arg, &sequences_arg, &qualities_arg,
                                   &read_count_arg, &names_digest_arg, &sequence_digest_arg,
                                   &quality_digest_arg))
    return nullptr;
  std::optional<uint64_t> read_count, names_digest, sequence_digest, quality_digest;
  if (!optional_u64(read_count_arg, read_count) || !optional_u64(names_digest_arg, names_digest) ||
      !optional_u64(sequence_digest_arg, sequence_digest) ||
      !optional_u64(quality_digest_arg, quality_digest))
    return nullptr;

  std::vector<std::string> names;
  if (names_arg && names_arg != Py_None && !bytes_sequence(names_arg, names)) return nullptr;
  if (!names_digest && names_arg && names_arg != Py_None) names_digest = container::names_digest(names);
  // Qualities are digested with the sequences' lengths, as a decoder sees
  // them.
  dna::SequenceBlock sequences;
  bool have_sequences = sequences_arg && sequences_arg != Py_None;
  if (have_sequences && !reads_block(sequences_arg, sequences)) return nullptr;
  if (!per_read_digest_of(sequences_arg, nullptr, sequence_digest) ||
      !per_read_digest_of(qualities_arg, have_sequences ? &sequences.read_lengths : nullptr, quality_digest))
    return nullptr;

  uint64_t count = read_count.value_or(have_sequences ? sequences.read_lengths.size() : names.size());
  if (count > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "read_count does not fit in 32 bits");
    return nullptr;
  }
  BlockPayloadParts parts{names_digest.value_or(0), sequence_digest.value_or(0),
                          quality_digest.value_or(0), static_cast<uint32_t>(count),
                          bytes_view(names_coded), bytes_view(sequence_coded), bytes_view(quality_coded)};
  return bytes_result(encode_block_payload(parts));
}

PyObject* py_block_frame(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"payload", "crc", "length", nullptr};
  PyObject *payload, *crc_arg = nullptr, *length_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$OO:block_frame", const_cast<char**>(keywords),
                                   &payload, &crc_arg, &length_arg))
    return nullptr;
  std::optional<uint32_t> crc;
  std::optional<uint64_t> length;
  if (!optional_u32(crc_arg, crc) || !optional_u64(length_arg, length)) return nullptr;
  return bytes_result(encode_block_frame(bytes_view(payload), crc, length));
}

PyObject* py_end_of_blocks(PyObject*, PyObject*) { return bytes_result(encode_end_of_blocks()); }

PyObject* py_framed_slice(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"payload", "crc", nullptr};
  PyObject *payload, *crc_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$O:framed_slice", const_cast<char**>(keywords),
                                   &payload, &crc_arg))
    return nullptr;
  std::optional<uint32_t> crc;
  if (!optional_u32(crc_arg, crc)) return nullptr;
  return bytes_result(encode_framed_slice(bytes_view(payload), crc));
}

// Reads one framed slice from the start of `data` with the reader the
// archive sections use; returns (payload, bytes consumed).
PyObject* py_read_framed_slice(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "label", nullptr};
  PyObject* data;
  const char* label;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Ss:read_framed_slice", const_cast<char**>(keywords), &data,
                                   &label))
    return nullptr;
  ByteSpan raw = bytes_view(data);
  MemorySource source(Bytes(raw.begin(), raw.end()));
  BufferedReader reader(source);
  auto payload = read_framed_slice(reader, label);
  if (!payload) return raise_writer_error(module, payload.error());
  PyRef payload_bytes(bytes_result(*payload));
  if (!payload_bytes) return nullptr;
  return Py_BuildValue("(OK)", payload_bytes.get(), static_cast<unsigned long long>(reader.position()));
}

PyObject* py_plain_archive(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"header", "payloads", "global_reference", "total_reads",
                                   "whole_file_crc", "body_crc", "footer_offset", nullptr};
  PyObject *header, *payloads_arg, *reference = nullptr;
  PyObject *total_reads = nullptr, *whole_file_crc = nullptr, *body_crc = nullptr, *footer_offset = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SO|$SOOOO:plain_archive", const_cast<char**>(keywords),
                                   &header, &payloads_arg, &reference, &total_reads, &whole_file_crc,
                                   &body_crc, &footer_offset))
    return nullptr;
  FooterOverrides overrides;
  if (!optional_u64(total_reads, overrides.total_reads) ||
      !optional_u32(whole_file_crc, overrides.whole_file_crc) ||
      !optional_u32(body_crc, overrides.body_crc) || !optional_u64(footer_offset, overrides.footer_offset))
    return nullptr;
  std::vector<std::string> payload_texts;
  if (!bytes_sequence(payloads_arg, payload_texts)) return nullptr;
  std::vector<Bytes> payloads;
  for (const auto& text : payload_texts) payloads.emplace_back(text.begin(), text.end());
  std::optional<ByteSpan> reference_slice;
  if (reference) reference_slice = bytes_view(reference);
  return bytes_result(assemble_plain_archive(bytes_view(header), payloads, overrides, reference_slice));
}

// One summary as encode_block returns it: (frame length, frame CRC, reads,
// then (offset, length, CRC) of each stream).
bool frame_summary_from(PyObject* item, FrameSummary& summary) {
  static const char kShape[] = "each summary must be (length, crc, reads, names, sequence, quality) as encode_block gives";
  unsigned long long length, offsets[3];
  unsigned long crc, stream_crcs[3];
  unsigned int reads, lengths[3];
  if (!PyTuple_Check(item) ||
      !PyArg_ParseTuple(item, "KkI(KIk)(KIk)(KIk)", &length, &crc, &reads, &offsets[0], &lengths[0],
                        &stream_crcs[0], &offsets[1], &lengths[1], &stream_crcs[1], &offsets[2], &lengths[2],
                        &stream_crcs[2])) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, kShape);
    }
    return false;
  }
  summary.length = length;
  summary.crc = static_cast<uint32_t>(crc);
  summary.entry.read_count = reads;
  for (size_t s = 0; s < kStreamCount; ++s)
    summary.entry.streams[s] = {offsets[s], lengths[s], static_cast<uint32_t>(stream_crcs[s])};
  return true;
}

PyObject* py_archive_ending(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"header", "summaries", nullptr};
  PyObject *header, *summaries_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SO:archive_ending", const_cast<char**>(keywords), &header,
                                   &summaries_arg))
    return nullptr;
  PyRef iterator(PyObject_GetIter(summaries_arg));
  if (!iterator) return nullptr;
  std::vector<FrameSummary> summaries;
  while (PyRef item{PyIter_Next(iterator.get())})
    if (!frame_summary_from(item.get(), summaries.emplace_back())) return nullptr;
  if (PyErr_Occurred()) return nullptr;
  return bytes_result(archive_ending(bytes_view(header), summaries));
}

}  // namespace

PyMethodDef container_methods[] = {
    ZELK_WRITER_FN(encode_header,
                   "encode_header(*, magic=b'ZELK', major=1, minor=0, required_features=0, "
                   "seq_order=0, quality_binning=0, flags=0, member_count=1, platform=0, "
                   "extensions=b'', crc=None)\n--\n\n"
                   "An archive header with any field values; `crc` overrides the computed CRC."),
    ZELK_WRITER_FN(extension_record,
                   "extension_record(tag, payload)\n--\n\nOne header extension record."),
    ZELK_WRITER_FN(member_labels_record,
                   "member_labels_record(labels)\n--\n\nA member-labels extension record (tag 1)."),
    ZELK_WRITER_FN(block_payload,
                   "block_payload(names_coded, sequence_coded, quality_coded, *, names=None, "
                   "sequences=None, qualities=None, read_count=None, names_digest=None, "
                   "sequence_digest=None, quality_digest=None)\n--\n\n"
                   "A block payload from three coded streams; the digests are computed from the\n"
                   "decoded names, sequences and qualities unless given."),
    ZELK_WRITER_FN(block_frame,
                   "block_frame(payload, *, crc=None, length=None)\n--\n\n"
                   "A block frame around `payload`; `crc` and `length` override the true values."),
    {"end_of_blocks", py_end_of_blocks, METH_NOARGS,
     "end_of_blocks()\n--\n\nThe 12-byte end-of-blocks marker."},
    ZELK_WRITER_FN(framed_slice,
                   "framed_slice(payload, *, crc=None)\n--\n\nA framed slice: length, CRC-32C, payload."),
    ZELK_WRITER_FN(read_framed_slice,
                   "read_framed_slice(data, label)\n--\n\n"
                   "Reads the framed slice at the start of `data` as archive sections are read;\n"
                   "returns (payload, bytes consumed). `label` names it in a CRC failure."),
    ZELK_WRITER_FN(plain_archive,
                   "plain_archive(header, payloads, *, global_reference=None, total_reads=None, "
                   "whole_file_crc=None, body_crc=None, footer_offset=None)\n--\n\n"
                   "A plain archive: header, one frame per payload, end marker, footer and\n"
                   "trailer. The keywords override footer fields."),
    ZELK_WRITER_FN(archive_ending,
                   "archive_ending(header, summaries)\n--\n\n"
                   "End marker, footer and trailer of the archive made of `header` (all that\n"
                   "comes before the first block) and the frames that `summaries` (from\n"
                   "encode_block, in order) describe. The\n"
                   "whole-file CRC is combined from their CRCs, so the frames are not needed."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
