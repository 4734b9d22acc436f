#include "zelk-container/reordered_layout.h"

#include <algorithm>
#include <optional>

#include "zelk-base/io.h"
#include "zelk-base/pool.h"
#include "zelk-base/xxh3.h"
#include "zelk-container/block_reader.h"
#include "zelk-container/decode.h"
#include "zelk-container/header.h"
#include "zelk-dna/dna.h"
#include "zelk-names/names.h"
#include "zelk-quality/quality.h"
#include "zelk-rans/rans.h"
#include "zelk-reorder/clustered.h"
#include "zelk-reorder/reference.h"

namespace zelk::container {

std::string sequence_block_label(uint64_t i) { return "reorder sequence block " + std::to_string(i); }
std::string name_block_label(uint64_t i) { return "reorder name block " + std::to_string(i); }
std::string quality_block_label(uint64_t i) { return "reorder quality block " + std::to_string(i); }

namespace {

ArchiveError length_disagreement() { return ArchiveError::malformed("reordered stream length disagreement"); }
ArchiveError read_count_too_large() { return ArchiveError::malformed("reorder read count too large to allocate"); }

// Which sections a decode reads and decodes; the others are skipped.
struct SectionPlan {
  bool flips = true;
  bool permutation = true;
  bool sequence = true;
  bool names = true;  // the name blocks, when there is no template
  bool quality = true;

