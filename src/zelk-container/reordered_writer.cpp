#include "zelk-container/reordered_writer.h"

#include <algorithm>
#include <numeric>
#include <optional>
#include <tuple>

#include "zelk-base/pool.h"
#include "zelk-base/xxh3.h"
#include "zelk-container/block_frame.h"
#include "zelk-container/estimate.h"
#include "zelk-container/header.h"
#include "zelk-dna/dna.h"
#include "zelk-names/names.h"
#include "zelk-rans/rans.h"
#include "zelk-reorder/clustered.h"
#include "zelk-reorder/clusters.h"
#include "zelk-reorder/reference.h"
#include "zelk-reorder/reorderer.h"

namespace zelk::container {

namespace {

std::unexpected<ArchiveError> refuse(std::string message) {
  return fail(ArchiveError::invalid_argument(std::move(message)));
}

// Sequence blocks hold whole clusters, so they are larger than plain
// blocks: a cluster never spans two blocks.
constexpr uint64_t kBlockSizeFactor = 4;
// Substitutions per 16 covered bases an aligned read may have, tried in
// turn for each block: the lower suits reads that code well as literals.
constexpr uint32_t kSubstitutionsPer16[] = {1, 2};

reorder::ReadOrder input_order(size_t count) {
  reorder::ReadOrder order;
  order.original.resize(count);
  std::iota(order.original.begin(), order.original.end(), 0);
  order.flipped.assign(count, 0);
  order.hints.resize(count);
  for (size_t i = 1; i < count; ++i) order.hints[i] = {static_cast<uint32_t>(i - 1), 0};
  order.contig.resize(count);
  std::iota(order.contig.begin(), order.contig.end(), 0);
  order.position.assign(count, 0);
  return order;
}

struct Layout {
  // The input order with its own hints (each read after the one before):
  // every read then codes against the newest cluster.
  bool in_input_order = false;
  uint64_t reads = 0;
  uint64_t block_reads = 1;
  size_t blocks = 0;
  bool keep_order = true;
  reorder::ReadOrder order;
  std::optional<names::NameTemplate> name_template;
  std::optional<dna::ReferenceSet> reference;
  bool reads_on_reference = false;  // each read carries its place on the reference

