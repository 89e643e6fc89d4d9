#pragma once

// What the decoder needs to know of a stream before its first picture: the fields of the
// sequence parameter set that give the picture size and the decoder configuration, and the
// decoder configuration record ("hvcC") built from the stream's VPS, SPS and PPS.
//
// The parameter sets come from the peer: the reader looks at a bounded prefix of a unit,
// allocates nothing, and rejects every value outside its range.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pd::video {

struct HEVCSequenceParameterSet {
  // general profile_tier_level
  std::uint8_t profileSpace = 0;
  bool tierFlag = false;
  std::uint8_t profileIdc = 0;
  std::uint32_t profileCompatibilityFlags = 0;
  std::uint64_t constraintIndicatorFlags = 0; // 48 bits
  std::uint8_t levelIdc = 0;

  std::uint8_t maxSubLayers = 1; // 1...7
  bool temporalIdNesting = false;
  std::uint8_t chromaFormatIdc = 1; // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
  std::uint8_t bitDepthLuma = 8; // 8...15
  std::uint8_t bitDepthChroma = 8;
  std::uint32_t codedWidth = 0; // pic_width_in_luma_samples
  std::uint32_t codedHeight = 0;
  std::uint32_t width = 0; // inside the conformance window: the picture as shown
  std::uint32_t height = 0;
};

// The largest picture side this receiver accepts; above every HEVC level's limit.
inline constexpr std::uint32_t kMaxPictureDimension = 16384;
// The largest coded picture, in luma samples: what the highest HEVC level allows (its MaxLumaPs).
// The side limit alone would let a stream ask for 16384 x 16384, hundreds of megabytes for each
// picture of the decoder's and the frames' pools.
inline constexpr std::uint32_t kMaxPictureLumaSamples = 35'651'584;

// Reads an SPS NAL unit (its two-byte header included, emulation-prevention bytes still in).
// nullopt for anything that is not a well-formed SPS within this receiver's limits.
std::optional<HEVCSequenceParameterSet> readSequenceParameterSet(std::span<const std::uint8_t> nalUnit);

struct HEVCFormatDescription {
  std::vector<std::uint8_t> configurationRecord; // hvcC, NAL unit lengths of 4 bytes
  int width = 0;
  int height = 0;
};

// The format description of the three parameter sets (each a whole NAL unit with its header).
// nullopt when the SPS does not read, or a set is empty or longer than a record can hold
// (65,535 bytes).
std::optional<HEVCFormatDescription> makeFormatDescription(std::span<const std::uint8_t> vps,
                                                           std::span<const std::uint8_t> sps,
                                                           std::span<const std::uint8_t> pps);

} // namespace pd::video
