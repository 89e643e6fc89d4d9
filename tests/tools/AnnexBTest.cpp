#include "EmulatorTestSupport.hpp"

#include "tablet-emulator/AnnexB.hpp"

#include <gtest/gtest.h>

namespace pd::tools::tablet {
namespace {

using test::annexB;
using test::bytes;
using test::concat;
using test::nalUnit;

Bytes toBytes(ByteSpan span) { return Bytes(span.begin(), span.end()); }

TEST(AnnexBSplit, FindsUnitsBehindThreeAndFourByteStartCodes) {
  const Bytes a = bytes({0x40, 0x01, 0x0C});
  const Bytes b = bytes({0x42, 0x01, 0x01, 0x60});
  const Bytes c = bytes({0x26, 0x01, 0xAF});
  // Leading garbage before the first start code, a 3-byte and a 4-byte start code, and zero
  // padding (trailing_zero_8bits) between units.
  const Bytes stream =
      concat({bytes({0xFF, 0x12}), test::startCode3(), a, test::startCode4(), b, bytes({0, 0}), test::startCode3(), c});
  const auto units = splitAnnexB(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(toBytes(units[0]), a);
  EXPECT_EQ(toBytes(units[1]), b);
  EXPECT_EQ(toBytes(units[2]), c);
}

TEST(AnnexBSplit, KeepsEmulationPreventionBytesAndDropsDegenerateUnits) {
  // 00 00 03 inside a unit is payload, not a start code; a 1-byte unit has no header; a stream that
  // ends in a start code has no empty last unit.
  const Bytes withEscape = bytes({0x02, 0x01, 0x00, 0x00, 0x03, 0x01, 0x7F});
  const Bytes stream = concat({test::startCode4(), withEscape, test::startCode4(), bytes({0x02}), test::startCode4()});
  const auto units = splitAnnexB(stream);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(toBytes(units[0]), withEscape);

  EXPECT_TRUE(splitAnnexB(bytes({0x40, 0x01, 0x0C, 0x01})).empty());
  EXPECT_TRUE(splitAnnexB(Bytes{}).empty());
  EXPECT_TRUE(splitAnnexB(bytes({0, 0})).empty());
}

std::vector<AccessUnit> groupStream(const std::vector<Bytes>& units) {
  static Bytes storage; // the spans point into it; each test regroups before it changes
  storage = annexB(units);
  return groupAccessUnits(splitAnnexB(storage));
}

TEST(AccessUnits, OnePictureEachWithItsPrefixAndSuffixUnits) {
  const auto aus = groupStream({
      nalUnit(32), nalUnit(33), nalUnit(34), nalUnit(39), // VPS SPS PPS prefix SEI
      nalUnit(19, true), nalUnit(19, false), // IDR in two slice segments
      nalUnit(40), // suffix SEI stays with its picture
      nalUnit(1, true), // next picture
      nalUnit(1, true), nalUnit(36), // next, then end of sequence
  });
  ASSERT_EQ(aus.size(), 3u);
  EXPECT_EQ(aus[0].units.size(), 7u);
  EXPECT_TRUE(aus[0].hasPicture);
  EXPECT_TRUE(aus[0].isRandomAccess);
  EXPECT_TRUE(aus[0].hasParameterSets);
  EXPECT_EQ(aus[1].units.size(), 1u);
  EXPECT_FALSE(aus[1].isRandomAccess);
  EXPECT_FALSE(aus[1].hasParameterSets);
  EXPECT_EQ(aus[2].units.size(), 2u);
}

TEST(AccessUnits, DelimitersAndParameterSetsOpenTheNextUnit) {
  const auto aus = groupStream({
      nalUnit(35), nalUnit(21, true), // AUD, CRA picture
      nalUnit(35), nalUnit(1, true), // AUD, trailing picture
      nalUnit(33), nalUnit(34), nalUnit(1, false), // new SPS/PPS after a picture start a unit even
      // when the slice that follows is not flagged first
  });
  ASSERT_EQ(aus.size(), 3u);
  EXPECT_TRUE(aus[0].isRandomAccess) << "CRA is a random-access picture";
  EXPECT_FALSE(aus[0].hasParameterSets);
  EXPECT_EQ(aus[1].units.size(), 2u);
  EXPECT_EQ(aus[2].units.size(), 3u);
}

TEST(AccessUnits, ParameterSetsWithoutAPictureFormAUnitWithoutPicture) {
  const auto aus = groupStream({nalUnit(1, true), nalUnit(32), nalUnit(33), nalUnit(34)});
  ASSERT_EQ(aus.size(), 2u);
  EXPECT_TRUE(aus[0].hasPicture);
  EXPECT_FALSE(aus[1].hasPicture);
  EXPECT_TRUE(aus[1].hasParameterSets);
}

TEST(AccessUnits, LengthPrefixesAreFourBytesBigEndian) {
  const Bytes small = nalUnit(32, true, 2); // 4 bytes
  const Bytes large = nalUnit(1, true, 298); // 300 bytes: 0x012C
  const auto aus = groupStream({small, large});
  ASSERT_EQ(aus.size(), 1u);
  const Bytes prefixed = toLengthPrefixed(aus[0]);
  ASSERT_EQ(prefixed.size(), 4 + small.size() + 4 + large.size());
  EXPECT_EQ(Bytes(prefixed.begin(), prefixed.begin() + 4), bytes({0, 0, 0, 4}));
  EXPECT_EQ(Bytes(prefixed.begin() + 4, prefixed.begin() + 8), small);
  EXPECT_EQ(Bytes(prefixed.begin() + 8, prefixed.begin() + 12), bytes({0, 0, 0x01, 0x2C}));
  EXPECT_EQ(Bytes(prefixed.begin() + 12, prefixed.end()), large);
}

} // namespace
} // namespace pd::tools::tablet
