#include "zelk-python/reader/objects.h"

#include <cinttypes>
#include <cstdio>

#include "zelk-base/crc32c.h"
#include "zelk-python/common/py.h"
#include "zelk-python/reader/stream_name.h"

namespace zelk::py {

namespace {

PyObject* unicode_from(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- Info ------------------------------------------------------------

using container::ArchiveInfo;

template <uint64_t ArchiveInfo::*Field>
PyObject* info_u64(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<ArchiveInfo>(self).*Field);
}

template <uint8_t container::ArchiveHeader::*Field>
PyObject* info_header_byte(PyObject* self, void*) {
  return PyLong_FromLong(unbox<ArchiveInfo>(self).header.*Field);
}

const container::ArchiveHeader& header_of(PyObject* self) { return unbox<ArchiveInfo>(self).header; }

PyObject* info_group_size(PyObject* self, void*) { return PyLong_FromLong(header_of(self).member_count); }
PyObject* info_reordered(PyObject* self, void*) {
  return PyBool_FromLong(header_of(self).has_flag(container::kFlagReordered));
}
PyObject* info_keep_order(PyObject* self, void*) {
  return PyBool_FromLong(header_of(self).keep_order());
}
PyObject* info_regenerated_names(PyObject* self, void*) {
  return PyBool_FromLong(header_of(self).has_flag(container::kFlagRegeneratedNames));
}
PyObject* info_plus_normalized(PyObject* self, void*) {
  return PyBool_FromLong(header_of(self).has_flag(container::kFlagPlusNormalized));
}
PyObject* info_format_version(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(header_of(self).format_version());
}
PyObject* info_platform(PyObject* self, void*) {
  return PyUnicode_FromString(container::platform_display_name(header_of(self).platform));
}
PyObject* info_whole_file_crc(PyObject* self, void*) {
  const auto& crc = unbox<ArchiveInfo>(self).whole_file_crc;
  if (!crc) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(*crc);
}
PyObject* info_member_labels(PyObject* self, void*) {
  const auto& labels = header_of(self).member_labels;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(labels.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < labels.size(); ++i) {
    PyObject* label = unicode_from(labels[i]);
    if (!label) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), label);
  }
  return list.release();
}
PyObject* info_required_features(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(header_of(self).required_features);
}

PyObject* info_repr(PyObject* self) {
  const ArchiveInfo& info = unbox<ArchiveInfo>(self);
  std::string platform = debug_quote(container::platform_display_name(info.header.platform));
  return PyUnicode_FromFormat("Info(reads=%llu, blocks=%llu, format=%u.%u, platform=%s)",
                              static_cast<unsigned long long>(info.reads),
                              static_cast<unsigned long long>(info.blocks), info.header.major,
                              info.header.minor, platform.c_str());
}

