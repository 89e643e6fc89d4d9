// The video ingest path of the link manager, side by side with the ffmpeg CLI in one run.
//
//   BM_IngestThroughput   datagrams of a 1920x1080 60 fps clip into the manager's receive path
//                         as fast as the decoder takes them, until every frame is handed off;
//                         fps, and vs_ffmpeg: that rate over `ffmpeg -threads N -i clip -f null -`
//                         with N the pipeline decoder's thread count (vs_ffmpeg_slice: over the
//                         CLI without frame threads; vs_decoder_alone: over the pipeline's
//                         decoder fed directly at the same pace)
//   BM_IngestRealTime     the same clip paced at its own 60 fps: frames lost before the hand-off
//                         (must be 0) and frames shown on the main thread; latency from the
//                         access unit's datagrams going in to its frame on the main thread, and
//                         added_median_ms: that latency less the frame's time in the decoder
//                         (from decode() to the decoder's callback)
//   BM_Reassembly         the fragment reassembly alone over every datagram of the clip;
//                         ns_per_datagram
//
// PD_INGEST_BENCH_FRAMES sets the clip's length (default 240 pictures, 4 s). Run it under
// `taskset -c 2-7` (or any core set) and quote the cores counter with the figures.

#include "FFmpegCli.hpp"
#include "HEVCFixture.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "video/VideoFragmentReassembler.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/MainThread.hpp"
#include "tablet-emulator/VideoDatagram.hpp"
#include "video/DecodedFrameHandOff.hpp"
#include "video/HEVCDecoder.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/signals2/connection.hpp>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>
#include <vector>

namespace pd::link {
// The bench feeds the network queue as the receive loop would.
struct NetworkManagerForMacTestAccess {
  static void onNetworkQueue(NetworkManagerForMac& manager, runtime::UniqueFunction<void()> work) {
    manager.networkQueue_.post(std::move(work));
  }
  static void drain(NetworkManagerForMac& manager) {
    (void)manager.networkQueue_.syncWithTimeout([] {}, std::chrono::seconds(30));
  }
  // Before the first access unit: the decoder of `stream` tells `seen` when each frame leaves
  // it, then hands the frame on as the pipeline's own callback does.
  static void watchDecoderOutput(NetworkManagerForMac& manager, std::uint8_t stream,
                                 std::function<void(const platform::media::VideoFramePtr&)> seen) {
    (void)manager.networkQueue_.syncWithTimeout(
        [&] {
          manager.ingest_.decoders().at(stream)->setOnDecodedPixelBuffer(
              [handOff = std::weak_ptr(manager.handOff_), stream, seen](platform::media::VideoFramePtr frame,
                                                                        std::uint64_t epoch) {
                seen(frame);
                if (auto live = handOff.lock()) live->enqueue(std::move(frame), stream, epoch);
              });
        },
        std::chrono::seconds(30));
  }
};
} // namespace pd::link

namespace {

using pd::link::NetworkManagerForMac;
using TA = pd::link::NetworkManagerForMacTestAccess;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using pd::platform::media::VideoFramePtr;

constexpr int kFps = 60;
constexpr std::uint64_t kMaxInFlight = 8; // access units ahead of the hand-off; the decoder's queue holds 16

int clipFrames() {
  const char* text = std::getenv("PD_INGEST_BENCH_FRAMES");
  return std::clamp(text != nullptr ? std::atoi(text) : 240, 60, 3600);
}

const std::optional<pd::video::fixture::Clip>& clip() {
  static const auto made = pd::video::fixture::testPattern(1920, 1080, clipFrames(), kFps);
  return made;
}

// Every access unit cut as the tablet cuts it.
const std::vector<std::vector<Bytes>>& datagrams() {
  static const std::vector<std::vector<Bytes>> cut = [] {
    std::vector<std::vector<Bytes>> all;
    std::uint64_t sequence = 1;
    for (const auto& unit : clip()->accessUnits)
      all.push_back(
          pd::tools::tablet::fragmentAccessUnit(unit, 0, sequence++, pd::tools::tablet::defaultFragmentPayload)
              .datagrams);
    return all;
  }();
  return cut;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The cores this process may run on (taskset narrows them).
double affinityCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<double>(CPU_COUNT(&set)) : 0.0;
}

// A manager in mix mode with a linked peer, the bench thread as its main thread.
class Harness {
public:
  Harness() : installation_(pd::runtime::MainThread::installIoContext(context_)) {
    auto dependencies = NetworkManagerForMac::systemDependencies();
    dependencies.networkPeerID = [] { return std::string("00000000-0000-4000-8000-000000000bbb"); };
    dependencies.deviceName = "Bench";
    manager = NetworkManagerForMac::create(std::move(dependencies));
    manager->connectedPeers.set({pd::platform::net::HostPort{"127.0.0.1", 9}});
    // Frames are not kept: holding a few hundred 1080p pictures would slow down the allocation
    // of new ones.
    shown_ = manager->receivedPixelBuffer.changed().connect([this](const VideoFramePtr& frame) {
      if (frame) shownAt.emplace_back(frame->presentationTime(), Clock::now());
    });
    TA::drain(*manager); // the decoder is installed
  }
  ~Harness() {
    shown_.disconnect();
    std::weak_ptr<NetworkManagerForMac> gone = manager;
    manager.reset();
    pumpUntil([&] { return gone.expired(); });
  }

