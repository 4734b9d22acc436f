// The reordered layout's writer (reached through write_archive's
// layout="reordered") and its sequence block codec on its own.
#include <cstring>

#include "zelk-base/pool.h"
#include "zelk-container/reordered_writer.h"
#include "zelk-python/common/py.h"
#include "zelk-python/writer/arguments.h"
#include "zelk-python/writer/writer.h"
#include "zelk-reorder/clustered.h"

namespace zelk::py {

namespace {

bool text_is(PyObject* object, const char* text) {
  if (!PyUnicode_Check(object)) return false;
  PyRef expected(PyUnicode_FromString(text));
  return expected && PyUnicode_Compare(object, expected.get()) == 0;
}

bool flag_option(PyObject* arg, bool& out) {
  if (!arg) return true;
  int truth = PyObject_IsTrue(arg);
  if (truth < 0) return false;
  out = truth;
  return true;
}

// name_template: "auto" or None.
bool template_option(PyObject* arg, bool& out) {
  if (!arg || text_is(arg, "auto")) return true;
  if (arg == Py_None) {
    out = false;
    return true;
  }
  PyErr_SetString(PyExc_ValueError, "name_template must be 'auto' or None");
  return false;
}

// reference: None, "auto" or a list of contigs; reference_method 0, 1 or 4.
bool reference_option(PyObject* reference, PyObject* method, container::ArchiveOptions& options,
                      container::ReorderedOptions& reordered) {
  if (!optional_byte(method, "reference_method", reordered.reference_method)) return false;
  if (!reference || reference == Py_None) return true;
  if (text_is(reference, "auto")) {
    reordered.auto_reference = true;
    return true;
  }
  return bytes_sequence(reference, options.reference.emplace());
}

bool reference_from(PyObject* arg, std::optional<dna::ReferenceSet>& out) {
  if (!arg || arg == Py_None) return true;
  dna::SequenceBlock contigs;
  if (!reads_block(arg, contigs)) return false;
  out.emplace();
  out->bases = std::move(contigs.bases);
  for (uint32_t length : contigs.read_lengths) out->offsets.push_back(out->offsets.back() + length);
  return true;
}

// hints: None or a list of (anchor or None, shift, contig, contig_offset).
bool hints_from(PyObject* arg, size_t count, std::vector<reorder::ReadPlacement>& out) {
  if (!arg || arg == Py_None) return true;
  Py_ssize_t size = PySequence_Size(arg);
  if (size < 0) return false;
  if (static_cast<size_t>(size) != count) {
    PyErr_SetString(PyExc_ValueError, "hints must give one tuple per read");
    return false;
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item(PySequence_GetItem(arg, i));
    PyObject *anchor, *shift = nullptr, *contig = nullptr, *offset = nullptr;
    if (!item || !PyArg_ParseTuple(item.get(), "O|OOO", &anchor, &shift, &contig, &offset)) return false;
    reorder::ReadPlacement hint;
    std::optional<uint32_t> anchor_value, contig_value;
    if (!optional_u32(anchor, anchor_value) || !optional_u32(contig, contig_value)) return false;
    hint.anchor = anchor_value.value_or(reorder::ReadPlacement::kNoAnchor);
    hint.contig = contig_value.value_or(0);
    if (shift && shift != Py_None) hint.shift = PyLong_AsLongLong(shift);
    if (offset && offset != Py_None) hint.contig_offset = PyLong_AsLongLong(offset);
    if (PyErr_Occurred()) return false;
    out.push_back(hint);
  }
  return true;
}

PyObject* py_encode_reorder_block(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"reads", "version", "reference", "hints", nullptr};
  PyObject *reads_arg, *version_arg = nullptr, *reference_arg = nullptr, *hints_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:encode_reorder_block", const_cast<char**>(keywords),
                                   &reads_arg, &version_arg, &reference_arg, &hints_arg))
    return nullptr;
  uint8_t version = 3;
  dna::SequenceBlock reads;
  std::optional<dna::ReferenceSet> reference;
  std::vector<reorder::ReadPlacement> hints;
  if (!optional_byte(version_arg, "version", version) || !reads_block(reads_arg, reads) ||
      !reference_from(reference_arg, reference) || !hints_from(hints_arg, reads.read_lengths.size(), hints))
    return nullptr;
  if (version < 2 || version > 4) {
    PyErr_SetString(PyExc_ValueError, "version must be 2, 3 or 4");
    return nullptr;
  }
  reorder::BlockEncodeOptions options;
  options.version = static_cast<reorder::BlockVersion>(version);
  auto coded = reorder::encode_sequence_block(reads, hints, reference ? &*reference : nullptr, options);
  if (!coded) return raise_writer_error(module, coded.error());
  return bytes_from(ByteSpan(*coded));
}

