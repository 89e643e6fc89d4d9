#include "video/FrameSharing.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/videoout/FrameServer.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace pd::video {

using diagnostics::Log;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;
using platform::log::Level;
using platform::videoout::FrameServer;
using platform::videoout::PublishResult;

namespace {

constexpr diagnostics::ThrottleRule kServerRule{60, std::chrono::milliseconds(500)};
constexpr diagnostics::ThrottleRule kStaleRule{30, std::chrono::milliseconds(500)};
constexpr std::int64_t kRateLineEvery = 30;
constexpr std::string_view kStaleKey = "syphon_drop_stale_epoch";

// The pixel format of every frame we are handed: decoded pictures are NV12.
constexpr std::uint32_t kFramePixelFormat = 0x3231564EU; // 'NV12'

std::string streamKey(std::string_view prefix, std::uint8_t stream) {
  std::string key(prefix);
  key += std::to_string(stream);
  return key;
}

// The two ways a prepared buffer can fail us: every buffer is still with the consumers, or they
// have not agreed on this frame's format and size.
enum class PublishFailure : std::uint8_t { noBuffer, negotiation };

void logPublishFailure(PublishFailure reason, std::uint8_t stream) {
  logThrottled(streamKey("syphon_publish_fail_", stream), kServerRule, [&](std::int64_t count) {
    if (reason == PublishFailure::noBuffer) {
      Log::syphon().error("syphon_publish_fail reason=no_buffer stream=%hhu occurrences=%ld", stream, count);
    } else {
      Log::syphon().error("syphon_publish_fail reason=negotiation stream=%hhu occurrences=%ld", stream, count);
    }
  });
}

void logNoServer(std::uint8_t stream) {
  logThrottled(Log::syphon(), Level::debug, streamKey("syphon_no_server_", stream), kServerRule,
               "syphon_no_server stream=%hhu occurrences=%ld", stream);
}

void logNoClient(std::uint8_t stream) {
  logThrottled(Log::syphon(), Level::debug, streamKey("syphon_no_client_", stream), kServerRule,
               "syphon_no_client stream=%hhu occurrences=%ld", stream);
}

} // namespace

std::string FrameSharing::serverName(std::string_view baseName, std::uint8_t stream) {
  std::string name(baseName);
  if (stream == 1) name += " A";
  if (stream == 2) name += " B";
  return name;
}

FrameSharing::FrameSharing(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), queue_(std::string(kQueueLabel)) {}

FrameSharing::~FrameSharing() {
  closing_.store(true, std::memory_order_release);
  // The queue ends before anything its work reads: the job under way finishes first.
  queue_.shutdown();
  alive_.reset();
}

void FrameSharing::post(runtime::UniqueFunction<void(FrameSharing&)> work) {
  queue_.post([this, work = std::move(work)]() mutable {
    if (!closing_.load(std::memory_order_acquire)) work(*this);
  });
}

void FrameSharing::reportRunning(bool running) {
  if (dependencies_.runningChanged) dependencies_.runningChanged(running);
}

void FrameSharing::reportStaleEpochDrop(StaleEpochSource source, std::uint8_t stream) {
  if (const auto sink = dependencies_.staleEpochSink.lock()) sink->recordStaleEpochDrop(source, stream);
}

void FrameSharing::refreshRunning() {
  // One answer for all streams: a client on any server means sharing runs.
  bool anyClient = false;
  for (const auto& [id, candidate] : servers_) {
    if (candidate->hasClients()) {
      anyClient = true;
      break;
    }
  }
  if (lastReportedRunning_ != anyClient) {
    lastReportedRunning_ = anyClient;
    reportRunning(anyClient);
  }
}

// --- Configuration ------------------------------------------------------------------------------

void FrameSharing::configure(std::vector<std::pair<std::uint8_t, std::string>> servers) {
  post([servers = std::move(servers)](FrameSharing& self) mutable { self.configureServers(std::move(servers)); });
}

