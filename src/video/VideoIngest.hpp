#pragma once

// The receive side of the video pipeline, on the link's network queue: every video datagram is
// reassembled into access units for the decoder of its stream, with the per-stream statistics
// written every ten seconds. It also keeps the stale-epoch accounting that every stage of the
// pipeline reports to (from any thread): drops of work left over from an earlier link epoch,
// counted by source and written at most every ten seconds.

#include "video/StaleEpochSink.hpp"
#include "video/VideoFragmentReassembler.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string_view>

namespace pd::video {

class HEVCDecoder;

struct StaleEpochKey {
  StaleEpochSource source = StaleEpochSource::recv;
  std::optional<std::uint8_t> streamID;
  friend auto operator<=>(const StaleEpochKey& a, const StaleEpochKey& b) {
    // Ordered by the source's text, as the statistics lines list them.
    if (const auto order = toString(a.source) <=> toString(b.source); order != 0) return order;
    return a.streamID <=> b.streamID;
  }
  friend bool operator==(const StaleEpochKey&, const StaleEpochKey&) = default;
};

class VideoIngest final : public StaleEpochSink {
public:
  using DecoderTable = std::map<std::uint8_t, std::shared_ptr<HEVCDecoder>>;

  struct Hooks {
    // Network queue: a readable fragment header of `stream` arrived at monotonic time `now`.
    std::function<void(std::uint8_t stream, double now)> fragmentAccepted;
    // Network queue: the statistics were written and restarted by flushStreamStats().
    std::function<void()> statisticsFlushed;
  };

  explicit VideoIngest(Hooks hooks);
  ~VideoIngest();
  VideoIngest(const VideoIngest&) = delete;
  VideoIngest& operator=(const VideoIngest&) = delete;

  // --- Network queue ---
  // One datagram that is not a control message, at monotonic time `now`; `datagramNumber`
  // counts the process's video datagrams from 1 (the first few are logged one by one).
  void handleDatagram(std::span<const std::uint8_t> datagram, double now, std::uint64_t datagramNumber);
  // Resets the installed decoders (their frames in flight are handed on first), writes the
  // statistics, then takes the new decoders and streams; partial frames are forgotten.
  void installDecoders(DecoderTable decoders, std::set<std::uint8_t> activeStreams);
  // Resets every installed decoder and forgets the partial frames; the decoders stay.
  void resetDecoders();
  // Forgets the partial frames.
  void clearReassembly();
  // Writes and restarts the per-stream statistics and the stale-epoch counts.
  void flushStreamStats();
  // The next frame's interval is not measured from the last one.
  void restartFrameInterval() noexcept { lastFrameReceivedTime_ = 0; }
  // The link epoch the next access units are decoded under.
  void setEpoch(std::uint64_t epoch) noexcept { epoch_ = epoch; }
  std::uint64_t epoch() const noexcept { return epoch_; }
  const std::set<std::uint8_t>& activeStreams() const noexcept { return activeStreams_; }
  const DecoderTable& decoders() const noexcept { return decoders_; }
  std::size_t partialFrameCount() const noexcept { return reassembler_.partialFrameCount(); }

  // --- Any thread ---
  void recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream) override;
  // Drops counted and not yet written.
  std::int64_t unreportedStaleEpochDrops(const StaleEpochKey& key) const;

private:
  class Listener;
  void deliver(std::span<const std::uint8_t> frame, std::uint8_t stream, std::uint64_t sequence);
  void reportStreamStatsIfDue(double now);
  void writeStreamStats();
  void reportStaleEpochStatsIfDue(double now);
  static void logStaleEpochCounts(const std::map<StaleEpochKey, std::int64_t>& counts);

  const Hooks hooks_;

  // Network queue.
  VideoFragmentReassembler reassembler_;
  DecoderTable decoders_;
  std::set<std::uint8_t> activeStreams_;
  std::uint64_t epoch_ = 0;
  std::map<std::uint8_t, std::int64_t> framesByStream_;
  std::map<std::uint8_t, std::int64_t> droppedByStream_;
  double lastStreamStatsTime_ = 0; // monotonic seconds; 0: not started
  double lastFrameReceivedTime_ = 0; // monotonic seconds; 0: none since the last flush

  // Any thread, under staleEpochGate_.
  mutable std::mutex staleEpochGate_;
  std::map<StaleEpochKey, std::int64_t> staleEpochCounts_;
  double lastStaleEpochStatsTime_ = 0; // monotonic seconds; 0: report the next drop at once
};

} // namespace pd::video
