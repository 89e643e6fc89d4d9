#include "video/HEVCDecoder.hpp"
#include "video/HEVCFormatDescription.hpp"

#include "HEVCFixture.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/log/Logger.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace pd::video {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fixture::lengthPrefixed;

class BitWriter {
public:
  void bit(unsigned value) {
    if (used_ % 8 == 0) bytes_.push_back(0);
    if (value != 0) bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (0x80u >> (used_ % 8)));
    ++used_;
  }
  void bits(std::uint64_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) bit(static_cast<unsigned>((value >> i) & 1u));
  }
  void ue(std::uint64_t value) {
    const std::uint64_t coded = value + 1;
    const auto length = static_cast<unsigned>(std::bit_width(coded));
    bits(0, length - 1);
    bits(coded, length);
  }
  Bytes finish() {
    bit(1); // rbsp_stop_one_bit
    while (used_ % 8 != 0) bit(0);
    return bytes_;
  }

private:
  Bytes bytes_;
  std::size_t used_ = 0;
};

// Inserts the emulation-prevention bytes a real encoder writes.
Bytes escape(const Bytes& rbsp) {
  Bytes out;
  int zeros = 0;
  for (const std::uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return out;
}

struct SpsFields {
  std::uint64_t maxSubLayersMinus1 = 0;
  bool subLayerProfilePresent = false;
  bool subLayerLevelPresent = false;
  std::uint32_t compatibilityFlags = 0x60000000;
  std::uint64_t spsId = 0;
  std::uint64_t chromaFormatIdc = 1;
  bool separateColourPlanes = false;
  std::uint64_t width = 1920;
  std::uint64_t height = 1088;
  bool window = false;
  std::uint64_t left = 0, right = 0, top = 0, bottom = 0;
  std::uint64_t bitDepthLumaMinus8 = 0;
  std::uint64_t bitDepthChromaMinus8 = 0;
};

Bytes makeSps(const SpsFields& f, std::uint8_t header0 = 0x42, std::uint8_t header1 = 0x01) {
  BitWriter w;
  w.bits(0, 4); // sps_video_parameter_set_id
  w.bits(f.maxSubLayersMinus1, 3);
  w.bit(1); // temporal id nesting
  w.bits(0, 2);
  w.bit(1); // high tier
  w.bits(2, 5); // Main 10
  w.bits(f.compatibilityFlags, 32);
  w.bits(0x9, 4); // progressive, frame only
  w.bits(0, 44);
  w.bits(153, 8); // level 5.1
  for (std::uint64_t i = 0; i < f.maxSubLayersMinus1; ++i) {
    w.bit(f.subLayerProfilePresent ? 1 : 0);
    w.bit(f.subLayerLevelPresent ? 1 : 0);
  }
  if (f.maxSubLayersMinus1 > 0)
    for (std::uint64_t i = f.maxSubLayersMinus1; i < 8; ++i) w.bits(0, 2);
  for (std::uint64_t i = 0; i < f.maxSubLayersMinus1; ++i) {
    if (f.subLayerProfilePresent) {
      w.bits(0xFFFFFFFFFFull, 40);
      w.bits(0xFFFFFFFFFFFFull, 48);
    }
    if (f.subLayerLevelPresent) w.bits(0xFF, 8);
  }
  w.ue(f.spsId);
  w.ue(f.chromaFormatIdc);
  if (f.chromaFormatIdc == 3) w.bit(f.separateColourPlanes ? 1 : 0);
  w.ue(f.width);
  w.ue(f.height);
  w.bit(f.window ? 1 : 0);
  if (f.window) {
    w.ue(f.left);
    w.ue(f.right);
    w.ue(f.top);
    w.ue(f.bottom);
  }
  w.ue(f.bitDepthLumaMinus8);
  w.ue(f.bitDepthChromaMinus8);
  Bytes unit{header0, header1};
  const Bytes payload = escape(w.finish());
  unit.insert(unit.end(), payload.begin(), payload.end());
  return unit;
}

TEST(HEVCSplitTest, ShortOrZeroLengthAccessUnitsYieldNothing) {
  EXPECT_TRUE(HEVCDecoder::splitNALUnits(Bytes{}).empty());
  EXPECT_TRUE(HEVCDecoder::splitNALUnits(Bytes{0, 0, 2}).empty());
  EXPECT_TRUE(HEVCDecoder::splitNALUnits(Bytes{0, 0, 0, 0, 0x40, 0x01}).empty());
}

TEST(HEVCSplitTest, TypesAndBytesOfEachUnitInOrder) {
  const Bytes vps{0x40, 0x01, 0xAA};
  const Bytes idr{0x26, 0x01, 0xAF, 0x00};
  const Bytes accessUnit = lengthPrefixed({vps, idr});
  const auto units = HEVCDecoder::splitNALUnits(accessUnit);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].type, 32);
  EXPECT_EQ(Bytes(units[0].bytes.begin(), units[0].bytes.end()), vps);
  EXPECT_EQ(units[1].type, 19);
  EXPECT_EQ(Bytes(units[1].bytes.begin(), units[1].bytes.end()), idr);
}

