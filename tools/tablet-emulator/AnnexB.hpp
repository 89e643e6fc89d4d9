#pragma once

// Turning an HEVC elementary stream (Annex-B byte stream, as the ffmpeg CLI writes it) into the access
// units the tablet sends: one coded picture per unit, each NAL unit preceded by its 4-byte big-endian
// length instead of a start code.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pd::tools::tablet {

using ByteSpan = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

namespace nal {
inline constexpr int vps = 32;
inline constexpr int sps = 33;
inline constexpr int pps = 34;
inline constexpr int accessUnitDelimiter = 35;
inline constexpr int prefixSei = 39;
inline constexpr int firstIrap = 16; // BLA_W_LP
inline constexpr int lastIrap = 23; // RSV_IRAP_VCL23

// The NAL unit type of a unit that starts with its two-byte header; -1 for a unit too short to have one.
int unitType(ByteSpan unit);
inline bool isVcl(int type) { return type >= 0 && type < 32; }
} // namespace nal

// Splits a byte stream at its start codes (00 00 01, with or without a leading zero byte). Bytes before
// the first start code are ignored, trailing zero bytes of a unit are dropped (a NAL unit never ends in
// 0x00, so they belong to the next start code), and units shorter than the two-byte header are dropped.
// The spans point into `stream`.
std::vector<ByteSpan> splitAnnexB(ByteSpan stream);

struct AccessUnit {
  std::vector<ByteSpan> units;
  bool hasPicture = false; // at least one VCL unit
  bool isRandomAccess = false; // an IRAP picture: decoding may start here
  bool hasParameterSets = false; // carries VPS, SPS and PPS
};

// Groups NAL units into access units by the HEVC rules for the first unit of an access unit: after the
// last VCL unit of a picture, an access unit delimiter, a parameter set, a prefix SEI, one of the
// reserved prefix types, or a slice that is the first segment of a picture begins the next unit. Suffix
// units (suffix SEI, end of sequence, end of bitstream, filler) stay with the picture they follow.
std::vector<AccessUnit> groupAccessUnits(const std::vector<ByteSpan>& units);

// The access unit as 4-byte big-endian length-prefixed NAL units. Throws std::length_error for a unit
// longer than a 32-bit length can express.
Bytes toLengthPrefixed(const AccessUnit& accessUnit);

} // namespace pd::tools::tablet
