// The HLS entry's pure steps: the segment index read from a stream's first 64 KiB (1,000
// references, as a long video's index holds) and the two playlist texts built from it.
#include "relay/HLSPlaylist.hpp"
#include "relay/MP4Sidx.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using namespace pd::relay;

constexpr std::uint32_t kReferences = 1000;

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void box(std::vector<std::uint8_t>& out, const char* type, std::uint32_t payload) {
  put(out, 8 + payload, 4);
  out.insert(out.end(), type, type + 4);
  out.resize(out.size() + payload, 0);
}

// "ftyp", a 1 KiB "moov", a version 1 "sidx" of 2 s references, then the first fragment's bytes.
std::vector<std::uint8_t> prefix() {
  std::vector<std::uint8_t> out;
  box(out, "ftyp", 24);
  box(out, "moov", 1024);
  put(out, 40 + 12 * kReferences, 4);
  out.insert(out.end(), {'s', 'i', 'd', 'x', 1, 0, 0, 0});
  put(out, 1, 4);
  put(out, 15360, 4);
  put(out, 0, 8);
  put(out, 0, 8);
  put(out, 0, 2);
  put(out, kReferences, 2);
  for (std::uint32_t i = 0; i < kReferences; ++i) {
    put(out, 400000 + i, 4);
    put(out, 30720 + i % 7, 4);
    put(out, 0x90000000U, 4);
  }
  out.resize(65536, 0);
  return out;
}

void BM_ParseSegmentIndex(benchmark::State& state) {
  const auto bytes = prefix();
  for (auto _ : state) {
    auto index = MP4Sidx::parse(bytes);
    benchmark::DoNotOptimize(index);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_ParseSegmentIndex);

void BM_BuildMediaPlaylist(benchmark::State& state) {
  const auto index = MP4Sidx::parse(prefix());
  for (auto _ : state) {
    auto text = buildMediaPlaylist("0b5c2a9e-8d1f-4f5e-9c1a-3e2d7f6b8a90", index.initSegmentSize, index.segments);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_BuildMediaPlaylist);

void BM_BuildMasterPlaylist(benchmark::State& state) {
  const std::optional<std::string> codecs = "avc1.640028,mp4a.40.2";
  const std::optional<std::string> resolution = "1920x1080";
  for (auto _ : state) {
    auto text = buildMasterPlaylist("3f9d7c1e-2b4a-4e8f-a6d5-9c0b1e2f3a4d.m3u8",
                                    "7a1e5b3c-9d2f-4c6e-8b0a-1f3e5d7c9b2a.m3u8", 2628000, codecs, resolution);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_BuildMasterPlaylist);

} // namespace

BENCHMARK_MAIN();
