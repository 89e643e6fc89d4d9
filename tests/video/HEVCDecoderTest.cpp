#include "video/HEVCDecoder.hpp"

#include "HEVCFixture.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"
#include "video/HEVCFormatDescription.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace pd::video {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using fixture::Clip;

#define PD_REQUIRE_CLIP(clip)                                                                                          \
  do {                                                                                                                 \
    if (!(clip)) {                                                                                                     \
      if (fixture::encoderRequired()) FAIL() << "ffmpeg with libx265 is needed under CI";                              \
      GTEST_SKIP() << "ffmpeg with libx265 is not available";                                                          \
    }                                                                                                                  \
  } while (false)

struct Received {
  int width = 0;
  int height = 0;
  std::uint64_t epoch = 0;
  std::uint8_t centreLuma = 0;
  std::uint8_t centreCb = 0;
  platform::media::ColorMatrix matrix = platform::media::ColorMatrix::bt709;
};

// Collects what the decoder hands on; a test may hold the worker inside the callback.
class Sink {
public:
  void attach(HEVCDecoder& decoder) {
    decoder.setOnDecodedPixelBuffer(
        [this](platform::media::VideoFramePtr frame, std::uint64_t epoch) { take(*frame, epoch); });
  }
  std::vector<Received> frames() {
    std::scoped_lock lock(mutex_);
    return frames_;
  }
  std::vector<std::uint64_t> epochs() {
    std::vector<std::uint64_t> out;
    for (const Received& frame : frames()) out.push_back(frame.epoch);
    return out;
  }
  void holdFirstFrame() { hold_ = true; }
  void waitUntilHeld() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  void release() {
    std::scoped_lock lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }
  void slowDown(std::chrono::milliseconds perFrame) { delay_ = perFrame; }

private:
  void take(const platform::media::VideoFrame& frame, std::uint64_t epoch) {
    if (delay_ > 0ms) std::this_thread::sleep_for(delay_);
    const std::size_t cx = static_cast<std::size_t>(frame.width() / 2);
    const std::size_t cy = static_cast<std::size_t>(frame.height() / 2);
    Received received{frame.width(),
                      frame.height(),
                      epoch,
                      frame.luma()[cy * frame.lumaStride() + cx],
                      frame.chroma()[cy / 2 * frame.chromaStride() + cx / 2 * 2],
                      frame.colorMatrix()};
    std::unique_lock lock(mutex_);
    frames_.push_back(received);
    if (hold_) {
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !hold_; });
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> frames_;
  bool hold_ = false;
  bool held_ = false;
  std::chrono::milliseconds delay_{0};
};

// Tests hand in whole clips at once: the queue takes them all unless a test says otherwise.
HEVCDecoder::Options softwareOptions() {
  HEVCDecoder::Options options;
  options.allowHardware = false;
  options.queueCapacity = 256;
  return options;
}

// A decoder under its stream tag, handing on to its own sink, which outlives it.
struct Session {
  explicit Session(const std::string& tag, const HEVCDecoder::Options& options = softwareOptions()) : decoder(options) {
    decoder.setStreamTag(tag);
    sink.attach(decoder);
  }
  Sink sink;
  HEVCDecoder decoder;
};

// The video lines written since the test began that name the stream.
class VideoLines {
public:
  explicit VideoLines(std::string tag)
      : tag_(std::move(tag)), since_(platform::log::LogStore::shared().lastSequence()) {
    platform::log::setStderrEnabled(false);
  }
  std::vector<std::string> starting(const std::string& event) const {
    std::vector<std::string> lines;
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(since_)) {
      if (entry.category == "video" && entry.message.starts_with(event + " ") &&
          entry.message.find("stream=" + tag_ + " ") != std::string::npos)
        lines.push_back(entry.message);
      else if (entry.category == "video" && entry.message == event + " stream=" + tag_) lines.push_back(entry.message);
    }
    return lines;
  }

private:
  std::string tag_;
  std::uint64_t since_;
};

// The parameter-set units of an access unit, as an access unit of their own.
Bytes parameterSetsOf(const Bytes& accessUnit) {
  std::vector<Bytes> units;
  for (const HEVCDecoder::NALUnit& unit : HEVCDecoder::splitNALUnits(accessUnit))
    if (unit.type >= 32 && unit.type <= 34) units.emplace_back(unit.bytes.begin(), unit.bytes.end());
  return fixture::lengthPrefixed(units);
}

