// The HEVC decoder against the ffmpeg command-line tool on the same stream, in one run.
//
//   BM_FFmpegCli/<threads>/<slice>     `ffmpeg -threads N -i clip -f null -`, its own timing;
//                                       slice 1 adds `-thread_type slice` (no frame threads)
//   BM_HEVCDecoder/<threads>/<mode>     HEVCDecoder, software, access units in, NV12 frames out
//                                       (mode 0: low latency, 1: throughput); vs_ffmpeg is its
//                                       frame rate over the CLI's at the same thread count, and
//                                       for mode 0 vs_ffmpeg_slice over the CLI's without frame
//                                       threads
//   BM_FrameLatency                     one access unit at a time: from decode() to the
//                                       frame in the callback (decoding plus the hand-off)
//   BM_ConvertToNV12/<height>           limited-range 4:2:0 to full-range NV12, one picture
//
// The stream is ffmpeg's test pattern at 30 fps, PD_DECODER_BENCH_HEIGHT lines high (720 or
// 1080, 16:9; default 720) and PD_DECODER_BENCH_FRAMES pictures long (default 240), encoded at
// start with tools/fixtures/make-hevc-fixture.sh.

#include "FFmpegCli.hpp"
#include "HEVCFixture.hpp"
#include "platform/log/Logger.hpp"
#include "platform/media/VideoFrameConverter.hpp"
#include "video/HEVCDecoder.hpp"

extern "C" {
#include <libavutil/frame.h>
}

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using pd::video::HEVCDecoder;
using Clock = std::chrono::steady_clock;

int clipFrames() {
  const char* text = std::getenv("PD_DECODER_BENCH_FRAMES");
  const int frames = text != nullptr ? std::atoi(text) : 240;
  return std::clamp(frames, 30, 3600);
}

int clipHeight() {
  const char* text = std::getenv("PD_DECODER_BENCH_HEIGHT");
  return text != nullptr && std::string(text) == "1080" ? 1080 : 720;
}

const std::optional<pd::video::fixture::Clip>& clip() {
  static const std::optional<pd::video::fixture::Clip> made =
      pd::video::fixture::testPattern(clipHeight() * 16 / 9, clipHeight(), clipFrames(), 30);
  return made;
}

std::optional<double> ffmpegSeconds(int threads, bool sliceOnly = false) {
  return pd::bench::ffmpegSeconds(clip()->file, threads, sliceOnly);
}

void BM_FFmpegCli(benchmark::State& state) {
  if (!clip()) return state.SkipWithError("ffmpeg with libx265 is not available");
  const int threads = static_cast<int>(state.range(0));
  const bool sliceOnly = state.range(1) != 0;
  for (auto _ : state) {
    const auto seconds = ffmpegSeconds(threads, sliceOnly);
    if (!seconds) return state.SkipWithError("ffmpeg -benchmark gave no timing");
    state.SetIterationTime(*seconds);
  }
  state.counters["fps"] = static_cast<double>(clip()->pictures()) / *ffmpegSeconds(threads, sliceOnly);
  state.counters["cores"] = static_cast<double>(std::thread::hardware_concurrency());
}
BENCHMARK(BM_FFmpegCli)
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({4, 1})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_HEVCDecoder(benchmark::State& state) {
  if (!clip()) return state.SkipWithError("ffmpeg with libx265 is not available");
  pd::platform::log::setStderrEnabled(false);
  HEVCDecoder::Options options;
  options.allowHardware = false;
  options.threadCount = static_cast<int>(state.range(0));
  options.threading = state.range(1) == 0 ? HEVCDecoder::Threading::lowLatency : HEVCDecoder::Threading::throughput;
  options.queueCapacity = clip()->pictures(); // the whole clip arrives at once: none may be dropped
  std::size_t frames = 0;
  double seconds = 0;
  for (auto _ : state) {
    std::atomic<std::size_t> delivered{0};
    const auto start = Clock::now();
    {
      HEVCDecoder decoder(options);
      decoder.setStreamTag("bench");
      decoder.setOnDecodedPixelBuffer([&](pd::platform::media::VideoFramePtr frame, std::uint64_t) {
        benchmark::DoNotOptimize(frame->luma());
        delivered.fetch_add(1, std::memory_order_relaxed);
      });
      for (const auto& unit : clip()->accessUnits) decoder.decode(unit, 1);
    } // the destructor hands on what frame threads still hold
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    frames += delivered.load();
  }
  if (frames != clip()->pictures() * static_cast<std::size_t>(state.iterations()))
    return state.SkipWithError("frames were lost");
  const double fps = static_cast<double>(frames) / seconds;
  state.counters["fps"] = fps;
  const auto pictures = static_cast<double>(clip()->pictures());
  if (const auto reference = ffmpegSeconds(options.threadCount))
    state.counters["vs_ffmpeg"] = fps / (pictures / *reference);
  if (state.range(1) == 0 && options.threadCount > 1)
    if (const auto reference = ffmpegSeconds(options.threadCount, true))
      state.counters["vs_ffmpeg_slice"] = fps / (pictures / *reference);
}
BENCHMARK(BM_HEVCDecoder)
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({4, 1})
    ->UseManualTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

void BM_FrameLatency(benchmark::State& state) {
  if (!clip()) return state.SkipWithError("ffmpeg with libx265 is not available");
  pd::platform::log::setStderrEnabled(false);
  HEVCDecoder::Options options;
  options.allowHardware = false;
  HEVCDecoder decoder(options);
  decoder.setStreamTag("latency");
  std::mutex mutex;
  std::condition_variable arrived;
  std::optional<Clock::time_point> deliveredAt;
  decoder.setOnDecodedPixelBuffer([&](pd::platform::media::VideoFramePtr, std::uint64_t) {
    std::scoped_lock lock(mutex);
    deliveredAt = Clock::now();
    arrived.notify_one();
  });
  std::vector<double> latencies;
  std::size_t next = 0;
  for (auto _ : state) {
    if (next == clip()->pictures()) {
      decoder.reset();
      next = 0;
    }
    {
      std::scoped_lock lock(mutex);
      deliveredAt.reset();
    }
    const auto submitted = Clock::now();
    decoder.decode(clip()->accessUnits[next++], 1);
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return deliveredAt.has_value(); });
    const double seconds = std::chrono::duration<double>(*deliveredAt - submitted).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds);
  }
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) state.counters["median_ms"] = latencies[latencies.size() / 2] * 1e3;
}
BENCHMARK(BM_FrameLatency)->UseManualTime()->Iterations(120)->Unit(benchmark::kMillisecond);

void BM_ConvertToNV12(benchmark::State& state) {
  const int height = static_cast<int>(state.range(0));
  AVFrame* picture = av_frame_alloc();
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = height * 16 / 9;
  picture->height = height;
  if (av_frame_get_buffer(picture, 0) < 0) return state.SkipWithError("no memory");
  for (int plane = 0; plane < 3; ++plane)
    for (int y = 0; y < (plane == 0 ? height : height / 2); ++y)
      for (int x = 0; x < picture->linesize[plane]; ++x)
        picture->data[plane][y * picture->linesize[plane] + x] = static_cast<std::uint8_t>(16 + (x * 7 + y) % 220);
  pd::platform::media::VideoFrameConverter converter;
  for (auto _ : state) {
    int status = 0;
    auto frame = converter.convert(*picture, {}, status);
    benchmark::DoNotOptimize(frame);
  }
  av_frame_free(&picture);
}
BENCHMARK(BM_ConvertToNV12)->Arg(720)->Arg(1080)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
