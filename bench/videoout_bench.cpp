// Publishing one 1920x1080 frame on the video-out queue: to a consumer that takes NV12 (a copy),
// to one that takes BGRx (a conversion), and with nobody linked (must cost next to nothing).
// A private PipeWire daemon and the tests' consumer stand in for another application.

#include "PipeWireTestDaemon.hpp"
#include "TestConsumer.hpp"

#include "platform/log/Logger.hpp"
#include "platform/videoout/FrameServer.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using pd::platform::videoout::FrameServer;
using pd::platform::videoout::PublishResult;
using pd::platform::videoout::VideoOut;
using pd::testing::TestConsumer;

pd::testing::PipeWireTestDaemon& daemon() {
  static pd::testing::PipeWireTestDaemon instance;
  return instance;
}

pd::platform::media::VideoFramePtr grayFrame() {
  auto frame = pd::platform::media::VideoFrame::allocate(1920, 1080);
  std::memset(frame->mutableLuma(), 128, frame->lumaStride() * 1080);
  std::memset(frame->mutableChroma(), 128, frame->chromaStride() * 540);
  return frame;
}

struct Setup {
  std::unique_ptr<VideoOut> out;
  std::unique_ptr<FrameServer> server;
  std::unique_ptr<TestConsumer> consumer;
};

bool prepare(benchmark::State& state, Setup& setup, std::optional<TestConsumer::Format> format,
             const pd::platform::media::VideoFrame& frame) {
  if (!daemon().running()) {
    state.SkipWithError(daemon().failure().c_str());
    return false;
  }
  static const pd::platform::log::Logger logger("tech.quelbo.PalendrixDisplay.bench", "syphon");
  setup.out = VideoOut::open(logger);
  setup.server = setup.out->createServer("Palendrix Zuvudiv");
  for (int i = 0; i < 500 && !setup.server->nodeId(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (!format) return true;
  setup.consumer = std::make_unique<TestConsumer>(*format, *setup.server->nodeId(), false);
  for (int i = 0; i < 500 && setup.consumer->snapshot().frames == 0; ++i) {
    setup.server->publishFrame(frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (setup.consumer->snapshot().frames == 0) {
    state.SkipWithError("the consumer never received a frame");
    return false;
  }
  return true;
}

void publishToConsumer(benchmark::State& state, TestConsumer::Format format) {
  const auto frame = grayFrame();
  Setup setup;
  if (!prepare(state, setup, format, *frame)) return;
  std::int64_t waits = 0;
  for (auto _ : state) {
    while (setup.server->publishFrame(*frame) != PublishResult::published) {
      // Every buffer is with the consumer: wait outside the measurement, as the source rate would.
      state.PauseTiming();
      ++waits;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      state.ResumeTiming();
    }
  }
  state.counters["waits"] = static_cast<double>(waits);
  setup.consumer.reset();
  setup.server.reset();
}

void BM_PublishNV12(benchmark::State& state) { publishToConsumer(state, TestConsumer::Format::nv12); }
void BM_PublishBGRx(benchmark::State& state) { publishToConsumer(state, TestConsumer::Format::bgrx); }

void BM_PublishNoConsumer(benchmark::State& state) {
  const auto frame = grayFrame();
  Setup setup;
  if (!prepare(state, setup, std::nullopt, *frame)) return;
  setup.server->publishFrame(*frame);
  for (auto _ : state) benchmark::DoNotOptimize(setup.server->publishFrame(*frame));
}

BENCHMARK(BM_PublishNV12)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishBGRx)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishNoConsumer)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
