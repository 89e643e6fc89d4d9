// The video ingest side of the link manager: reassembly, statistics and the decoded-frame hand-off.
#include "link/NetworkManagerForMac.hpp"

#include "app/AppSettings.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "platform/thermal/ThermalMonitor.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"
#include "video/HEVCDecoder.hpp"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pd::link {
namespace {

using diagnostics::Log;
using diagnostics::LogThrottle;
using platform::media::VideoFramePtr;

constexpr double kThrottleInterval = 0.5;

// Counts every video datagram of the process; only the first few are logged one by one.
std::atomic<std::uint64_t> processVideoDatagrams{0};
constexpr std::uint64_t kLoggedDatagrams = 10;

std::vector<std::uint8_t> streamIDs(StreamMode mode) {
  return mode == StreamMode::raw ? std::vector<std::uint8_t>{1, 2} : std::vector<std::uint8_t>{0};
}

std::optional<std::int64_t> throttle(std::string_view key, std::int64_t every) {
  return LogThrottle::shared().shouldEmit(key, every, kThrottleInterval);
}

std::string withStream(std::string_view prefix, std::uint8_t stream) { return std::string(prefix) + std::to_string(stream); }

} // namespace

// The reassembler's outcomes, applied to the manager's statistics and decoders.
class NetworkManagerForMac::ReassemblyListener final : public VideoFragmentReassembler::Listener {
public:
  ReassemblyListener(NetworkManagerForMac& manager, double now, std::uint64_t datagramNumber)
      : manager_(manager), now_(now), datagramNumber_(datagramNumber) {}

  void fragmentAccepted(const VideoFragmentReassembler::Header& header, std::size_t datagramSize) override {
    manager_.clearStreamStop(header.streamID, now_);
    if (datagramNumber_ <= kLoggedDatagrams) {
      Log::video().debug("frag_recv stream=%hhu seq=%llu frags=%ld/%ld size_b=%ld nal_b=%u", header.streamID,
                         static_cast<unsigned long long>(header.sequence), static_cast<long>(header.fragmentIndex),
                         static_cast<long>(header.totalFragments), static_cast<long>(datagramSize), header.nalLength);
    }
  }
  void frameLost(std::uint8_t stream) override { ++manager_.statsDroppedByStream_[stream]; }
  void frameComplete(std::uint8_t stream, std::uint64_t sequence, std::span<const std::uint8_t> frame) override {
    manager_.deliverReassembledFrame(frame, stream, sequence);
  }

private:
  NetworkManagerForMac& manager_;
  double now_;
  std::uint64_t datagramNumber_;
};

// --- Reassembly (network queue) --------------------------------------------------------------------

void NetworkManagerForMac::handleVideoDatagram(std::span<const std::uint8_t> datagram) {
  videoDatagrams_.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t datagramNumber = processVideoDatagrams.fetch_add(1, std::memory_order_relaxed) + 1;
  if (dropVideoForVersionGate_) {
    if (const auto count = throttle("frag_drop_version", 300))
      Log::video().debug("frag_drop reason=version_gate occurrences=%ld", *count);
    return;
  }
  const double now = runtime::monotonicSeconds();
  if (!versionResolvedForGate_ && now - lastHandshakeNudgeTime_ >= kHandshakeNudgeInterval) {
    lastHandshakeNudgeTime_ = now;
    runtime::MainThread::post(
        runtime::weakCallback(weak_from_this(), [](NetworkManagerForMac& self) { self.resendHandshakeIfNeeded(); }));
  }
  ReassemblyListener listener(*this, now, datagramNumber);
  reassembler_.handle(datagram, now, receiveActiveStreamIDs_, listener);
}