  static SectionPlan for_request(bool full, StreamSelection selection, bool keep_order) {
    if (full) return {};
    return {selection.sequence || (selection.quality && !keep_order), selection.sequence && keep_order,
            selection.sequence, selection.names, selection.quality};
  }
};

struct Sections {
  uint64_t reads = 0;
  Bytes flips;
  Bytes permutation;  // rANS-coded
  std::optional<names::NameTemplate> name_template;
  std::optional<dna::ReferenceSet> reference;
  std::vector<Bytes> sequence_blocks;
  std::vector<Bytes> name_blocks;
  std::vector<Bytes> quality_blocks;
  Bytes digest;
};

// A fixed-width count between sections; input that ends inside it is
// Truncated.
template <class T>
Result<T> read_count(BufferedReader& reader) {
  uint8_t raw[sizeof(T)];
  size_t got = ZELK_TRY(reader.read_some_exact(raw));
  if (got != sizeof raw) return fail(ArchiveError::truncated());
  return load_le<T>(raw);
}

// Passes over a framed slice without checking anything.
Result<void> skip_framed_slice(BufferedReader& reader) {
  uint8_t length[4];
  ZELK_TRY(reader.read_exact(length));
  return reader.skip(uint64_t{load_le<uint32_t>(length)} + 4);
}

Result<void> read_or_skip(BufferedReader& reader, bool wanted, const std::string& label, Bytes& out) {
  if (!wanted) return skip_framed_slice(reader);
  out = ZELK_TRY(read_framed_slice(reader, label));
  return {};
}

Result<Sections> read_sections(const ArchiveHeader& header, BufferedReader& reader, WorkerPool& pool,
                               const SectionPlan& plan, bool full) {
  Sections sections;
  sections.reads = ZELK_TRY(read_count<uint64_t>(reader));
  ZELK_TRY(read_or_skip(reader, plan.flips, kFlipLabel, sections.flips));
  ZELK_TRY(read_or_skip(reader, plan.permutation, kPermutationLabel, sections.permutation));
  Bytes name_template = ZELK_TRY(read_framed_slice(reader, kTemplateLabel));
  if (!name_template.empty()) {
    sections.name_template = ZELK_TRY(names::parse_name_template(name_template));
    if (header.has_flag(kFlagKeepOrder))
      return fail(ArchiveError::malformed("reorder name template cannot be combined with keep_order"));
  }
  if (header.has_flag(kFlagGlobalReference)) {
    Bytes reference;
    ZELK_TRY(read_or_skip(reader, plan.sequence, kReferenceLabel, reference));
    if (plan.sequence) sections.reference = ZELK_TRY(reorder::decode_reorder_reference(reference, pool));
  }
  uint32_t blocks = ZELK_TRY(read_count<uint32_t>(reader));
  // Every read is in some sequence block, and a block holds a bounded
  // number: a larger N can never agree with the streams.
  if (sections.reads / reorder::kMaxBlockReads > blocks) return fail(length_disagreement());
  for (uint32_t i = 0; i < blocks; ++i) {
    Bytes block;
    ZELK_TRY(read_or_skip(reader, plan.sequence, sequence_block_label(i), block));
    if (plan.sequence) sections.sequence_blocks.push_back(std::move(block));
  }
  bool names_wanted = plan.names && !sections.name_template;
  for (uint32_t i = 0; i < blocks; ++i) {
    Bytes names, qualities;
    ZELK_TRY(read_or_skip(reader, names_wanted, name_block_label(i), names));
    ZELK_TRY(read_or_skip(reader, plan.quality, quality_block_label(i), qualities));
    if (names_wanted) sections.name_blocks.push_back(std::move(names));
    if (plan.quality) sections.quality_blocks.push_back(std::move(qualities));
  }
  sections.digest = ZELK_TRY(read_framed_slice(reader, kDigestLabel));
  if (full && sections.digest.size() != 8) return fail(ArchiveError::malformed("reorder output digest length"));
  return sections;
}

// Runs decode(i) for every input on the pool; the first failure in input
// order is the result.
template <class T, class Decode>
Result<std::vector<T>> decode_all(WorkerPool& pool, size_t count, Decode&& decode) {
  std::vector<std::optional<Result<T>>> results(count);
  pool.parallel_for(count, [&](size_t i) { results[i] = decode(i); });
  std::vector<T> out;
  out.reserve(count);
  for (auto& result : results) {
    if (!*result) return fail(std::move(*result).error());
    out.push_back(std::move(**result));
  }
  return out;
}

// Every decoded stream, concatenated in block order.
struct DecodedStreams {
  std::vector<dna::SequenceBlock> sequence_blocks;  // owns the bases `sequences` points into
  std::vector<std::span<uint8_t>> sequences;        // S, one per stored read
  std::vector<names::NameList> name_blocks;         // owns the names `names` points into
  std::vector<std::string_view> names;
  std::vector<uint32_t> lengths;  // L
  Bytes qualities;                // Q
};

template <class Blocks, class Count>
uint64_t total_count(const Blocks& blocks, Count&& count) {
  uint64_t total = 0;
  for (const auto& block : blocks) total += count(block);
  return total;
}

Result<DecodedStreams> decode_streams(Sections& sections, WorkerPool& pool, const SectionPlan& plan) {
  DecodedStreams out;
  const dna::ReferenceSet* reference = sections.reference ? &*sections.reference : nullptr;
  out.sequence_blocks = ZELK_TRY(decode_all<dna::SequenceBlock>(pool, sections.sequence_blocks.size(), [&](size_t i) {
    return reorder::decode_sequence_block(sections.sequence_blocks[i], reference);
  }));
  sections.sequence_blocks.clear();
  struct Pair {
    std::optional<names::NameList> names;
    std::optional<quality::DecodedQualities> qualities;
  };
  size_t pairs = std::max(sections.name_blocks.size(), sections.quality_blocks.size());
  auto decoded_pairs = ZELK_TRY(decode_all<Pair>(pool, pairs, [&](size_t i) -> Result<Pair> {
    Pair pair;
    if (i < sections.name_blocks.size()) pair.names = ZELK_TRY(names::decode_names(sections.name_blocks[i]));
    if (i < sections.quality_blocks.size())
      pair.qualities = ZELK_TRY(quality::decode_quality_stream(sections.quality_blocks[i], {}, &pool));
    return pair;
  }));
  sections.name_blocks.clear();
  sections.quality_blocks.clear();

  // The counts are checked before anything is reserved for N entries, so N
  // is never trusted beyond what the blocks decoded to.
  uint64_t n = sections.reads;
  bool names_stored = plan.names && !sections.name_template;
  auto read_count = [](const dna::SequenceBlock& block) { return block.read_lengths.size(); };
  if (plan.sequence && total_count(out.sequence_blocks, read_count) != n) return fail(length_disagreement());
  auto names_count = [](const Pair& pair) { return pair.names ? pair.names->size() : 0; };
  if (names_stored && total_count(decoded_pairs, names_count) != n) return fail(length_disagreement());
  auto lengths_count = [](const Pair& pair) { return pair.qualities ? pair.qualities->read_lengths.size() : 0; };
  if (plan.quality && total_count(decoded_pairs, lengths_count) != n) return fail(length_disagreement());
  if (plan.sequence) ZELK_TRY(reserve_checked(out.sequences, n, read_count_too_large));
  if (names_stored) ZELK_TRY(reserve_checked(out.names, n, read_count_too_large));
  if (plan.quality) ZELK_TRY(reserve_checked(out.lengths, n, read_count_too_large));

  for (dna::SequenceBlock& block : out.sequence_blocks) {
    size_t start = 0;
    for (uint32_t length : block.read_lengths) {
      out.sequences.push_back(std::span<uint8_t>(block.bases).subspan(start, length));
      start += length;
    }
  }
  uint64_t quality_bytes = total_count(decoded_pairs, [](const Pair& pair) {
    return pair.qualities ? pair.qualities->qualities.size() : 0;
  });
  ZELK_TRY(resize_checked(out.qualities, quality_bytes, read_count_too_large));
  size_t quality_end = 0;
  for (Pair& pair : decoded_pairs) {
    if (pair.names) out.name_blocks.push_back(std::move(*pair.names));
    if (pair.qualities) {
      const auto& decoded = *pair.qualities;
      out.lengths.insert(out.lengths.end(), decoded.read_lengths.begin(), decoded.read_lengths.end());
      std::ranges::copy(decoded.qualities, out.qualities.begin() + quality_end);
      quality_end += decoded.qualities.size();
      pair.qualities.reset();
    }
  }
  // Views are taken only once the name lists have stopped moving.
  for (const names::NameList& block : out.name_blocks)
    for (size_t i = 0; i < block.size(); ++i) out.names.push_back(block[i]);
  return out;
}

bool flipped(ByteSpan flips, uint64_t i) { return i / 8 < flips.size() && ((flips[i / 8] >> (i % 8)) & 1); }

Result<void> reverse_complement_in_place(std::span<uint8_t> sequence, Bytes& scratch) {
  scratch.resize(sequence.size());
  ZELK_TRY(dna::revcomp_into(sequence, scratch));
  std::ranges::copy(scratch, sequence.begin());
  return {};
}

// Places every stored sequence at its output position: S'[p(i)] = S[i],
// flipped ones reverse-complemented first. Views move; bases stay put.
Result<void> place_in_original_order(DecodedStreams& streams, const Sections& sections) {
  uint64_t n = sections.reads;
  uint64_t planes_size = n > UINT64_MAX / 4 ? UINT64_MAX : 4 * n;
  auto planes = rans::rans_decode(sections.permutation, planes_size);
  if (!planes) return fail(ArchiveError::malformed("bad permutation"));
  if (planes->size() != planes_size) return fail(ArchiveError::malformed("permutation length mismatch"));
  std::vector<std::span<uint8_t>> placed = ZELK_TRY(allocate<std::vector<std::span<uint8_t>>>(n, read_count_too_large));
  Bytes scratch;
  const uint8_t* plane = planes->data();
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t position = plane[i] | uint64_t{plane[n + i]} << 8 | uint64_t{plane[2 * n + i]} << 16 |
                        uint64_t{plane[3 * n + i]} << 24;
    if (position >= n) return fail(ArchiveError::malformed("permutation out of range"));
    if (flipped(sections.flips, i)) ZELK_TRY(reverse_complement_in_place(streams.sequences[i], scratch));
    placed[position] = streams.sequences[i];
  }
  streams.sequences = std::move(placed);
  return {};
}

// Builds each output record from the decoded streams and hands it on.
class Emitter {
 public:
  Emitter(DecodedStreams& streams, const Sections& sections, const SectionPlan& plan, bool stored_order)
      : streams_(streams), sections_(sections), plan_(plan), stored_order_(stored_order) {}

