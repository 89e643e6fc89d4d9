#include "tablet-emulator/AnnexB.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace pd::tools::tablet {

int nal::unitType(ByteSpan unit) {
  if (unit.size() < 2) {
    return -1;
  }
  return (unit[0] >> 1) & 0x3F;
}

namespace {

constexpr std::size_t notFound = static_cast<std::size_t>(-1);

void appendUnit(std::vector<ByteSpan>& out, ByteSpan stream, std::size_t begin, std::size_t end) {
  while (end > begin && stream[end - 1] == 0) {
    --end;
  }
  if (end - begin >= 2) {
    out.push_back(stream.subspan(begin, end - begin));
  }
}

// The offset just past the next start code at or after `from`, or notFound.
std::size_t nextStartCodeEnd(ByteSpan stream, std::size_t from) {
  const std::size_t n = stream.size();
  std::size_t pos = from + 2;
  while (pos < n) {
    const void* hit = std::memchr(stream.data() + pos, 1, n - pos);
    if (hit == nullptr) {
      return notFound;
    }
    pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - stream.data());
    if (stream[pos - 1] == 0 && stream[pos - 2] == 0) {
      return pos + 1;
    }
    ++pos;
  }
  return notFound;
}

bool beginsAccessUnitAfterPicture(int type, ByteSpan unit) {
  if (type == nal::vps || type == nal::sps || type == nal::pps || type == nal::accessUnitDelimiter ||
      type == nal::prefixSei) {
    return true;
  }
  if ((type >= 41 && type <= 44) || (type >= 48 && type <= 55)) {
    return true;
  }
  // first_slice_segment_in_pic_flag is the first bit after the two-byte header.
  return nal::isVcl(type) && unit.size() >= 3 && (unit[2] & 0x80) != 0;
}

} // namespace

std::vector<ByteSpan> splitAnnexB(ByteSpan stream) {
  std::vector<ByteSpan> units;
  if (stream.size() < 3) {
    return units;
  }
  std::size_t begin = nextStartCodeEnd(stream, 0);
  while (begin != notFound) {
    const std::size_t nextEnd = nextStartCodeEnd(stream, begin);
    if (nextEnd == notFound) {
      appendUnit(units, stream, begin, stream.size());
      break;
    }
    appendUnit(units, stream, begin, nextEnd - 3);
    begin = nextEnd;
  }
  return units;
}

std::vector<AccessUnit> groupAccessUnits(const std::vector<ByteSpan>& units) {
  std::vector<AccessUnit> out;
  AccessUnit current;
  bool haveVps = false;
  bool haveSps = false;
  bool havePps = false;
  auto finish = [&] {
    current.hasParameterSets = haveVps && haveSps && havePps;
    out.push_back(std::move(current));
    current = AccessUnit{};
    haveVps = haveSps = havePps = false;
  };
  for (const ByteSpan unit : units) {
    const int type = nal::unitType(unit);
    if (type < 0) {
      continue;
    }
    const bool startsNew = !current.units.empty() && (type == nal::accessUnitDelimiter ||
                                                      (current.hasPicture && beginsAccessUnitAfterPicture(type, unit)));
    if (startsNew) {
      finish();
    }
    current.units.push_back(unit);
    if (nal::isVcl(type)) {
      current.hasPicture = true;
      current.isRandomAccess = current.isRandomAccess || (type >= nal::firstIrap && type <= nal::lastIrap);
    }
    haveVps = haveVps || type == nal::vps;
    haveSps = haveSps || type == nal::sps;
    havePps = havePps || type == nal::pps;
  }
  if (!current.units.empty()) {
    finish();
  }
  return out;
}

Bytes toLengthPrefixed(const AccessUnit& accessUnit) {
  std::size_t total = 0;
  for (const ByteSpan unit : accessUnit.units) {
    if (unit.size() > std::numeric_limits<std::uint32_t>::max()) {
      throw std::length_error("NAL unit longer than a 32-bit length");
    }
    total += 4 + unit.size();
  }
  Bytes out;
  out.reserve(total);
  for (const ByteSpan unit : accessUnit.units) {
    const auto length = static_cast<std::uint32_t>(unit.size());
    out.push_back(static_cast<std::uint8_t>(length >> 24));
    out.push_back(static_cast<std::uint8_t>(length >> 16));
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

} // namespace pd::tools::tablet