void NetworkManagerForMac::deliverReassembledFrame(std::span<const std::uint8_t> frame, std::uint8_t stream,
                                                   std::uint64_t sequence) {
  if (const auto after = LogThrottle::shared().reset(withStream("frag_missing_", stream)); after && *after >= 2)
    Log::video().notice("frag_missing_recovered stream=%hhu after=%ld", stream, *after);

  const double now = runtime::monotonicSeconds();
  const double intervalMs = lastFrameReceivedTime_ > 0 ? (now - lastFrameReceivedTime_) * 1000.0 : 0.0;
  lastFrameReceivedTime_ = now;

  ++statsFramesByStream_[stream];
  reportStreamStatsIfDue(now);

  if (const auto count = throttle(withStream("frame_reassembled_", stream), 30)) {
    char interval[32];
    std::snprintf(interval, sizeof interval, "%.1f", intervalMs);
    Log::video().debug("frame_reassembled stream=%hhu seq=%llu size_b=%ld interval_ms=%{public}s occurrences=%ld", stream,
                       static_cast<unsigned long long>(sequence), static_cast<long>(frame.size()), std::string_view(interval),
                       *count);
  }

  if (const auto found = hevcDecoders_.find(stream); found != hevcDecoders_.end()) found->second->decode(frame, videoEpochOnQueue_);
}

void NetworkManagerForMac::clearReassemblyTables() { reassembler_.clear(); }

void NetworkManagerForMac::resetVideoDecoders() {
  for (auto& [stream, decoder] : hevcDecoders_) decoder->reset();
  reassembler_.clear();
}

// --- Stream statistics (network queue) and stale-epoch accounting (any thread) ----------------------

void NetworkManagerForMac::reportStreamStatsIfDue(double now) {
  if (lastStreamStatsTime_ == 0) {
    lastStreamStatsTime_ = now;
    return;
  }
  if (now - lastStreamStatsTime_ < kStreamStatsInterval) return;
  lastStreamStatsTime_ = now;
  reportStaleEpochStatsIfDue(now);
  writeStreamStats();
}

void NetworkManagerForMac::writeStreamStats() {
  std::set<std::uint8_t> streams;
  for (const auto& [stream, count] : statsFramesByStream_) streams.insert(stream);
  for (const auto& [stream, count] : statsDroppedByStream_) streams.insert(stream);
  for (const std::uint8_t stream : streams) {
    const auto frames = statsFramesByStream_.find(stream);
    const auto dropped = statsDroppedByStream_.find(stream);
    Log::video().notice("stream_stats stream=%hhu frames=%ld dropped=%ld thermal=%{public}s", stream,
                        static_cast<long>(frames == statsFramesByStream_.end() ? 0 : frames->second),
                        static_cast<long>(dropped == statsDroppedByStream_.end() ? 0 : dropped->second),
                        platform::thermal::label(platform::thermal::readThermalState()));
  }
  statsFramesByStream_.clear();
  statsDroppedByStream_.clear();
}

void NetworkManagerForMac::flushStreamStats() {
  writeStreamStats();
  lastStreamStatsTime_ = 0;
  lastFrameReceivedTime_ = 0;
  resetVideoLiveness();
  std::map<StaleEpochKey, std::int64_t> taken;
  {
    std::scoped_lock lock(staleEpochGate_);
    taken.swap(staleEpochCounts_);
    lastStaleEpochStatsTime_ = 0;
  }
  logStaleEpochCounts(taken);
}

void NetworkManagerForMac::recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream) {
  {
    std::scoped_lock lock(staleEpochGate_);
    ++staleEpochCounts_[StaleEpochKey{source, stream}];
  }
  reportStaleEpochStatsIfDue(runtime::monotonicSeconds());
}

void NetworkManagerForMac::reportStaleEpochStatsIfDue(double now) {
  std::map<StaleEpochKey, std::int64_t> taken;
  {
    std::scoped_lock lock(staleEpochGate_);
    if (staleEpochCounts_.empty()) return;
    // 0 means no report since start or the last flush: the first drop is written at once.
    if (lastStaleEpochStatsTime_ != 0 && now - lastStaleEpochStatsTime_ < kStaleEpochStatsInterval) return;
    lastStaleEpochStatsTime_ = now;
    taken.swap(staleEpochCounts_);
  }
  logStaleEpochCounts(taken);
}