  // The input record emitted at output position i (stored order without
  // keep_order), and whether it is stored flipped.
  size_t record_at_output(size_t i) const { return keep_order ? i : order.original[i]; }
  std::pair<size_t, size_t> block_range(size_t b) const {
    return {b * block_reads, std::min<uint64_t>(reads, (b + 1) * block_reads)};
  }
};

// Stores the reads in their input order. They need no permutation to come
// back in it, so the archive says they come in stored order.
void keep_input_order(Layout& layout) {
  layout.order = input_order(layout.reads);
  layout.in_input_order = true;
  layout.keep_order = false;
}

std::vector<ByteSpan> sequences_of(const ReadStore& reads) {
  std::vector<ByteSpan> sequences;
  sequences.reserve(reads.size());
  for (size_t i = 0; i < reads.size(); ++i) sequences.push_back(reads.sequence(i));
  return sequences;
}

// Reads placed on the given contigs, stored by contig and offset when
// `reorder` (else in input order), each on the strand that matched; reads
// placed nowhere follow in input order.
reorder::ReadOrder order_on_contigs(const std::vector<std::optional<reorder::ContigHit>>& hits, bool reorder) {
  std::vector<uint32_t> stored(hits.size());
  std::iota(stored.begin(), stored.end(), 0);
  auto place = [&](uint32_t read) {
    return hits[read] ? std::tuple(0, hits[read]->contig, hits[read]->offset) : std::tuple(1, 0u, int64_t{0});
  };
  if (reorder) std::ranges::stable_sort(stored, [&](uint32_t a, uint32_t b) { return place(a) < place(b); });
  reorder::ReadOrder order;
  order.original = std::move(stored);
  order.hints.resize(hits.size());
  for (uint32_t read : order.original) {
    const auto& hit = hits[read];
    order.flipped.push_back(hit && hit->flip);
    order.contig.push_back(hit ? hit->contig : 0);
    order.position.push_back(hit ? hit->offset : -1);
  }
  return order;
}

// Appends `read` on its stored strand.
void append_stored(Bytes& out, ByteSpan read, bool flipped) {
  size_t at = out.size();
  out.resize(at + read.size());
  std::span<uint8_t> stored(out.data() + at, read.size());
  if (flipped)
    (void)dna::revcomp_into(read, stored);  // same length: cannot fail
  else
    std::ranges::copy(read, stored.begin());
}

// Reads that only ever code against the newest cluster code the same in
// version 2 as in version 3, less its back-references, and a decoder of
// version 2 keeps just that cluster instead of every one.
uint8_t newest_cluster(uint8_t version) {
  return version == static_cast<uint8_t>(reorder::BlockVersion::AnyCluster)
             ? static_cast<uint8_t>(reorder::BlockVersion::CurrentCluster)
             : version;
}

// The sequences of stored reads [begin, end), on their stored strand, with
// the overlap hints that stay inside the block.
Result<Bytes> sequence_block(const ReadStore& reads, const Layout& layout, size_t begin, size_t end,
                             uint8_t version) {
  dna::SequenceBlock block;
  std::vector<reorder::ReadPlacement> hints;
  for (size_t i = begin; i < end; ++i) {
    ByteSpan sequence = reads.sequence(layout.order.original[i]);
    block.read_lengths.push_back(static_cast<uint32_t>(sequence.size()));
    append_stored(block.bases, sequence, layout.order.flipped[i]);
    reorder::ReadPlacement hint = layout.order.hints[i];
    if (hint.anchor != reorder::ReadPlacement::kNoAnchor && hint.anchor >= begin)
      hint.anchor -= static_cast<uint32_t>(begin);
    else
      hint.anchor = reorder::ReadPlacement::kNoAnchor;
    if (layout.reads_on_reference) {
      hint.contig = layout.order.contig[i];
      hint.contig_offset = layout.order.position[i];
    }
    hints.push_back(hint);
  }
  // How many substitutions make a literal the cheaper choice depends on how
  // well the context model codes literals, so the block is coded both ways.
  // Each block names its own version, and version 3's back-references pay
  // only where reads return to older clusters often enough to cover their
  // stream's cost, so a version-3 block is coded as version 2 too.
  std::vector<uint8_t> versions{version};
  if (version == static_cast<uint8_t>(reorder::BlockVersion::AnyCluster)) versions.push_back(newest_cluster(version));
  std::optional<Bytes> best;
  for (uint8_t candidate : versions) {
    for (uint32_t substitutions : kSubstitutionsPer16) {
      reorder::BlockEncodeOptions options;
      options.version = static_cast<reorder::BlockVersion>(candidate);
      options.max_substitutions_per_16 = substitutions;
      auto coded = reorder::encode_sequence_block(block, hints, layout.reference ? &*layout.reference : nullptr,
                                                  options);
      if (!coded) return fail(std::move(coded).error());
      if (!best || coded->size() < best->size()) best = std::move(*coded);
    }
  }
  return std::move(*best);
}

// The name block of output positions [begin, end); empty when a template
// renders the names.
Bytes name_block(const ReadStore& reads, const Layout& layout, size_t begin, size_t end) {
  if (layout.name_template) return {};
  std::vector<std::string> names;
  names.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) names.emplace_back(reads.name(layout.record_at_output(i)));
  return names::encode_names(names);
}

// The quality block of output positions [begin, end), coded as the plain
// layout codes its streams but without the bases (mode 0).
Result<Bytes> quality_block(const ReadStore& reads, const Layout& layout, size_t begin, size_t end,
                            const ArchiveOptions& options) {
  std::vector<uint32_t> lengths;
  lengths.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) lengths.push_back(static_cast<uint32_t>(reads.length(layout.record_at_output(i))));
  quality::QualityEncodeOptions quality = quality_options(options);
  quality.mode = 0;  // the only mode decoded without the bases
  auto encode = [&](ByteSpan qualities) { return quality::encode_quality_stream(lengths, qualities, {}, quality); };
  // In input order the block's qualities lie together in the store.
  if (layout.keep_order) return encode(reads.qualities(begin, end));
  Bytes qualities;
  for (size_t i = begin; i < end; ++i) {
    size_t at = qualities.size();
    append_bytes(qualities, reads.quality(layout.record_at_output(i)));
    // Without keep_order a flipped read's quality is stored reversed too.
    if (layout.order.flipped[i]) std::reverse(qualities.begin() + at, qualities.end());
  }
  return encode(qualities);
}