// The access unit with its unit of `type` replaced by `replacement`.
Bytes replacingUnit(const Bytes& accessUnit, int type, const Bytes& replacement) {
  std::vector<Bytes> units;
  for (const HEVCDecoder::NALUnit& unit : HEVCDecoder::splitNALUnits(accessUnit))
    units.push_back(unit.type == type ? replacement : Bytes(unit.bytes.begin(), unit.bytes.end()));
  return fixture::lengthPrefixed(units);
}

Bytes unitOf(const Bytes& accessUnit, int type) {
  for (const HEVCDecoder::NALUnit& unit : HEVCDecoder::splitNALUnits(accessUnit))
    if (unit.type == type) return Bytes(unit.bytes.begin(), unit.bytes.end());
  return {};
}

// Feeds units [first, last) with their index as epoch, so each frame says where it came from.
void feed(HEVCDecoder& decoder, const Clip& clip, std::size_t first, std::size_t last) {
  for (std::size_t i = first; i < last; ++i) decoder.decode(clip.accessUnits[i], i);
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> out;
  for (std::uint64_t i = first; i < last; ++i) out.push_back(i);
  return out;
}

// The epochs delivered before a gap, then those from where decoding resumed.
std::vector<std::uint64_t> resumed(std::vector<std::uint64_t> before, const std::vector<std::uint64_t>& after) {
  before.insert(before.end(), after.begin(), after.end());
  return before;
}

TEST(HEVCDecoderTest, DecodesEveryPictureWithItsSizeAndEpoch) {
  const auto clip = fixture::testPattern(320, 240, 60, 30);
  PD_REQUIRE_CLIP(clip);
  VideoLines lines("every");
  Session session("every");
  auto& [sink, decoder] = session;
  for (std::size_t i = 0; i < clip->pictures(); ++i) decoder.decode(clip->accessUnits[i], 100 + i / 7);
  decoder.waitForAsynchronousFrames();

  const auto frames = sink.frames();
  ASSERT_EQ(frames.size(), clip->pictures());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].width, 320);
    EXPECT_EQ(frames[i].height, 240);
    EXPECT_EQ(frames[i].epoch, 100 + i / 7) << "frame " << i;
  }
  // The second keyframe repeats the parameter sets byte for byte: nothing is rebuilt.
  const Bytes& first = clip->accessUnits[0];
  ASSERT_EQ(lines.starting("format_desc_create"),
            std::vector<std::string>{
                "format_desc_create stream=every vps_b=" + std::to_string(unitOf(first, 32).size()) + " sps_b=" +
                std::to_string(unitOf(first, 33).size()) + " pps_b=" + std::to_string(unitOf(first, 34).size())});
  EXPECT_EQ(lines.starting("decoder_create"),
            std::vector<std::string>{"decoder_create stream=every res=320x240 hw=false threads=4"});
  EXPECT_TRUE(lines.starting("param_set_changed").empty());
}

TEST(HEVCDecoderTest, ParameterSetsAloneBuildTheDecoderAndDeliverNothing) {
  const auto clip = fixture::testPattern(320, 240, 60, 30);
  PD_REQUIRE_CLIP(clip);
  VideoLines lines("psonly");
  Session session("psonly");
  auto& [sink, decoder] = session;
  decoder.decode(parameterSetsOf(clip->accessUnits[0]), 1);
  decoder.waitForAsynchronousFrames();
  const std::vector<std::string> created{"decoder_create stream=psonly res=320x240 hw=false threads=4"};
  EXPECT_EQ(lines.starting("decoder_create"), created);
  EXPECT_TRUE(sink.frames().empty());

  feed(decoder, *clip, 0, 10);
  decoder.waitForAsynchronousFrames();
  EXPECT_EQ(sink.epochs(), range(0, 10));
  EXPECT_EQ(lines.starting("decoder_create"), created);
}

