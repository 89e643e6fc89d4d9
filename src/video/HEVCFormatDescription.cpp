#include "video/HEVCFormatDescription.hpp"

#include <array>

namespace pd::video {
namespace {

// The SPS fields read here end long before this many bytes, even with seven sub-layers and
// the longest Exp-Golomb codes.
constexpr std::size_t kMaxReadBytes = 512;
constexpr std::size_t kMaxRecordedUnitBytes = 0xFFFF;

constexpr int kTypeVPS = 32;
constexpr int kTypeSPS = 33;
constexpr int kTypePPS = 34;

int unitType(std::span<const std::uint8_t> unit) { return unit.size() >= 2 ? (unit[0] >> 1) & 0x3F : -1; }

// Reads bits most significant first; a read past the end yields zeros and marks the reader
// failed, so a parse can run to its end and check once.
class BitReader {
public:
  explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const noexcept { return ok_; }

  std::uint32_t bit() {
    if (position_ >= bytes_.size() * 8) {
      ok_ = false;
      return 0;
    }
    const std::uint32_t value = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u;
    ++position_;
    return value;
  }
  bool flag() { return bit() != 0; }

  // Up to 32 bits.
  std::uint32_t bits(unsigned count) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) value = (value << 1) | bit();
    return value;
  }

  void skip(std::size_t count) {
    const std::size_t total = bytes_.size() * 8;
    if (count > total - position_) {
      ok_ = false;
      position_ = total;
    } else {
      position_ += count;
    }
  }

  // Unsigned Exp-Golomb code; more than 31 leading zeros does not fit 32 bits and fails.
  std::uint32_t ue() {
    unsigned zeros = 0;
    while (ok_ && bit() == 0) {
      if (++zeros > 31) ok_ = false;
    }
    if (!ok_) return 0;
    const std::uint64_t value = ((std::uint64_t{1} << zeros) - 1) + bits(zeros);
    return static_cast<std::uint32_t>(value);
  }

private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

// The unit's payload without its header and without emulation-prevention bytes (the 03 of
// 00 00 03), at most kMaxReadBytes of it.
std::size_t unescapePayload(std::span<const std::uint8_t> unit, std::array<std::uint8_t, kMaxReadBytes>& out) {
  std::size_t count = 0;
  int zeros = 0;
  for (std::size_t i = 2; i < unit.size() && count < out.size(); ++i) {
    const std::uint8_t byte = unit[i];
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    out[count++] = byte;
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return count;
}

void put16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

} // namespace

std::optional<HEVCSequenceParameterSet> readSequenceParameterSet(std::span<const std::uint8_t> nalUnit) {
  if (unitType(nalUnit) != kTypeSPS) return std::nullopt;
  const bool forbiddenBit = (nalUnit[0] & 0x80) != 0;
  const unsigned layerId = ((nalUnit[0] & 1u) << 5) | (nalUnit[1] >> 3);
  const unsigned temporalIdPlus1 = nalUnit[1] & 7u;
  // Other layers' SPS have another syntax; only the base layer's describes the stream.
  if (forbiddenBit || layerId != 0 || temporalIdPlus1 == 0) return std::nullopt;

  std::array<std::uint8_t, kMaxReadBytes> payload{};
  BitReader in(std::span<const std::uint8_t>(payload.data(), unescapePayload(nalUnit, payload)));
  HEVCSequenceParameterSet sps;

  in.skip(4); // sps_video_parameter_set_id
  const std::uint32_t maxSubLayersMinus1 = in.bits(3);
  if (maxSubLayersMinus1 > 6) return std::nullopt;
  sps.maxSubLayers = static_cast<std::uint8_t>(maxSubLayersMinus1 + 1);
  sps.temporalIdNesting = in.flag();

  // profile_tier_level(1, sps_max_sub_layers_minus1)
  sps.profileSpace = static_cast<std::uint8_t>(in.bits(2));
  sps.tierFlag = in.flag();
  sps.profileIdc = static_cast<std::uint8_t>(in.bits(5));
  sps.profileCompatibilityFlags = in.bits(32);
  const std::uint64_t constraintHigh = in.bits(16);
  sps.constraintIndicatorFlags = (constraintHigh << 32) | in.bits(32);
  sps.levelIdc = static_cast<std::uint8_t>(in.bits(8));
  std::array<bool, 6> subLayerProfilePresent{};
  std::array<bool, 6> subLayerLevelPresent{};
  for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    subLayerProfilePresent[i] = in.flag();
    subLayerLevelPresent[i] = in.flag();
  }
  if (maxSubLayersMinus1 > 0) in.skip(2 * (8 - maxSubLayersMinus1)); // reserved_zero_2bits
  for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (subLayerProfilePresent[i]) in.skip(88);
    if (subLayerLevelPresent[i]) in.skip(8);
  }

  if (in.ue() > 15) return std::nullopt; // sps_seq_parameter_set_id
  const std::uint32_t chromaFormatIdc = in.ue();
  if (chromaFormatIdc > 3) return std::nullopt;
  sps.chromaFormatIdc = static_cast<std::uint8_t>(chromaFormatIdc);
  const bool separateColourPlanes = chromaFormatIdc == 3 && in.flag();
  sps.codedWidth = in.ue();
  sps.codedHeight = in.ue();
  if (sps.codedWidth < 1 || sps.codedWidth > kMaxPictureDimension || sps.codedHeight < 1 ||
      sps.codedHeight > kMaxPictureDimension)
    return std::nullopt;
  if (std::uint64_t{sps.codedWidth} * sps.codedHeight > kMaxPictureLumaSamples) return std::nullopt;

  std::uint64_t cropX = 0;
  std::uint64_t cropY = 0;
  if (in.flag()) { // conformance_window_flag
    const std::uint64_t left = in.ue();
    const std::uint64_t right = in.ue();
    const std::uint64_t top = in.ue();
    const std::uint64_t bottom = in.ue();
    // Offsets count in chroma samples.
    const bool subsampledX = !separateColourPlanes && (chromaFormatIdc == 1 || chromaFormatIdc == 2);
    const bool subsampledY = !separateColourPlanes && chromaFormatIdc == 1;
    cropX = (left + right) * (subsampledX ? 2 : 1);
    cropY = (top + bottom) * (subsampledY ? 2 : 1);
  }
  if (cropX >= sps.codedWidth || cropY >= sps.codedHeight) return std::nullopt;
  sps.width = static_cast<std::uint32_t>(sps.codedWidth - cropX);
  sps.height = static_cast<std::uint32_t>(sps.codedHeight - cropY);

  const std::uint32_t bitDepthLumaMinus8 = in.ue();
  const std::uint32_t bitDepthChromaMinus8 = in.ue();
  // A record has three bits for each.
  if (bitDepthLumaMinus8 > 7 || bitDepthChromaMinus8 > 7) return std::nullopt;
  sps.bitDepthLuma = static_cast<std::uint8_t>(8 + bitDepthLumaMinus8);
  sps.bitDepthChroma = static_cast<std::uint8_t>(8 + bitDepthChromaMinus8);

  if (!in.ok()) return std::nullopt;
  return sps;
}

