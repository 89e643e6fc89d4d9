#pragma once

// Decoded frames on their way from the decoders' output threads to the main thread. Only the
// newest frame of each stream waits; one flush at a time is asked for, whatever the number of
// frames that arrive before it runs. On the main thread the drop rules then decide, in this
// order, whether a frame is shown: a stream no longer active, a frame of an earlier link
// epoch, no link at all.
//
// It lives apart from its owner so that a decoder thread never holds the owner (and with it
// the decoders) alive: the owner's last reference would otherwise be a thread its destruction
// waits for.

#include "platform/media/VideoFrame.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace pd::video {

class DecodedFrameHandOff {
public:
  // What the main thread knows when a frame comes up, read again for every frame.
  struct Presentation {
    std::vector<std::uint8_t> activeStreams;
    std::uint64_t currentEpoch = 0;
    bool isLinked = false;
  };

  // Main thread: the frames that pass the drop rules, and the stale ones for the statistics.
  class Sink {
  public:
    virtual ~Sink() = default;
    virtual Presentation presentation() const = 0;
    virtual void show(const platform::media::VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch) = 0;
    virtual void staleEpochDropped(std::uint8_t stream) = 0;
  };

  // `scheduleFlush` (any thread) must see to it that flush() runs on the main thread.
  explicit DecodedFrameHandOff(std::function<void()> scheduleFlush) : scheduleFlush_(std::move(scheduleFlush)) {}
  DecodedFrameHandOff(const DecodedFrameHandOff&) = delete;
  DecodedFrameHandOff& operator=(const DecodedFrameHandOff&) = delete;

  // Any thread: a decoder's frame replaces the one of its stream still waiting.
  void enqueue(platform::media::VideoFramePtr frame, std::uint8_t stream, std::uint64_t epoch);
  // Main thread: every waiting frame goes to the drop rules and, past them, to `sink`.
  void flush(Sink& sink);
  // Main thread: the waiting frames go; a flush already asked for finds nothing.
  void clear();
  // Any thread.
  bool isFlushScheduled() const;
  // Any thread: frames of `stream` handed over (before the drop rules).
  std::uint64_t decodedFrameCount(std::uint8_t stream) const noexcept {
    return stream < decodedFrames_.size() ? decodedFrames_[stream].load(std::memory_order_relaxed) : 0;
  }

private:
  struct DecodedFrame {
    platform::media::VideoFramePtr frame;
    std::uint64_t epoch = 0;
  };
  void present(const platform::media::VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch, Sink& sink);

  const std::function<void()> scheduleFlush_;
  mutable std::mutex gate_;
  // Under gate_.
  std::map<std::uint8_t, DecodedFrame> pending_;
  bool isFlushScheduled_ = false;
  std::array<std::atomic<std::uint64_t>, 3> decodedFrames_{};
};

} // namespace pd::video