PyGetSetDef info_getters[] = {
    {"reads", info_u64<&ArchiveInfo::reads>, nullptr, nullptr, nullptr},
    {"blocks", info_u64<&ArchiveInfo::blocks>, nullptr, nullptr, nullptr},
    {"group_size", info_group_size, nullptr, nullptr, nullptr},
    {"reordered", info_reordered, nullptr, nullptr, nullptr},
    {"keep_order", info_keep_order, nullptr, nullptr, nullptr},
    {"regenerated_names", info_regenerated_names, nullptr, nullptr, nullptr},
    {"plus_normalized", info_plus_normalized, nullptr, nullptr, nullptr},
    {"format_version", info_format_version, nullptr, nullptr, nullptr},
    {"seq_order", info_header_byte<&container::ArchiveHeader::seq_order>, nullptr, nullptr, nullptr},
    {"quality_binning", info_header_byte<&container::ArchiveHeader::quality_binning>, nullptr,
     nullptr, nullptr},
    {"names_bytes", info_u64<&ArchiveInfo::names_bytes>, nullptr, nullptr, nullptr},
    {"sequence_bytes", info_u64<&ArchiveInfo::sequence_bytes>, nullptr, nullptr, nullptr},
    {"quality_bytes", info_u64<&ArchiveInfo::quality_bytes>, nullptr, nullptr, nullptr},
    {"platform", info_platform, nullptr, nullptr, nullptr},
    {"whole_file_crc", info_whole_file_crc, nullptr, nullptr, nullptr},
    {"member_labels", info_member_labels, nullptr,
     "The original per-slot labels of the interleaved members (such as R1 and R2,\n"
     "or 2 and 4), empty when the archive recorded none. `--mate-style auto`\n"
     "restores these on split.",
     nullptr},
    {"required_features", info_required_features, nullptr,
     "The header's `required_features` word — capability bits a reader must\n"
     "understand to decode the archive at all.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Metadata about an archive, from its header and footer index (no payload decode).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<ArchiveInfo>)},
    {Py_tp_repr, reinterpret_cast<void*>(info_repr)},
    {Py_tp_getset, info_getters},
    {0, nullptr},
};

// ---- Record ------------------------------------------------------------

PyObject* record_name(PyObject* self, void*) { return bytes_from(std::string_view(unbox<container::Record>(self).name)); }
PyObject* record_sequence(PyObject* self, void*) {
  return bytes_from(std::string_view(unbox<container::Record>(self).sequence));
}
PyObject* record_quality(PyObject* self, void*) {
  return bytes_from(std::string_view(unbox<container::Record>(self).quality));
}
Py_ssize_t record_length(PyObject* self) {
  return static_cast<Py_ssize_t>(unbox<container::Record>(self).sequence.size());
}
PyObject* record_repr(PyObject* self) {
  const container::Record& record = unbox<container::Record>(self);
  std::string name = debug_quote(utf8_lossy(as_bytes(record.name)));
  return PyUnicode_FromFormat("Record(name=%s, len=%zu)", name.c_str(), record.sequence.size());
}

PyGetSetDef record_getters[] = {
    {"name", record_name, nullptr, nullptr, nullptr},
    {"sequence", record_sequence, nullptr, nullptr, nullptr},
    {"quality", record_quality, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "One decoded FASTQ record. `name` excludes the leading `@`; `sequence` and\n"
                    "`quality` are raw bytes with no line endings.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<container::Record>)},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_getset, record_getters},
    {Py_sq_length, reinterpret_cast<void*>(record_length)},
    {0, nullptr},
};

// ---- GroupLoc ----------------------------------------------------------

struct GroupLocation {
  uint64_t block_offset;
  uint32_t read_count;
};

PyObject* group_block_offset(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<GroupLocation>(self).block_offset);
}
PyObject* group_read_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<GroupLocation>(self).read_count);
}

PyGetSetDef group_getters[] = {
    {"block_offset", group_block_offset, nullptr, nullptr, nullptr},
    {"read_count", group_read_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot group_slots[] = {
    {Py_tp_doc, const_cast<char*>("On-disk location of one row group.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<GroupLocation>)},
    {Py_tp_getset, group_getters},
    {0, nullptr},
};

// ---- Index -------------------------------------------------------------

using container::Index;
using container::StreamKind;

PyObject* index_total_reads(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<Index>(self).total_reads);
}
PyObject* index_whole_file_crc(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(unbox<Index>(self).whole_file_crc);
}
PyObject* index_num_groups(PyObject* self, void*) {
  return PyLong_FromSize_t(unbox<Index>(self).groups.size());
}
PyObject* index_repr(PyObject* self) {
  const Index& index = unbox<Index>(self);
  return PyUnicode_FromFormat("Index(total_reads=%llu, num_groups=%zu)",
                              static_cast<unsigned long long>(index.total_reads), index.groups.size());
}

PyObject* index_groups(PyObject* self, PyObject*) {
  ModuleState* state = state_of_type(Py_TYPE(self));
  const Index& index = unbox<Index>(self);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(index.groups.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < index.groups.size(); ++i) {
    PyObject* loc = new_group_loc(state, index.groups[i]);
    if (!loc) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), loc);
  }
  return list.release();
}

// Parses (group, stream). Returns the stream's location; nullptr with an
// exception set for a bad argument, or without one for a group out of range
// (each caller words that itself).
const container::StreamLoc* lookup_stream(PyObject* self, PyObject* group_arg, PyObject* stream_arg,
                                          uint64_t& group, StreamKind& kind) {
  group = PyLong_AsUnsignedLongLong(group_arg);
  if (PyErr_Occurred()) return nullptr;
  if (!stream_kind_from(stream_arg, kind)) return nullptr;
  const Index& index = unbox<Index>(self);
  if (group >= index.groups.size()) return nullptr;
  return &index.groups[group].stream(kind);
}

// The stream location named by (group, stream) for stream_range and
// stream_crc, which report an out-of-range group with the bare text.
const container::StreamLoc* parse_stream_lookup(PyObject* self, PyObject* args, PyObject* kwargs,
                                                const char* format) {
  static const char* keywords[] = {"group", "stream", nullptr};
  PyObject *group_arg, *stream_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &group_arg, &stream_arg))
    return nullptr;
  uint64_t group;
  StreamKind kind;
  const auto* loc = lookup_stream(self, group_arg, stream_arg, group, kind);
  if (!loc && !PyErr_Occurred())
    PyErr_SetString(state_of_type(Py_TYPE(self))->zelk_error, "row-group index out of range");
  return loc;
}

