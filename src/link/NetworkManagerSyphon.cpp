// The frame-sharing side of the link manager: one video-out server per stream, fed with the
// frames the main thread has just shown.
//
// Everything but the three main-thread entry points runs on the frame-sharing queue, which owns
// the servers and the bookkeeping below without a lock. Only the hand-off table and the epoch
// are shared, under syphonGate_.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogThrottle;
using platform::videoout::FrameServer;
using platform::videoout::PublishResult;

namespace {

constexpr double kThrottleInterval = 0.5;
constexpr std::int64_t kServerThrottleEvery = 60;
constexpr std::int64_t kStaleThrottleEvery = 30;
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
  if (const auto count = LogThrottle::shared().shouldEmit(streamKey("syphon_publish_fail_", stream),
                                                          kServerThrottleEvery, kThrottleInterval)) {
    if (reason == PublishFailure::noBuffer) {
      Log::syphon().error("syphon_publish_fail reason=no_buffer stream=%hhu occurrences=%ld", stream, *count);
    } else {
      Log::syphon().error("syphon_publish_fail reason=negotiation stream=%hhu occurrences=%ld", stream, *count);
    }
  }
}

void logNoServer(std::uint8_t stream) {
  if (const auto count = LogThrottle::shared().shouldEmit(streamKey("syphon_no_server_", stream), kServerThrottleEvery,
                                                          kThrottleInterval)) {
    Log::syphon().debug("syphon_no_server stream=%hhu occurrences=%ld", stream, *count);
  }
}

void logNoClient(std::uint8_t stream) {
  if (const auto count = LogThrottle::shared().shouldEmit(streamKey("syphon_no_client_", stream), kServerThrottleEvery,
                                                          kThrottleInterval)) {
    Log::syphon().debug("syphon_no_client stream=%hhu occurrences=%ld", stream, *count);
  }
}

} // namespace

std::string NetworkManagerForMac::syphonServerName(std::string_view baseName, std::uint8_t stream) {
  std::string name(baseName);
  if (stream == 1) name += " A";
  if (stream == 2) name += " B";
  return name;
}

void NetworkManagerForMac::postToSyphonQueue(runtime::UniqueFunction<void(NetworkManagerForMac&)> work) {
  syphonQueue_.post([weak = weak_from_this(), work = std::move(work)]() mutable {
    if (auto self = weak.lock()) work(*self);
  });
}

void NetworkManagerForMac::reportSyphonRunning(bool running) {
  runtime::MainThread::post(
      runtime::weakCallback(weak_from_this(), [running](NetworkManagerForMac& self) { self.isSyphonRunning.set(running); }));
}

void NetworkManagerForMac::refreshSyphonRunning() {
  // One answer for all streams: a client on any server means sharing runs.
  bool anyClient = false;
  for (const auto& [id, candidate] : syphonServers_) {
    if (candidate->hasClients()) {
      anyClient = true;
      break;
    }
  }
  if (lastReportedSyphonRunning_ != anyClient) {
    lastReportedSyphonRunning_ = anyClient;
    reportSyphonRunning(anyClient);
  }
}

// --- Configuration ------------------------------------------------------------------------------

void NetworkManagerForMac::configureSyphonServers(std::vector<std::pair<std::uint8_t, std::string>> servers) {
  for (auto& [stream, server] : syphonServers_) server->stop();
  syphonServers_.clear();
  syphonBufferSizes_.clear();
  if (!videoOut_) {
    videoOut_ = dependencies_.makeVideoOut ? dependencies_.makeVideoOut() : nullptr;
    if (!videoOut_) videoOut_ = platform::videoout::VideoOut::open(Log::syphon());
    // A daemon that goes away takes the consumers with it, whether or not frames still come.
    // The hop through the main thread keeps the connection's thread from holding the manager.
    videoOut_->setConnectionObserver([weak = weak_from_this()] {
      runtime::MainThread::post(runtime::weakCallback(weak, [](NetworkManagerForMac& self) {
        self.postToSyphonQueue([](NetworkManagerForMac& manager) { manager.refreshSyphonRunning(); });
      }));
    });
  }
  for (const auto& [stream, name] : servers) {
    if (auto server = videoOut_->createServer(name)) syphonServers_[stream] = std::move(server);
    Log::syphon().notice("syphon_configure stream=%hhu name=%{private,mask.hash}s", stream, name);
  }
  lastReportedSyphonRunning_ = false;
  reportSyphonRunning(false);
}

// --- Hand-off -----------------------------------------------------------------------------------

void NetworkManagerForMac::enqueueSyphonFrame(platform::media::VideoFramePtr frame, std::uint8_t stream,
                                              std::uint64_t epoch) {
  runtime::MainThread::assertMainThread();
  if (!frame) return;
  bool postFlush = false;
  {
    std::scoped_lock lock(syphonGate_);
    pendingSyphonFrames_[stream] = PendingSyphonFrame{std::move(frame), epoch};
    if (!isSyphonFlushScheduled_) {
      isSyphonFlushScheduled_ = true;
      postFlush = true;
    }
  }
  if (postFlush) postToSyphonQueue([](NetworkManagerForMac& self) { self.flushSyphonFrames(); });
}

void NetworkManagerForMac::clearPendingSyphonFrames() {
  runtime::MainThread::assertMainThread();
  std::map<std::uint8_t, PendingSyphonFrame> dropped;
  {
    // A flush already posted still runs and clears the flag; it finds nothing to publish.
    std::scoped_lock lock(syphonGate_);
    dropped.swap(pendingSyphonFrames_);
  }
}

