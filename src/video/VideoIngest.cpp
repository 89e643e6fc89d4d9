#include "video/VideoIngest.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/thermal/ThermalMonitor.hpp"
#include "runtime/Clock.hpp"
#include "video/HEVCDecoder.hpp"

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

namespace pd::video {
namespace {

using diagnostics::Log;
using diagnostics::LogThrottle;

constexpr double kStreamStatsInterval = 10.0; // seconds
constexpr double kStaleEpochStatsInterval = 10.0; // seconds
constexpr std::uint64_t kLoggedDatagrams = 10;
constexpr diagnostics::ThrottleRule kFrameLineRule{30, std::chrono::milliseconds(500)};

std::string withStream(std::string_view prefix, std::uint8_t stream) {
  return std::string(prefix) + std::to_string(stream);
}

} // namespace

std::string_view toString(StaleEpochSource source) noexcept {
  switch (source) {
  case StaleEpochSource::display: return "display";
  case StaleEpochSource::syphon: return "syphon";
  case StaleEpochSource::syphonLate: return "syphon_late";
  case StaleEpochSource::recv: return "recv";
  case StaleEpochSource::json: return "json";
  }
  return "recv";
}

// The reassembler's outcomes, applied to the statistics and the decoders.
class VideoIngest::Listener final : public VideoFragmentReassembler::Listener {
public:
  Listener(VideoIngest& ingest, double now, std::uint64_t datagramNumber)
      : ingest_(ingest), now_(now), datagramNumber_(datagramNumber) {}

