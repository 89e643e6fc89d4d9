#include "video/DecodedFrameHandOff.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "runtime/MainThread.hpp"

#include <algorithm>
#include <chrono>

namespace pd::video {
namespace {

using diagnostics::Log;
using diagnostics::logThrottled;
using platform::log::Level;
using platform::media::VideoFramePtr;

constexpr diagnostics::ThrottleRule kDropRule{30, std::chrono::milliseconds(500)};

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
    logThrottled(Log::video(), Level::debug, "frame_drop_inactive_decoded", kDropRule,
                 "frame_drop reason=inactive_stream stream=%hhu occurrences=%ld", stream);
    return;
  }
  if (epoch != now.currentEpoch) {
    logThrottled(Log::video(), Level::debug, "frame_drop_stale_epoch", kDropRule,
                 "frame_drop reason=stale_epoch stream=%hhu frame_gen=%llu current_gen=%llu occurrences=%ld", stream,
                 static_cast<unsigned long long>(epoch), static_cast<unsigned long long>(now.currentEpoch));
    sink.staleEpochDropped(stream);
    return;
  }
  if (!now.isLinked) {
    logThrottled(Log::video(), Level::debug, "frame_drop_disconnected", kDropRule,
                 "frame_drop reason=disconnected stream=%hhu occurrences=%ld", stream);
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
