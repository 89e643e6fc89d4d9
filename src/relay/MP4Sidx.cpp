#include "relay/MP4Sidx.hpp"

#include <array>
#include <string>
#include <string_view>

namespace pd::relay {

namespace {

constexpr std::array<std::string_view, 5> kCaseNames = {"sidxNotFound", "initSegmentNotFound", "malformedAtom",
                                                        "truncated", "hierarchical"};

// Callers have checked that [at, at + N) lies inside the data.
std::uint32_t read32(std::span<const std::uint8_t> data, std::size_t at) {
  return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) | (std::uint32_t{data[at + 2]} << 8) |
         std::uint32_t{data[at + 3]};
}

std::uint64_t read64(std::span<const std::uint8_t> data, std::size_t at) {
  return (std::uint64_t{read32(data, at)} << 32) | read32(data, at + 4);
}

// Whether [at, at + length) fits in the data, without overflowing on hostile offsets.
bool fits(std::span<const std::uint8_t> data, std::size_t at, std::size_t length) {
  return at <= data.size() && length <= data.size() - at;
}

bool hasType(std::span<const std::uint8_t> data, std::size_t at, std::string_view type) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (data[at + 4 + i] != static_cast<std::uint8_t>(type[i])) return false;
  }
  return true;
}

[[noreturn]] void fail(MP4SidxError::Case errorCase) { throw MP4SidxError(errorCase); }

} // namespace

MP4SidxError::MP4SidxError(Case errorCase)
    : Error("MP4SidxError", static_cast<std::int64_t>(errorCase),
            std::string(kCaseNames[static_cast<std::size_t>(errorCase)])),
      case_(errorCase) {}

MP4Sidx::Index MP4Sidx::parse(std::span<const std::uint8_t> bytes) {
  using enum MP4SidxError::Case;
  // 64-bit so that a run of 4 GiB box sizes cannot wrap the offset back into the data.
  std::uint64_t offset = 0;
  std::uint64_t initLength = 0;
  while (true) {
    if (offset > bytes.size() || bytes.size() - offset < 8) fail(initLength == 0 ? initSegmentNotFound : sidxNotFound);
    const auto at = static_cast<std::size_t>(offset);
    const std::uint32_t size = read32(bytes, at);
    // 0 (to the end of the file) and 1 (a 64-bit size follows) are not supported.
    if (size < 8) fail(malformedAtom);
    if (hasType(bytes, at, "sidx")) {
      if (initLength == 0) fail(initSegmentNotFound);
      return {parseSidx(bytes, at, size), static_cast<std::int64_t>(initLength)};
    }
    offset += size;
    if (hasType(bytes, at, "ftyp") || hasType(bytes, at, "moov")) initLength = offset;
  }
}

std::vector<MP4Segment> MP4Sidx::parseSidx(std::span<const std::uint8_t> data, std::size_t at, std::uint32_t size) {
  using enum MP4SidxError::Case;
  if (!fits(data, at, 28)) fail(truncated);
  const std::uint8_t version = data[at + 8];
  const std::uint32_t timescale = read32(data, at + 16);
  if (timescale == 0) fail(malformedAtom);
  const std::size_t headerLength = version == 0 ? 32 : 40;
  if (!fits(data, at, headerLength)) fail(truncated);
  const std::size_t references = at + headerLength;
  const std::uint64_t firstOffset = version == 0 ? read32(data, at + 24) : read64(data, at + 28);
  if (firstOffset > 2147483646) fail(malformedAtom);
  const std::uint16_t count =
      static_cast<std::uint16_t>((std::uint16_t{data[references - 2]} << 8) | data[references - 1]);
  if (count == 0) fail(malformedAtom);
  if (!fits(data, references, std::size_t{12} * count)) fail(truncated);

  // Box offset, box size, first offset and at most 65,535 sizes below 2^31 stay far inside int64.
  auto start = static_cast<std::int64_t>(at) + static_cast<std::int64_t>(size) + static_cast<std::int64_t>(firstOffset);
  const auto scale = static_cast<double>(timescale);
  std::vector<MP4Segment> segments;
  segments.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t reference = references + 12 * i;
    const std::uint32_t typeAndSize = read32(data, reference);
    if ((typeAndSize >> 31) != 0) fail(hierarchical);
    const std::int64_t referencedSize = typeAndSize & 0x7fffffffU;
    if (referencedSize == 0) fail(malformedAtom);
    segments.push_back({start, referencedSize, static_cast<double>(read32(data, reference + 4)) / scale});
    start += referencedSize;
  }
  return segments;
}

} // namespace pd::relay
