// Argument conversion shared by every _zelk_writer function. Each returns
// false with a Python exception set on a bad value; None or an absent
// keyword leaves an optional empty (or a plain field unchanged).
#pragma once

#include <Python.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "zelk-base/bytes.h"
#include "zelk-base/fastq.h"
#include "zelk-dna/sequence_block.h"

namespace zelk::py {

bool optional_u64(PyObject* arg, std::optional<uint64_t>& out);
bool optional_u32(PyObject* arg, std::optional<uint32_t>& out);
// An integer of 0 to 255; `name` is the keyword, for the message.
bool optional_byte(PyObject* arg, const char* name, std::optional<uint8_t>& out);
bool optional_byte(PyObject* arg, const char* name, uint8_t& out);
bool optional_bytes(PyObject* arg, const char* name, std::optional<Bytes>& out);

// A bytes object copied, or a str as UTF-8.
bool text_bytes(PyObject* arg, std::string& out);
// A sequence of bytes or str objects, copied as by text_bytes.
bool bytes_sequence(PyObject* arg, std::vector<std::string>& out);
// Hands every (name, sequence, quality) triple of the iterable `records` to
// `take`, stopping at the first that returns false.
bool for_each_triple(PyObject* records, const std::function<bool(FastqRecord)>& take);

// A sequence of reads (bytes) as per-read lengths and the concatenation.
bool reads_block(PyObject* arg, dna::SequenceBlock& out);

}  // namespace zelk::py