TEST(HEVCDecoderTest, NewParameterSetsRebuildTheDecoderAndKeepEveryPicture) {
  const auto large = fixture::testPattern(320, 240, 30, 30);
  const auto small = fixture::testPattern(176, 100, 30, 30); // coded as 176x104 with a conformance window
  PD_REQUIRE_CLIP(large);
  PD_REQUIRE_CLIP(small);
  VideoLines lines("change");
  Session session("change");
  auto& [sink, decoder] = session;
  for (const Bytes& unit : large->accessUnits) decoder.decode(unit, 1);
  for (const Bytes& unit : small->accessUnits) decoder.decode(unit, 2);
  decoder.waitForAsynchronousFrames();

  const auto frames = sink.frames();
  ASSERT_EQ(frames.size(), 60u);
  for (std::size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(std::make_pair(frames[i].width, frames[i].height), std::make_pair(320, 240)) << i;
    EXPECT_EQ(std::make_pair(frames[30 + i].width, frames[30 + i].height), std::make_pair(176, 100)) << i;
    EXPECT_EQ(frames[30 + i].epoch, 2u);
  }
  const std::string expected =
      "param_set_changed stream=change kind=sps old_b=" + std::to_string(unitOf(large->accessUnits[0], 33).size()) +
      " new_b=" + std::to_string(unitOf(small->accessUnits[0], 33).size()) + " applied=true";
  const auto changes = lines.starting("param_set_changed");
  EXPECT_NE(std::find(changes.begin(), changes.end(), expected), changes.end());
  EXPECT_EQ(lines.starting("decoder_create"),
            (std::vector<std::string>{"decoder_create stream=change res=320x240 hw=false threads=4",
                                      "decoder_create stream=change res=176x100 hw=false threads=4"}));
}

// A layered stream: after each base-layer SPS and PPS comes its layer-1 twin, the SPS in the
// multi-layer form (sub-layer field 7), which says nothing about the base layer's pictures.
TEST(HEVCDecoderTest, OnlyTheBaseLayersParameterSetsDescribeTheStream) {
  const auto clip = fixture::testPattern(320, 240, 60, 30);
  PD_REQUIRE_CLIP(clip);
  const auto inLayerOne = [](Bytes unit) {
    unit[0] = static_cast<std::uint8_t>(unit[0] & 0xFE); // the layer's high bit is 0
    unit[1] = static_cast<std::uint8_t>((1 << 3) | (unit[1] & 0x07));
    return unit;
  };
  std::vector<Bytes> layered;
  for (const Bytes& accessUnit : clip->accessUnits) {
    std::vector<Bytes> units;
    for (const HEVCDecoder::NALUnit& unit : HEVCDecoder::splitNALUnits(accessUnit)) {
      units.emplace_back(unit.bytes.begin(), unit.bytes.end());
      if (unit.type == 33) {
        units.push_back(inLayerOne(units.back()));
        units.back()[2] = static_cast<std::uint8_t>(units.back()[2] | 0x0E);
      } else if (unit.type == 34) {
        units.push_back(inLayerOne(units.back()));
      }
    }
    layered.push_back(fixture::lengthPrefixed(units));
  }
  VideoLines lines("layered");
  Session session("layered");
  auto& [sink, decoder] = session;
  for (std::size_t i = 0; i < layered.size(); ++i) decoder.decode(layered[i], i);
  decoder.waitForAsynchronousFrames();

  EXPECT_EQ(sink.epochs(), range(0, clip->pictures()));
  EXPECT_EQ(lines.starting("decoder_create"),
            std::vector<std::string>{"decoder_create stream=layered res=320x240 hw=false threads=4"});
  EXPECT_TRUE(lines.starting("param_set_changed").empty());
}

TEST(HEVCDecoderTest, JoiningMidStreamWaitsForARandomAccessPicture) {
  const auto clip = fixture::testPattern(320, 240, 60, 30);
  PD_REQUIRE_CLIP(clip);
  ASSERT_EQ(clip->nextRandomAccess(1), 30u);
  Session session("join");
  auto& [sink, decoder] = session;
  // The receiver knows the parameter sets but missed the keyframe: pictures 10 to 29 have no
  // reference to decode from and must not come out as concealed grey.
  decoder.decode(parameterSetsOf(clip->accessUnits[0]), 0);
  feed(decoder, *clip, 10, 60);
  decoder.waitForAsynchronousFrames();
  EXPECT_EQ(sink.epochs(), range(30, 60));
}

