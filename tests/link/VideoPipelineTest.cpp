// The link manager's video side against a fake link: pipeline set-up per mode, the gate and the
// nudge in front of the reassembly, statistics, the decoded-frame hand-off with its drop rules,
// and real HEVC streams decoded from datagrams.

#include "LinkTestSupport.hpp"

#include "HEVCFixture.hpp"
#include "runtime/Clock.hpp"
#include "tablet-emulator/VideoDatagram.hpp"
#include "video/HEVCDecoder.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <thread>

namespace pd::link {

std::vector<std::string> NetworkManagerForMacTestAccess::decoderTags(Manager& m) {
  return onQueue(m, [](Manager& s) {
    std::vector<std::string> tags;
    for (const auto& [stream, decoder] : s.ingest_.decoders()) tags.push_back(decoder->streamTag());
    return tags;
  });
}

namespace test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Source = NetworkManagerForMac::StaleEpochSource;
using platform::media::VideoFrame;
using platform::media::VideoFramePtr;

VideoFramePtr frameOf(int width, int height) { return VideoFrame::allocate(width, height); }

Bytes singleFragment(std::uint64_t sequence, std::uint8_t stream, const Bytes& payload = {}) {
  auto result = tools::tablet::fragmentAccessUnit(payload, stream, sequence, 1'265);
  return result.datagrams.at(0);
}

class VideoPipelineTest : public ManagerFixture {
protected:
  VideoPipelineTest() { TA::drainQueue(*manager); }

  std::uint64_t generation() { return TA::generation(*manager); }

  // Every access unit of the clip, as the tablet cuts it, through the receive path.
  void stream(const video::fixture::Clip& clip, std::uint8_t streamID, std::uint64_t firstSequence) {
    std::uint64_t sequence = firstSequence;
    const std::uint64_t decodedBefore = manager->decodedFrameCount(streamID);
    for (const auto& unit : clip.accessUnits) {
      const auto cut = tools::tablet::fragmentAccessUnit(unit, streamID, sequence++, 1'265);
      ASSERT_EQ(cut.error, tools::tablet::FragmentResult::Error::none);
      for (const auto& datagram : cut.datagrams) TA::handleVideo(*manager, datagram);
      // Faster than real time, but never more than the decoder's queue holds.
      const std::uint64_t submitted = sequence - firstSequence;
      const auto deadline = std::chrono::steady_clock::now() + 10s;
      while (submitted > manager->decodedFrameCount(streamID) - decodedBefore + 8 &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    }
  }

  std::optional<video::fixture::Clip> clip(int width, int height, int frames) {
    auto made = video::fixture::testPattern(width, height, frames, 30);
    if (!made && video::fixture::encoderRequired()) ADD_FAILURE() << "ffmpeg with libx265 is required";
    return made;
  }
};

TEST_F(VideoPipelineTest, EachModeGetsItsDecodersAndActiveStreams) {
  EXPECT_EQ(TA::decoderTags(*manager), (std::vector<std::string>{"0"}));
  EXPECT_EQ(TA::activeStreams(*manager), (std::set<std::uint8_t>{0}));

  connectReady(tablet("Tab", {loopback()}));
  TA::enqueueDecodedFrame(*manager, frameOf(16, 16), 0, generation());
  settle();
  ASSERT_NE(manager->receivedPixelBuffer.get(), nullptr);
  manager->isSyphonRunning.set(true);

  LogWindow log;
  manager->applyStreamMode(StreamMode::raw);
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  EXPECT_FALSE(manager->isSyphonRunning.get());
  EXPECT_TRUE(log.has("pipeline_configure mode=raw streams=1/2"));
  EXPECT_EQ(TA::decoderTags(*manager), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(TA::activeStreams(*manager), (std::set<std::uint8_t>{1, 2}));

  manager->applyStreamMode(StreamMode::mix);
  EXPECT_TRUE(log.has("pipeline_configure mode=mix streams=0"));
  EXPECT_EQ(TA::decoderTags(*manager), (std::vector<std::string>{"0"}));
  EXPECT_EQ(TA::activeStreams(*manager), (std::set<std::uint8_t>{0}));
}

TEST_F(VideoPipelineTest, TheNewestFrameOfAStreamWinsAndOnlyItsOwnBufferChanges) {
  connectReady(tablet("Tab", {loopback()}));
  manager->applyStreamMode(StreamMode::raw);
  settle();
  const VideoFramePtr b = frameOf(32, 16);
  TA::enqueueDecodedFrame(*manager, b, 2, generation());
  settle();
  ASSERT_EQ(manager->receivedPixelBufferB.get(), b);

  const VideoFramePtr first = frameOf(16, 16);
  const VideoFramePtr second = frameOf(16, 16);
  std::vector<VideoFramePtr> shown;
  boost::signals2::scoped_connection watch =
      manager->receivedPixelBufferA.changed().connect([&](const VideoFramePtr& frame) { shown.push_back(frame); });
  TA::enqueueDecodedFrame(*manager, first, 1, generation());
  EXPECT_TRUE(TA::isFlushScheduled(*manager));
  TA::enqueueDecodedFrame(*manager, second, 1, generation());
  settle();
  EXPECT_FALSE(TA::isFlushScheduled(*manager));
  EXPECT_EQ(shown, (std::vector<VideoFramePtr>{second}));
  EXPECT_EQ(manager->receivedPixelBufferB.get(), b);
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  EXPECT_EQ(manager->decodedFrameCount(1), 2u);
}

TEST_F(VideoPipelineTest, DropRulesComeInOrderInactiveStaleThenDisconnected) {
  LogWindow log;
  // No connection and no peer: dropped.
  TA::enqueueDecodedFrame(*manager, frameOf(16, 16), 0, generation());
  settle();
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  EXPECT_TRUE(log.has("frame_drop reason=disconnected stream=0"));

  // A connection object without a listed peer is enough.
  manager->connect(tablet("Tab", {loopback()}), loopback());
  ASSERT_TRUE(manager->connectedPeers.get().empty());
  const VideoFramePtr shown = frameOf(16, 16);
  TA::enqueueDecodedFrame(*manager, shown, 0, generation());
  settle();
  EXPECT_EQ(manager->receivedPixelBuffer.get(), shown);

  // An old epoch is dropped and counted (the first count is reported at once).
  TA::enqueueDecodedFrame(*manager, frameOf(16, 16), 0, generation() - 1);
  settle();
  EXPECT_EQ(manager->receivedPixelBuffer.get(), shown);
  EXPECT_TRUE(log.has("frame_drop reason=stale_epoch stream=0 frame_gen=" + std::to_string(generation() - 1) +
                      " current_gen=" + std::to_string(generation())));
  EXPECT_TRUE(log.has("stale_epoch_stats source=display stream=0 dropped=1"));

  // Inactive wins over stale, and is not counted as stale.
  manager->applyStreamMode(StreamMode::raw);
  LogWindow afterChange;
  TA::enqueueDecodedFrame(*manager, frameOf(16, 16), 0, generation() - 1);
  settle();
  EXPECT_TRUE(afterChange.has("frame_drop reason=inactive_stream stream=0"));
  EXPECT_FALSE(afterChange.has("frame_drop reason=stale_epoch"));
  EXPECT_EQ(TA::staleDrops(*manager, Source::display, 0), 0);
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
}

TEST_F(VideoPipelineTest, ClearingWhileAFlushIsScheduledLeavesItNothingAndTheNextFrameSchedulesAgain) {
  connectReady(tablet("Tab", {loopback()}));
  TA::enqueueDecodedFrame(*manager, frameOf(16, 16), 0, generation());
  manager->clearPendingFrames();
  EXPECT_TRUE(TA::isFlushScheduled(*manager));
  settle();
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  EXPECT_FALSE(TA::isFlushScheduled(*manager));

  const VideoFramePtr next = frameOf(16, 16);
  TA::enqueueDecodedFrame(*manager, next, 0, generation());
  EXPECT_TRUE(TA::isFlushScheduled(*manager));
  settle();
  EXPECT_EQ(manager->receivedPixelBuffer.get(), next);
}

TEST_F(VideoPipelineTest, VersionGateDropsEverythingAndAnUnresolvedVersionNudgesTheHandshake) {
  runtime::ManualClock clock;
  runtime::ScopedClock installed(clock);
  auto& current = connectReady(tablet("Tab", {loopback()}));
  const auto handshakes = [&] {
    std::size_t count = 0;
    for (const auto& sent : current.sent()) {
      const auto message = nlohmann::json::parse(sent, nullptr, false);
      if (message.is_object() && message.value("type", "") == "handshake_request") ++count;
    }
    return count;
  };
  const std::size_t initial = handshakes();

  LogWindow log;
  TA::setVersionGate(*manager, true, true);
  TA::handleVideo(*manager, Bytes(3, 0x01)); // too short, but the gate comes first
  EXPECT_TRUE(log.has("frag_drop reason=version_gate"));
  EXPECT_FALSE(log.has("frag_invalid reason=too_short"));

  // Open but unresolved: video is reassembled and the handshake is repeated at most every 2 s.
  TA::setVersionGate(*manager, false, false);
  TA::handleVideo(*manager, singleFragment(1, 0));
  settle();
  EXPECT_EQ(handshakes(), initial + 1);
  clock.advance(std::chrono::milliseconds(1'500));
  TA::handleVideo(*manager, singleFragment(2, 0));
  settle();
  EXPECT_EQ(handshakes(), initial + 1);
  clock.advance(std::chrono::milliseconds(500));
  TA::handleVideo(*manager, singleFragment(3, 0));
  settle();
  EXPECT_EQ(handshakes(), initial + 2);
  EXPECT_EQ(log.count("frame_reassembled stream=0 seq=1 size_b=0 interval_ms=0.0"), 1u);
}

// The tablet numbers its frames afresh on a new connection: a frame left partial on the old one
// must not be completed by the new one's fragments of the same number, count and length.
TEST_F(VideoPipelineTest, ANewConnectionCompletesNoFrameLeftPartialByTheOldOne) {
  connectReady(tablet("Tab", {loopback()}));
  const auto old = tools::tablet::fragmentAccessUnit(Bytes(2'000, 0xAA), 0, 7, 1'265);
  const auto fresh = tools::tablet::fragmentAccessUnit(Bytes(2'000, 0xBB), 0, 7, 1'265);
  ASSERT_EQ(old.datagrams.size(), 2u);
  TA::handleVideo(*manager, old.datagrams.at(0));
  ASSERT_EQ(TA::partialFrames(*manager), 1u);

  // The acknowledgement never came: the attempt times out and the next one opens a new connection.
  TA::handleConnectionTimeout(*manager, generation());
  connectReady(tablet("Tab", {loopback()}));
  TA::handleVideo(*manager, fresh.datagrams.at(1));
  EXPECT_EQ(TA::partialFrames(*manager), 1u);
  TA::handleVideo(*manager, fresh.datagrams.at(0));
  EXPECT_EQ(TA::partialFrames(*manager), 0u);
}

TEST_F(VideoPipelineTest, EveryPictureOfAClipIsDecodedFromDatagramsWithItsSize) {
  const auto small = clip(160, 96, 30);
  if (!small) GTEST_SKIP() << "ffmpeg with libx265 is missing";
  connectReady(tablet("Tab", {loopback()}));
  LogWindow log;
  stream(*small, 0, 1);
  runUntil([&] { return manager->decodedFrameCount(0) == small->pictures(); });
  runUntil([&] { return manager->receivedPixelBuffer.get() != nullptr; });
  EXPECT_EQ(manager->receivedPixelBuffer.get()->width(), 160);
  EXPECT_EQ(manager->receivedPixelBuffer.get()->height(), 96);
  EXPECT_EQ(TA::partialFrames(*manager), 0u);

  // New parameter sets on the same stream: the decoder is rebuilt and keeps every picture.
  const auto larger = clip(192, 108, 30);
  ASSERT_TRUE(larger);
  stream(*larger, 0, 1'000);
  runUntil([&] { return manager->decodedFrameCount(0) == small->pictures() + larger->pictures(); });
  runUntil([&] { return manager->receivedPixelBuffer.get() && manager->receivedPixelBuffer.get()->width() == 192; });
  EXPECT_EQ(manager->receivedPixelBuffer.get()->height(), 108);
  EXPECT_TRUE(log.has("param_set_changed stream=0 kind=sps"));
  TA::drainQueue(*manager);
  EXPECT_EQ(manager->decodedFrameCount(0), small->pictures() + larger->pictures());
}

TEST_F(VideoPipelineTest, ModeChangeHandsOnTheFramesInFlightAndShowsNoneOfThem) {
  const auto small = clip(160, 96, 30);
  if (!small) GTEST_SKIP() << "ffmpeg with libx265 is missing";
  connectReady(tablet("Tab", {loopback()}));
  LogWindow log;
  // The main thread does not run while the stream goes in: everything decoded waits for it.
  stream(*small, 0, 1);
  manager->applyStreamMode(StreamMode::raw);
  // The old decoder's reset hands on what it still had before the new ones are installed.
  TA::drainQueue(*manager);
  EXPECT_EQ(manager->decodedFrameCount(0), small->pictures());
  settle();
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  EXPECT_TRUE(log.has("decoder_reset stream=0"));
  // Stream 0 is no longer taken in.
  TA::handleVideo(*manager, singleFragment(99, 0));
  EXPECT_TRUE(log.has("frag_drop reason=inactive_stream stream=0"));
}

} // namespace
} // namespace test
} // namespace pd::link
