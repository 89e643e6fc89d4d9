#include "EmulatorTestSupport.hpp"

#include "tablet-emulator/VideoClip.hpp"
#include "tablet-emulator/VideoDatagram.hpp"

#include <gtest/gtest.h>

#include <numeric>

namespace pd::tools::tablet {
namespace {

using test::bytes;

Bytes pattern(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
  }
  return out;
}

TEST(VideoHeader, FieldsAreBigEndianAtTheirOffsets) {
  VideoHeader header;
  header.sequence = 0x0102030405060708ULL;
  header.fragmentIndex = 3;
  header.totalFragments = 7;
  header.accessUnitLength = 0x0004EC0F;
  header.streamId = 2;
  Bytes out(videoHeaderSize);
  writeVideoHeader(header, out.data());
  EXPECT_EQ(out, bytes({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 3, 7, 0x00, 0x04, 0xEC, 0x0F, 2}));
}

TEST(Fragmentation, TheLengthFieldCountsWhatTheRuleSays) {
  // Two units of 3 and 5 bytes, each behind its 4-byte length.
  const Bytes au = bytes({0, 0, 0, 3, 0x40, 1, 2, 0, 0, 0, 5, 0x02, 1, 3, 4, 5});
  EXPECT_EQ(announcedLength(au, NalLengthRule::exact), 16u);
  EXPECT_EQ(announcedLength(au, NalLengthRule::withoutPrefixes), 8u);
  EXPECT_EQ(announcedLength(au, NalLengthRule::firstNal), 3u);
  const auto result = fragmentAccessUnit(au, 0, 1, 10, NalLengthRule::withoutPrefixes);
  ASSERT_EQ(result.datagrams.size(), 2u);
  for (const Bytes& datagram : result.datagrams) { // every fragment announces the same
    const auto header = test::decodeHeader(datagram);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->accessUnitLength, 8u);
  }
}

TEST(Fragmentation, ReassemblesToTheSameBytesAtEverySizeBoundary) {
  const std::size_t payload = 100;
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{99}, std::size_t{100}, std::size_t{101}, std::size_t{250}, std::size_t{300}}) {
    const Bytes au = pattern(size);
    const auto result = fragmentAccessUnit(au, 1, 42, payload);
    ASSERT_EQ(result.error, FragmentResult::Error::none) << size;
    EXPECT_EQ(result.datagrams.size(), (size + payload - 1) / payload) << size;
    test::Reassembler reassembler;
    std::optional<test::Reassembler::Frame> frame;
    // Out of order, as UDP may deliver them: last slice first.
    for (auto it = result.datagrams.rbegin(); it != result.datagrams.rend(); ++it) {
      EXPECT_LE(it->size(), videoHeaderSize + payload);
      std::string error;
      frame = reassembler.add(*it, error);
      EXPECT_TRUE(error.empty()) << error;
    }
    ASSERT_TRUE(frame.has_value()) << size;
    EXPECT_EQ(frame->payload, au);
    EXPECT_EQ(frame->sequence, 42u);
    EXPECT_EQ(frame->streamId, 1);
  }
}

TEST(Fragmentation, EmptyUnitIsOneHeaderOnlyDatagram) {
  const auto result = fragmentAccessUnit(Bytes{}, 0, 9, defaultFragmentPayload);
  ASSERT_EQ(result.error, FragmentResult::Error::none);
  ASSERT_EQ(result.datagrams.size(), 1u);
  EXPECT_EQ(result.datagrams[0], bytes({0, 0, 0, 0, 0, 0, 0, 9, 0, 1, 0, 0, 0, 0, 0}));
}

