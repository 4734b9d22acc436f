// Checksums: both CRC-32C paths, XXH3-64 and memcpy over one buffer.
#include <cstring>
#include <random>

#include "bench.h"
#include "zelk-base/crc32c.h"
#include "zelk-base/xxh3.h"

namespace {

volatile uint64_t sink;

}  // namespace

ZELK_BENCH_SECTION(10, "checksums (16 MiB random buffer, one core)") {
  using namespace zelk::bench;
  std::vector<uint8_t> data(16 << 20);
  std::mt19937_64 random(1);
  for (auto& byte : data) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> copy(data.size());
  auto row = [&](const char* label, const std::function<void()>& work) {
    print_row(label, mb_per_s(data.size(), seconds_per_run(work)));
  };
  row("memcpy (baseline)", [&] { std::memcpy(copy.data(), data.data(), data.size()); sink = copy[7]; });
  if (zelk::crc32c_hardware_available())
    row("crc32c hardware (sse4.2)", [&] { sink = zelk::crc32c_extend_hardware(0, data); });
  row("crc32c table (slicing-by-8)", [&] { sink = zelk::crc32c_extend_table(0, data); });
  row("xxh3-64", [&] { sink = zelk::xxh3_64(data); });
}