TEST(HEVCSplitTest, MalformedTailsEndTheListKeepingWhatCameBefore) {
  const Bytes slice{0x02, 0x01, 0xD0};
  struct Case {
    const char* name;
    Bytes tail;
  };
  for (const Case& c : {Case{"length past the end", {0, 0, 0, 9, 0x02, 0x01}},
                        Case{"length that must not wrap around", {0xFF, 0xFF, 0xFF, 0xFF, 0x02}},
                        Case{"tail shorter than a length", {0, 0, 1}},
                        Case{"zero length before a sound unit", lengthPrefixed({{}, slice})}}) {
    SCOPED_TRACE(c.name);
    Bytes accessUnit = lengthPrefixed({slice});
    accessUnit.insert(accessUnit.end(), c.tail.begin(), c.tail.end());
    const auto units = HEVCDecoder::splitNALUnits(accessUnit);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].type, 1);
    EXPECT_EQ(Bytes(units[0].bytes.begin(), units[0].bytes.end()), slice);
  }
}

TEST(HEVCSplitTest, OneByteUnitIsSkippedAndTheSplitGoesOn) {
  const Bytes accessUnit = lengthPrefixed({{0x40}, {0x42, 0x01}, {0x44, 0x01}});
  const auto units = HEVCDecoder::splitNALUnits(accessUnit);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].type, 33);
  EXPECT_EQ(units[1].type, 34);
}

TEST(HEVCSequenceParameterSetTest, ReadsSizeInsideTheConformanceWindow) {
  SpsFields fields;
  fields.window = true;
  fields.bottom = 4; // chroma rows: 8 luma rows at 4:2:0
  fields.right = 1;
  const auto sps = readSequenceParameterSet(makeSps(fields));
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->codedWidth, 1920u);
  EXPECT_EQ(sps->codedHeight, 1088u);
  EXPECT_EQ(sps->width, 1918u);
  EXPECT_EQ(sps->height, 1080u);
  EXPECT_EQ(sps->profileIdc, 2);
  EXPECT_TRUE(sps->tierFlag);
  EXPECT_EQ(sps->levelIdc, 153);
  EXPECT_EQ(sps->constraintIndicatorFlags, 0x9ull << 44);
}

TEST(HEVCSequenceParameterSetTest, WindowUnitsFollowTheChromaFormat) {
  struct Case {
    std::uint64_t chroma;
    bool separate;
    std::uint32_t width;
    std::uint32_t height;
  };
  for (const Case c : {Case{0, false, 1916, 1084}, Case{2, false, 1912, 1084}, Case{3, false, 1916, 1084},
                       Case{3, true, 1916, 1084}}) {
    SpsFields fields;
    fields.chromaFormatIdc = c.chroma;
    fields.separateColourPlanes = c.separate;
    fields.window = true;
    fields.left = 2;
    fields.right = 2;
    fields.bottom = 4;
    const auto sps = readSequenceParameterSet(makeSps(fields));
    ASSERT_TRUE(sps) << "chroma " << c.chroma;
    EXPECT_EQ(sps->width, c.width) << "chroma " << c.chroma << " separate " << c.separate;
    EXPECT_EQ(sps->height, c.height) << "chroma " << c.chroma << " separate " << c.separate;
    EXPECT_EQ(sps->chromaFormatIdc, c.chroma);
  }
}

