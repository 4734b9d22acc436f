// Whole-archive writing from (name, sequence, quality) triples or a FASTQ
// file, and the options every archive writer takes.
#include "zelk-base/fastq.h"
#include "zelk-container/archive_writer.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/writer/archive_options.h"
#include "zelk-python/writer/arguments.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

using container::ArchiveOptions;
using container::ArchiveWriter;

bool options_from(const OptionArgs& args, ArchiveOptions& options) {
  std::optional<uint64_t> block_reads, segments;
  if (!optional_u64(args.block_reads, block_reads) || !optional_byte(args.sequence_method, "sequence_method", options.sequence.method) ||
      !optional_byte(args.sequence_order, "sequence_order", options.sequence.order) ||
      !optional_byte(args.hashed_order, "hashed_order", options.sequence.hashed_order) ||
      !optional_byte(args.table_bits, "table_bits", options.sequence.table_bits) ||
      !optional_byte(args.quality_mode, "quality_mode", options.quality_mode) ||
      !optional_byte(args.quality_binning, "quality_binning", options.quality_binning) ||
      !optional_bytes(args.symbols, "symbols", options.symbols) ||
      !optional_bytes(args.quantizer, "quantizer", options.quantizer) ||
      !optional_byte(args.chunk_variant, "chunk_variant", options.chunk_variant) ||
      !optional_u64(args.segments, segments) || !optional_u64(args.warmup, options.warmup) ||
      !optional_byte(args.platform, "platform", options.platform) ||
      !optional_byte(args.members, "members", options.members) || !optional_byte(args.flags, "flags", options.flags))
    return false;
  options.block_reads = block_reads.value_or(0);
  if (!optional_byte(args.level, "level", options.level)) return false;
  if (options.level < 1 || options.level > 9) {
    PyErr_SetString(PyExc_ValueError, "level must be 1 to 9");
    return false;
  }
  if (segments) {
    if (*segments > UINT32_MAX) {
      PyErr_SetString(PyExc_ValueError, "segments must fit in 32 bits");
      return false;
    }
    options.segments = static_cast<uint32_t>(*segments);
  }
  if (args.threads && !threads_from(args.threads, options.threads)) return false;
  if (args.reference && args.reference != Py_None && !bytes_sequence(args.reference, options.reference.emplace()))
    return false;
  return !args.labels || args.labels == Py_None || bytes_sequence(args.labels, options.labels);
}

bool check(PyObject* module, const Result<void>& result) {
  if (result) return true;
  if (!PyErr_Occurred()) raise_writer_error(module, result.error());
  return false;
}

namespace {

// Feeds every (name, sequence, quality) triple of `records` to `writer`.
bool add_triples(PyObject* module, PyObject* records, ArchiveWriter& writer) {
  return for_each_triple(records, [&](FastqRecord record) { return check(module, writer.add(std::move(record))); });
}

Result<void> append_to(Bytes& out, ByteSpan data) {
  append_bytes(out, data);
  return {};
}

PyObject* py_write_archive(PyObject* module, PyObject* args, PyObject* kwargs) {
  int layout = requested_layout(kwargs);
  if (layout < 0) return nullptr;
  if (layout == 1) return write_reordered_archive(module, args, kwargs);
  static const char* keywords[] = {"records", ZELK_ARCHIVE_KEYWORDS, nullptr};
  PyObject* records;
  OptionArgs a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O" ZELK_ARCHIVE_FORMAT ":write_archive",
                                   const_cast<char**>(keywords), &records, ZELK_ARCHIVE_OPTION_POINTERS(a)))
    return nullptr;
  ArchiveOptions options;
  if (!options_from(a, options)) return nullptr;
  Bytes archive;
  ArchiveWriter writer(std::move(options), [&](ByteSpan data) { return append_to(archive, data); });
  if (!add_triples(module, records, writer) || !check(module, writer.finish())) return nullptr;
  return bytes_from(ByteSpan(archive));
}

