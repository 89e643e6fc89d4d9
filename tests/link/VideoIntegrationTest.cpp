// The video path end to end: a private avahi-daemon on loopback, the tablet emulator streaming a
// 1280x720 30 fps HEVC clip as datagrams, and the link manager decoding it. Mixed first, then
// the two raw decks; in between a new link session and a reconnect. A private PipeWire daemon
// takes the decks' frames: their nodes are listed, and a consumer receives what the tablet sent.

#include "HEVCFixture.hpp"
#include "LinkIntegrationSupport.hpp"
#include "PipeWireTestDaemon.hpp"
#include "TestConsumer.hpp"
#include "video/HEVCDecoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace pd::link::test {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kPictures = 60; // two seconds, two keyframes

class VideoIntegrationTest : public LinkIntegrationTest {
protected:
  void SetUp() override {
    LinkIntegrationTest::SetUp();
    if (HasFatalFailure() || IsSkipped()) return;
    PD_REQUIRE_PIPEWIRE(pipeWire_);
    platform::log::setDebugEnabled(true);
  }

  // Before the manager: it opens the session's daemon, here this one.
  pd::testing::PipeWireTestDaemon pipeWire_;

  void runFor(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    (void)runUntil([&] { return std::chrono::steady_clock::now() >= end; }, duration + 1s);
  }
  // Datagrams the kernel dropped at this process's UDP sockets, their buffers full: what a
  // receiver starved of the processor loses before it can read.
  static std::uint64_t udpReceiveDrops() {
    std::set<std::string> sockets;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
      const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
      if (target.starts_with("socket:[")) sockets.insert(target.substr(8, target.size() - 9));
    }
    std::uint64_t drops = 0;
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
      for (const auto& socket : kernelUdpSockets(table)) {
        if (sockets.contains(socket.inode)) drops += socket.drops;
      }
    }
    return drops;
  }
  // The frames the emulator has sent since it started.
  std::uint64_t framesSent(Emulator& emulator) {
    emulator.command("stats");
    const auto stats = emulator.waitFor("stats", [&] { pump(); });
    return stats ? (*stats)["stats"].value("framesSent", std::uint64_t{0}) : std::uint64_t{0};
  }
  // Streams in `mode` until the emulator has sent the whole clip on every stream of the mode,
  // stops, and returns the frames sent. The emulator keeps its own pace, which a busy machine
  // slows down: the clip's length on this process's clock may not be enough.
  std::uint64_t streamOnePass(Emulator& emulator, const std::string& mode) {
    const std::uint64_t dropsBefore = udpReceiveDrops();
    const std::uint64_t wanted =
        framesSent(emulator) + (mode == "raw" ? 2u : 1u) * static_cast<std::uint64_t>(kPictures);
    emulator.command("stream start " + mode + " 30");
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (framesSent(emulator) < wanted && std::chrono::steady_clock::now() < deadline) runFor(50ms);
    emulator.command("stream stop");
    const auto sent = emulator.waitFor("datagrams_sent", [&] { pump(); });
    kernelDrops_ = udpReceiveDrops() - dropsBefore;
    if (!sent) return 0;
    EXPECT_EQ((*sent)["failed"], 0);
    return (*sent)["frames"].get<std::uint64_t>();
  }
  // Every frame sent on `stream` in the last pass is decoded, unless the machine was too slow:
  // then the kernel drops datagrams at the full socket, or the decoder sheds access units at its
  // queue and says so, and only part of them is. True when it was too slow.
  bool expectEveryFrameDecoded(const NetworkManagerForMac& manager, std::uint8_t stream, std::uint64_t sent,
                               const LogWindow& log) {
    const std::string shedLine = "decode_drop reason=queue_full stream=" + std::to_string(stream);
    const auto shed = [&] { return kernelDrops_ > 0 || log.has(shedLine); };
    EXPECT_TRUE(runUntil([&] { return manager.decodedFrameCount(stream) >= sent || shed(); }, 10s));
    if (!shed()) {
      EXPECT_EQ(manager.decodedFrameCount(stream), sent) << "stream " << int{stream};
      return false;
    }
    EXPECT_LE(manager.decodedFrameCount(stream), sent) << kernelDrops_ << " datagrams dropped by the kernel";
    return true;
  }
  std::uint64_t kernelDrops_ = 0; // in the last pass

  // A manager linked over loopback to the emulator published under `name`.
  std::shared_ptr<NetworkManagerForMac> linkedManager(Emulator& emulator, const std::string& name,
                                                      std::optional<platform::bonjour::BrowseResult>& tablet) {
    auto dependencies = integrationDependencies("Video Mac");
    dependencies.syphonServerName = [] { return std::string("Palendrix Zuvudiv"); };
    auto manager = browsingManager(std::move(dependencies));
    if (!manager) {
      ADD_FAILURE() << "the browser did not start";
      return manager;
    }
    EXPECT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
    EXPECT_TRUE(runUntil([&] { return (tablet = listedTablet(*manager, name)).has_value(); }, 10s));
    if (!tablet) return manager;
    manager->connect(*tablet, kLoopback);
    EXPECT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 10s));
    return manager;
  }

  static inline const platform::net::Interface kLoopback{"lo", 1, platform::net::InterfaceType::loopback};
};