// An encoder that sends a sync picture only at the start (or refreshes by slices) leaves a receiver
// that joins later nothing to wait for: after a short grace every picture is decoded, and the
// start without a sync picture is logged once per decoder session.
TEST(HEVCDecoderTest, JoiningAStreamWithoutLaterSyncPicturesDecodesAfterAOneSecondGrace) {
  const auto clip = fixture::testPattern(320, 240, 150, 30, {.singleKeyframe = true, .matrix = {}});
  PD_REQUIRE_CLIP(clip);
  ASSERT_EQ(clip->nextRandomAccess(1), clip->pictures());
  runtime::ManualClock clock;
  runtime::ScopedClock installed(clock);
  VideoLines lines("grace");
  Session session("grace");
  auto& [sink, decoder] = session;
  // Joined 3 s in, a picture every 34 ms: the 31st picture comes 1.02 s after the first.
  const auto paced = [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      decoder.decode(clip->accessUnits[i], i);
      clock.advance(34ms);
    }
    decoder.waitForAsynchronousFrames();
  };
  paced(90, 150);
  EXPECT_EQ(sink.epochs(), range(120, 150));
  EXPECT_EQ(lines.starting("decode_start"),
            std::vector<std::string>{"decode_start reason=no_sync_picture stream=grace held=30 waited_ms=1020"});

  // A new session waits again and logs again; within one session the line is not repeated.
  decoder.reset();
  paced(40, 90);
  EXPECT_EQ(sink.epochs(), resumed(range(120, 150), range(70, 90)));
  EXPECT_EQ(lines.starting("decode_start"),
            std::vector<std::string>(2, "decode_start reason=no_sync_picture stream=grace held=30 waited_ms=1020"));
}

TEST(HEVCDecoderTest, AtMostSixtyPicturesAreHeldBackWhateverTheClockSays) {
  const auto clip = fixture::testPattern(320, 240, 160, 30, {.singleKeyframe = true, .matrix = {}});
  PD_REQUIRE_CLIP(clip);
  runtime::ManualClock clock; // stands still: only the count ends the wait
  runtime::ScopedClock installed(clock);
  Session session("count");
  auto& [sink, decoder] = session;
  feed(decoder, *clip, 90, 160);
  decoder.waitForAsynchronousFrames();
  EXPECT_EQ(sink.epochs(), range(150, 160));
}

TEST(HEVCDecoderTest, ResetDeliversThePicturesInFlightThenWaitsForANewStart) {
  const auto clip = fixture::testPattern(320, 240, 90, 30);
  PD_REQUIRE_CLIP(clip);
  ASSERT_EQ(clip->nextRandomAccess(31), 60u);
  VideoLines lines("reset");
  Session session("reset");
  auto& [sink, decoder] = session;
  sink.slowDown(2ms);
  feed(decoder, *clip, 0, 20);
  decoder.reset();
  // Nothing waited for the worker before reset(): it must have delivered all twenty itself.
  EXPECT_EQ(sink.epochs(), range(0, 20));
  EXPECT_EQ(lines.starting("decoder_reset"), std::vector<std::string>{"decoder_reset stream=reset"});

  // The parameter sets were forgotten: pictures without them decode nothing. Once they are
  // back the new decoder still waits for the next keyframe.
  feed(decoder, *clip, 20, 25);
  decoder.decode(parameterSetsOf(clip->accessUnits[0]), 0);
  feed(decoder, *clip, 40, 90);
  decoder.waitForAsynchronousFrames();
  EXPECT_EQ(sink.epochs(), resumed(range(0, 20), range(60, 90)));
  EXPECT_EQ(lines.starting("decoder_create"),
            std::vector<std::string>(2, "decoder_create stream=reset res=320x240 hw=false threads=4"));
  EXPECT_EQ(decoder.picturesShedAfterGaps(), 0u); // a new start, not a gap
}

TEST(HEVCDecoderTest, EachPictureKeepsTheEpochOfItsAccessUnitThroughFrameThreads) {
  const auto clip = fixture::testPattern(320, 240, 40, 30);
  PD_REQUIRE_CLIP(clip);
  HEVCDecoder::Options options = softwareOptions();
  options.threading = HEVCDecoder::Threading::throughput;
  options.threadCount = 6;
  Session session("threads", options);
  auto& [sink, decoder] = session;
  feed(decoder, *clip, 0, 40);
  decoder.waitForAsynchronousFrames();
  // Frame threads hold the last pictures back until more input or a drain comes.
  EXPECT_LT(sink.frames().size(), 40u);
  decoder.reset();
  EXPECT_EQ(sink.epochs(), range(0, 40));
}

