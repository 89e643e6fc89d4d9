#pragma once

// Gathers the tablet's video fragments into access units. Each datagram carries a 15-byte
// big-endian header and one slice of a frame:
//
//   offset 0  u64 sequence         frame number, with the stream id it names one frame
//   offset 8  u8  fragment index   0-based
//   offset 9  u8  fragment count   1...255
//   offset 10 u32 frame length     all slices joined; at most kMaxFrameLength
//   offset 14 u8  stream id        0 mixed, 1 deck A, 2 deck B
//
// A frame completes when every index below its count has arrived; its slices are joined in
// index order. Partial frames older than kStaleAfter go at the next sweep (at most one per
// kSweepInterval), and a frame that completes or is thrown away purges the partial frames of
// its stream that lie more than kPurgeDistance sequence numbers behind it.
//
// The joined length is never compared with the announced one: tablets differ in what they
// count. Memory is bounded against a sender that does not keep to the format: a slice that
// would take its frame past kMaxFrameLength is refused, and a stream holds at most
// kMaxPartialFramesPerStream partial frames (the one that has waited longest since its last
// fragment goes when a new one would exceed it, and counts as lost). A sender that keeps to the
// format never meets either bound: the sweep empties a stream of 60 frames a second long before
// it holds that many.
//
// Not thread-safe: the owner calls it from one queue.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace pd::video {

class VideoFragmentReassembler {
public:
  static constexpr std::size_t kHeaderSize = 15;
  static constexpr std::uint32_t kMaxFrameLength = 322'575;
  static constexpr double kStaleAfter = 3.0; // seconds
  static constexpr double kSweepInterval = 1.0; // seconds
  static constexpr std::uint64_t kPurgeDistance = 100;
  static constexpr std::size_t kMaxPartialFramesPerStream = 256;

  struct Header {
    std::uint64_t sequence = 0;
    std::uint8_t fragmentIndex = 0;
    std::uint8_t totalFragments = 0;
    std::uint32_t nalLength = 0;
    std::uint8_t streamID = 0;
  };

  // nullopt when the datagram is shorter than the header.
  static std::optional<Header> parseHeader(std::span<const std::uint8_t> datagram) noexcept;

  // What the owner does with the outcome of a datagram. All calls come from inside handle().
  class Listener {
  public:
    // The header passed every check: the fragment is about to be stored.
    virtual void fragmentAccepted(const Header& header, std::size_t datagramSize) = 0;
    // A partial frame was lost: a hole at the join, the sweep, or the per-stream bound.
    virtual void frameLost(std::uint8_t stream) = 0;
    // A complete frame; the bytes are valid only during the call.
    virtual void frameComplete(std::uint8_t stream, std::uint64_t sequence, std::span<const std::uint8_t> frame) = 0;

  protected:
    ~Listener() = default;
  };

  // One datagram that is not a control message, at monotonic time `now` (seconds). Datagrams
  // of streams outside `activeStreams` are dropped before anything else is checked.
  void handle(std::span<const std::uint8_t> datagram, double now, const std::set<std::uint8_t>& activeStreams,
              Listener& listener);

  // Forgets every partial frame, quietly.
  void clear();

  // Partial frames held, in all streams.
  std::size_t partialFrameCount() const noexcept;
  bool hasPartialFrame(std::uint8_t stream, std::uint64_t sequence) const;

private:
  struct PartialFrame {
    std::uint8_t totalFragments = 0;
    std::uint32_t nalLength = 0;
    double firstSeenAt = 0;
    double lastFragmentAt = 0;
    std::uint32_t storedBytes = 0; // at most kMaxFrameLength
    std::size_t distinct = 0;
    std::vector<std::optional<std::vector<std::uint8_t>>> payloads; // by fragment index
  };
  // Per stream, by sequence number: purges take the lowest numbers first.
  using StreamFrames = std::map<std::uint64_t, PartialFrame>;

  void removeFragmentState(std::uint8_t stream, std::uint64_t sequence);
  void sweepStaleFragments(double now, Listener& listener);
  void evictForNewFrame(std::uint8_t stream, Listener& listener);
  void complete(std::uint8_t stream, std::uint64_t sequence, PartialFrame& frame, Listener& listener);

  std::map<std::uint8_t, StreamFrames> frames_;
  double lastFragmentSweepTime_ = 0;
  std::vector<std::uint8_t> joinBuffer_; // reused: the join reserves the announced length once
};

} // namespace pd::video