TEST_F(VideoIntegrationTest, EveryFrameIsDecodedInMixAndRawModeAndOldEpochsAreDropped) {
  const auto clip = video::fixture::testPattern(kWidth, kHeight, kPictures, 30);
  if (!clip) {
    if (testing::PrivateAvahi::requiredByCi()) FAIL() << "ffmpeg with libx265 could not make the video clip";
    GTEST_SKIP() << "ffmpeg with libx265 could not make the video clip";
  }
  ASSERT_EQ(clip->pictures(), static_cast<std::size_t>(kPictures));
  const std::string name = "Video Tablet " + std::to_string(::getpid());
  Emulator emulator({"--interface", "lo", "--name", name, "--video", clip->file});
  std::optional<platform::bonjour::BrowseResult> tablet;
  auto manager = linkedManager(emulator, name, tablet);
  ASSERT_FALSE(HasFailure());
  const platform::net::Interface& lo = kLoopback;

  // Mixed output: every frame sent is decoded and shown at the clip's size.
  const LogWindow decoding;
  const std::uint64_t mixFrames = streamOnePass(emulator, "mix");
  ASSERT_GE(mixFrames, static_cast<std::uint64_t>(kPictures));
  expectEveryFrameDecoded(*manager, 0, mixFrames, decoding);
  ASSERT_TRUE(runUntil([&] { return manager->receivedPixelBuffer.get() != nullptr; }, 5s));
  EXPECT_EQ(manager->receivedPixelBuffer.get()->width(), kWidth);
  EXPECT_EQ(manager->receivedPixelBuffer.get()->height(), kHeight);

  // A new link session while decoded frames wait for the main thread: they carry the old epoch
  // and are not shown.
  LogWindow log;
  emulator.command("stream start mix 30");
  const std::uint64_t mixDecoded = manager->decodedFrameCount(0);
  ASSERT_TRUE(runUntil([&] { return manager->decodedFrameCount(0) > mixDecoded; }, 5s));
  const auto shownBefore = manager->receivedPixelBuffer.get();
  // The main thread stands still until the decoder hands over one more frame, which then waits
  // for it under the old epoch.
  const std::uint64_t handedOver = manager->decodedFrameCount(0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (manager->decodedFrameCount(0) == handedOver && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GT(manager->decodedFrameCount(0), handedOver);
  manager->beginLinkSession();
  EXPECT_TRUE(runUntil([&] { return log.has("frame_drop reason=stale_epoch stream=0"); }, 5s));
  EXPECT_EQ(manager->receivedPixelBuffer.get(), shownBefore);

  // Reconnecting starts yet another session; its frames are shown again.
  manager->selectInterface(*tablet, lo);
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  ASSERT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 10s));
  EXPECT_TRUE(runUntil([&] { return manager->receivedPixelBuffer.get() != nullptr; }, 10s));
  emulator.command("stream stop");
  ASSERT_TRUE(emulator.waitFor("datagrams_sent", [&] { pump(); }));

  // Raw output: both decks, each frame decoded on its own stream.
  emulator.command("local-mode raw");
  manager->applyStreamMode(StreamMode::raw);
  runFor(200ms);
  // The decks are shared as two nodes, and deck B goes to a consumer while the tablet streams.
  std::optional<std::uint32_t> nodeB;
  ASSERT_TRUE(runUntil([&] { return (nodeB = TA::syphonNodeId(*manager, 2)).has_value(); }, 5s));
  const std::string nodes = pd::testing::runTool("pw-cli ls Node");
  EXPECT_NE(nodes.find("node.name = \"Palendrix Zuvudiv A\""), std::string::npos) << nodes;
  EXPECT_NE(nodes.find("node.name = \"Palendrix Zuvudiv B\""), std::string::npos) << nodes;
  pd::testing::TestConsumer consumer(pd::testing::TestConsumer::Format::nv12, *nodeB);
  const std::uint64_t rawFrames = streamOnePass(emulator, "raw");
  ASSERT_GE(rawFrames, 2u * kPictures);
  const bool slowA = expectEveryFrameDecoded(*manager, 1, rawFrames / 2, decoding);
  const bool slowB = expectEveryFrameDecoded(*manager, 2, rawFrames / 2, decoding);
  ASSERT_TRUE(runUntil([&] { return manager->receivedPixelBufferA.get() && manager->receivedPixelBufferB.get(); }, 5s));
  EXPECT_EQ(manager->receivedPixelBufferA.get()->width(), kWidth);
  EXPECT_EQ(manager->receivedPixelBufferB.get()->height(), kHeight);
  EXPECT_EQ(manager->receivedPixelBuffer.get(), nullptr);
  const auto shared = consumer.snapshot();
  EXPECT_GT(shared.frames, slowA || slowB ? 0 : kPictures / 2) << "deck B's frames reach the consumer";
  EXPECT_EQ(shared.width, static_cast<std::uint32_t>(kWidth));
  EXPECT_EQ(shared.height, static_cast<std::uint32_t>(kHeight));
  EXPECT_TRUE(manager->isSyphonRunning.get());

  emulator.command("quit");
  EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
}

