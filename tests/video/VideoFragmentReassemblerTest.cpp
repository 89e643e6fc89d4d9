// The fragment reader and reassembly on their own: header checks in their order, joins, purges,
// the sweep and the bounds on a sender that does not keep to the format.

#include "video/VideoFragmentReassembler.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <vector>

namespace pd::video::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using R = VideoFragmentReassembler;
using pd::testing::LogWindow;

Bytes datagram(std::uint64_t sequence, std::uint8_t index, std::uint8_t total, std::uint32_t nalLength,
               std::uint8_t stream, const Bytes& payload = {}) {
  Bytes bytes(R::kHeaderSize);
  for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence >> (56 - 8 * i));
  bytes[8] = index;
  bytes[9] = total;
  for (int i = 0; i < 4; ++i)
    bytes[static_cast<std::size_t>(10 + i)] = static_cast<std::uint8_t>(nalLength >> (24 - 8 * i));
  bytes[14] = stream;
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

struct Delivered {
  std::uint8_t stream;
  std::uint64_t sequence;
  Bytes frame;
};

class Recorder final : public R::Listener {
public:
  void fragmentAccepted(const R::Header&, std::size_t) override { ++accepted; }
  void frameLost(std::uint8_t stream) override { lost.push_back(stream); }
  void frameComplete(std::uint8_t stream, std::uint64_t sequence, std::span<const std::uint8_t> frame) override {
    delivered.push_back({stream, sequence, Bytes(frame.begin(), frame.end())});
  }
  int accepted = 0;
  std::vector<std::uint8_t> lost;
  std::vector<Delivered> delivered;
};

class ReassemblerTest : public ::testing::Test {
protected:
  ReassemblerTest() {
    platform::log::setDebugEnabled(true);
    // The process's throttle outlives a case: each case counts its lines from the first, with
    // the interval since any earlier case's lines long past.
    clock_.advance(std::chrono::seconds(1));
    for (const char* key : {"frag_invalid_short", "frag_drop_mode", "frag_invalid_index", "frag_invalid_nal",
                            "frag_invalid_mismatch", "frag_invalid_overflow", "frag_missing_0", "frag_missing_1",
                            "frag_missing_2", "frag_sweep", "frag_drop_partial_limit"})
      diagnostics::LogThrottle::shared().reset(key);
  }
  void feed(const Bytes& bytes, double at = 100.0) { reassembler.handle(bytes, at, active, recorder); }

  // One clock for every case: the throttle's times must only move forward.
  static runtime::ManualClock& sharedClock() {
    static runtime::ManualClock clock;
    return clock;
  }
  runtime::ManualClock& clock_ = sharedClock();
  runtime::ScopedClock scopedClock_{clock_};
  R reassembler;
  Recorder recorder;
  std::set<std::uint8_t> active{0, 1, 2};
};