// Permutation planes: byte j of p(i) at offset j * N + i.
Bytes permutation_section(const Layout& layout) {
  if (!layout.keep_order) return {};
  uint64_t n = layout.reads;
  Bytes planes(4 * n);
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t position = layout.order.original[i];
    for (unsigned plane = 0; plane < 4; ++plane) planes[plane * n + i] = static_cast<uint8_t>(position >> (8 * plane));
  }
  return rans::rans_encode_best(planes);
}

// Bytes past the end of the bitmap read as unflipped, so its trailing
// zero bytes are left out.
Bytes flip_section(const Layout& layout) {
  Bytes bits((layout.reads + 7) / 8);
  for (uint64_t i = 0; i < layout.reads; ++i)
    if (layout.order.flipped[i]) bits[i / 8] |= static_cast<uint8_t>(1 << (i % 8));
  while (!bits.empty() && bits.back() == 0) bits.pop_back();
  return bits;
}

// The sections that depend on the order: flips, permutation, sequences.
struct CodedSequences {
  Bytes flips;
  Bytes permutation;
  std::vector<Bytes> blocks;

  uint64_t size() const {
    uint64_t total = flips.size() + permutation.size();
    for (const Bytes& block : blocks) total += block.size();
    return total;
  }
};

Result<CodedSequences> code_sequences(const ReadStore& reads, const Layout& layout, uint8_t version,
                                      WorkerPool& pool) {
  std::vector<Result<Bytes>> blocks(layout.blocks);
  pool.parallel_for(layout.blocks, [&](size_t b) {
    auto [begin, end] = layout.block_range(b);
    blocks[b] = sequence_block(reads, layout, begin, end, layout.in_input_order ? newest_cluster(version) : version);
  });
  CodedSequences coded{flip_section(layout), permutation_section(layout), {}};
  for (auto& block : blocks) {
    if (!block) return fail(std::move(block).error());
    coded.blocks.push_back(std::move(*block));
  }
  return coded;
}

// The consensus of every contig the reorderer laid out, reads counted on
// their stored strand at their positions.
Result<dna::ReferenceSet> consensus_contigs(const ReadStore& reads, const reorder::ReadOrder& order) {
  std::vector<reorder::Cluster> contigs;
  Bytes stored;
  for (size_t i = 0; i < order.original.size(); ++i) {
    if (order.contig[i] >= contigs.size()) contigs.resize(order.contig[i] + 1);
    stored.clear();
    append_stored(stored, reads.sequence(order.original[i]), order.flipped[i]);
    auto too_large = [] { return ArchiveError::invalid_argument("reference too large to build"); };
    ZELK_TRY(contigs[order.contig[i]].learn(static_cast<size_t>(order.position[i]), stored, too_large));
  }
  dna::ReferenceSet reference;
  for (const reorder::Cluster& contig : contigs) {
    for (size_t j = 0; j < contig.size(); ++j) reference.bases.push_back(contig.consensus(j));
    reference.offsets.push_back(reference.bases.size());
  }
  return reference;
}

Result<Bytes> reference_section(const dna::ReferenceSet& reference, uint8_t method) {
  std::vector<ByteSpan> contigs;
  for (size_t k = 0; k < reference.contig_count(); ++k) contigs.push_back(reference.contig(k));
  return reorder::encode_reorder_reference(contigs, static_cast<reorder::ReferenceMethod>(method));
}

// The digest the decoder computes over what it emits.
uint64_t output_digest(const ReadStore& reads, const Layout& layout) {
  Xxh3Digest digest;
  for (uint64_t i = 0; i < layout.reads; ++i) {
    size_t read = layout.record_at_output(i);
    std::string name = layout.name_template ? names::render_name_template(*layout.name_template, i)
                                            : std::string(reads.name(read));
    digest.update_le(static_cast<uint32_t>(name.size()));
    digest.update(as_bytes(name));
    digest.update_le(static_cast<uint32_t>(reads.length(read)));
    digest.update(reads.sequence(read));
    digest.update(reads.quality(read));
  }
  digest.update_le(layout.reads);
  return digest.digest();
}