// A tablet whose encoder sent its only sync picture long ago: joined 3 s into such a stream, the
// receiver shows it within a little more than the decoder's grace.
TEST_F(VideoIntegrationTest, AStreamJoinedAfterItsOnlySyncPictureReachesTheHandOffWithinTheGrace) {
  const auto clip = video::fixture::testPattern(320, 180, 180, 30, {.singleKeyframe = true, .matrix = {}});
  if (!clip) {
    if (testing::PrivateAvahi::requiredByCi()) FAIL() << "ffmpeg with libx265 could not make the video clip";
    GTEST_SKIP() << "ffmpeg with libx265 could not make the video clip";
  }
  const std::string name = "Join Tablet " + std::to_string(::getpid());
  Emulator emulator({"--interface", "lo", "--name", name, "--video", clip->file, "--start-at", "3"});
  std::optional<platform::bonjour::BrowseResult> tablet;
  auto manager = linkedManager(emulator, name, tablet);
  ASSERT_FALSE(HasFailure());

  LogWindow log;
  emulator.command("stream start mix 30");
  ASSERT_TRUE(runUntil([&] { return manager->decodedFrameCount(0) > 0; }, 5s)) << "no picture without a sync picture";
  // At 30 pictures a second the grace's time bound ends it at about the 30th held picture, its
  // count bound only at the 60th. The decoder's count is taken as the pictures reach it, so a
  // slow test thread or emulator does not add to it.
  const std::string started = "decode_start reason=no_sync_picture stream=0 held=";
  const auto lines = log.lines();
  const auto line =
      std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(started); });
  ASSERT_NE(line, lines.end());
  EXPECT_LT(std::stol(line->substr(started.size())), video::HEVCDecoder::kRandomAccessGracePictures) << *line;
  EXPECT_TRUE(runUntil([&] { return manager->receivedPixelBuffer.get() != nullptr; }, 5s));

  emulator.command("quit");
  EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
}

} // namespace
} // namespace pd::link::test
