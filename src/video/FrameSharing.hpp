#pragma once

// Frame sharing: one video-out server per stream, fed with the frames the main thread has just
// shown, on a queue of its own that owns the servers and their bookkeeping without a lock. Only
// the hand-off table and the link epoch are shared, under one lock, which is never held while a
// server is called.
//
// Frames carry the link epoch they were decoded under; one of an earlier epoch is dropped and
// reported, and a new epoch that lands while a frame is being published drops that frame too.

#include "platform/media/VideoFrame.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/UniqueFunction.hpp"
#include "video/StaleEpochSink.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pd::platform::videoout {
class FrameServer;
class VideoOut;
} // namespace pd::platform::videoout

namespace pd::video {

class FrameSharing {
public:
  static constexpr std::string_view kQueueLabel = "com.velquatrin.syphonPublish";

  struct Dependencies {
    // The frame-sharing daemon, opened on the queue at the first configuration; when empty, the
    // session's PipeWire daemon (or a stand-in where none runs).
    std::function<std::unique_ptr<platform::videoout::VideoOut>()> makeVideoOut;
    // Frame-sharing queue: whether any server has a consumer, when that may have changed.
    std::function<void(bool running)> runningChanged;
    // Frame-sharing queue: counts a frame of an earlier epoch, found before (syphon) or while
    // (syphonLate) publishing. Held weakly: the sink's owner may be going away.
    std::weak_ptr<StaleEpochSink> staleEpochSink;
  };

  explicit FrameSharing(Dependencies dependencies);
  // Work still queued is dropped; work under way finishes first.
  ~FrameSharing();
  FrameSharing(const FrameSharing&) = delete;
  FrameSharing& operator=(const FrameSharing&) = delete;

  // The advertised name of a stream's server: the base, with " A" for stream 1 and " B" for 2.
  static std::string serverName(std::string_view baseName, std::uint8_t stream);

  // Any thread: queue one server per (stream, name), replacing every server before.
  void configure(std::vector<std::pair<std::uint8_t, std::string>> servers);
  // Main thread: a frame just shown, with the link epoch it was decoded under.
  void enqueue(platform::media::VideoFramePtr frame, std::uint8_t stream, std::uint64_t epoch);
  // Main thread: the frames not yet published go.
  void clearPending();
  // Any thread: the current link epoch.
  void setEpoch(std::uint64_t epoch);
  std::uint64_t epoch() const;
  // Any thread: queue renaming the servers after a new base name.
  void rename(std::string baseName);
  // Any thread: queue stopping every server.
  void stop();
  // Any thread: frames waiting for the queue.
  std::size_t pendingFrames() const;

  // The frame-sharing queue; its owner's tests run work there and wait for it.
  runtime::SerialQueue& queue() noexcept { return queue_; }
  // On the queue.
  void configureServers(std::vector<std::pair<std::uint8_t, std::string>> servers);
  void stopServers();
  std::optional<std::uint32_t> nodeId(std::uint8_t stream) const;

private:
  void post(runtime::UniqueFunction<void(FrameSharing&)> work);
  // On the queue.
  void flush();
  void publish(const platform::media::VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch);
  void applyNames(const std::string& baseName);
  void reportRunning(bool running);
  void reportStaleEpochDrop(StaleEpochSource source, std::uint8_t stream);
  void refreshRunning();

  Dependencies dependencies_;
  // Set first by the destructor: queued work that has not started yet does nothing.
  std::atomic<bool> closing_{false};
  // Main thread: expires once the queue has ended.
  std::shared_ptr<const int> alive_ = std::make_shared<const int>(0);

  // On the queue.
  std::unique_ptr<platform::videoout::VideoOut> videoOut_; // before the servers it made
  std::map<std::uint8_t, std::unique_ptr<platform::videoout::FrameServer>> servers_;
  // The frame size each stream's buffers were last offered for.
  std::map<std::uint8_t, std::pair<int, int>> bufferSizes_;
  std::optional<bool> lastReportedRunning_;
  std::int64_t publishedFrameCount_ = 0;
  bool firstFramePending_ = true;
  std::optional<double> lastRateLogTime_; // monotonic seconds

  // Any thread, under gate_.
  mutable std::mutex gate_;
  std::uint64_t epoch_ = 0;
  struct PendingFrame {
    platform::media::VideoFramePtr frame;
    std::uint64_t epoch = 0;
  };
  std::map<std::uint8_t, PendingFrame> pending_;
  bool isFlushScheduled_ = false;
  // A frame that passed the last epoch check is being handed over: a new epoch waits for it.
  bool committing_ = false;
  std::condition_variable commitEnded_;

  // Last, so it goes first: its destruction waits for the work under way, which uses the rest.
  runtime::SerialQueue queue_;
};

} // namespace pd::video
