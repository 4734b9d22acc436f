// Constants of the "LRO" and "LRT" payloads that decoders and encoders
// share.
#pragma once

#include <cstdint>
#include <string_view>

namespace zelk::longread {

inline constexpr std::string_view kOverlapMagic = "LRO";
inline constexpr std::string_view kTileMagic = "LRT";
inline constexpr uint8_t kTileVersion = 1;

// Placement kinds: any other value means an aligned read.
inline constexpr uint8_t kRawRead = 1;
inline constexpr uint8_t kAlignedRead = 0;

// A tile distance of 0 means raw codes; otherwise how many reads back.
inline constexpr uint64_t kRawTile = 0;

}  // namespace zelk::longread
