// A buffer that one thread fills front to back while others read the part
// already filled: a block's bases, which the quality decoder follows read by
// read instead of waiting for the whole block.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

namespace zelk {

class BufferFill {
 public:
  // The filler names its buffer before filling it, once nothing can fail
  // before the fill is complete: followers read the buffer until then, so
  // it must outlive them.
  void start(std::span<const uint8_t> buffer) {
    data_ = buffer.data();
    size_ = buffer.size();
    set(0);
  }

  // The first `filled` bytes are final.
  void publish(uint64_t filled) { set(filled); }

  // Every byte of `buffer` is final (naming it first if it was filled
  // without following).
  void complete(std::span<const uint8_t> buffer) {
    if (filled_.load(std::memory_order_relaxed) == kNotStarted) start(buffer);
    set(size_);
  }

  // No more bytes will come: the filler failed.
  void abandon() { set(kAbandoned); }

  // The buffer once named; nothing when the fill was abandoned first.
  std::optional<std::span<const uint8_t>> wait_started() const {
    if (!wait_until(0)) return std::nullopt;
    return std::span<const uint8_t>(data_, size_);
  }

  // Waits until the bytes of the buffer before `end` are final; false when
  // the fill was abandoned first.
  bool wait_filled(const uint8_t* end) const { return wait_until(static_cast<uint64_t>(end - data_)); }

 private:
  static constexpr uint64_t kNotStarted = ~uint64_t{0};
  static constexpr uint64_t kAbandoned = ~uint64_t{0} - 1;

  void set(uint64_t state) {
    filled_.store(state, std::memory_order_release);
    filled_.notify_all();
  }

  bool wait_until(uint64_t filled) const {
    for (;;) {
      uint64_t now = filled_.load(std::memory_order_acquire);
      if (now == kAbandoned) return false;
      if (now != kNotStarted && now >= filled) return true;
      filled_.wait(now, std::memory_order_acquire);
    }
  }

  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  std::atomic<uint64_t> filled_{kNotStarted};
};

}  // namespace zelk
