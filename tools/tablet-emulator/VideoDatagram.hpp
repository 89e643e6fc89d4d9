#pragma once

// The tablet's video datagrams: a 15-byte big-endian header followed by one slice of an access unit.
//
//   offset 0  u64 sequence        frame number, per stream
//   offset 8  u8  fragment index  0-based
//   offset 9  u8  fragment count  1..255
//   offset 10 u32 access-unit length (all slices joined), at most 322,575
//   offset 14 u8  stream id       0 mixed, 1 deck A, 2 deck B

#include "tablet-emulator/AnnexB.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pd::tools::tablet {

inline constexpr std::size_t videoHeaderSize = 15;
inline constexpr std::uint32_t maxAccessUnitLength = 322'575;
inline constexpr std::size_t maxFragments = 255;
// 255 slices of this size carry the largest access unit the receiver accepts; 1,280-byte datagrams.
inline constexpr std::size_t defaultFragmentPayload = 1'265;
// The largest UDP payload over IPv4 less the header.
inline constexpr std::size_t maxFragmentPayload = 65'507 - videoHeaderSize;

struct VideoHeader {
  std::uint64_t sequence = 0;
  std::uint8_t fragmentIndex = 0;
  std::uint8_t totalFragments = 0;
  std::uint32_t accessUnitLength = 0;
  std::uint8_t streamId = 0;
};

void writeVideoHeader(const VideoHeader& header, std::uint8_t* out);

struct FragmentResult {
  enum class Error { none, tooLarge, tooManyFragments, badPayloadSize };
  Error error = Error::none;
  std::vector<Bytes> datagrams;
};

// What a datagram's length field announces. Tablets differ: the whole length-prefixed unit, the NAL
// units without their 4-byte prefixes, or only the first NAL unit.
enum class NalLengthRule { exact, withoutPrefixes, firstNal };

std::uint32_t announcedLength(ByteSpan accessUnit, NalLengthRule rule);

// Whether an access unit of `length` bytes can be sent at `payloadSize` bytes per datagram.
FragmentResult::Error checkFragmentable(std::size_t length, std::size_t payloadSize);

// Cuts one length-prefixed access unit into datagrams of at most `payloadSize` bytes of payload each.
// An empty access unit still gives one datagram. Refuses units the receiver would drop: longer than
// maxAccessUnitLength, or needing more than 255 fragments at this payload size.
FragmentResult fragmentAccessUnit(ByteSpan accessUnit, std::uint8_t streamId, std::uint64_t sequence,
                                  std::size_t payloadSize, NalLengthRule rule = NalLengthRule::exact);

// Hands out frame sequence numbers for one stream. Numbers whose high byte is 0x7B are skipped: such a
// datagram would begin with "{" and the receiver would take it for a control message.
class SequenceCounter {
public:
  SequenceCounter() = default;
  explicit SequenceCounter(std::uint64_t first);
  std::uint64_t next();
  std::uint64_t peek() const { return next_; }

private:
  static std::uint64_t skipControlPrefix(std::uint64_t value);
  std::uint64_t next_ = 0;
};

} // namespace pd::tools::tablet