TEST(HEVCSequenceParameterSetTest, SubLayerProfilesAreSteppedOver) {
  SpsFields fields;
  fields.maxSubLayersMinus1 = 3;
  fields.subLayerProfilePresent = true;
  fields.subLayerLevelPresent = true;
  fields.width = 1280;
  fields.height = 720;
  fields.bitDepthLumaMinus8 = 2;
  fields.bitDepthChromaMinus8 = 2;
  const auto sps = readSequenceParameterSet(makeSps(fields));
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->maxSubLayers, 4);
  EXPECT_EQ(sps->width, 1280u);
  EXPECT_EQ(sps->height, 720u);
  EXPECT_EQ(sps->bitDepthLuma, 10);
  EXPECT_EQ(sps->bitDepthChroma, 10);
}

TEST(HEVCSequenceParameterSetTest, EmulationPreventionBytesAreRemovedBeforeReading) {
  SpsFields fields;
  fields.compatibilityFlags = 0; // long runs of zero bytes: the encoder must escape them
  fields.width = 640;
  fields.height = 480;
  const Bytes unit = makeSps(fields);
  const Bytes escaped{0, 0, 3};
  ASSERT_NE(std::search(unit.begin(), unit.end(), escaped.begin(), escaped.end()), unit.end());
  const auto sps = readSequenceParameterSet(unit);
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->width, 640u);
  EXPECT_EQ(sps->height, 480u);
}

TEST(HEVCSequenceParameterSetTest, ValuesOutsideTheirRangesAreRefused) {
  ASSERT_TRUE(readSequenceParameterSet(makeSps({})));
  struct Case {
    const char* name;
    void (*spoil)(SpsFields&);
  };
  for (const Case& c : {
           Case{"sps id 16", [](SpsFields& f) { f.spsId = 16; }},
           Case{"chroma format 4", [](SpsFields& f) { f.chromaFormatIdc = 4; }},
           Case{"width 0", [](SpsFields& f) { f.width = 0; }},
           Case{"height 16385", [](SpsFields& f) { f.height = 16385; }},
           Case{"width beyond 32 bits", [](SpsFields& f) { f.width = 0xFFFFFFFEull; }},
           Case{"window leaving nothing to show",
                [](SpsFields& f) {
                  f.window = true;
                  f.left = 480;
                  f.right = 480;
                }},
           Case{"window offset beyond 32 bits",
                [](SpsFields& f) {
                  f.window = true;
                  f.top = 0xFFFFFFF0ull;
                }},
           Case{"luma depth 16", [](SpsFields& f) { f.bitDepthLumaMinus8 = 8; }},
           Case{"eight sub-layers", [](SpsFields& f) { f.maxSubLayersMinus1 = 7; }},
       }) {
    SpsFields fields;
    c.spoil(fields);
    EXPECT_FALSE(readSequenceParameterSet(makeSps(fields))) << c.name;
  }
  EXPECT_FALSE(readSequenceParameterSet(makeSps({}, 0x44, 0x01))); // a PPS header
  EXPECT_FALSE(readSequenceParameterSet(makeSps({}, 0x42, 0x09))); // nuh_layer_id 1
  EXPECT_FALSE(readSequenceParameterSet(makeSps({}, 0x42, 0x00))); // temporal id plus 1 of 0
  EXPECT_FALSE(readSequenceParameterSet(makeSps({}, 0xC2, 0x01))); // forbidden bit
  // 32 leading zeros: an Exp-Golomb code that does not fit 32 bits.
  Bytes longCode = makeSps({});
  longCode.resize(17);
  longCode.insert(longCode.end(), {0, 0, 3, 0, 0, 3, 0, 0, 0x80});
  EXPECT_FALSE(readSequenceParameterSet(longCode));
}

