// Video liveness: which expected streams have gone silent, and which the tablet said it stopped.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"

#include <cmath>
#include <utility>
#include <vector>

namespace pd::link {

using diagnostics::Log;

namespace {

// Whole milliseconds of a non-negative interval; a clock that went backwards reads 0.
std::int64_t wholeMilliseconds(double seconds) {
  if (!(seconds > 0)) return 0;
  constexpr double kLimit = 9.0e18;
  const double ms = std::floor(seconds * 1000.0);
  return ms < kLimit ? static_cast<std::int64_t>(ms) : static_cast<std::int64_t>(kLimit);
}

} // namespace

void NetworkManagerForMac::clearStreamStop(std::uint8_t stream, double now) {
  // A datagram sent just before the stop may still arrive: only a later one lifts the mark.
  constexpr double kStopGrace = 1.0;
  std::optional<double> clearedAfter;
  {
    std::scoped_lock lock(videoLivenessGate_);
    if (const auto stopped = stoppedStreams_.find(stream); stopped != stoppedStreams_.end()) {
      const double elapsed = now - stopped->second;
      if (elapsed < kStopGrace) return;
      stoppedStreams_.erase(stopped);
      clearedAfter = elapsed;
    }
    // Silence counts from the first datagram of a new or restarted stream.
    lastFrameTimeByStream_.try_emplace(stream, now);
  }
  if (clearedAfter) {
    Log::video().notice("stream_stop_clear stream=%hhu after_ms=%ld", stream, wholeMilliseconds(*clearedAfter));
  }
}

void NetworkManagerForMac::noteFrameDisplayed(std::uint8_t stream) {
  runtime::MainThread::assertMainThread();
  const double now = runtime::monotonicSeconds();
  std::optional<double> previous;
  bool wasSilent = false;
  {
    std::scoped_lock lock(videoLivenessGate_);
    if (stoppedStreams_.contains(stream)) return;
    if (const auto last = lastFrameTimeByStream_.find(stream); last != lastFrameTimeByStream_.end()) {
      previous = last->second;
    }
    lastFrameTimeByStream_[stream] = now;
    wasSilent = silentStreams_.erase(stream) > 0;
  }
  if (!wasSilent) return;
  Log::video().notice("video_resumed stream=%hhu after_ms=%ld", stream,
                      wholeMilliseconds(previous ? now - *previous : 0.0));
  applyVideoSilence(linkEpoch_);
}

void NetworkManagerForMac::checkVideoSilence(LinkState linkState, double now) {
  std::vector<std::pair<std::uint8_t, double>> newlySilent;
  std::uint64_t epoch = 0;
  {
    std::scoped_lock lock(videoLivenessGate_);
    std::set<std::uint8_t> silent;
    for (const auto& [stream, last] : lastFrameTimeByStream_) {
      const double silence = now - last;
      if (silence < dependencies_.timing.videoSilenceThreshold.count()) continue;
      // A link problem explains missing video: nothing newly falls silent then, but what was
      // silent stays so.
      if (linkState == LinkState::connected || silentStreams_.contains(stream)) {
        silent.insert(stream);
        if (!silentStreams_.contains(stream)) newlySilent.emplace_back(stream, silence);
      }
    }
    silentStreams_ = std::move(silent);
    epoch = health_.epoch();
  }
  for (const auto& [stream, silence] : newlySilent) {
    Log::video().error("video_silence stream=%hhu silence_ms=%ld", stream, wholeMilliseconds(silence));
  }
  runtime::MainThread::post(
      runtime::weakCallback(weak_from_this(), [epoch](NetworkManagerForMac& self) { self.applyVideoSilence(epoch); }));
}

} // namespace pd::link