  // The access unit's datagrams, handled on the network queue one after the other.
  void post(std::size_t index) {
    TA::onNetworkQueue(*manager, [manager = manager.get(), index] {
      for (const Bytes& datagram : datagrams()[index]) manager->handleVideoDatagram(datagram);
    });
  }
  std::uint64_t handedOff() const { return manager->decodedFrameCount(0); }
  void pump() {
    context_.restart();
    context_.poll();
  }
  // Runs the main thread's work as it comes, without spinning: a spinning bench thread would
  // take a core from the decoder.
  void pumpUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    context_.restart();
    while (!done() && Clock::now() < deadline) {
      context_.run_one_for(std::chrono::microseconds(100));
      if (context_.stopped()) context_.restart();
    }
  }

  std::shared_ptr<NetworkManagerForMac> manager;
  // Per frame shown: when it was handed to the decoder (its presentation time), and when shown.
  std::vector<std::pair<Clock::time_point, Clock::time_point>> shownAt;

private:
  boost::asio::io_context context_;
  pd::runtime::MainThread::Installation installation_;
  boost::signals2::scoped_connection shown_;
};

bool haveClip(benchmark::State& state) {
  if (clip()) return true;
  state.SkipWithError("ffmpeg with libx265 is not available");
  return false;
}

// The pipeline's decoder alone, fed at the same pace, for the cost of the path around it.
double decoderAloneFps() {
  pd::video::HEVCDecoder decoder;
  decoder.setStreamTag("bench");
  std::atomic<std::uint64_t> delivered{0};
  decoder.setOnDecodedPixelBuffer([&](VideoFramePtr, std::uint64_t) { delivered.fetch_add(1); });
  const std::size_t pictures = clip()->pictures();
  const auto start = Clock::now();
  for (std::size_t i = 0; i < pictures; ++i) {
    while (i >= delivered.load() + kMaxInFlight) std::this_thread::sleep_for(std::chrono::microseconds(100));
    decoder.decode(clip()->accessUnits[i], 0);
  }
  decoder.waitForAsynchronousFrames();
  return static_cast<double>(delivered.load()) / std::chrono::duration<double>(Clock::now() - start).count();
}