// The highest level's MaxLumaPs bounds the coded picture whatever its shape. A stream whose SPS
// asks for more is logged and not decoded, and decodes again once a good SPS comes.
TEST(HEVCSequenceParameterSetTest, PicturesLargerThanTheHighestLevelAllowsAreRefused) {
  struct Case {
    std::uint64_t width;
    std::uint64_t height;
    bool accepted;
  };
  for (const Case c : {Case{8192, 4352, true}, Case{16384, 2176, true}, Case{8192, 4360, false},
                       Case{16384, 2184, false}, Case{16384, 16384, false}}) {
    SpsFields fields;
    fields.width = c.width;
    fields.height = c.height;
    EXPECT_EQ(readSequenceParameterSet(makeSps(fields)).has_value(), c.accepted) << c.width << "x" << c.height;
  }

  const auto clip = fixture::testPattern(320, 240, 30, 30);
  if (!clip) {
    if (fixture::encoderRequired()) FAIL() << "ffmpeg with libx265 is needed under CI";
    GTEST_SKIP() << "ffmpeg with libx265 is not available";
  }
  SpsFields huge;
  huge.width = 16384;
  huge.height = 2184;
  std::vector<Bytes> units;
  for (const HEVCDecoder::NALUnit& unit : HEVCDecoder::splitNALUnits(clip->accessUnits[0]))
    units.push_back(unit.type == 33 ? makeSps(huge) : Bytes(unit.bytes.begin(), unit.bytes.end()));
  const Bytes oversized = lengthPrefixed(units);

  platform::log::setStderrEnabled(false);
  const std::uint64_t since = platform::log::LogStore::shared().lastSequence();
  std::vector<std::pair<int, int>> sizes;
  std::mutex mutex;
  {
    HEVCDecoder::Options options;
    options.allowHardware = false;
    options.queueCapacity = 64;
    HEVCDecoder decoder(options);
    decoder.setStreamTag("huge");
    decoder.setOnDecodedPixelBuffer([&](platform::media::VideoFramePtr frame, std::uint64_t) {
      std::scoped_lock lock(mutex);
      sizes.emplace_back(frame->width(), frame->height());
    });
    decoder.decode(oversized, 1);
    for (std::size_t i = 1; i < clip->pictures(); ++i) decoder.decode(clip->accessUnits[i], 1);
    decoder.waitForAsynchronousFrames();
    EXPECT_TRUE(sizes.empty());
    for (const Bytes& unit : clip->accessUnits) decoder.decode(unit, 2);
    decoder.waitForAsynchronousFrames();
  }
  EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>(clip->pictures(), {320, 240})));
  std::vector<std::string> lines;
  for (const auto& entry : platform::log::LogStore::shared().entriesAfter(since))
    if (entry.category == "video" && (entry.message.starts_with("format_desc_create_fail stream=huge ") ||
                                      entry.message.starts_with("decoder_create stream=huge ")))
      lines.push_back(entry.message);
  EXPECT_EQ(lines, (std::vector<std::string>{"format_desc_create_fail stream=huge os_status=-1 occurrences=1",
                                             "decoder_create stream=huge res=320x240 hw=false threads=4"}));
}

// A real encoder's parameter set with leading Exp-Golomb fields rewritten: the first `fixedBits`
// bits of the payload are kept, each of `fields` replaces one ue(v) (nullopt keeps it), the rest
// is kept.
Bytes rewriteFields(const Bytes& unit, unsigned fixedBits, const std::vector<std::optional<std::uint64_t>>& fields) {
  std::vector<bool> in;
  int zeros = 0;
  for (std::size_t i = 2; i < unit.size(); ++i) {
    if (zeros >= 2 && unit[i] == 3) {
      zeros = 0;
      continue;
    }
    for (int shift = 7; shift >= 0; --shift) in.push_back(((unit[i] >> shift) & 1) != 0);
    zeros = unit[i] == 0 ? zeros + 1 : 0;
  }
  while (!in.empty() && !in.back()) in.pop_back();
  if (!in.empty()) in.pop_back(); // rbsp_stop_one_bit: finish() writes it again
  std::size_t at = 0;
  const auto next = [&] { return at < in.size() && in[at++] ? 1u : 0u; };
  BitWriter out;
  for (unsigned i = 0; i < fixedBits; ++i) out.bit(next());
  for (const std::optional<std::uint64_t>& field : fields) {
    unsigned leadingZeros = 0;
    while (at < in.size() && next() == 0) ++leadingZeros;
    std::uint64_t coded = 1;
    for (unsigned i = 0; i < leadingZeros; ++i) coded = (coded << 1) | next();
    out.ue(field.value_or(coded - 1));
  }
  while (at < in.size()) out.bit(next());
  Bytes rewritten(unit.begin(), unit.begin() + 2);
  const Bytes payload = escape(out.finish());
  rewritten.insert(rewritten.end(), payload.begin(), payload.end());
  return rewritten;
}

