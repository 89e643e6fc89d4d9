// An access unit as the peer may send it: split into NAL units, each parameter set read as the
// decoder reads it, and a decoder configuration built when all three kinds are present.
#include "video/HEVCNALUnit.hpp"
#include "video/HEVCFormatDescription.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> accessUnit(data, size);
  std::optional<std::span<const std::uint8_t>> vps, sps, pps;
  const std::uint8_t* previousEnd = data;
  for (const auto& unit : pd::video::splitNALUnits(accessUnit)) {
    // Units lie inside the access unit, in order, each behind its 4-byte length.
    if (unit.bytes.size() < 2 || unit.bytes.data() < previousEnd + 4 ||
        unit.bytes.data() + unit.bytes.size() > data + size)
      __builtin_trap();
    if (unit.type != ((unit.bytes[0] >> 1) & 0x3F)) __builtin_trap();
    previousEnd = unit.bytes.data() + unit.bytes.size();
    if (unit.type == 32) vps = unit.bytes;
    if (unit.type == 33) {
      sps = unit.bytes;
      (void)pd::video::readSequenceParameterSet(unit.bytes);
    }
    if (unit.type == 34) pps = unit.bytes;
  }
  if (vps && sps && pps) (void)pd::video::makeFormatDescription(*vps, *sps, *pps);
  return 0;
}