  // Record i of the output; the views stay valid until the next call.
  Result<ReadView> record(uint64_t i) {
    ReadView read;
    if (plan_.quality) {
      uint64_t end;
      if (__builtin_add_overflow(quality_offset_, uint64_t{streams_.lengths[i]}, &end) ||
          end > streams_.qualities.size())
        return fail(ArchiveError::malformed("quality underrun"));
      read.quality = ByteSpan(streams_.qualities).subspan(quality_offset_, streams_.lengths[i]);
      quality_offset_ = end;
    }
    std::span<uint8_t> sequence;
    if (plan_.sequence) {
      sequence = streams_.sequences[i];
      if (plan_.quality && sequence.size() != read.quality.size())
        return fail(ArchiveError::malformed("reordered sequence length mismatch"));
      read.sequence = sequence;
    }
    if (stored_order_ && flipped(sections_.flips, i)) {
      if (plan_.sequence) {
        sequence_scratch_.resize(sequence.size());
        ZELK_TRY(dna::revcomp_into(sequence, sequence_scratch_));
        read.sequence = sequence_scratch_;
      }
      if (plan_.quality) {
        quality_scratch_.assign(read.quality.rbegin(), read.quality.rend());
        read.quality = quality_scratch_;
      }
    }
    if (sections_.name_template && stored_order_ && plan_.names) {
      name_scratch_ = names::render_name_template(*sections_.name_template, i);
      read.name = name_scratch_;
    } else if (!streams_.names.empty()) {
      read.name = streams_.names[i];
    }
    return read;
  }

