// The SPS reader and the decoder configuration built on it, fed with arbitrary bytes as an SPS
// NAL unit: nothing may read out of bounds, and whatever is accepted must be self-consistent.
#include "video/HEVCFormatDescription.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> unit(data, size);
  const auto sps = pd::video::readSequenceParameterSet(unit);
  if (sps) {
    if (sps->width < 1 || sps->width > sps->codedWidth || sps->codedWidth > pd::video::kMaxPictureDimension)
      __builtin_trap();
    if (sps->height < 1 || sps->height > sps->codedHeight || sps->codedHeight > pd::video::kMaxPictureDimension)
      __builtin_trap();
    if (std::uint64_t{sps->codedWidth} * sps->codedHeight > pd::video::kMaxPictureLumaSamples) __builtin_trap();
    if (sps->chromaFormatIdc > 3 || sps->bitDepthLuma > 15 || sps->bitDepthChroma > 15) __builtin_trap();
  }

  static constexpr std::uint8_t vps[] = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF};
  static constexpr std::uint8_t pps[] = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62};
  const auto description = pd::video::makeFormatDescription(vps, unit, pps);
  if (description.has_value() != (sps.has_value() && size <= 0xFFFF)) __builtin_trap();
  if (description) {
    if (description->width != static_cast<int>(sps->width) || description->height != static_cast<int>(sps->height))
      __builtin_trap();
    const auto& record = description->configurationRecord;
    if (record.size() != 23 + 15 + sizeof vps + size + sizeof pps || record[0] != 1 || (record[21] & 3) != 3)
      __builtin_trap();
  }
  return 0;
}