TEST_F(ReassemblerTest, HeaderChecksComeInTheirOrder) {
  LogWindow log;
  feed(Bytes(14, 0x00));
  EXPECT_EQ(log.count("frag_invalid reason=too_short size_b=14"), 1u);

  // An inactive stream is dropped as such before its bad index and length are looked at.
  active = {0};
  feed(datagram(1, 5, 0, 400'000, 2));
  EXPECT_EQ(log.count("frag_drop reason=inactive_stream stream=2"), 1u);
  EXPECT_FALSE(log.has("frag_invalid reason=bad_index"));

  feed(datagram(1, 0, 0, 10, 0)); // count 0, even with index 0
  feed(datagram(2, 255, 255, 10, 0)); // index 255 never fits
  feed(datagram(3, 3, 3, 10, 0));
  EXPECT_TRUE(log.has("frag_invalid reason=bad_index stream=0 seq=1 idx=0 total=0 occurrences=1"));
  EXPECT_EQ(diagnostics::LogThrottle::shared().reset("frag_invalid_index"),
            3); // the others fall within the line's interval

  feed(datagram(4, 0, 2, 322'576, 0, {1})); // too large whatever the payload
  EXPECT_TRUE(log.has("frag_invalid reason=nal_too_large stream=0 seq=4 nal_b=322576"));
  EXPECT_EQ(recorder.accepted, 0);
  EXPECT_EQ(reassembler.partialFrameCount(), 0u);
}

TEST_F(ReassemblerTest, FifteenBytesMakeAnEmptyFrameAndTheLargestLengthPasses) {
  feed(datagram(7, 0, 1, 0, 1));
  ASSERT_EQ(recorder.delivered.size(), 1u);
  EXPECT_EQ(recorder.delivered[0].stream, 1);
  EXPECT_EQ(recorder.delivered[0].sequence, 7u);
  EXPECT_TRUE(recorder.delivered[0].frame.empty());

  // 322,575 is accepted; the joined length is not compared with it.
  feed(datagram(8, 0, 2, 322'575, 1, {1, 2}));
  feed(datagram(8, 1, 2, 322'575, 1, {3}));
  ASSERT_EQ(recorder.delivered.size(), 2u);
  EXPECT_EQ(recorder.delivered[1].frame, (Bytes{1, 2, 3}));

  // The full 64-bit sequence comes through.
  feed(datagram(0xFFFF'FFFF'FFFF'FFFEull, 0, 1, 1, 2, {9}));
  EXPECT_EQ(recorder.delivered.back().sequence, 0xFFFF'FFFF'FFFF'FFFEull);
}

TEST_F(ReassemblerTest, FragmentsJoinInIndexOrderAndDuplicatesReplaceWithoutCompleting) {
  feed(datagram(5, 2, 3, 9, 0, {7, 8, 9}));
  feed(datagram(5, 0, 3, 9, 0, {0, 0, 0}));
  feed(datagram(5, 0, 3, 9, 0, {1, 2, 3})); // a repeat replaces the stored slice
  feed(datagram(5, 2, 3, 9, 0, {7, 8, 9})); // and does not count twice
  EXPECT_TRUE(recorder.delivered.empty());
  feed(datagram(5, 1, 3, 9, 0, {4, 5, 6}));
  ASSERT_EQ(recorder.delivered.size(), 1u);
  EXPECT_EQ(recorder.delivered[0].frame, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(reassembler.partialFrameCount(), 0u);

  // No memory of completed frames: the same single fragment twice is two frames, and a late
  // fragment of a delivered frame opens a new record.
  feed(datagram(6, 0, 1, 1, 0, {1}));
  feed(datagram(6, 0, 1, 1, 0, {1}));
  EXPECT_EQ(recorder.delivered.size(), 3u);
  feed(datagram(5, 1, 3, 9, 0, {4, 5, 6}));
  EXPECT_TRUE(reassembler.hasPartialFrame(0, 5));
  // The same sequence on another stream is another frame.
  feed(datagram(5, 0, 1, 1, 2, {1}));
  EXPECT_EQ(recorder.delivered.back().stream, 2);
  EXPECT_TRUE(reassembler.hasPartialFrame(0, 5));
}

TEST_F(ReassemblerTest, HeaderMismatchDiscardsThePartialFrameAndTheNextFragmentStartsAfresh) {
  LogWindow log;
  feed(datagram(9, 0, 3, 30, 1, {1}));
  feed(datagram(9, 1, 3, 31, 1, {2})); // other length
  EXPECT_TRUE(log.has("frag_invalid reason=header_mismatch stream=1 seq=9"));
  EXPECT_FALSE(reassembler.hasPartialFrame(1, 9));
  feed(datagram(9, 1, 2, 31, 1, {2}));
  feed(datagram(9, 0, 2, 31, 1, {1}));
  ASSERT_EQ(recorder.delivered.size(), 1u);
  EXPECT_EQ(recorder.delivered[0].frame, (Bytes{1, 2}));
  EXPECT_TRUE(recorder.lost.empty()); // a mismatch is not a lost frame
}

TEST_F(ReassemblerTest, FinishingAFramePurgesOnlyItsOwnStreamMoreThanAHundredBehind) {
  for (const std::uint64_t sequence : {10ull, 149ull, 150ull, 260ull}) feed(datagram(sequence, 0, 2, 2, 1, {1}));
  feed(datagram(10, 0, 2, 2, 2, {1}));
  feed(datagram(250, 0, 1, 0, 1));
  EXPECT_FALSE(reassembler.hasPartialFrame(1, 10));
  EXPECT_FALSE(reassembler.hasPartialFrame(1, 149));
  EXPECT_TRUE(reassembler.hasPartialFrame(1, 150));
  EXPECT_TRUE(reassembler.hasPartialFrame(1, 260));
  EXPECT_TRUE(reassembler.hasPartialFrame(2, 10));
  EXPECT_TRUE(recorder.lost.empty()); // purged frames are not counted

  // A discarded frame purges as well; below 100 nothing goes.
  feed(datagram(400, 0, 2, 2, 2, {1}));
  feed(datagram(400, 0, 3, 2, 2, {1})); // mismatch at 400
  EXPECT_FALSE(reassembler.hasPartialFrame(2, 10));
  feed(datagram(5, 0, 2, 2, 0, {1}));
  feed(datagram(99, 0, 1, 0, 0));
  EXPECT_TRUE(reassembler.hasPartialFrame(0, 5));
}

TEST_F(ReassemblerTest, SweepDropsFramesOlderThanThreeSecondsAtMostOncePerSecond) {
  LogWindow log;
  feed(datagram(1, 0, 2, 2, 0, {1}), 100.0); // the first sweep runs here and finds nothing stale
  feed(datagram(2, 0, 2, 2, 1, {1}), 102.0);
  feed(datagram(3, 0, 2, 2, 0, {1}), 103.0); // a sweep: 3.0 s exactly is not older than 3.0 s
  EXPECT_TRUE(reassembler.hasPartialFrame(0, 1));
  feed(datagram(4, 0, 2, 2, 0, {1}), 103.5); // stale now, but the last sweep was 0.5 s ago
  EXPECT_TRUE(reassembler.hasPartialFrame(0, 1));
  EXPECT_TRUE(recorder.lost.empty());
  feed(datagram(5, 0, 2, 2, 0, {1}), 104.1);
  EXPECT_FALSE(reassembler.hasPartialFrame(0, 1));
  EXPECT_TRUE(reassembler.hasPartialFrame(1, 2));
  EXPECT_EQ(recorder.lost, (std::vector<std::uint8_t>{0}));
  EXPECT_TRUE(log.has("frag_sweep dropped=1"));

  // The fragment that finishes a frame too late starts the sweep that takes that very frame.
  feed(datagram(2, 1, 2, 2, 1, {2}), 105.2);
  EXPECT_TRUE(recorder.delivered.empty());
  EXPECT_FALSE(reassembler.hasPartialFrame(1, 2));
  feed(datagram(2, 1, 2, 2, 1, {2}), 105.3); // a further one opens a fresh record
  EXPECT_TRUE(reassembler.hasPartialFrame(1, 2));
}

TEST_F(ReassemblerTest, TheAnnouncedLengthIsNoLimitButTheFormatsLargestFrameIs) {
  LogWindow log;
  // Announced without the length prefixes, or as the first unit only: the frame still joins.
  feed(datagram(1, 0, 2, 4, 0, {1, 2, 3}));
  feed(datagram(1, 1, 2, 4, 0, {4, 5, 6}));
  ASSERT_EQ(recorder.delivered.size(), 1u);
  EXPECT_EQ(recorder.delivered[0].frame, (Bytes{1, 2, 3, 4, 5, 6}));

  const Bytes half(R::kMaxFrameLength / 2, 7);
  feed(datagram(2, 0, 3, 10, 0, half));
  feed(datagram(2, 1, 3, 10, 0, half));
  feed(datagram(2, 2, 3, 10, 0, {1, 2})); // one byte past the largest frame
  EXPECT_TRUE(log.has("frag_invalid reason=frame_too_large stream=0 seq=2 idx=2 size_b=2"));
  // A repeat is measured against what it replaces, so the frame can still complete.
  feed(datagram(2, 0, 3, 10, 0, Bytes(half.size() - 1, 7)));
  feed(datagram(2, 2, 3, 10, 0, {1, 2}));
  ASSERT_EQ(recorder.delivered.size(), 2u);
  Bytes joined(R::kMaxFrameLength - 2, 7); // the largest frame, exactly
  joined.insert(joined.end(), {1, 2});
  EXPECT_EQ(recorder.delivered[1].frame, joined);
}

TEST_F(ReassemblerTest, AtTheBoundTheFrameIdleLongestGoesNotTheLowestSequence) {
  LogWindow log;
  // Sequences far apart, so that nothing is purged; all within one second, so nothing is swept.
  const auto sequenceOf = [](std::size_t i) { return 1'000'000 + 200 * static_cast<std::uint64_t>(i); };
  for (std::size_t i = 0; i < R::kMaxPartialFramesPerStream; ++i)
    feed(datagram(sequenceOf(i), 0, 3, 2, 1, {1}), 100.0 + 0.001 * static_cast<double>(i));
  feed(datagram(5, 0, 2, 2, 2, {1}), 100.3);
  // The lowest number was the last to hear from its sender: it stays, the next idlest goes.
  feed(datagram(sequenceOf(0), 1, 3, 2, 1, {1}), 100.4);
  EXPECT_TRUE(recorder.lost.empty());

  feed(datagram(1, 0, 2, 2, 1, {1}), 100.5);
  EXPECT_EQ(reassembler.partialFrameCount(), R::kMaxPartialFramesPerStream + 1);
  EXPECT_TRUE(reassembler.hasPartialFrame(1, sequenceOf(0)));
  EXPECT_FALSE(reassembler.hasPartialFrame(1, sequenceOf(1)));
  EXPECT_TRUE(reassembler.hasPartialFrame(1, 1));
  EXPECT_TRUE(reassembler.hasPartialFrame(2, 5)); // other streams keep theirs
  EXPECT_EQ(recorder.lost, (std::vector<std::uint8_t>{1}));
  EXPECT_TRUE(log.has("frag_drop reason=partial_limit stream=1 seq=" + std::to_string(sequenceOf(1))));
  // A fragment of a frame already held does not evict anything.
  feed(datagram(1, 0, 2, 2, 1, {1}), 100.6);
  EXPECT_EQ(recorder.lost.size(), 1u);

  reassembler.clear();
  EXPECT_EQ(reassembler.partialFrameCount(), 0u);
}

} // namespace
} // namespace pd::video::test