  void fragmentAccepted(const VideoFragmentReassembler::Header& header, std::size_t datagramSize) override {
    if (ingest_.hooks_.fragmentAccepted) ingest_.hooks_.fragmentAccepted(header.streamID, now_);
    if (datagramNumber_ <= kLoggedDatagrams) {
      Log::video().debug("frag_recv stream=%hhu seq=%llu frags=%ld/%ld size_b=%ld nal_b=%u", header.streamID,
                         static_cast<unsigned long long>(header.sequence), static_cast<long>(header.fragmentIndex),
                         static_cast<long>(header.totalFragments), static_cast<long>(datagramSize), header.nalLength);
    }
  }
  void frameLost(std::uint8_t stream) override { ++ingest_.droppedByStream_[stream]; }
  void frameComplete(std::uint8_t stream, std::uint64_t sequence, std::span<const std::uint8_t> frame) override {
    ingest_.deliver(frame, stream, sequence);
  }

private:
  VideoIngest& ingest_;
  double now_;
  std::uint64_t datagramNumber_;
};

VideoIngest::VideoIngest(Hooks hooks) : hooks_(std::move(hooks)) {}

VideoIngest::~VideoIngest() = default;

// --- Reassembly (network queue) --------------------------------------------------------------------

void VideoIngest::handleDatagram(std::span<const std::uint8_t> datagram, double now, std::uint64_t datagramNumber) {
  Listener listener(*this, now, datagramNumber);
  reassembler_.handle(datagram, now, activeStreams_, listener);
}

void VideoIngest::deliver(std::span<const std::uint8_t> frame, std::uint8_t stream, std::uint64_t sequence) {
  if (const auto after = LogThrottle::shared().reset(withStream("frag_missing_", stream)); after && *after >= 2)
    Log::video().notice("frag_missing_recovered stream=%hhu after=%ld", stream, *after);

  const double now = runtime::monotonicSeconds();
  const double intervalMs = lastFrameReceivedTime_ > 0 ? (now - lastFrameReceivedTime_) * 1000.0 : 0.0;
  lastFrameReceivedTime_ = now;

  ++framesByStream_[stream];
  reportStreamStatsIfDue(now);

  diagnostics::logThrottled(withStream("frame_reassembled_", stream), kFrameLineRule, [&](std::int64_t count) {
    char interval[32];
    std::snprintf(interval, sizeof interval, "%.1f", intervalMs);
    Log::video().debug("frame_reassembled stream=%hhu seq=%llu size_b=%ld interval_ms=%{public}s occurrences=%ld",
                       stream, static_cast<unsigned long long>(sequence), static_cast<long>(frame.size()),
                       std::string_view(interval), count);
  });

  if (const auto found = decoders_.find(stream); found != decoders_.end()) found->second->decode(frame, epoch_);
}

void VideoIngest::installDecoders(DecoderTable decoders, std::set<std::uint8_t> activeStreams) {
  flushStreamStats();
  for (auto& [stream, decoder] : decoders_) decoder->reset();
  // The old decoders go here, on the network queue, after their last frames were handed on.
  decoders_ = std::move(decoders);
  activeStreams_ = std::move(activeStreams);
  reassembler_.clear();
}

void VideoIngest::clearReassembly() { reassembler_.clear(); }

void VideoIngest::resetDecoders() {
  for (auto& [stream, decoder] : decoders_) decoder->reset();
  reassembler_.clear();
}

// --- Stream statistics (network queue) and stale-epoch accounting (any thread) ----------------------

void VideoIngest::reportStreamStatsIfDue(double now) {
  if (lastStreamStatsTime_ == 0) {
    lastStreamStatsTime_ = now;
    return;
  }
  if (now - lastStreamStatsTime_ < kStreamStatsInterval) return;
  lastStreamStatsTime_ = now;
  reportStaleEpochStatsIfDue(now);
  writeStreamStats();
}

void VideoIngest::writeStreamStats() {
  std::set<std::uint8_t> streams;
  for (const auto& [stream, count] : framesByStream_) streams.insert(stream);
  for (const auto& [stream, count] : droppedByStream_) streams.insert(stream);
  for (const std::uint8_t stream : streams) {
    const auto frames = framesByStream_.find(stream);
    const auto dropped = droppedByStream_.find(stream);
    Log::video().notice("stream_stats stream=%hhu frames=%ld dropped=%ld thermal=%{public}s", stream,
                        static_cast<long>(frames == framesByStream_.end() ? 0 : frames->second),
                        static_cast<long>(dropped == droppedByStream_.end() ? 0 : dropped->second),
                        platform::thermal::label(platform::thermal::readThermalState()));
  }
  framesByStream_.clear();
  droppedByStream_.clear();
}

void VideoIngest::flushStreamStats() {
  writeStreamStats();
  lastStreamStatsTime_ = 0;
  lastFrameReceivedTime_ = 0;
  if (hooks_.statisticsFlushed) hooks_.statisticsFlushed();
  std::map<StaleEpochKey, std::int64_t> taken;
  {
    std::scoped_lock lock(staleEpochGate_);
    taken.swap(staleEpochCounts_);
    lastStaleEpochStatsTime_ = 0;
  }
  logStaleEpochCounts(taken);
}

void VideoIngest::recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream) {
  {
    std::scoped_lock lock(staleEpochGate_);
    ++staleEpochCounts_[StaleEpochKey{source, stream}];
  }
  reportStaleEpochStatsIfDue(runtime::monotonicSeconds());
}

std::int64_t VideoIngest::unreportedStaleEpochDrops(const StaleEpochKey& key) const {
  std::scoped_lock lock(staleEpochGate_);
  const auto found = staleEpochCounts_.find(key);
  return found == staleEpochCounts_.end() ? 0 : found->second;
}

void VideoIngest::reportStaleEpochStatsIfDue(double now) {
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

void VideoIngest::logStaleEpochCounts(const std::map<StaleEpochKey, std::int64_t>& counts) {
  // The keys order by source text, then by stream with an absent one first (as 0).
  for (const auto& [key, count] : counts) {
    const std::string_view source = toString(key.source);
    const std::uint8_t stream = key.streamID.value_or(0);
    switch (key.source) {
    case StaleEpochSource::display:
      Log::video().notice("stale_epoch_stats source=%{public}s stream=%hhu dropped=%ld", source, stream,
                          static_cast<long>(count));
      break;
    case StaleEpochSource::syphon:
    case StaleEpochSource::syphonLate:
      Log::syphon().notice("stale_epoch_stats source=%{public}s stream=%hhu dropped=%ld", source, stream,
                           static_cast<long>(count));
      break;
    case StaleEpochSource::recv:
    case StaleEpochSource::json:
      Log::network().notice("stale_epoch_stats source=%{public}s dropped=%ld", source, static_cast<long>(count));
      break;
    }
  }
}

} // namespace pd::video
