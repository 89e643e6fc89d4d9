// Feeds arbitrary bytes to the segment-index parser as the start of a stream, and to the index
// reader at an offset and size taken from the input. Every answer must describe contiguous
// segments of sane sizes, and its media playlist must be complete.

#include "relay/HLSPlaylist.hpp"
#include "relay/MP4Sidx.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

using pd::relay::MP4Segment;
using pd::relay::MP4Sidx;
using pd::relay::MP4SidxError;

namespace {

void check(const std::vector<MP4Segment>& segments) {
  if (segments.empty()) __builtin_trap();
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const auto& s = segments[i];
    if (s.byteSize < 1 || s.byteSize > 2147483647 || s.byteOffset < 0) __builtin_trap();
    if (!std::isfinite(s.durationSeconds) || s.durationSeconds < 0) __builtin_trap();
    if (i > 0 && segments[i - 1].byteOffset + segments[i - 1].byteSize != s.byteOffset) __builtin_trap();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    const auto index = MP4Sidx::parse(bytes);
    if (index.initSegmentSize < 1) __builtin_trap();
    check(index.segments);
    if (!pd::relay::buildMediaPlaylist("t", index.initSegmentSize, index.segments).ends_with("#EXT-X-ENDLIST\n")) {
      __builtin_trap();
    }
  } catch (const MP4SidxError&) {}
  if (size >= 6) {
    const std::size_t at = (std::size_t{data[0]} << 8 | data[1]) % size;
    const std::uint32_t boxSize =
        std::uint32_t{data[2]} << 24 | std::uint32_t{data[3]} << 16 | std::uint32_t{data[4]} << 8 | data[5];
    try {
      check(MP4Sidx::parseSidx(bytes, at, boxSize));
    } catch (const MP4SidxError&) {}
  }
  return 0;
}