void FrameSharing::configureServers(std::vector<std::pair<std::uint8_t, std::string>> servers) {
  for (auto& [stream, server] : servers_) server->stop();
  servers_.clear();
  bufferSizes_.clear();
  if (!videoOut_) {
    videoOut_ = dependencies_.makeVideoOut ? dependencies_.makeVideoOut() : nullptr;
    if (!videoOut_) videoOut_ = platform::videoout::VideoOut::open(Log::syphon());
    // A daemon that goes away takes the consumers with it, whether or not frames still come.
    // The hop through the main thread, where this object ends, keeps the connection's thread
    // from racing its destruction.
    videoOut_->setConnectionObserver([this, alive = std::weak_ptr(alive_)] {
      runtime::MainThread::post([this, alive] {
        if (!alive.expired()) post([](FrameSharing& self) { self.refreshRunning(); });
      });
    });
  }
  for (const auto& [stream, name] : servers) {
    if (auto server = videoOut_->createServer(name)) servers_[stream] = std::move(server);
    Log::syphon().notice("syphon_configure stream=%hhu name=%{private,mask.hash}s", stream, name);
  }
  lastReportedRunning_ = false;
  reportRunning(false);
}

// --- Hand-off -----------------------------------------------------------------------------------

void FrameSharing::enqueue(platform::media::VideoFramePtr frame, std::uint8_t stream, std::uint64_t epoch) {
  runtime::MainThread::assertMainThread();
  if (!frame) return;
  bool postFlush = false;
  {
    std::scoped_lock lock(gate_);
    pending_[stream] = PendingFrame{std::move(frame), epoch};
    if (!isFlushScheduled_) {
      isFlushScheduled_ = true;
      postFlush = true;
    }
  }
  if (postFlush) post([](FrameSharing& self) { self.flush(); });
}

void FrameSharing::clearPending() {
  runtime::MainThread::assertMainThread();
  std::map<std::uint8_t, PendingFrame> dropped;
  {
    // A flush already posted still runs and clears the flag; it finds nothing to publish.
    std::scoped_lock lock(gate_);
    dropped.swap(pending_);
  }
}

void FrameSharing::setEpoch(std::uint64_t epoch) {
  std::unique_lock lock(gate_);
  // Never called on the queue from inside a hand-over, so the one waited for always ends.
  commitEnded_.wait(lock, [this] { return !committing_; });
  epoch_ = epoch;
}

std::uint64_t FrameSharing::epoch() const {
  std::scoped_lock lock(gate_);
  return epoch_;
}

std::size_t FrameSharing::pendingFrames() const {
  std::scoped_lock lock(gate_);
  return pending_.size();
}

std::optional<std::uint32_t> FrameSharing::nodeId(std::uint8_t stream) const {
  const auto found = servers_.find(stream);
  return found != servers_.end() ? found->second->nodeId() : std::nullopt;
}

void FrameSharing::flush() {
  std::map<std::uint8_t, PendingFrame> taken;
  {
    std::scoped_lock lock(gate_);
    taken.swap(pending_);
    isFlushScheduled_ = false;
  }
  for (auto& [stream, pending] : taken) {
    std::uint64_t current = 0;
    {
      std::scoped_lock lock(gate_);
      current = epoch_;
    }
    if (pending.epoch == current) {
      publish(pending.frame, stream, pending.epoch);
      continue;
    }
    logThrottled(Log::syphon(), Level::debug, kStaleKey, kStaleRule,
                 "syphon_drop reason=stale_epoch stream=%hhu frame_gen=%llu current_gen=%llu occurrences=%ld", stream,
                 static_cast<unsigned long long>(pending.epoch), static_cast<unsigned long long>(current));
    reportStaleEpochDrop(StaleEpochSource::syphon, stream);
  }
}

// --- Publication --------------------------------------------------------------------------------

