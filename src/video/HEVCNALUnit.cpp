#include "video/HEVCNALUnit.hpp"

namespace pd::video {

std::vector<HEVCNALUnit> splitNALUnits(std::span<const std::uint8_t> accessUnit) {
  std::vector<HEVCNALUnit> units;
  // 64-bit offsets: a length near 2^32 must not wrap around.
  const std::uint64_t size = accessUnit.size();
  std::uint64_t offset = 0;
  while (offset < size) {
    if (size - offset < 4) break;
    const std::uint64_t length = (std::uint64_t{accessUnit[offset]} << 24) |
                                 (std::uint64_t{accessUnit[offset + 1]} << 16) |
                                 (std::uint64_t{accessUnit[offset + 2]} << 8) | std::uint64_t{accessUnit[offset + 3]};
    const std::uint64_t end = offset + 4 + length;
    if (end > size || length == 0) break;
    if (length >= 2) {
      const std::span<const std::uint8_t> bytes = accessUnit.subspan(offset + 4, length);
      units.push_back(HEVCNALUnit{(bytes[0] >> 1) & 0x3F, bytes, ((bytes[0] & 0x01) << 5) | (bytes[1] >> 3)});
    }
    offset = end;
  }
  return units;
}

} // namespace pd::video