void NetworkManagerForMac::flushSyphonFrames() {
  std::map<std::uint8_t, PendingSyphonFrame> taken;
  {
    std::scoped_lock lock(syphonGate_);
    taken.swap(pendingSyphonFrames_);
    isSyphonFlushScheduled_ = false;
  }
  for (auto& [stream, pending] : taken) {
    std::uint64_t current = 0;
    {
      std::scoped_lock lock(syphonGate_);
      current = syphonEpoch_;
    }
    if (pending.epoch == current) {
      publishSyphonFrame(pending.frame, stream, pending.epoch);
      continue;
    }
    if (const auto count = LogThrottle::shared().shouldEmit(kStaleKey, kStaleThrottleEvery, kThrottleInterval)) {
      Log::syphon().debug(
          "syphon_drop reason=stale_epoch stream=%hhu frame_gen=%llu current_gen=%llu occurrences=%ld", stream,
          static_cast<unsigned long long>(pending.epoch), static_cast<unsigned long long>(current), *count);
    }
    recordStaleEpochDrop(StaleEpochSource::syphon, stream);
  }
}

// --- Publication --------------------------------------------------------------------------------

void NetworkManagerForMac::publishSyphonFrame(const platform::media::VideoFramePtr& frame, std::uint8_t stream,
                                              std::uint64_t epoch) {
  const auto found = syphonServers_.find(stream);
  if (found == syphonServers_.end()) {
    logNoServer(stream);
    return;
  }
  FrameServer& server = *found->second;
  refreshSyphonRunning();

  // No copy or conversion is spent on a stream nobody takes.
  if (!server.hasClients()) {
    logNoClient(stream);
    return;
  }

  const std::pair<int, int> size{frame->width(), frame->height()};
  if (const auto previous = syphonBufferSizes_.find(stream);
      previous == syphonBufferSizes_.end() || previous->second != size) {
    syphonBufferSizes_[stream] = size;
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
  ++syphonPublishedFrameCount_;
  if (syphonFirstFramePending_) {
    Log::syphon().notice("syphon_first_frame stream=%hhu pix_fmt=%u tex_fmt=%lu res=%ldx%ld iosurface=%{bool}d",
                         stream, kFramePixelFormat, static_cast<unsigned long>(buffer.fourcc), width, height,
                         buffer.sharedMemory);
    syphonFirstFramePending_ = false;
  }
  if (syphonPublishedFrameCount_ % kRateLineEvery == 0) {
    const double now = runtime::monotonicSeconds();
    // The first line measures from the first counted frame.
    const double elapsed = now - syphonLastRateLogTime_.value_or(now);
    char fps[32] = "0.0";
    if (elapsed > 0) std::snprintf(fps, sizeof fps, "%.1f", static_cast<double>(kRateLineEvery) / elapsed);
    Log::syphon().debug("syphon_publish stream=%hhu frames=%ld res=%ldx%ld fps=%{public}s", stream,
                        syphonPublishedFrameCount_, width, height, fps);
    syphonLastRateLogTime_ = runtime::monotonicSeconds();
  } else if (!syphonLastRateLogTime_) {
    syphonLastRateLogTime_ = runtime::monotonicSeconds();
  }

  // The gate spans the last epoch check and the hand-over, so a new link's epoch lands either
  // before the check (the frame is dropped) or after the frame is out. The hand-over takes only
  // the video-out loop's own lock, which is never held while this gate is wanted.
  bool committed = false;
  {
    std::unique_lock lock(syphonGate_);
    if (epoch == syphonEpoch_) committed = server.commitFrame();
    else {
      lock.unlock();
      server.abandonFrame();
      if (const auto count = LogThrottle::shared().shouldEmit(kStaleKey, kStaleThrottleEvery, kThrottleInterval)) {
        Log::syphon().debug("syphon_drop reason=stale_epoch_late stream=%hhu frame_gen=%llu occurrences=%ld", stream,
                            static_cast<unsigned long long>(epoch), *count);
      }
      recordStaleEpochDrop(StaleEpochSource::syphonLate, stream);
      return;
    }
  }
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

void NetworkManagerForMac::renameSyphonServers(std::string baseName) {
  runtime::MainThread::assertMainThread();
  postToSyphonQueue(
      [baseName = std::move(baseName)](NetworkManagerForMac& self) { self.applySyphonServerNames(baseName); });
}

void NetworkManagerForMac::applySyphonServerNames(const std::string& baseName) {
  if (syphonServers_.empty()) {
    Log::syphon().debug("syphon_rename_skip reason=not_initialized");
    return;
  }
  for (auto& [stream, server] : syphonServers_) {
    const std::string name = syphonServerName(baseName, stream);
    if (server->name() == name) continue;
    server->setName(name);
    Log::syphon().notice("syphon_rename stream=%hhu name=%{private,mask.hash}s", stream, name);
  }
}

void NetworkManagerForMac::stopSyphon() {
  runtime::MainThread::assertMainThread();
  isSyphonRunning.set(false);
  postToSyphonQueue([](NetworkManagerForMac& self) { self.stopSyphonServers(); });
}

void NetworkManagerForMac::stopSyphonServers() {
  for (auto& [stream, server] : syphonServers_) server->stop();
  syphonServers_.clear();
  syphonBufferSizes_.clear();
  lastReportedSyphonRunning_ = false;
  reportSyphonRunning(false);
  Log::syphon().notice("syphon_stop");
}

} // namespace pd::link
