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

bool reordered_options_from(PyObject* kwargs, const char* function, container::ArchiveOptions& options,
                            container::ReorderedOptions& reordered) {
  static const char* keywords[] = {"layout",          "reorder_version", "keep_order", "reference",
                                   "reference_method", "name_template",  "reorder",    "block_reads",
                                   "quality_mode",    "quality_binning", "symbols",    "platform",
                                   "members",         "labels",          "threads",    "level",
                                   nullptr};
  PyObject *layout = nullptr, *version = nullptr, *keep_order = nullptr, *reference = nullptr,
           *reference_method = nullptr, *name_template = nullptr, *reorder = nullptr, *block_reads = nullptr,
           *quality_mode = nullptr, *quality_binning = nullptr, *symbols = nullptr, *platform = nullptr,
           *members = nullptr, *labels = nullptr, *threads = nullptr, *level = nullptr;
  std::string format = std::string("|$OOOOOOOOOOOOOOOO:") + function;
  PyRef no_args(PyTuple_New(0));
  if (!no_args || !PyArg_ParseTupleAndKeywords(no_args.get(), kwargs, format.c_str(), const_cast<char**>(keywords),
                                               &layout, &version, &keep_order, &reference, &reference_method,
                                               &name_template, &reorder, &block_reads, &quality_mode,
                                               &quality_binning, &symbols, &platform, &members, &labels, &threads,
                                               &level))
    return false;
  std::optional<uint64_t> block_reads_value;
  if (!optional_byte(version, "reorder_version", reordered.version) || !flag_option(keep_order, reordered.keep_order) ||
      !reference_option(reference, reference_method, options, reordered) ||
      !template_option(name_template, reordered.name_template) || !flag_option(reorder, reordered.reorder) ||
      !optional_u64(block_reads, block_reads_value) || !optional_byte(quality_mode, "quality_mode", options.quality_mode) ||
      !optional_byte(quality_binning, "quality_binning", options.quality_binning) ||
      !optional_bytes(symbols, "symbols", options.symbols) || !optional_byte(platform, "platform", options.platform) ||
      !optional_byte(members, "members", options.members) ||
      !optional_byte(level, "level", options.level))
    return false;
  options.block_reads = block_reads_value.value_or(0);
  if (threads && !threads_from(threads, options.threads)) return false;
  return !labels || labels == Py_None || bytes_sequence(labels, options.labels);
}

PyObject* write_reordered_archive(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* records_arg = nullptr;
  if (!PyArg_ParseTuple(args, "O:write_archive", &records_arg)) return nullptr;
  container::ArchiveOptions options;
  container::ReorderedOptions reordered;
  options.threads = 0;  // one worker per processor unless `threads` says otherwise
  if (!reordered_options_from(kwargs, "write_archive", options, reordered)) return nullptr;
  container::ReadStore reads;
  Result<void> added;
  if (!for_each_triple(records_arg, [&](FastqRecord record) { return bool(added = reads.add(record)); }))
    return added ? nullptr : raise_writer_error(module, added.error());
  Result<Bytes> archive = Bytes{};
  {
    GilReleased unlocked;
    WorkerPool pool(WorkerPool::decode_pool_size(options.threads));
    archive = container::write_reordered_archive(reads, options, reordered, pool);
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