void FrameSharing::publish(const platform::media::VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch) {
  const auto found = servers_.find(stream);
  if (found == servers_.end()) {
    logNoServer(stream);
    return;
  }
  FrameServer& server = *found->second;
  refreshRunning();

  // No copy or conversion is spent on a stream nobody takes.
  if (!server.hasClients()) {
    logNoClient(stream);
    return;
  }

  const std::pair<int, int> size{frame->width(), frame->height()};
  if (const auto previous = bufferSizes_.find(stream); previous == bufferSizes_.end() || previous->second != size) {
    bufferSizes_[stream] = size;
    Log::syphon().debug("syphon_scratch_alloc stream=%hhu res=%ldx%ld", stream, static_cast<long>(size.first),
                        static_cast<long>(size.second));
  }

  FrameServer::BufferInfo buffer;
  switch (server.prepareFrame(*frame, buffer)) {
  case PublishResult::published: break;
  case PublishResult::noBuffer: logPublishFailure(PublishFailure::noBuffer, stream); return;
  case PublishResult::negotiationFailed: logPublishFailure(PublishFailure::negotiation, stream); return;
  // The consumer left, or the node went, since the checks above.
  case PublishResult::noClient: logNoClient(stream); return;
  case PublishResult::stopped: logNoServer(stream); return;
  }

  const long width = size.first;
  const long height = size.second;
  ++publishedFrameCount_;
  if (firstFramePending_) {
    Log::syphon().notice("syphon_first_frame stream=%hhu pix_fmt=%u tex_fmt=%lu res=%ldx%ld iosurface=%{bool}d", stream,
                         kFramePixelFormat, static_cast<unsigned long>(buffer.fourcc), width, height,
                         buffer.sharedMemory);
    firstFramePending_ = false;
  }
  if (publishedFrameCount_ % kRateLineEvery == 0) {
    const double now = runtime::monotonicSeconds();
    // The first line measures from the first counted frame.
    const double elapsed = now - lastRateLogTime_.value_or(now);
    char fps[32] = "0.0";
    if (elapsed > 0) std::snprintf(fps, sizeof fps, "%.1f", static_cast<double>(kRateLineEvery) / elapsed);
    Log::syphon().debug("syphon_publish stream=%hhu frames=%ld res=%ldx%ld fps=%{public}s", stream,
                        publishedFrameCount_, width, height, fps);
    lastRateLogTime_ = runtime::monotonicSeconds();
  } else if (!lastRateLogTime_) {
    lastRateLogTime_ = runtime::monotonicSeconds();
  }

  // A new link's epoch lands either before the last check (the frame is dropped) or after the
  // frame is out: setEpoch() waits while a hand-over runs. The gate itself is let go first: the
  // hand-over takes the video-out loop's lock, and the main thread's hand-off of the next frames
  // must not queue behind that.
  {
    std::unique_lock lock(gate_);
    if (epoch != epoch_) {
      lock.unlock();
      server.abandonFrame();
      logThrottled(Log::syphon(), Level::debug, kStaleKey, kStaleRule,
                   "syphon_drop reason=stale_epoch_late stream=%hhu frame_gen=%llu occurrences=%ld", stream,
                   static_cast<unsigned long long>(epoch));
      reportStaleEpochDrop(StaleEpochSource::syphonLate, stream);
      return;
    }
    committing_ = true;
  }
  const bool committed = [&] {
    struct EndCommit {
      FrameSharing& self;
      ~EndCommit() {
        {
          std::scoped_lock lock(self.gate_);
          self.committing_ = false;
        }
        self.commitEnded_.notify_all();
      }
    } end{*this};
    return server.commitFrame();
  }();
  if (!committed) {
    // A renegotiation took the buffer between filling and handing over.
    logPublishFailure(PublishFailure::negotiation, stream);
    return;
  }

  if (const auto failures = LogThrottle::shared().reset(streamKey("syphon_publish_fail_", stream));
      failures && *failures >= 2) {
    Log::syphon().notice("syphon_publish_recovered stream=%hhu after=%ld", stream, *failures);
  }
}

// --- Renaming and stopping ----------------------------------------------------------------------

void FrameSharing::rename(std::string baseName) {
  post([baseName = std::move(baseName)](FrameSharing& self) { self.applyNames(baseName); });
}

void FrameSharing::applyNames(const std::string& baseName) {
  if (servers_.empty()) {
    Log::syphon().debug("syphon_rename_skip reason=not_initialized");
    return;
  }
  for (auto& [stream, server] : servers_) {
    const std::string name = serverName(baseName, stream);
    if (server->name() == name) continue;
    server->setName(name);
    Log::syphon().notice("syphon_rename stream=%hhu name=%{private,mask.hash}s", stream, name);
  }
}

void FrameSharing::stop() {
  post([](FrameSharing& self) { self.stopServers(); });
}

void FrameSharing::stopServers() {
  for (auto& [stream, server] : servers_) server->stop();
  servers_.clear();
  bufferSizes_.clear();
  lastReportedRunning_ = false;
  reportRunning(false);
  Log::syphon().notice("syphon_stop");
}

} // namespace pd::video