PyObject* index_stream_range(PyObject* self, PyObject* args, PyObject* kwargs) {
  const auto* loc = parse_stream_lookup(self, args, kwargs, "OO:stream_range");
  if (!loc) return nullptr;
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(loc->offset),
                       static_cast<unsigned long long>(loc->offset + loc->length));
}

PyObject* index_stream_crc(PyObject* self, PyObject* args, PyObject* kwargs) {
  const auto* loc = parse_stream_lookup(self, args, kwargs, "OO:stream_crc");
  if (!loc) return nullptr;
  return PyLong_FromUnsignedLong(loc->crc);
}

PyObject* index_verify_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"group", "stream", "coded", nullptr};
  PyObject *group_arg, *stream_arg, *coded;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO!:verify_stream", const_cast<char**>(keywords),
                                   &group_arg, &stream_arg, &PyBytes_Type, &coded))
    return nullptr;
  uint64_t group = PyLong_AsUnsignedLongLong(group_arg);
  StreamKind kind;
  if (PyErr_Occurred() || !stream_kind_from(stream_arg, kind)) return nullptr;
  auto verdict = container::verify_stream(unbox<Index>(self), group, kind, bytes_view(coded));
  if (!verdict) return raise_archive_error(state_of_type(Py_TYPE(self))->zelk_error, verdict.error());
  Py_RETURN_NONE;
}