// The decoder takes in every SPS of an access unit, though only the last one describes the
// stream: an earlier one under another id, which a PPS may name, must keep to the same bound,
// or the stream could still have a picture of any size allocated.
TEST(HEVCSequenceParameterSetTest, AnEarlierSPSOfTheAccessUnitIsHeldToTheSameBound) {
  const auto clip = fixture::testPattern(320, 240, 90, 30);
  if (!clip) {
    if (fixture::encoderRequired()) FAIL() << "ffmpeg with libx265 is needed under CI";
    GTEST_SKIP() << "ffmpeg with libx265 is not available";
  }
  ASSERT_EQ(clip->nextRandomAccess(1), 30u);
  ASSERT_EQ(clip->nextRandomAccess(31), 60u);
  std::vector<Bytes> units;
  for (const HEVCDecoder::NALUnit& unit : HEVCDecoder::splitNALUnits(clip->accessUnits[30])) {
    const Bytes bytes(unit.bytes.begin(), unit.bytes.end());
    if (unit.type == 33) {
      const auto original = readSequenceParameterSet(bytes);
      ASSERT_TRUE(original && original->maxSubLayers == 1 && original->chromaFormatIdc == 1);
      // After vps id, sub-layers, nesting and profile_tier_level: sps id, chroma format, size.
      units.push_back(rewriteFields(bytes, 4 + 3 + 1 + 96, {1, std::nullopt, 8192, 4416}));
      ASSERT_FALSE(readSequenceParameterSet(units.back())); // beyond the bound, a whole number of blocks
      units.push_back(bytes);
    } else {
      // The PPS names the huge SPS.
      units.push_back(unit.type == 34 ? rewriteFields(bytes, 0, {std::nullopt, 1}) : bytes);
    }
  }
  const Bytes twoSets = lengthPrefixed(units);

  platform::log::setStderrEnabled(false);
  const std::uint64_t since = platform::log::LogStore::shared().lastSequence();
  std::vector<std::tuple<int, int, std::uint64_t>> delivered; // width, height, epoch
  std::mutex mutex;
  {
    HEVCDecoder::Options options;
    options.allowHardware = false;
    options.queueCapacity = 128;
    HEVCDecoder decoder(options);
    decoder.setStreamTag("twosps");
    decoder.setOnDecodedPixelBuffer([&](platform::media::VideoFramePtr frame, std::uint64_t epoch) {
      std::scoped_lock lock(mutex);
      delivered.emplace_back(frame->width(), frame->height(), epoch);
    });
    for (std::size_t i = 0; i < 30; ++i) decoder.decode(clip->accessUnits[i], 1);
    decoder.decode(twoSets, 2);
    // Pictures that refer to the dropped one wait for the next random-access picture.
    for (std::size_t i = 31; i < 40; ++i) decoder.decode(clip->accessUnits[i], 4);
    for (std::size_t i = 60; i < clip->pictures(); ++i) decoder.decode(clip->accessUnits[i], 3);
    decoder.waitForAsynchronousFrames();
  }
  std::vector<std::tuple<int, int, std::uint64_t>> expected(30, {320, 240, 1});
  expected.insert(expected.end(), 30, {320, 240, 3});
  EXPECT_EQ(delivered, expected);
  // The unit was dropped before FFmpeg saw it: no oversized picture refused on the way out, and
  // the decoder made for the first unit decoded all the others.
  std::vector<std::string> lines;
  for (const auto& entry : platform::log::LogStore::shared().entriesAfter(since))
    if (entry.category == "video" && (entry.message.starts_with("decode_fail stream=twosps ") ||
                                      entry.message.starts_with("decoder_create stream=twosps ")))
      lines.push_back(entry.message);
  EXPECT_EQ(lines, std::vector<std::string>{"decoder_create stream=twosps res=320x240 hw=false threads=4"});
  EXPECT_EQ(diagnostics::LogThrottle::shared().reset("decode_sps_refused_twosps"), 1);
}

