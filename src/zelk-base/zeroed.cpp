#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#include "zelk-base/bytes.h"

namespace zelk {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// The sanitizers only check heap memory, so their builds keep every table
// on the heap.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapOnly = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kHeapOnly = true;
#else
constexpr bool kHeapOnly = false;
#endif
#else
constexpr bool kHeapOnly = false;
#endif

size_t round_up(size_t value, size_t step) { return (value + step - 1) / step * step; }

// Maps `length` (a multiple of kHugePage) bytes at a kHugePage boundary by
// mapping one page more and unmapping the misaligned ends.
void* map_aligned(size_t length) {
  size_t reserved = length + kHugePage;
  void* raw = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto base = reinterpret_cast<uintptr_t>(raw);
  uintptr_t start = round_up(base, kHugePage);
  size_t head = start - base;
  if (head) munmap(raw, head);
  if (size_t tail = reserved - head - length) munmap(reinterpret_cast<void*>(start + length), tail);
  auto* memory = reinterpret_cast<void*>(start);
  madvise(memory, length, MADV_HUGEPAGE);  // advice only: without it the table still works
  return memory;
}

}  // namespace

bool huge_pages_pay(size_t bytes, uint64_t lookups) { return bytes >= kHugePage && lookups >= bytes / 4096; }

void* allocate_zeroed_bytes(size_t bytes, bool huge_pages, size_t& mapped_bytes) {
  mapped_bytes = 0;
  if (kHeapOnly || !huge_pages) return std::calloc(bytes, 1);
  if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
  size_t length = round_up(bytes, kHugePage);
  void* memory = map_aligned(length);
  if (memory) mapped_bytes = length;
  return memory;
}

void ReleaseZeroed::operator()(void* memory) const {
  if (mapped_bytes)
    munmap(memory, mapped_bytes);
  else
    std::free(memory);
}

}  // namespace zelk