std::optional<HEVCFormatDescription> makeFormatDescription(std::span<const std::uint8_t> vps,
                                                           std::span<const std::uint8_t> sps,
                                                           std::span<const std::uint8_t> pps) {
  if (unitType(vps) != kTypeVPS || unitType(sps) != kTypeSPS || unitType(pps) != kTypePPS) return std::nullopt;
  if (vps.size() > kMaxRecordedUnitBytes || sps.size() > kMaxRecordedUnitBytes || pps.size() > kMaxRecordedUnitBytes)
    return std::nullopt;
  const std::optional<HEVCSequenceParameterSet> info = readSequenceParameterSet(sps);
  if (!info) return std::nullopt;

  HEVCFormatDescription description;
  description.width = static_cast<int>(info->width);
  description.height = static_cast<int>(info->height);
  std::vector<std::uint8_t>& out = description.configurationRecord;
  out.reserve(23 + 3 * 5 + vps.size() + sps.size() + pps.size());
  out.push_back(1); // configurationVersion
  out.push_back(static_cast<std::uint8_t>((info->profileSpace << 6) | (info->tierFlag ? 0x20 : 0) | info->profileIdc));
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(info->profileCompatibilityFlags >> shift));
  for (int shift = 40; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(info->constraintIndicatorFlags >> shift));
  out.push_back(info->levelIdc);
  put16(out, 0xF000); // reserved, min_spatial_segmentation_idc 0 (unknown)
  out.push_back(0xFC); // reserved, parallelismType 0 (unknown)
  out.push_back(static_cast<std::uint8_t>(0xFC | info->chromaFormatIdc));
  out.push_back(static_cast<std::uint8_t>(0xF8 | (info->bitDepthLuma - 8)));
  out.push_back(static_cast<std::uint8_t>(0xF8 | (info->bitDepthChroma - 8)));
  put16(out, 0); // avgFrameRate: unknown
  // constantFrameRate 0, numTemporalLayers, temporalIdNested, lengthSizeMinusOne 3
  out.push_back(static_cast<std::uint8_t>((info->maxSubLayers << 3) | (info->temporalIdNesting ? 0x04 : 0) | 0x03));
  out.push_back(3); // numOfArrays
  for (const std::span<const std::uint8_t> unit : {vps, sps, pps}) {
    out.push_back(static_cast<std::uint8_t>(0x80 | unitType(unit))); // array_completeness 1: these are all there is
    put16(out, 1);
    put16(out, unit.size());
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return description;
}

} // namespace pd::video