TEST(HEVCDecoderTest, DestructionDeliversThePicturesStillInside) {
  const auto clip = fixture::testPattern(320, 240, 12, 30);
  PD_REQUIRE_CLIP(clip);
  VideoLines lines("teardown");
  Sink sink;
  {
    HEVCDecoder::Options options = softwareOptions();
    options.threading = HEVCDecoder::Threading::throughput;
    HEVCDecoder decoder(options);
    decoder.setStreamTag("teardown");
    sink.attach(decoder);
    feed(decoder, *clip, 0, 12);
  }
  EXPECT_EQ(sink.epochs(), range(0, 12));
  EXPECT_TRUE(lines.starting("decoder_reset").empty());
}

TEST(HEVCDecoderTest, FullQueueDropsPicturesUpToTheNextRandomAccessPicture) {
  const auto clip = fixture::testPattern(320, 240, 60, 30);
  PD_REQUIRE_CLIP(clip);
  VideoLines lines("full");
  HEVCDecoder::Options options = softwareOptions();
  options.queueCapacity = 2;
  Session session("full", options);
  auto& [sink, decoder] = session;
  sink.holdFirstFrame();
  feed(decoder, *clip, 0, 1);
  sink.waitUntilHeld();
  feed(decoder, *clip, 1, 30); // 1 and 2 wait in the queue, 3 finds it full
  sink.release();
  decoder.waitForAsynchronousFrames();
  for (std::size_t i = 30; i < 60; ++i) { // at the stream's pace the small queue suffices again
    decoder.decode(clip->accessUnits[i], i);
    decoder.waitForAsynchronousFrames();
  }

  EXPECT_EQ(sink.epochs(), resumed(std::vector<std::uint64_t>{0, 1, 2}, range(30, 60)));
  EXPECT_EQ(decoder.picturesShedAfterGaps(), 27u);
  EXPECT_EQ(lines.starting("decode_drop"),
            std::vector<std::string>{"decode_drop reason=queue_full stream=full occurrences=1"});
}

// An access unit too long for a packet: its copy fails before a byte of the slice is read, so the
// untouched pages of the mapping are never backed.
class UncopyableAccessUnit {
public:
  static constexpr std::size_t kSize = std::size_t{1} << 31;
  UncopyableAccessUnit() {
    void* mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return;
    bytes_ = static_cast<std::uint8_t*>(mapped);
    // One TRAIL_R slice that fills the unit.
    const std::uint32_t length = kSize - 4;
    const std::uint8_t head[] = {static_cast<std::uint8_t>(length >> 24),
                                 static_cast<std::uint8_t>(length >> 16),
                                 static_cast<std::uint8_t>(length >> 8),
                                 static_cast<std::uint8_t>(length),
                                 0x02,
                                 0x01};
    std::copy(std::begin(head), std::end(head), bytes_);
  }
  ~UncopyableAccessUnit() {
    if (bytes_ != nullptr) munmap(bytes_, kSize);
  }
  UncopyableAccessUnit(const UncopyableAccessUnit&) = delete;
  UncopyableAccessUnit& operator=(const UncopyableAccessUnit&) = delete;
  explicit operator bool() const { return bytes_ != nullptr; }
  std::span<const std::uint8_t> bytes() const { return {bytes_, kSize}; }

private:
  std::uint8_t* bytes_ = nullptr;
};

TEST(HEVCDecoderTest, APictureThatCannotBeCopiedDropsPicturesUpToTheNextRandomAccessPicture) {
  const auto clip = fixture::testPattern(320, 240, 60, 30);
  PD_REQUIRE_CLIP(clip);
  ASSERT_EQ(clip->nextRandomAccess(1), 30u);
  const UncopyableAccessUnit lost;
  ASSERT_TRUE(lost) << "no address space for the unit";
  runtime::ManualClock clock; // stands still: only a random-access picture ends the wait
  runtime::ScopedClock installed(clock);
  VideoLines lines("copy");
  Session session("copy");
  auto& [sink, decoder] = session;
  feed(decoder, *clip, 0, 10);
  decoder.decode(lost.bytes(), 10); // stands in for picture 10, which later ones refer to
  feed(decoder, *clip, 11, 60);
  decoder.waitForAsynchronousFrames();

  EXPECT_EQ(sink.epochs(), resumed(range(0, 10), range(30, 60)));
  EXPECT_EQ(decoder.picturesShedAfterGaps(), 20u); // the lost one and the 19 held back after it
  EXPECT_EQ(lines.starting("blockbuffer_create_fail"),
            std::vector<std::string>{"blockbuffer_create_fail stream=copy os_status=-22 occurrences=1"});
}