std::string text_of(ByteSpan bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

// Whether the input order might code the sequences in fewer than `cost`
// bytes. Blocks code apart, so the first block's size per read projects the
// whole; only a projection near or under `cost` is worth coding every block
// for (which, with two blocks at once, is the writer's largest use of time
// and memory).
Result<bool> input_order_may_win(const ReadStore& reads, const Layout& unordered, uint8_t version, uint64_t cost) {
  constexpr double kProjectionMargin = 1.25;
  auto [begin, end] = unordered.block_range(0);
  if (begin == end || unordered.blocks == 1) return true;
  Bytes first = ZELK_TRY(sequence_block(reads, unordered, begin, end, newest_cluster(version)));
  double projected = double(first.size()) * double(unordered.reads) / double(end - begin);
  return projected < kProjectionMargin * double(cost);
}

// Flipped reads need no permutation either: in stored order the decoder
// turns them back and reverses their qualities.
bool is_input_order(const reorder::ReadOrder& order) {
  for (size_t i = 0; i < order.original.size(); ++i)
    if (order.original[i] != i) return false;
  return true;
}

// A template that renders every name in input order, if there is one.
std::optional<names::NameTemplate> name_template_of(const ReadStore& reads) {
  std::vector<std::string> names;
  names.reserve(reads.size());
  for (size_t i = 0; i < reads.size(); ++i) names.emplace_back(reads.name(i));
  return names::find_name_template(names);
}

Platform platform_of(const ReadStore& reads) {
  FastqSample sample;
  for (size_t i = 0; i < reads.size() && sample.records < 16; ++i) {
    FastqRecord record{std::string(reads.name(i)), text_of(reads.sequence(i)), text_of(reads.quality(i))};
    if (!add_to_sample(sample, record)) break;
  }
  return sample.records ? detect_platform(sample) : Platform::Unknown;
}

}  // namespace

Result<void> ReadStore::add(const FastqRecord& record) {
  if (record.sequence.size() != record.quality.size())
    return refuse(ArchiveError::invalid_fastq(record.sequence.size(), record.quality.size()).message());
  if (record.sequence.size() > reorder::kMaxReadLength) return refuse("read longer than 16777216 bases");
  if (size() == UINT32_MAX - 1) return refuse("too many reads for one reordered archive");
  names_ += record.header;
  append_bytes(bases_, as_bytes(record.sequence));
  append_bytes(qualities_, as_bytes(record.quality));
  name_end_.push_back(names_.size());
  read_end_.push_back(bases_.size());
  plus_text_ |= record.plus_text;
  return {};
}

