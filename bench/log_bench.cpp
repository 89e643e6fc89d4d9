// Hot paths of logging: the throttle on a suppressed key (called per datagram or frame), a
// default-level line into the store, and a debug line while debug output is off.
#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/log/Logger.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using pd::diagnostics::Log;
using pd::diagnostics::LogThrottle;

// Suppressed by the count: only every millionth call would pass.
void BM_ThrottleSuppressedByCount(benchmark::State& state) {
  LogThrottle& throttle = LogThrottle::shared();
  const std::string_view key = "frag_sweep";
  throttle.shouldEmit(key, 1'000'000'000, 0.5);
  for (auto _ : state) benchmark::DoNotOptimize(throttle.shouldEmit(key, 1'000'000'000, 0.5));
}
BENCHMARK(BM_ThrottleSuppressedByCount);

// Suppressed by the interval: every call is a candidate, so the clock is compared each time.
void BM_ThrottleSuppressedByInterval(benchmark::State& state) {
  LogThrottle& throttle = LogThrottle::shared();
  const std::string_view key = "ping_send";
  throttle.shouldEmit(key, 1, 3600.0);
  for (auto _ : state) benchmark::DoNotOptimize(throttle.shouldEmit(key, 1, 3600.0));
}
BENCHMARK(BM_ThrottleSuppressedByInterval);

void BM_ThrottleSuppressedContended(benchmark::State& state) {
  LogThrottle& throttle = LogThrottle::shared();
  const std::string_view key = "video_datagram_drop";
  for (auto _ : state) benchmark::DoNotOptimize(throttle.shouldEmit(key, 1'000'000'000, 0.5));
}
BENCHMARK(BM_ThrottleSuppressedContended)->Threads(1)->Threads(4);

void BM_NoticeIntoStore(benchmark::State& state) {
  pd::platform::log::setStderrEnabled(false);
  const std::string host = "studio-ipad.local";
  const std::string path = "/home/user/Movies/set-list/opening.mp4";
  for (auto _ : state) Log::source().notice("local_file_send host=%{public}s path=%s", host, path);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NoticeIntoStore);

void BM_NoticeWithNumbersIntoStore(benchmark::State& state) {
  pd::platform::log::setStderrEnabled(false);
  std::int64_t rev = 1;
  const std::string host = "127.0.0.1";
  for (auto _ : state)
    Log::osc().notice("config_snapshot snapshot_rev=%ld host=%{public}s port=%hu", rev++, host, std::uint16_t{8000});
}
BENCHMARK(BM_NoticeWithNumbersIntoStore);

void BM_DebugWhileOff(benchmark::State& state) {
  pd::platform::log::setDebugEnabled(false);
  const std::string host = "studio-ipad.local";
  std::uint32_t seq = 0;
  for (auto _ : state) {
    Log::video().debug("frag_rx seq=%u host=%{public}s", seq, host);
    benchmark::DoNotOptimize(++seq);
  }
}
BENCHMARK(BM_DebugWhileOff);

} // namespace

BENCHMARK_MAIN();