// Feeds every record of `reader` to `writer`; the lock is released.
Result<uint64_t> add_fastq(FastqReader& reader, ArchiveWriter& writer) {
  uint64_t reads = 0;
  FastqRecord record;
  while (ZELK_TRY(reader.next(record))) {
    ZELK_TRY(writer.add(std::move(record)));
    ++reads;
  }
  ZELK_TRY(writer.finish());
  return reads;
}

PyObject* py_compress_fastq(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "dest", ZELK_ARCHIVE_KEYWORDS, nullptr};
  PyObject *source_arg, *dest_arg;
  OptionArgs a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO" ZELK_ARCHIVE_FORMAT ":compress_fastq",
                                   const_cast<char**>(keywords), &source_arg, &dest_arg,
                                   ZELK_ARCHIVE_OPTION_POINTERS(a)))
    return nullptr;
  ArchiveOptions options;
  if (!options_from(a, options)) return nullptr;
  auto source = source_from_bytes_or_path(source_arg);
  if (!source) return nullptr;
  auto file = output_file_from(dest_arg);
  if (!file) return nullptr;
  Result<uint64_t> reads = [&] {
    GilReleased unlocked;
    FastqReader reader(*source);
    ArchiveWriter writer(std::move(options), [&](ByteSpan data) { return file->write(data); });
    return add_fastq(reader, writer);
  }();
  file.reset();
  if (!reads) return raise_writer_error(module, reads.error());
  return PyLong_FromUnsignedLongLong(*reads);
}

PyObject* py_read_fastq(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", nullptr};
  PyObject* source_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:read_fastq", const_cast<char**>(keywords), &source_arg))
    return nullptr;
  auto source = source_from_bytes_or_path(source_arg);
  if (!source) return nullptr;
  std::vector<FastqRecord> records;
  Result<bool> more = true;
  {
    GilReleased unlocked;
    FastqReader reader(*source);
    FastqRecord record;
    while ((more = reader.next(record)) && *more) records.push_back(std::move(record));
  }
  if (!more) return raise_writer_error(module, more.error());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    const FastqRecord& r = records[i];
    PyObject* triple = Py_BuildValue("(y#y#y#)", r.header.data(), static_cast<Py_ssize_t>(r.header.size()),
                                     r.sequence.data(), static_cast<Py_ssize_t>(r.sequence.size()),
                                     r.quality.data(), static_cast<Py_ssize_t>(r.quality.size()));
    if (!triple) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), triple);
  }
  return list.release();
}

}  // namespace

PyMethodDef archive_methods[] = {
    ZELK_WRITER_FN(write_archive,
                   "write_archive(records, *, " ZELK_ARCHIVE_OPTIONS_DOC ")\n--\n\n"
                   "A complete plain archive of `records`, an iterable of (name, sequence,\n"
                   "quality) triples of bytes or str. None picks the default for the read length.\n"
                   "`reference`, a list of contig bytes, is stored as the archive's shared\n"
                   "reference frame (header flag bit 5).\n\n"
                   "layout=\"reordered\" writes the globally reordered layout instead, with the\n"
                   "keywords reorder_version=3, keep_order=True, name_template=\"auto\",\n"
                   "reorder=True, reference=None (\"auto\" or contigs), reference_method=0,\n"
                   "block_reads, quality_mode (0 only), quality_binning, symbols, platform,\n"
                   "members, labels, threads (default 0: one per processor) and level."),
    ZELK_WRITER_FN(compress_fastq,
                   "compress_fastq(source, dest, *, " ZELK_ARCHIVE_OPTIONS_DOC ")\n--\n\n"
                   "Compress a four-line FASTQ file (plain or gzip; a path or bytes) into an\n"
                   "archive at `dest`. Returns the read count. `zelk.compress` is the user-facing\n"
                   "version (safe outputs, wrapped input, pairs)."),
    ZELK_WRITER_FN(read_fastq,
                   "read_fastq(source)\n--\n\n"
                   "The (name, sequence, quality) triples of a four-line FASTQ file, plain or gzip."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::py