TEST(HEVCDecoderTest, RangeAndDepthComeOutAsFullRangeEightBit) {
  struct Case {
    const char* source;
    const char* pixelFormat;
    int luma;
  };
  // Each shade keeps its level whether the stream carries it in limited or full range, at 8 or
  // 10 bits; chroma of a grey stays at the centre.
  for (const Case c : {Case{"color=c=0x404040:size=64x48:rate=30", "yuv420p", 64},
                       Case{"color=c=0x404040:size=64x48:rate=30", "yuvj420p", 64},
                       Case{"color=c=0x404040:size=64x48:rate=30", "yuv420p10le", 64},
                       Case{"color=c=white:size=64x48:rate=30", "yuv420p", 255},
                       Case{"color=c=black:size=64x48:rate=30", "yuv420p10le", 0},
                       // Monochrome streams carry no chroma at all: grey is what they show.
                       Case{"color=c=0x404040:size=64x48:rate=30", "gray", 64},
                       Case{"color=c=white:size=64x48:rate=30", "gray10le", 255}}) {
    SCOPED_TRACE(std::string(c.source) + " " + c.pixelFormat);
    const auto clip = fixture::encode(c.source, c.pixelFormat, 3);
    PD_REQUIRE_CLIP(clip);
    Session session("range");
    auto& [sink, decoder] = session;
    feed(decoder, *clip, 0, clip->pictures());
    decoder.waitForAsynchronousFrames();
    const auto frames = sink.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].width, 64);
    EXPECT_NEAR(frames[0].centreLuma, c.luma, 2);
    EXPECT_NEAR(frames[0].centreCb, 128, 2);
  }
}

TEST(HEVCDecoderTest, FramesCarryTheMatrixTheStreamSignals) {
  struct Case {
    const char* matrix;
    platform::media::ColorMatrix expected;
  };
  // An untagged stream is taken as BT.709.
  for (const Case c :
       {Case{"", platform::media::ColorMatrix::bt709}, Case{"bt601", platform::media::ColorMatrix::bt601},
        Case{"bt709", platform::media::ColorMatrix::bt709},
        Case{"bt2020", platform::media::ColorMatrix::bt2020NonConstant}}) {
    SCOPED_TRACE(std::string("matrix ") + c.matrix);
    const auto clip = fixture::testPattern(64, 48, 2, 30, {.singleKeyframe = false, .matrix = c.matrix});
    PD_REQUIRE_CLIP(clip);
    Session session("matrix");
    auto& [sink, decoder] = session;
    feed(decoder, *clip, 0, clip->pictures());
    decoder.waitForAsynchronousFrames();
    const auto frames = sink.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].matrix, c.expected);
  }
}

TEST(HEVCDecoderTest, RefusedFormatDescriptionIsTriedOnEveryUnitAndCountedPerStream) {
  const auto clip = fixture::testPattern(320, 240, 30, 30);
  PD_REQUIRE_CLIP(clip);
  const Bytes badSps{0x42, 0x01, 0x01, 0xFF, 0xFF}; // sub-layers 7: no SPS of ours
  const Bytes broken = replacingUnit(clip->accessUnits[0], 33, badSps);
  VideoLines lines("fd1");
  {
    Sink sink;
    HEVCDecoder one(softwareOptions());
    one.setStreamTag("fd1");
    HEVCDecoder two(softwareOptions());
    two.setStreamTag("fd2");
    sink.attach(one);
    for (int i = 0; i < 4; ++i) one.decode(broken, 0);
    two.decode(broken, 0);
    one.waitForAsynchronousFrames();
    EXPECT_TRUE(sink.frames().empty());
  }
  EXPECT_EQ(lines.starting("format_desc_create_fail"),
            std::vector<std::string>{"format_desc_create_fail stream=fd1 os_status=-1 occurrences=1"});
  EXPECT_TRUE(lines.starting("decoder_create").empty());
  EXPECT_EQ(diagnostics::LogThrottle::shared().reset("format_desc_create_fail_fd1"), 4);
  EXPECT_EQ(diagnostics::LogThrottle::shared().reset("format_desc_create_fail_fd2"), 1);
}