TEST(Fragmentation, LargestAcceptedUnitFillsExactly255DefaultSlices) {
  const Bytes au = pattern(maxAccessUnitLength);
  const auto result = fragmentAccessUnit(au, 0, 1, defaultFragmentPayload);
  ASSERT_EQ(result.error, FragmentResult::Error::none);
  ASSERT_EQ(result.datagrams.size(), 255u);
  EXPECT_EQ(result.datagrams.back().size(), videoHeaderSize + defaultFragmentPayload);
  EXPECT_EQ(result.datagrams.back()[8], 254);
  EXPECT_EQ(result.datagrams.back()[9], 255);

  EXPECT_EQ(fragmentAccessUnit(pattern(maxAccessUnitLength + 1), 0, 1, defaultFragmentPayload).error,
            FragmentResult::Error::tooLarge);
  EXPECT_EQ(fragmentAccessUnit(pattern(300'000), 0, 1, 1000).error, FragmentResult::Error::tooManyFragments);
  EXPECT_EQ(fragmentAccessUnit(pattern(10), 0, 1, 0).error, FragmentResult::Error::badPayloadSize);
  EXPECT_EQ(checkFragmentable(10, maxFragmentPayload), FragmentResult::Error::none);
  EXPECT_EQ(checkFragmentable(10, maxFragmentPayload + 1), FragmentResult::Error::badPayloadSize);
}

TEST(Sequences, NeverStartADatagramWithAnOpeningBrace) {
  SequenceCounter counter(0x7AFF'FFFF'FFFF'FFFEULL);
  EXPECT_EQ(counter.next(), 0x7AFF'FFFF'FFFF'FFFEULL);
  EXPECT_EQ(counter.next(), 0x7AFF'FFFF'FFFF'FFFFULL);
  EXPECT_EQ(counter.next(), 0x7C00'0000'0000'0000ULL);
  EXPECT_EQ(counter.next(), 0x7C00'0000'0000'0001ULL);

  SequenceCounter inside(0x7B00'0000'0000'0005ULL);
  const std::uint64_t first = inside.next();
  EXPECT_EQ(first, 0x7C00'0000'0000'0000ULL);
  const auto datagrams = fragmentAccessUnit(pattern(10), 0, first, 100).datagrams;
  ASSERT_FALSE(datagrams.empty());
  EXPECT_NE(datagrams[0][0], '{');

  SequenceCounter plain;
  EXPECT_EQ(plain.next(), 0u);
  EXPECT_EQ(plain.next(), 1u);
}

TEST(VideoClipPreparation, KeepsPicturesCountsKeyframesAndLeavesOutWhatCannotBeSent) {
  using test::nalUnit;
  const Bytes stream = test::annexB({
      nalUnit(32), nalUnit(33), nalUnit(34), nalUnit(19, true), // keyframe
      nalUnit(1, true), // small picture
      nalUnit(1, true, 5000), // too large at 1000 bytes x 4 slices
      nalUnit(32), nalUnit(33), nalUnit(34), nalUnit(20, true), // keyframe
      nalUnit(32), // no picture
  });
  // At 1000 bytes a slice and at most 255 slices everything fits; at 16 bytes the 5000-byte unit
  // would need 313 slices.
  const VideoClip roomy = prepareClip(stream, 1000);
  EXPECT_EQ(roomy.accessUnits.size(), 4u);
  EXPECT_EQ(roomy.keyframes, 2u);
  EXPECT_EQ(roomy.skippedOversize, 0u);
  EXPECT_EQ(roomy.skippedWithoutPicture, 1u);
  EXPECT_TRUE(roomy.startsWithKeyframe);

  const VideoClip tight = prepareClip(stream, 16);
  EXPECT_EQ(tight.accessUnits.size(), 3u);
  EXPECT_EQ(tight.skippedOversize, 1u);

  const VideoClip late =
      prepareClip(test::annexB({nalUnit(1, true), nalUnit(32), nalUnit(33), nalUnit(34), nalUnit(19, true)}), 1000);
  EXPECT_FALSE(late.startsWithKeyframe);
  EXPECT_EQ(late.keyframes, 1u);
}

TEST(VideoClipPreparation, ReadsBoundedRegularFilesOnly) {
  EXPECT_THROW(readFileBounded("/nonexistent/clip.hevc", 1024), std::runtime_error);
  EXPECT_THROW(readFileBounded("/proc/self", 1024), std::runtime_error);
  EXPECT_THROW(readFileBounded("/proc/self/exe", 16), std::runtime_error) << "larger than the bound";
}

} // namespace
} // namespace pd::tools::tablet
