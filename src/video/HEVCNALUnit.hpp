#pragma once

// The NAL units of an access unit as the tablet sends it: each unit behind its length as a
// 4-byte big-endian number.

#include <cstdint>
#include <span>
#include <vector>

namespace pd::video {

// A NAL unit's type (0...63), its bytes from the two-byte header on, without the length
// prefix, and its layer (0...63, 0 for the base layer). The bytes point into the access unit.
struct HEVCNALUnit {
  int type = 0;
  std::span<const std::uint8_t> bytes;
  int layerId = 0;
};

// The units in order. A unit of 1 byte is skipped; a zero length, a length past the end or a
// tail shorter than 4 bytes ends the list, keeping the units before it.
std::vector<HEVCNALUnit> splitNALUnits(std::span<const std::uint8_t> accessUnit);

} // namespace pd::video
