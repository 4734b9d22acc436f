// The rANS byte coder: 32 interleaved 32-bit states, 12-bit frequencies,
// 16-bit renormalisation words; order-0 and order-1 blocks, and the framed
// sub-stream that other codecs embed.
//
// Block: tag (0 or 1), u64 n, then when n > 0 the frequency tables (order 1:
// a 32-byte context bitmap first), the 32 final encoder states and the words
// in the order the decoder consumes them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk::rans {

inline constexpr uint32_t kTotFreq = 4096;
inline constexpr uint32_t kScaleBits = 12;
inline constexpr uint32_t kLowerBound = 1u << 16;  // normalised states lie in [2^16, 2^32)
inline constexpr size_t kLanes = 32;
inline constexpr size_t kHeaderSize = 9;  // tag and u64 length

using FreqTable = std::array<uint16_t, 256>;
using SymbolCounts = std::array<uint64_t, 256>;

// One context's frequency model; cum[256] == kTotFreq.
struct RansModel {
  FreqTable freq;
  std::array<uint16_t, 257> cum;
  std::array<uint8_t, kTotFreq> slot2sym;
};

// Builds the model of a table, failing with "rANS freq table exceeds
// TOTFREQ" as soon as the running sum passes 4096 and "rANS freq table does
// not sum to TOTFREQ" when it ends below.
Result<RansModel> rans_build_model(const FreqTable& freq);

// Scales symbol counts to a table summing to kTotFreq in which every
// occurring symbol keeps a frequency of at least 1 (all zero for no counts).
FreqTable normalise_freqs(const SymbolCounts& counts);

// Which order-0 decoder or encoder runs. Auto picks the widest the CPU
// supports, detected once; order-1 blocks always take the scalar path, and
// there is no AVX2 encoder (Avx2 encodes with the scalar step). Every
// variant produces the same bytes; the vector decoders report exhausted
// words as "truncated renorm stream" instead of "truncated stream".
enum class Impl : uint8_t { Auto, Scalar, Avx2, Avx512 };

// Whether this CPU runs `impl`; Auto and Scalar always.
bool impl_available(Impl impl);

// The output length a block declares, read before anything is decoded;
// none when the block is too short to hold one.
inline std::optional<uint64_t> declared_length(ByteSpan block) {
  if (block.size() < kHeaderSize) return std::nullopt;
  return load_le<uint64_t>(block.data() + 1);
}

// Decodes one complete block of at most `max_len` output bytes (the
// caller's bound, checked before anything is allocated). Trailing bytes are
// ignored. Errors are in the rANS family.
Result<Bytes> rans_decode(ByteSpan block, uint64_t max_len, Impl impl = Impl::Auto);

// Order 0 or 1 (any other value is treated as 1); `impl` as for decoding,
// and available on this CPU.
Bytes rans_encode(ByteSpan data, int order, Impl impl = Impl::Auto);
// Both orders; order 1 only when strictly shorter.
Bytes rans_encode_best(ByteSpan data);

// Framed sub-stream: varint raw_len; when non-zero a varint coded_len and
// that many bytes of one block decoding to exactly raw_len bytes. Advances
// the cursor past it. `max_len` is the caller's bound on raw_len. Failures
// are rANS-family errors ("varint too long", "truncated stream", "rANS
// output length exceeds caller bound", the block's own, "framed length
// mismatch"), which callers usually re-word as their own.
Result<Bytes> decode_framed(ByteCursor& cursor, uint64_t max_len);
// Appends `data` as a framed sub-stream coded with the best-of encoder.
void append_framed(Bytes& out, ByteSpan data);

}  // namespace zelk::rans
