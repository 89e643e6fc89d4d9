#include "relay/MP4Sidx.hpp"

#include "RelayFixtures.hpp"
#include "platform/TestSupport.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace pd::relay {
namespace {

using Bytes = std::vector<std::uint8_t>;
using enum MP4SidxError::Case;

void put(Bytes& out, std::uint64_t value, int width) {
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

Bytes box(std::string_view type, std::size_t payload, std::optional<std::uint32_t> declared = std::nullopt) {
  Bytes out;
  put(out, declared.value_or(8 + payload), 4);
  out.insert(out.end(), type.begin(), type.end());
  out.resize(8 + payload, 0);
  return out;
}

struct Ref {
  std::uint32_t typeAndSize;
  std::uint32_t duration;
};

Bytes sidx(std::uint8_t version, std::uint32_t timescale, std::uint64_t firstOffset, const std::vector<Ref>& refs,
           int count = -1) {
  Bytes out;
  const std::size_t size = (version == 0 ? 32 : 40) + 12 * refs.size();
  put(out, size, 4);
  out.insert(out.end(), {'s', 'i', 'd', 'x', version, 0, 0, 0});
  put(out, 1, 4);
  put(out, timescale, 4);
  put(out, 0, version == 0 ? 4 : 8);
  put(out, firstOffset, version == 0 ? 4 : 8);
  put(out, 0, 2);
  put(out, count < 0 ? refs.size() : static_cast<std::size_t>(count), 2);
  for (const auto& ref : refs) {
    put(out, ref.typeAndSize, 4);
    put(out, ref.duration, 4);
    put(out, 0x90000000U, 4);
  }
  return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

MP4SidxError::Case failure(const Bytes& bytes) {
  try {
    MP4Sidx::parse(bytes);
  } catch (const MP4SidxError& error) {
    return error.errorCase();
  }
  ADD_FAILURE() << "parsed";
  return sidxNotFound;
}

TEST(MP4SidxTest, InitSegmentEndsAtTheLastFtypOrMoovAndSegmentsFollowTheIndex) {
  const Bytes head = join({box("ftyp", 16), box("moov", 100)}); // 24 + 108
  const auto index = MP4Sidx::parse(join({head, sidx(0, 1000, 7, {{500, 1000}, {300, 1501}}), box("moof", 4)}));
  EXPECT_EQ(index.initSegmentSize, 132);
  // The first segment starts first_offset bytes past the 56-byte index box; durations stay exact quotients.
  EXPECT_EQ(index.segments, (std::vector<MP4Segment>{{132 + 56 + 7, 500, 1.0}, {132 + 56 + 7 + 500, 300, 1.501}}));

  // A box after "moov" is not part of the init segment, nor is a type with a byte of 0x80 or more.
  const Bytes odd = box("\xf3idx", 0);
  EXPECT_EQ(MP4Sidx::parse(join({head, box("free", 4), odd, sidx(0, 1, 0, {{1, 1}})})).initSegmentSize, 132);

  // Versions other than 0 read 64-bit fields and references at B + 40.
  for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}}) {
    const auto wide = MP4Sidx::parse(join({head, sidx(version, 30000, 2147483646, {{10, 1001}})}));
    EXPECT_EQ(wide.segments, (std::vector<MP4Segment>{{132 + 52 + 2147483646LL, 10, 1001.0 / 30000}})) << +version;
  }
}

TEST(MP4SidxTest, TopLevelWalkFailures) {
  const Bytes head = join({box("ftyp", 16), box("moov", 100)});
  const Bytes index = sidx(0, 1, 0, {{1, 1}});
  EXPECT_EQ(failure({}), initSegmentNotFound);
  EXPECT_EQ(failure(index), initSegmentNotFound);
  EXPECT_EQ(failure(join({box("free", 0), index})), initSegmentNotFound);
  const Bytes ftyp = box("ftyp", 16);
  EXPECT_EQ(failure(Bytes(ftyp.begin(), ftyp.begin() + 7)), initSegmentNotFound);
  EXPECT_EQ(failure(join({head, Bytes(index.begin(), index.begin() + 7)})), sidxNotFound);
  // A declared size past the data ends the walk on its next pass.
  EXPECT_EQ(failure(join({box("ftyp", 16), box("moov", 8, 100000), index})), sidxNotFound);
  for (const std::uint32_t size : {0U, 1U, 7U}) {
    EXPECT_EQ(failure(join({box("ftyp", 16), box("mdat", 8, size), head, index})), malformedAtom) << size;
  }
}