Result<Bytes> write_reordered_archive(const ReadStore& reads, const ArchiveOptions& options,
                                      const ReorderedOptions& reordered, WorkerPool& pool) {
  if (reordered.version < 2 || reordered.version > 4) return refuse("reorder_version must be 2, 3 or 4");
  bool has_reference = reordered.auto_reference || options.reference;
  if (reordered.version == 4 && !has_reference) return refuse("reorder_version 4 needs a reference");
  if (reordered.reference_method != 0 && reordered.reference_method != 1 && reordered.reference_method != 4)
    return refuse("reference_method must be 0, 1 or 4");
  if (options.quality_mode.value_or(0) != 0) return refuse("the reordered layout codes qualities in mode 0 only");

  Layout layout;
  layout.reads = reads.size();
  layout.keep_order = reordered.keep_order;
  uint64_t first_length = reads.size() ? reads.length(0) : 0;
  layout.block_reads = std::max<uint64_t>(
      1, options.block_reads ? options.block_reads : kBlockSizeFactor * default_block_reads(first_length));
  layout.blocks = (layout.reads + layout.block_reads - 1) / layout.block_reads;
  if (options.reference) {
    layout.reference.emplace();
    for (const std::string& contig : *options.reference) layout.reference->add(as_bytes(contig));
  }
  if (layout.reference && reordered.version == static_cast<uint8_t>(reorder::BlockVersion::Reference)) {
    auto hits = ZELK_TRY(reorder::place_on_contigs(sequences_of(reads), *layout.reference, {}, pool));
    layout.order = order_on_contigs(hits, reordered.reorder);
    layout.reads_on_reference = true;
  } else if (reordered.reorder) {
    layout.order = ZELK_TRY(reorder::order_reads(sequences_of(reads), {}, pool));
  } else {
    keep_input_order(layout);
  }
  if (reordered.auto_reference) {
    layout.reference = ZELK_TRY(consensus_contigs(reads, layout.order));
    layout.reads_on_reference = true;
  }
  // Names that one template renders in input order; without keep_order
  // they come back rendered in the stored order.
  std::optional<names::NameTemplate> input_template;
  if (reordered.name_template) input_template = name_template_of(reads);

  CodedSequences sequences = ZELK_TRY(code_sequences(reads, layout, reordered.version, pool));
  // The permutation can cost more than the reordering saves: then the
  // input order is kept. Names that render from a template cost nothing
  // there, while the permutation keeps them stored.
  if (layout.keep_order && reordered.reorder && !layout.reads_on_reference) {
    Layout unordered = layout;
    keep_input_order(unordered);
    uint64_t names_saved = 0;
    for (size_t b = 0; input_template && b < layout.blocks; ++b) {
      auto [begin, end] = layout.block_range(b);
      names_saved += name_block(reads, layout, begin, end).size();
    }
    uint64_t reordered_cost = sequences.size() + names_saved;
    if (ZELK_TRY(input_order_may_win(reads, unordered, reordered.version, reordered_cost))) {
      CodedSequences alternative = ZELK_TRY(code_sequences(reads, unordered, reordered.version, pool));
      if (alternative.size() < reordered_cost) {
        layout = std::move(unordered);
        sequences = std::move(alternative);
      }
    }
  }
  if (layout.keep_order && is_input_order(layout.order)) {
    layout.keep_order = false;
    sequences.permutation.clear();
  }
  if (!layout.keep_order) layout.name_template = std::move(input_template);
  // One block's pair at a time, its two streams side by side: holding
  // every block's names and qualities at once would double the writer's
  // peak memory.
  std::vector<std::pair<Bytes, Bytes>> pairs(layout.blocks);
  for (size_t b = 0; b < layout.blocks; ++b) {
    auto [begin, end] = layout.block_range(b);
    Result<Bytes> quality = Bytes{};
    pool.fork_join([&] { pairs[b].first = name_block(reads, layout, begin, end); },
                   [&] { quality = quality_block(reads, layout, begin, end, options); });
    if (!quality) return fail(std::move(quality).error());
    pairs[b].second = std::move(*quality);
  }

  HeaderFields header;
  header.flags = kFlagGlobalReorder | kFlagReordered;
  if (layout.keep_order) header.flags |= kFlagKeepOrder;
  if (layout.name_template) header.flags |= kFlagRegeneratedNames;
  if (layout.reference) header.flags |= kFlagGlobalReference;
  if (reads.plus_text()) header.flags |= kFlagPlusNormalized;
  header.platform = options.platform.value_or(static_cast<uint8_t>(platform_of(reads)));
  ZELK_TRY(describe_members(options, header));
  header.quality_binning = options.quality_binning;
  Bytes out = encode_header(header);
  append_le<uint64_t>(out, layout.reads);
  append_bytes(out, encode_framed_slice(sequences.flips));
  append_bytes(out, encode_framed_slice(sequences.permutation));
  Bytes name_template = layout.name_template ? names::encode_name_template(*layout.name_template) : Bytes{};
  append_bytes(out, encode_framed_slice(name_template));
  if (layout.reference)
    append_bytes(out, encode_framed_slice(ZELK_TRY(reference_section(*layout.reference, reordered.reference_method))));
  append_le<uint32_t>(out, static_cast<uint32_t>(layout.blocks));
  for (const Bytes& block : sequences.blocks) append_bytes(out, encode_framed_slice(block));
  for (const auto& [names, qualities] : pairs) {
    append_bytes(out, encode_framed_slice(names));
    append_bytes(out, encode_framed_slice(qualities));
  }
  Bytes digest;
  append_le<uint64_t>(digest, output_digest(reads, layout));
  append_bytes(out, encode_framed_slice(digest));
  return out;
}

ReorderedArchiveWriter::ReorderedArchiveWriter(ArchiveOptions options, ReorderedOptions reordered, Output output)
    : options_(std::move(options)), reordered_(reordered), output_(std::move(output)) {}

Result<void> ReorderedArchiveWriter::finish() {
  WorkerPool pool(WorkerPool::decode_pool_size(options_.threads));
  Bytes archive = ZELK_TRY(write_reordered_archive(reads_, options_, reordered_, pool));
  reads_ = {};
  return output_(archive);
}

}  // namespace zelk::container
