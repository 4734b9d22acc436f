// The keyword options every archive writer of _zelk_writer takes, and their
// conversion to the core's ArchiveOptions.
#pragma once

#include <Python.h>

#include "zelk-container/archive_writer.h"

namespace zelk::py {

#define ZELK_ARCHIVE_KEYWORDS                                                                     \
  "block_reads", "sequence_method", "sequence_order", "hashed_order", "table_bits", "quality_mode", \
      "quality_binning", "symbols", "quantizer", "chunk_variant", "segments", "warmup", "platform", \
      "members", "labels", "flags", "reference", "threads"
// The keyword-only part of a PyArg_ParseTupleAndKeywords format for them.
#define ZELK_ARCHIVE_FORMAT "|$OOOOOOOOOOOOOOOOOO"
// The matching pointers into an OptionArgs `a`.
#define ZELK_ARCHIVE_OPTION_POINTERS(a)                                                               \
  &(a).block_reads, &(a).sequence_method, &(a).sequence_order, &(a).hashed_order, &(a).table_bits, \
      &(a).quality_mode, &(a).quality_binning, &(a).symbols, &(a).quantizer, &(a).chunk_variant,   \
      &(a).segments, &(a).warmup, &(a).platform, &(a).members, &(a).labels, &(a).flags, &(a).reference, \
      &(a).threads

#define ZELK_ARCHIVE_OPTIONS_DOC                                                                      \
  "block_reads=None, sequence_method=0, sequence_order=None, hashed_order=None, table_bits=None, "    \
  "quality_mode=None, quality_binning=0, symbols=None, quantizer=None, chunk_variant=1, segments=4, " \
  "warmup=None, platform=None, members=1, labels=None, flags=0, reference=None, threads=1"

// The option objects in keyword order (absent: nullptr).
struct OptionArgs {
  PyObject *block_reads = nullptr, *sequence_method = nullptr, *sequence_order = nullptr,
           *hashed_order = nullptr, *table_bits = nullptr, *quality_mode = nullptr,
           *quality_binning = nullptr, *symbols = nullptr, *quantizer = nullptr,
           *chunk_variant = nullptr, *segments = nullptr, *warmup = nullptr, *platform = nullptr,
           *members = nullptr, *labels = nullptr, *flags = nullptr, *reference = nullptr, *threads = nullptr;
};

// False with a Python exception set on a bad value.
bool options_from(const OptionArgs& args, container::ArchiveOptions& options);

// True on success; otherwise raises the writer's error unless Python
// already has one (a failing iterator or conversion).
bool check(PyObject* module, const Result<void>& result);

}  // namespace zelk::py