PyObject* py_decode_reorder_block(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"payload", "reference", nullptr};
  PyObject *payload, *reference_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "S|$O:decode_reorder_block", const_cast<char**>(keywords),
                                   &payload, &reference_arg))
    return nullptr;
  std::optional<dna::ReferenceSet> reference;
  if (!reference_from(reference_arg, reference)) return nullptr;
  auto decoded = reorder::decode_sequence_block(bytes_view(payload), reference ? &*reference : nullptr);
  if (!decoded) return raise_writer_error(module, decoded.error());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(decoded->read_lengths.size())));
  if (!list) return nullptr;
  size_t start = 0;
  for (size_t i = 0; i < decoded->read_lengths.size(); ++i) {
    PyObject* read = bytes_from(ByteSpan(decoded->bases).subspan(start, decoded->read_lengths[i]));
    if (!read) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), read);
    start += decoded->read_lengths[i];
  }
  return list.release();
}

// The (name, sequence, quality) triples of `records`.
bool records_from(PyObject* records, std::vector<FastqRecord>& out) {
  return for_each_triple(records, [&](FastqRecord record) {
    out.push_back(std::move(record));
    return true;
  });
}

}  // namespace

int requested_layout(PyObject* kwargs) {
  PyObject* layout = kwargs ? PyDict_GetItemString(kwargs, "layout") : nullptr;  // borrowed
  if (!layout || text_is(layout, "plain")) {
    if (layout && PyDict_DelItemString(kwargs, "layout") < 0) return -1;
    return 0;
  }
  if (text_is(layout, "reordered")) return 1;
  PyErr_SetString(PyExc_ValueError, "layout must be 'plain' or 'reordered'");
  return -1;
}

PyObject* write_reordered_archive(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"records",      "layout",        "reorder_version", "keep_order",
                                   "reference",    "reference_method", "name_template", "reorder",
                                   "block_reads",  "quality_mode",  "quality_binning", "platform",
                                   "members",      nullptr};
  PyObject *records_arg, *layout;
  PyObject *version = nullptr, *keep_order = nullptr, *reference = nullptr, *reference_method = nullptr,
           *name_template = nullptr, *reorder = nullptr, *block_reads = nullptr, *quality_mode = nullptr,
           *quality_binning = nullptr, *platform = nullptr, *members = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOOOOOOO:write_archive", const_cast<char**>(keywords),
                                   &records_arg, &layout, &version, &keep_order, &reference, &reference_method,
                                   &name_template, &reorder, &block_reads, &quality_mode, &quality_binning,
                                   &platform, &members))
    return nullptr;
  container::ArchiveOptions options;
  container::ReorderedOptions reordered;
  std::optional<uint64_t> block_reads_value, mode, binning, platform_value, members_value;
  if (!optional_byte(version, "reorder_version", reordered.version) || !flag_option(keep_order, reordered.keep_order) ||
      !reference_option(reference, reference_method, options, reordered) || !template_option(name_template, reordered.name_template) ||
      !flag_option(reorder, reordered.reorder) || !optional_u64(block_reads, block_reads_value) ||
      !optional_u64(quality_mode, mode) || !optional_u64(quality_binning, binning) ||
      !optional_u64(platform, platform_value) || !optional_u64(members, members_value))
    return nullptr;
  options.block_reads = block_reads_value.value_or(0);
  if (mode) options.quality_mode = static_cast<uint8_t>(std::min<uint64_t>(*mode, 255));
  options.quality_binning = static_cast<uint8_t>(binning.value_or(0));
  if (platform_value) options.platform = static_cast<uint8_t>(*platform_value);
  options.members = static_cast<uint8_t>(members_value.value_or(1));
  std::vector<FastqRecord> records;
  if (!records_from(records_arg, records)) return nullptr;
  Result<Bytes> archive = Bytes{};
  {
    GilReleased unlocked;
    archive = container::write_reordered_archive(records, options, reordered, WorkerPool::shared());
  }
  if (!archive) return raise_writer_error(module, archive.error());
  return bytes_from(ByteSpan(*archive));
}

PyMethodDef reorder_methods[] = {
    ZELK_WRITER_FN(encode_reorder_block,
                   "encode_reorder_block(reads, *, version=3, reference=None, hints=None)\n--\n\n"
                   "One reordered sequence block of `reads` (bytes, in stored order). `reference`\n"
                   "is a list of contigs (version 4); `hints` one (anchor, shift, contig,\n"
                   "contig_offset) tuple per read."),
    ZELK_WRITER_FN(decode_reorder_block,
                   "decode_reorder_block(payload, *, reference=None)\n--\n\n"
                   "The reads of one reordered sequence block."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