 private:
  DecodedStreams& streams_;
  const Sections& sections_;
  const SectionPlan& plan_;
  bool stored_order_;
  uint64_t quality_offset_ = 0;
  Bytes sequence_scratch_, quality_scratch_;
  std::string name_scratch_;
};

void add_to_digest(Xxh3Digest& digest, const ReadView& read) {
  digest.update_le(static_cast<uint32_t>(read.name.size()));
  digest.update(as_bytes(read.name));
  digest.update_le(static_cast<uint32_t>(read.sequence.size()));
  digest.update(read.sequence);
  digest.update(read.quality);
}

}  // namespace

Result<uint64_t> decode_reordered(const ArchiveHeader& header, BufferedReader& reader, WorkerPool& pool,
                                  const DecodeRequest& request, RecordSink& sink) {
  auto check_interrupted = [&]() -> Result<void> {
    if (request.interrupted && request.interrupted()) return fail(ArchiveError::interrupted());
    return {};
  };
  const bool full = request.full;
  bool keep_order = header.has_flag(kFlagKeepOrder);
  SectionPlan plan = SectionPlan::for_request(full, request.selection, keep_order);
  Sections sections = ZELK_TRY(read_sections(header, reader, pool, plan, full));
  ZELK_TRY(check_interrupted());
  DecodedStreams streams = ZELK_TRY(decode_streams(sections, pool, plan));
  ZELK_TRY(check_interrupted());
  if (keep_order && plan.sequence) ZELK_TRY(place_in_original_order(streams, sections));

  Emitter emitter(streams, sections, plan, !keep_order);
  Xxh3Digest digest;
  Bytes text;
  constexpr uint64_t kRecordsBetweenChecks = 65536;
  for (uint64_t i = 0; i < sections.reads; ++i) {
    if (i % kRecordsBetweenChecks == kRecordsBetweenChecks - 1) ZELK_TRY(check_interrupted());
    ReadView read = ZELK_TRY(emitter.record(i));
    if (full) {
      add_to_digest(digest, read);
      text.clear();
      append_fastq(text, read);
      ZELK_TRY(sink.write_text(text));
    } else {
      ZELK_TRY(sink.write_record({std::string(read.name), std::string(read.sequence.begin(), read.sequence.end()),
                                  std::string(read.quality.begin(), read.quality.end())}));
    }
  }
  if (full) {
    digest.update_le(sections.reads);
    if (digest.digest() != load_le<uint64_t>(sections.digest.data())) return fail(ArchiveError::corrupt(kDigestLabel));
  }
  return sections.reads;
}

}  // namespace zelk::container