void NetworkManagerForMac::logStaleEpochCounts(const std::map<StaleEpochKey, std::int64_t>& counts) {
  // The keys order by source text, then by stream with an absent one first (as 0).
  for (const auto& [key, count] : counts) {
    const std::string_view source = toString(key.source);
    const std::uint8_t stream = key.streamID.value_or(0);
    switch (key.source) {
    case StaleEpochSource::display:
      Log::video().notice("stale_epoch_stats source=%{public}s stream=%hhu dropped=%ld", source, stream, static_cast<long>(count));
      break;
    case StaleEpochSource::syphon:
    case StaleEpochSource::syphonLate:
      Log::syphon().notice("stale_epoch_stats source=%{public}s stream=%hhu dropped=%ld", source, stream, static_cast<long>(count));
      break;
    case StaleEpochSource::recv:
    case StaleEpochSource::json:
      Log::network().notice("stale_epoch_stats source=%{public}s dropped=%ld", source, static_cast<long>(count));
      break;
    }
  }
}

// --- Pipeline configuration ------------------------------------------------------------------------

void NetworkManagerForMac::configurePipeline(StreamMode mode) {
  runtime::MainThread::assertMainThread();
  if (!handOff_) {
    handOff_ = std::make_shared<DecodedFrameHandOff>();
    handOff_->manager = weak_from_this();
  }
  isSyphonRunning.set(false);
  clearPendingFrames();
  const std::string baseName = app::AppSettings::syphonServerName();

  const std::vector<std::uint8_t> streams = streamIDs(mode);
  DecoderTable decoders;
  std::vector<std::pair<std::uint8_t, std::string>> servers;
  std::string streamText;
  for (const std::uint8_t stream : streams) {
    auto decoder = std::make_shared<video::HEVCDecoder>();
    decoder->setStreamTag(std::to_string(stream));
    decoder->setOnDecodedPixelBuffer([handOff = std::weak_ptr(handOff_), stream](VideoFramePtr frame, std::uint64_t epoch) {
      if (auto live = handOff.lock()) enqueueDecodedFrame(*live, std::move(frame), stream, epoch);
    });
    decoders.emplace(stream, std::move(decoder));
    servers.emplace_back(stream, stream == 1 ? baseName + " A" : stream == 2 ? baseName + " B" : baseName);
    if (!streamText.empty()) streamText += "/";
    streamText += std::to_string(stream);
  }

  syphonQueue_.post([weak = weak_from_this(), servers = std::move(servers)]() mutable {
    auto self = weak.lock();
    if (!self) return;
    self->configureSyphonServers(std::move(servers));
    runtime::MainThread::post(runtime::weakCallback(weak, [](NetworkManagerForMac& manager) { manager.isSyphonRunning.set(false); }));
  });
  postToNetworkQueue([decoders = std::move(decoders), active = std::set<std::uint8_t>(streams.begin(), streams.end())](
                         NetworkManagerForMac& self) mutable { self.installDecoders(std::move(decoders), std::move(active)); });
  Log::video().notice("pipeline_configure mode=%{public}s streams=%{public}s", link::toString(mode), streamText);
}

void NetworkManagerForMac::installDecoders(DecoderTable decoders, std::set<std::uint8_t> activeStreams) {
  flushStreamStats();
  for (auto& [stream, decoder] : hevcDecoders_) decoder->reset();
  // The old decoders go here, on the network queue, after their last frames were handed on.
  hevcDecoders_ = std::move(decoders);
  receiveActiveStreamIDs_ = std::move(activeStreams);
  reassembler_.clear();
}

// --- Decoded-frame hand-off -------------------------------------------------------------------------