// The whole path, as fast as the decoder takes it. Each pass is followed by one of the decoder
// alone, and the best of each counts, as the CLI's best of three does: on a shared machine the
// passes see different loads.
void BM_IngestThroughput(benchmark::State& state) {
  if (!haveClip(state)) return;
  pd::platform::log::setStderrEnabled(false);
  const std::size_t pictures = clip()->pictures();
  double bestFps = 0;
  double bestAloneFps = 0;
  for (auto _ : state) {
    Harness harness;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < pictures; ++i) {
      harness.pumpUntil([&] { return i < harness.handedOff() + kMaxInFlight; });
      harness.post(i);
    }
    harness.pumpUntil([&] { return harness.handedOff() >= pictures; });
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    if (harness.handedOff() != pictures) return state.SkipWithError("frames were lost");
    bestFps = std::max(bestFps, static_cast<double>(pictures) / elapsed);
    bestAloneFps = std::max(bestAloneFps, decoderAloneFps());
  }
  const int threads = pd::video::HEVCDecoder::Options{}.threadCount;
  state.counters["fps"] = bestFps;
  state.counters["vs_decoder_alone"] = bestFps / bestAloneFps;
  state.counters["decoder_threads"] = threads;
  state.counters["cores"] = affinityCores();
  if (const auto reference = pd::bench::ffmpegSeconds(clip()->file, threads)) {
    state.counters["ffmpeg_fps"] = static_cast<double>(pictures) / *reference;
    state.counters["vs_ffmpeg"] = bestFps / (static_cast<double>(pictures) / *reference);
  }
  if (const auto reference = pd::bench::ffmpegSeconds(clip()->file, threads, true))
    state.counters["vs_ffmpeg_slice"] = bestFps / (static_cast<double>(pictures) / *reference);
}
BENCHMARK(BM_IngestThroughput)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_IngestRealTime(benchmark::State& state) {
  if (!haveClip(state)) return;
  pd::platform::log::setStderrEnabled(false);
  const std::size_t pictures = clip()->pictures();
  std::vector<double> total;
  std::vector<double> decoding;
  std::vector<double> added;
  std::uint64_t lost = 0;
  std::uint64_t shown = 0;
  for (auto _ : state) {
    Harness harness;
    std::mutex mutex;
    std::map<Clock::time_point, Clock::time_point> leftDecoderAt; // by presentation time
    TA::watchDecoderOutput(*harness.manager, 0, [&](const VideoFramePtr& frame) {
      const auto now = Clock::now();
      std::scoped_lock lock(mutex);
      leftDecoderAt[frame->presentationTime()] = now;
    });
    std::vector<Clock::time_point> postedAt(pictures);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < pictures; ++i) {
      const auto due = start + std::chrono::microseconds(1'000'000 * static_cast<std::int64_t>(i) / kFps);
      harness.pumpUntil([&] { return Clock::now() >= due; });
      postedAt[i] = Clock::now();
      harness.post(i);
    }
    harness.pumpUntil([&] { return harness.handedOff() >= pictures && harness.shownAt.size() >= harness.handedOff(); });
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    lost += pictures - std::min<std::uint64_t>(pictures, harness.handedOff());
    shown += harness.shownAt.size();
    // A frame belongs to the last access unit that went in before it was handed to the decoder
    // (its presentation time); its decoding runs from there until it leaves the decoder.
    std::scoped_lock lock(mutex);
    for (const auto& [handedIn, at] : harness.shownAt) {
      const auto after = std::upper_bound(postedAt.begin(), postedAt.end(), handedIn);
      const auto left = leftDecoderAt.find(handedIn);
      if (after == postedAt.begin() || left == leftDecoderAt.end()) continue;
      const auto index = static_cast<std::size_t>(after - postedAt.begin() - 1);
      const double latency = std::chrono::duration<double>(at - postedAt[index]).count();
      const double decode = std::chrono::duration<double>(left->second - handedIn).count();
      total.push_back(latency);
      decoding.push_back(decode);
      added.push_back(latency - decode);
    }
  }
  state.counters["lost_before_handoff"] = static_cast<double>(lost);
  state.counters["shown_per_pass"] = static_cast<double>(shown) / static_cast<double>(state.iterations());
  state.counters["pictures"] = static_cast<double>(pictures);
  state.counters["total_median_ms"] = median(total) * 1e3;
  state.counters["decode_median_ms"] = median(decoding) * 1e3;
  state.counters["added_median_ms"] = median(added) * 1e3;
  if (lost != 0) state.SkipWithError("frames were lost before the hand-off at the clip's rate");
}
BENCHMARK(BM_IngestRealTime)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

class NullListener final : public pd::video::VideoFragmentReassembler::Listener {
public:
  void fragmentAccepted(const pd::video::VideoFragmentReassembler::Header&, std::size_t) override {}
  void frameLost(std::uint8_t) override { ++lost; }
  void frameComplete(std::uint8_t, std::uint64_t, std::span<const std::uint8_t> frame) override {
    benchmark::DoNotOptimize(frame.data());
    ++complete;
  }
  std::size_t lost = 0;
  std::size_t complete = 0;
};

void BM_Reassembly(benchmark::State& state) {
  if (!haveClip(state)) return;
  pd::video::VideoFragmentReassembler reassembler;
  NullListener listener;
  const std::set<std::uint8_t> active{0};
  std::size_t count = 0;
  double now = 1000.0;
  for (auto _ : state) {
    for (const auto& unit : datagrams()) {
      now += 1.0 / kFps;
      for (const Bytes& datagram : unit) reassembler.handle(datagram, now, active, listener);
      count += unit.size();
    }
  }
  if (listener.complete != datagrams().size() * static_cast<std::size_t>(state.iterations()))
    return state.SkipWithError("frames did not complete");
  state.SetItemsProcessed(static_cast<std::int64_t>(count));
  state.counters["ns_per_datagram"] =
      benchmark::Counter(static_cast<double>(count) * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Reassembly)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
