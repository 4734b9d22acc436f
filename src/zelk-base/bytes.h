// Little-endian loads and stores, a bounds-checked cursor over input bytes,
// and the one varint (unsigned LEB128) reader and writer of the code base.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "zelk-base/error.h"

namespace zelk {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

template <class T>
inline T load_le(const uint8_t* p) {
  static_assert(std::is_unsigned_v<T>);
  T value;
  std::memcpy(&value, p, sizeof value);  // the supported targets are little-endian
  return value;
}

template <class T>
inline void store_le(uint8_t* p, T value) {
  static_assert(std::is_unsigned_v<T>);
  std::memcpy(p, &value, sizeof value);
}

template <class T>
inline void append_le(Bytes& out, T value) {
  size_t at = out.size();
  out.resize(at + sizeof value);
  store_le(out.data() + at, value);
}

inline void append_bytes(Bytes& out, ByteSpan data) {
  out.insert(out.end(), data.begin(), data.end());
}

inline ByteSpan as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A read position inside a byte span. Every take checks what remains, so a
// count read from input can never walk past the end.
class ByteCursor {
 public:
  explicit ByteCursor(ByteSpan data) : data_(data) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ == data_.size(); }
  ByteSpan rest() const { return data_.subspan(pos_); }

  std::optional<ByteSpan> take(uint64_t n) {
    if (n > remaining()) return std::nullopt;
    ByteSpan out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }

  template <class T>
  std::optional<T> take_le() {
    if (remaining() < sizeof(T)) return std::nullopt;
    T value = load_le<T>(data_.data() + pos_);
    pos_ += sizeof(T);
    return value;
  }

  std::optional<uint8_t> take_u8() { return take_le<uint8_t>(); }

  // Unsigned LEB128 of at most 10 bytes; the tenth byte contributes only
  // bit 63 and must not ask for another. Nothing is consumed on failure.
  std::optional<uint64_t> take_varint() {
    uint64_t value = 0;
    size_t pos = pos_;
    for (int i = 0; i < 10; ++i) {
      if (pos >= data_.size()) return std::nullopt;
      uint8_t byte = data_[pos++];
      value |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
      if (!(byte & 0x80)) {
        pos_ = pos;
        return value;
      }
    }
    return std::nullopt;
  }

 private:
  ByteSpan data_;
  size_t pos_ = 0;
};

// Reads a varint, reporting a failure with the caller's own error.
template <class MakeError>
inline Result<uint64_t> read_varint(ByteCursor& cursor, MakeError&& make_error) {
  if (auto value = cursor.take_varint()) return *value;
  return fail(make_error());
}

inline void append_varint(Bytes& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value) | 0x80);
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

// Zigzag mapping of signed values onto unsigned varints.
inline uint64_t zigzag_encode(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t zigzag_decode(uint64_t v) {
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

// Resizes `out` to `n` elements, turning a failed reservation into the
// caller's "... too large to allocate" error instead of a crash.
template <class Container, class MakeError>
inline Result<void> resize_checked(Container& out, uint64_t n, MakeError&& make_error) {
  try {
    if (n > out.max_size()) return fail(make_error());
    out.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return fail(make_error());
  }
  return {};
}

// Reserves room for `n` elements, failing as resize_checked does. Nothing
// is written, so pages of a large reservation stay untouched until used.
template <class Container, class MakeError>
inline Result<void> reserve_checked(Container& out, uint64_t n, MakeError&& make_error) {
  try {
    if (n > out.max_size()) return fail(make_error());
    out.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return fail(make_error());
  }
  return {};
}

// A new container of `n` elements, allocated as resize_checked does.
template <class Container, class MakeError>
inline Result<Container> allocate(uint64_t n, MakeError&& make_error) {
  Container out;
  ZELK_TRY(resize_checked(out, n, make_error));
  return out;
}

// Zero-filled storage for model tables, whose untouched pages stay
// unmapped. Tables looked up at random many times go on huge pages: with
// 4 KiB pages nearly every lookup misses the TLB, and every first write to
// a page faults and flushes the TLBs of all the process's threads.
struct ReleaseZeroed {
  size_t mapped_bytes = 0;  // 0: the memory came from calloc
  void operator()(void* memory) const;
};
template <class T>
using ZeroedArray = std::unique_ptr<T[], ReleaseZeroed>;

// Whether a table of `bytes` looked up `lookups` times at random should go
// on huge pages: once the lookups would fault in most of its small pages
// anyway. For a short stream a first touch should clear 4 KiB, not 2 MiB.
bool huge_pages_pay(size_t bytes, uint64_t lookups);

// Null when the memory is not available; `mapped_bytes` says how to free it.
void* allocate_zeroed_bytes(size_t bytes, bool huge_pages, size_t& mapped_bytes);

// `T` must treat all-zero bytes as a valid value.
template <class T, class MakeError>
inline Result<ZeroedArray<T>> allocate_zeroed(size_t count, bool huge_pages, MakeError&& make_error) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (count > SIZE_MAX / sizeof(T)) return fail(make_error());
  size_t mapped_bytes = 0;
  void* memory = allocate_zeroed_bytes(count * sizeof(T), huge_pages, mapped_bytes);
  if (!memory) return fail(make_error());
  return ZeroedArray<T>(static_cast<T*>(memory), ReleaseZeroed{mapped_bytes});
}

}  // namespace zelk