TEST(HEVCSequenceParameterSetTest, EveryTruncationIsRefusedWithoutReadingPastTheEnd) {
  const Bytes unit = makeSps({});
  for (std::size_t length = 0; length + 1 < unit.size(); ++length) {
    const std::span<const std::uint8_t> cut(unit.data(), length);
    EXPECT_FALSE(readSequenceParameterSet(cut)) << "length " << length;
  }
}

TEST(HEVCFormatDescriptionTest, RecordCarriesTheProfileAndTheThreeSets) {
  const Bytes vps{0x40, 0x01, 0x0C, 0x01};
  SpsFields fields;
  fields.bitDepthLumaMinus8 = 2;
  fields.bitDepthChromaMinus8 = 2;
  fields.window = true;
  fields.bottom = 4;
  const Bytes sps = makeSps(fields);
  const Bytes pps{0x44, 0x01, 0xC1, 0x72};
  const auto description = makeFormatDescription(vps, sps, pps);
  ASSERT_TRUE(description);
  EXPECT_EQ(description->width, 1920);
  EXPECT_EQ(description->height, 1080);
  const Bytes& r = description->configurationRecord;
  ASSERT_EQ(r.size(), 23u + 3 * 5 + vps.size() + sps.size() + pps.size());
  EXPECT_EQ(r[0], 1); // version
  EXPECT_EQ(r[1], 0x20 | 2); // high tier, Main 10
  EXPECT_EQ(r[2], 0x60); // compatibility flags
  EXPECT_EQ(r[6], 0x90); // constraint flags
  EXPECT_EQ(r[12], 153); // level
  EXPECT_EQ(r[16], 0xFC | 1); // 4:2:0
  EXPECT_EQ(r[17], 0xF8 | 2); // luma depth 10
  EXPECT_EQ(r[18], 0xF8 | 2); // chroma depth 10
  EXPECT_EQ(r[21] & 0x03, 3); // 4-byte lengths
  EXPECT_EQ(r[21] >> 3, 1); // one temporal layer
  EXPECT_EQ(r[22], 3); // three arrays
  std::size_t at = 23;
  for (const Bytes* unit : {&vps, &sps, &pps}) {
    EXPECT_EQ(r[at], 0x80 | (((*unit)[0] >> 1) & 0x3F));
    EXPECT_EQ((r[at + 1] << 8) | r[at + 2], 1);
    ASSERT_EQ(static_cast<std::size_t>((r[at + 3] << 8) | r[at + 4]), unit->size());
    EXPECT_TRUE(std::equal(unit->begin(), unit->end(), r.begin() + static_cast<std::ptrdiff_t>(at + 5)));
    at += 5 + unit->size();
  }
}

TEST(HEVCFormatDescriptionTest, SetsThatARecordCannotHoldAreRefused) {
  const Bytes vps{0x40, 0x01, 0x0C};
  const Bytes sps = makeSps({});
  const Bytes pps{0x44, 0x01, 0xC1};
  EXPECT_TRUE(makeFormatDescription(vps, sps, pps));
  Bytes longPps = pps;
  longPps.resize(0x10000, 0x55);
  EXPECT_FALSE(makeFormatDescription(vps, sps, longPps));
  EXPECT_FALSE(makeFormatDescription(pps, sps, vps)); // kinds in the wrong places
  EXPECT_FALSE(makeFormatDescription(Bytes{}, sps, pps));
  EXPECT_FALSE(makeFormatDescription(vps, Bytes{0x42, 0x01, 0xFF}, pps));
}

} // namespace
} // namespace pd::video