void NetworkManagerForMac::enqueueDecodedFrame(VideoFramePtr frame, std::uint8_t stream, std::uint64_t epoch) {
  enqueueDecodedFrame(*handOff_, std::move(frame), stream, epoch);
}

void NetworkManagerForMac::enqueueDecodedFrame(DecodedFrameHandOff& handOff, VideoFramePtr frame, std::uint8_t stream,
                                               std::uint64_t epoch) {
  if (stream < handOff.decodedFrames.size()) handOff.decodedFrames[stream].fetch_add(1, std::memory_order_relaxed);
  {
    std::scoped_lock lock(handOff.decodedFrameGate);
    handOff.pendingDecodedFrames[stream] = DecodedFrame{std::move(frame), epoch};
    if (handOff.isDecodedFlushScheduled) return;
    handOff.isDecodedFlushScheduled = true;
  }
  runtime::MainThread::post(runtime::weakCallback(handOff.manager, [](NetworkManagerForMac& self) { self.flushDecodedFrames(); }));
}

std::uint64_t NetworkManagerForMac::decodedFrameCount(std::uint8_t stream) const noexcept {
  return stream < handOff_->decodedFrames.size() ? handOff_->decodedFrames[stream].load(std::memory_order_relaxed) : 0;
}

void NetworkManagerForMac::flushDecodedFrames() {
  runtime::MainThread::assertMainThread();
  std::map<std::uint8_t, DecodedFrame> taken;
  {
    std::scoped_lock lock(handOff_->decodedFrameGate);
    taken.swap(handOff_->pendingDecodedFrames);
    handOff_->isDecodedFlushScheduled = false;
  }
  for (auto& [stream, decoded] : taken) presentDecodedFrame(decoded.frame, stream, decoded.epoch);
}

void NetworkManagerForMac::presentDecodedFrame(const VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch) {
  const std::vector<std::uint8_t> active = streamIDs(streamMode.get());
  if (std::find(active.begin(), active.end(), stream) == active.end()) {
    if (const auto count = throttle("frame_drop_inactive_decoded", 30))
      Log::video().debug("frame_drop reason=inactive_stream stream=%hhu occurrences=%ld", stream, *count);
    return;
  }
  if (epoch != connectionGeneration_) {
    if (const auto count = throttle("frame_drop_stale_epoch", 30))
      Log::video().debug("frame_drop reason=stale_epoch stream=%hhu frame_gen=%llu current_gen=%llu occurrences=%ld", stream,
                         static_cast<unsigned long long>(epoch), static_cast<unsigned long long>(connectionGeneration_), *count);
    recordStaleEpochDrop(StaleEpochSource::display, stream);
    return;
  }
  if (connectedPeers.get().empty() && !udpConnection_) {
    if (const auto count = throttle("frame_drop_disconnected", 30))
      Log::video().debug("frame_drop reason=disconnected stream=%hhu occurrences=%ld", stream, *count);
    return;
  }

  noteFrameDisplayed(stream);
  if (stream == 2) receivedPixelBufferB.set(frame);
  else if (stream == 1) receivedPixelBufferA.set(frame);
  else receivedPixelBuffer.set(frame);
  if (const auto count = throttle(withStream("frame_display_", stream), 30))
    Log::video().debug("frame_display stream=%hhu res=%ldx%ld occurrences=%ld", stream, static_cast<long>(frame->width()),
                       static_cast<long>(frame->height()), *count);
  enqueueSyphonFrame(frame, stream, epoch);
}

void NetworkManagerForMac::clearPendingFrames() {
  runtime::MainThread::assertMainThread();
  receivedPixelBuffer.set(nullptr);
  receivedPixelBufferA.set(nullptr);
  receivedPixelBufferB.set(nullptr);
  {
    std::scoped_lock lock(handOff_->decodedFrameGate);
    handOff_->pendingDecodedFrames.clear();
  }
  clearPendingSyphonFrames();
}

} // namespace pd::link
