#include "video/DecodedFrameHandOff.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "runtime/MainThread.hpp"

#include <algorithm>

namespace pd::video {
namespace {

using diagnostics::Log;
using platform::media::VideoFramePtr;

std::optional<std::int64_t> throttle(std::string_view key, std::int64_t every) {
  return diagnostics::LogThrottle::shared().shouldEmit(key, every, 0.5);
}

} // namespace

void DecodedFrameHandOff::enqueue(VideoFramePtr frame, std::uint8_t stream, std::uint64_t epoch) {
  if (stream < decodedFrames_.size()) decodedFrames_[stream].fetch_add(1, std::memory_order_relaxed);
  {
    std::scoped_lock lock(gate_);
    pending_[stream] = DecodedFrame{std::move(frame), epoch};
    if (isFlushScheduled_) return;
    isFlushScheduled_ = true;
  }
  scheduleFlush_();
}

void DecodedFrameHandOff::flush(Sink& sink) {
  runtime::MainThread::assertMainThread();
  std::map<std::uint8_t, DecodedFrame> taken;
  {
    std::scoped_lock lock(gate_);
    taken.swap(pending_);
    isFlushScheduled_ = false;
  }
  for (auto& [stream, decoded] : taken) present(decoded.frame, stream, decoded.epoch, sink);
}

void DecodedFrameHandOff::present(const VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch, Sink& sink) {
  const Presentation now = sink.presentation();
  if (std::find(now.activeStreams.begin(), now.activeStreams.end(), stream) == now.activeStreams.end()) {
    if (const auto count = throttle("frame_drop_inactive_decoded", 30))
      Log::video().debug("frame_drop reason=inactive_stream stream=%hhu occurrences=%ld", stream, *count);
    return;
  }
  if (epoch != now.currentEpoch) {
    if (const auto count = throttle("frame_drop_stale_epoch", 30))
      Log::video().debug("frame_drop reason=stale_epoch stream=%hhu frame_gen=%llu current_gen=%llu occurrences=%ld", stream,
                         static_cast<unsigned long long>(epoch), static_cast<unsigned long long>(now.currentEpoch), *count);
    sink.staleEpochDropped(stream);
    return;
  }
  if (!now.isLinked) {
    if (const auto count = throttle("frame_drop_disconnected", 30))
      Log::video().debug("frame_drop reason=disconnected stream=%hhu occurrences=%ld", stream, *count);
    return;
  }
  sink.show(frame, stream, epoch);
}

void DecodedFrameHandOff::clear() {
  runtime::MainThread::assertMainThread();
  std::map<std::uint8_t, DecodedFrame> dropped;
  std::scoped_lock lock(gate_);
  dropped.swap(pending_);
}

bool DecodedFrameHandOff::isFlushScheduled() const {
  std::scoped_lock lock(gate_);
  return isFlushScheduled_;
}

} // namespace pd::video