TEST(HEVCDecoderTest, RefusedSubmissionsAreCountedAndTheirRecoveryLogged) {
  const auto clip = fixture::testPattern(320, 240, 30, 30);
  PD_REQUIRE_CLIP(clip);
  // A slice whose header names picture parameter set 63, which the stream never sent:
  // first_slice_segment_in_pic_flag 1, slice_pic_parameter_set_id ue(63), stop bit.
  const Bytes badUnit = fixture::lengthPrefixed({{0x02, 0x01, 0x81, 0x02}});

  for (const int failures : {1, 3}) {
    const std::string tag = "submit" + std::to_string(failures);
    VideoLines lines(tag);
    Session session(tag);
    auto& [sink, decoder] = session;
    decoder.decode(clip->accessUnits[0], 0);
    for (int i = 0; i < failures; ++i) decoder.decode(badUnit, 0);
    decoder.decode(clip->accessUnits[1], 1);
    decoder.waitForAsynchronousFrames();
    ASSERT_EQ(lines.starting("decode_fail").size(), 1u) << tag;
    EXPECT_TRUE(lines.starting("decode_fail")[0].starts_with("decode_fail stream=" + tag + " os_status=-")) << tag;
    if (failures == 1) EXPECT_TRUE(lines.starting("decode_recovered").empty());
    else
      EXPECT_EQ(lines.starting("decode_recovered"),
                std::vector<std::string>{"decode_recovered stream=" + tag + " after=3"});
    EXPECT_EQ(sink.epochs(), (std::vector<std::uint64_t>{0, 1}));
  }
}

// A window that starts off the decoder's alignment, six columns in, is shown exactly: at its size,
// with the samples inside it and none from its left.
TEST(HEVCDecoderTest, TheConformanceWindowIsShownToTheSampleWhereverItStarts) {
  const auto clip = fixture::testPattern(64, 48, 2, 30);
  PD_REQUIRE_CLIP(clip);
  const auto windowed = fixture::withWindow(*clip, {.left = 6, .right = 2, .top = 4, .bottom = 2});
  ASSERT_TRUE(windowed);
  const auto decodeAll = [](const Clip& source) {
    std::mutex mutex;
    std::vector<platform::media::VideoFramePtr> frames;
    {
      HEVCDecoder decoder(softwareOptions());
      decoder.setOnDecodedPixelBuffer([&](platform::media::VideoFramePtr frame, std::uint64_t) {
        std::scoped_lock lock(mutex);
        frames.push_back(std::move(frame));
      });
      feed(decoder, source, 0, source.pictures());
    }
    return frames;
  };
  const auto whole = decodeAll(*clip);
  const auto shown = decodeAll(*windowed);
  ASSERT_EQ(whole.size(), 2u);
  ASSERT_EQ(shown.size(), 2u);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const platform::media::VideoFrame& in = *whole[i];
    const platform::media::VideoFrame& out = *shown[i];
    ASSERT_EQ(std::make_pair(out.width(), out.height()), std::make_pair(56, 42));
    for (std::size_t y = 0; y < 42; ++y)
      for (std::size_t x = 0; x < 56; ++x)
        ASSERT_EQ(out.luma()[y * out.lumaStride() + x], in.luma()[(y + 4) * in.lumaStride() + x + 6]) << x << "," << y;
    for (std::size_t y = 0; y < 21; ++y)
      for (std::size_t x = 0; x < 56; ++x)
        ASSERT_EQ(out.chroma()[y * out.chromaStride() + x], in.chroma()[(y + 2) * in.chromaStride() + x + 6])
            << x << "," << y;
  }
}

TEST(HEVCDecoderTest, TheFixtureStreamReadsAsItWasEncoded) {
  const auto clip = fixture::encode("testsrc2=size=176x100:rate=30", "yuv420p10le", 1);
  PD_REQUIRE_CLIP(clip);
  const auto sps = readSequenceParameterSet(unitOf(clip->accessUnits[0], 33));
  ASSERT_TRUE(sps);
  EXPECT_EQ(sps->width, 176u);
  EXPECT_EQ(sps->height, 100u);
  EXPECT_EQ(sps->codedHeight % 8, 0u);
  EXPECT_EQ(sps->bitDepthLuma, 10);
  EXPECT_EQ(sps->profileIdc, 2); // Main 10
}

} // namespace
} // namespace pd::video
