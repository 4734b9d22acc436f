// rANS: decode (every order-0 variant, order 1) and encode over 16 MiB of
// real quality strings, real read names and uniform random bytes.
#include <cstring>
#include <random>

#include "bench.h"
#include "zelk-rans/rans.h"
#include "zelk-base/text.h"

namespace {

volatile uint64_t sink;

struct Input {
  const char* label;
  std::string data;
};

std::vector<Input> rans_inputs() {
  constexpr size_t kSize = 16 << 20;
  auto reads = zelk::bench::load_fastq("illumina/nextseq_dropseq_10cells.fastq");
  std::string random(kSize, '\0');
  std::mt19937_64 engine(1);
  for (auto& byte : random) byte = static_cast<char>(engine());
  std::vector<Input> inputs;
  if (!reads.names.empty()) {
    inputs.push_back({"qualities", zelk::bench::join_to_size(reads.qualities, kSize)});
    inputs.push_back({"names", zelk::bench::join_to_size(reads.names, kSize)});
  }
  inputs.push_back({"random", std::move(random)});
  return inputs;
}

}  // namespace

ZELK_BENCH_SECTION(40, "rANS (16 MiB each, one core; MB/s of decoded bytes)") {
  using namespace zelk::bench;
  using zelk::rans::Impl;
  for (const Input& input : rans_inputs()) {
    zelk::ByteSpan data = zelk::as_bytes(input.data);
    std::vector<uint8_t> copy(data.size());
    auto row = [&](const std::string& label, const std::function<void()>& work,
                   const std::string& note = "") {
      print_row(std::string(input.label) + ": " + label, mb_per_s(data.size(), seconds_per_run(work)), note);
    };
    row("memcpy (baseline)", [&] { std::memcpy(copy.data(), data.data(), data.size()); sink = copy[7]; });
    for (int order : {0, 1}) {
      std::string prefix = "order " + std::to_string(order) + " ";
      zelk::Bytes block = zelk::rans::rans_encode(data, order);
      std::string ratio = zelk::strprintf("%.3f of input", double(block.size()) / data.size());
      // Order 1 always takes the scalar paths.
      std::vector<std::pair<const char*, Impl>> impls = {{"scalar", Impl::Scalar}};
      if (order == 0) impls.insert(impls.end(), {{"avx2", Impl::Avx2}, {"avx512", Impl::Avx512}});
      for (auto [name, impl] : impls) {
        if (!zelk::rans::impl_available(impl)) continue;
        if (impl != Impl::Avx2)  // there is no AVX2 encoder
          row("encode " + prefix + name,
              [&] { sink = zelk::rans::rans_encode(data, order, impl).size(); }, ratio);
        row("decode " + prefix + name,
            [&] { sink = zelk::rans::rans_decode(block, data.size(), impl)->size(); });
      }
    }
  }
}