TEST(MP4SidxTest, IndexChecksRunInOrder) {
  const Bytes head = join({box("ftyp", 16), box("moov", 100)});
  const auto cut = [&](const Bytes& index, std::size_t keep) {
    return join({head, Bytes(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(keep))});
  };
  const Bytes zeroScale = sidx(0, 0, 0, {{1, 1}});
  const Bytes wide = sidx(1, 1, 0, {{1, 1}});
  EXPECT_EQ(failure(cut(zeroScale, 27)), truncated);
  EXPECT_EQ(failure(cut(zeroScale, 28)), malformedAtom); // before the references' start is tested
  EXPECT_EQ(failure(cut(wide, 39)), truncated);
  EXPECT_EQ(failure(join({head, sidx(0, 1, 2147483647, {{1, 1}})})), malformedAtom);
  EXPECT_EQ(failure(join({head, sidx(1, 1, 1ULL << 40, {{1, 1}})})), malformedAtom);
  EXPECT_EQ(failure(join({head, sidx(0, 1, 0, {}, 0)})), malformedAtom);
  EXPECT_EQ(failure(join({head, sidx(0, 1, 0, {{1, 1}, {1, 1}}, 3)})), truncated);
  EXPECT_EQ(failure(join({head, sidx(0, 1, 0, {{1, 1}, {0x80000010U, 1}, {0, 1}})})), hierarchical);
  EXPECT_EQ(failure(join({head, sidx(0, 1, 0, {{0, 1}, {0x80000010U, 1}})})), malformedAtom);
  // A caller's offset far past the data is a truncation, not a read out of bounds.
  EXPECT_THROW(MP4Sidx::parseSidx(head, SIZE_MAX - 3, 40), MP4SidxError);

  const MP4SidxError error(hierarchical);
  EXPECT_EQ(error.domain(), "MP4SidxError");
  EXPECT_EQ(error.code(), 4);
  EXPECT_EQ(error.detail(), "hierarchical");
}

// ffmpeg-made streams: the index read from the first 64 KiB describes the whole file.
class MP4SidxFixtureTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MP4SidxFixtureTest, SegmentsCoverTheFileFragmentByFragment) {
  testing::TempDirectory directory;
  const auto file = (directory / "media.mp4").string();
  ASSERT_TRUE(test::makeFixture(GetParam(), file, 13));
  const std::string text = testing::readText(file);
  const Bytes whole(text.begin(), text.end());
  if (std::string_view(GetParam()) == "plain") {
    EXPECT_EQ(failure(Bytes(whole.begin(), whole.begin() + 65536)), sidxNotFound);
    return;
  }
  const auto index = MP4Sidx::parse(std::span(whole).first(std::min<std::size_t>(whole.size(), 65536)));

  // Walk the whole file: where the init segment ends, and where each fragment begins.
  std::vector<std::int64_t> moofs;
  std::int64_t moovEnd = 0;
  std::int64_t mdatEnd = 0;
  for (std::size_t at = 0; at + 8 <= whole.size();) {
    const std::string type(whole.begin() + static_cast<std::ptrdiff_t>(at) + 4,
                           whole.begin() + static_cast<std::ptrdiff_t>(at) + 8);
    const std::size_t size =
        (std::size_t{whole[at]} << 24) | (whole[at + 1] << 16) | (whole[at + 2] << 8) | whole[at + 3];
    ASSERT_GE(size, 8U);
    if (type == "moof") moofs.push_back(static_cast<std::int64_t>(at));
    at += size;
    if (type == "moov") moovEnd = static_cast<std::int64_t>(at);
    if (type == "mdat") mdatEnd = static_cast<std::int64_t>(at);
  }
  EXPECT_EQ(index.initSegmentSize, moovEnd);
  ASSERT_EQ(index.segments.size(), moofs.size());
  double total = 0;
  for (std::size_t i = 0; i < moofs.size(); ++i) {
    EXPECT_EQ(index.segments[i].byteOffset, moofs[i]) << i;
    total += index.segments[i].durationSeconds;
  }
  EXPECT_EQ(index.segments.back().byteOffset + index.segments.back().byteSize,
            mdatEnd); // a trailing "mfra" is no media
  const double probed =
      std::stod(test::run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'").first);
  EXPECT_NEAR(total, probed, 0.05);
  EXPECT_NEAR(total, 13.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MP4SidxFixtureTest, ::testing::Values("video", "audio", "plain"));

} // namespace
} // namespace pd::relay