PyGetSetDef index_getters[] = {
    {"total_reads", index_total_reads, nullptr, nullptr, nullptr},
    {"whole_file_crc", index_whole_file_crc, nullptr, nullptr, nullptr},
    {"num_groups", index_num_groups, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef index_methods[] = {
    {"groups", index_groups, METH_NOARGS, "groups($self)\n--\n\n"},
    {"stream_range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_stream_range)),
     METH_VARARGS | METH_KEYWORDS,
     "stream_range($self, group, stream)\n--\n\n"
     "The `[start, end)` byte range of `stream` in row group `group` — issue one\n"
     "`Range: bytes=start-(end-1)` GET for it, then [`PyIndex::verify_stream`] and\n"
     "the matching `decode_*_bytes`."},
    {"stream_crc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_stream_crc)),
     METH_VARARGS | METH_KEYWORDS,
     "stream_crc($self, group, stream)\n--\n\n"
     "The footer's CRC-32C for `stream` in `group` (a fetched column checks\n"
     "against this — the block content digests cover the *decoded* streams and so\n"
     "cannot verify a projected fetch of *coded* bytes)."},
    {"verify_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_verify_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "verify_stream($self, group, stream, coded)\n--\n\n"
     "Verify a fetched coded stream against the index's CRC-32C, raising\n"
     "`zelk.ZelkError` if it was corrupted in transit or storage."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "A parsed footer row-group index (plain layout only). Wraps the core\n"
         "[`zelk_core::Index`] so it can hand out per-stream byte ranges and CRCs — the\n"
         "primitives a remote client uses to fetch and verify one column with `Range`\n"
         "requests (see `zelk.remote`).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Index>)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_getset, index_getters},
    {Py_tp_methods, index_methods},
    {0, nullptr},
};

// ---- Estimate ----------------------------------------------------------

using container::EstimateTotals;

template <uint64_t EstimateTotals::*Field>
PyObject* estimate_u64(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<EstimateTotals>(self).*Field);
}

double estimate_ratio(const EstimateTotals& totals) {
  return totals.archive_bytes == 0 ? 0.0
                                   : static_cast<double>(totals.raw_bytes) / static_cast<double>(totals.archive_bytes);
}

PyObject* estimate_exhausted(PyObject* self, void*) { return PyBool_FromLong(unbox<EstimateTotals>(self).exhausted); }
PyObject* estimate_platform(PyObject* self, void*) {
  return PyUnicode_FromString(container::platform_key(unbox<EstimateTotals>(self).platform));
}
PyObject* estimate_ratio_getter(PyObject* self, void*) {
  return PyFloat_FromDouble(estimate_ratio(unbox<EstimateTotals>(self)));
}

PyObject* estimate_repr(PyObject* self) {
  const EstimateTotals& totals = unbox<EstimateTotals>(self);
  char ratio[64];
  std::snprintf(ratio, sizeof ratio, "%.3f", estimate_ratio(totals));
  return PyUnicode_FromFormat("Estimate(sample_reads=%llu, archive_bytes=%llu, ratio=%s, exhausted=%s)",
                              static_cast<unsigned long long>(totals.sample_reads),
                              static_cast<unsigned long long>(totals.archive_bytes), ratio,
                              totals.exhausted ? "true" : "false");
}

PyGetSetDef estimate_getters[] = {
    {"sample_reads", estimate_u64<&EstimateTotals::sample_reads>, nullptr, nullptr, nullptr},
    {"sample_bases", estimate_u64<&EstimateTotals::sample_bases>, nullptr, nullptr, nullptr},
    {"raw_bytes", estimate_u64<&EstimateTotals::raw_bytes>, nullptr, nullptr, nullptr},
    {"names_bytes", estimate_u64<&EstimateTotals::names_bytes>, nullptr, nullptr, nullptr},
    {"sequence_bytes", estimate_u64<&EstimateTotals::sequence_bytes>, nullptr, nullptr, nullptr},
    {"quality_bytes", estimate_u64<&EstimateTotals::quality_bytes>, nullptr, nullptr, nullptr},
    {"archive_bytes", estimate_u64<&EstimateTotals::archive_bytes>, nullptr, nullptr, nullptr},
    {"exhausted", estimate_exhausted, nullptr,
     "`True` when the whole input fit in the sample, so the numbers are exact\n"
     "rather than an extrapolation base.",
     nullptr},
    {"platform", estimate_platform, nullptr,
     "The sequencing platform resolved from the sample: one of \"unknown\",\n"
     "\"illumina\", \"nanopore\", \"pacbio\" or \"mgi\". A grouped estimate reports the\n"
     "group's shared platform; a group whose inputs disagree is rejected up front.",
     nullptr},
    {"ratio", estimate_ratio_getter, nullptr,
     "Uncompressed FASTQ bytes ÷ archive bytes. Scale-invariant; `0.0` if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot estimate_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Projected compression of a FASTQ, from coding a bounded leading sample with the\n"
                    "real codecs — the result of [`estimate`]. The byte counts describe the sample;\n"
                    "`ratio` is scale-invariant and holds for the whole file.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<EstimateTotals>)},
    {Py_tp_repr, reinterpret_cast<void*>(estimate_repr)},
    {Py_tp_getset, estimate_getters},
    {0, nullptr},
};

PyType_Spec record_spec = boxed_spec<container::Record>("_zelk.Record", record_slots);
PyType_Spec info_spec = boxed_spec<ArchiveInfo>("_zelk.Info", info_slots);
PyType_Spec index_spec = boxed_spec<Index>("_zelk.Index", index_slots);
PyType_Spec group_spec = boxed_spec<GroupLocation>("_zelk.GroupLoc", group_slots);
PyType_Spec estimate_spec = boxed_spec<EstimateTotals>("_zelk.Estimate", estimate_slots);

// In registration order (the TypeSlot order).
PyType_Spec* const type_specs[kTypeCount] = {&record_spec, &reader_type_spec, &info_spec,
                                             &index_spec,  &group_spec,       &estimate_spec};

}  // namespace

int add_types(PyObject* module, ModuleState* state) {
  for (int i = 0; i < kTypeCount; ++i) {
    state->types[i] = PyType_FromModuleAndSpec(module, type_specs[i], nullptr);
    if (!state->types[i]) return -1;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state->types[i])) < 0) return -1;
  }
  return 0;
}

PyObject* new_info(ModuleState* state, container::ArchiveInfo info) {
  return box(state->types[kInfoType], std::move(info));
}

PyObject* new_record(ModuleState* state, container::Record record) {
  return box(state->types[kRecordType], std::move(record));
}

PyObject* new_index(ModuleState* state, container::Index index) {
  return box(state->types[kIndexType], std::move(index));
}

PyObject* new_estimate(ModuleState* state, const container::EstimateTotals& totals) {
  return box(state->types[kEstimateType], totals);
}

PyObject* new_group_loc(ModuleState* state, const container::GroupEntry& group) {
  return box(state->types[kGroupLocType], GroupLocation{group.block_offset, group.read_count});
}

}  // namespace zelk::py
