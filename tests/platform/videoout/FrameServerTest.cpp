#include "PipeWireTestDaemon.hpp"
#include "TestConsumer.hpp"
#include "TestSupport.hpp"

#include "platform/log/Logger.hpp"
#include "platform/videoout/FrameServer.hpp"
#include "support/SolidFrame.hpp"

#include <gtest/gtest.h>
#include <pipewire/stream.h>

#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {
// How far ahead of the kernel's wall clock this program reads it. A deadline worked out on the
// clock read ahead is met by a kernel clock that is behind by as much: the clock was set back.
std::atomic<std::int64_t> wallAheadSeconds{0};
// How many of the next streams fail to connect, as they do when descriptors or memory run short.
std::atomic<int> streamConnectsToFail{0};
} // namespace

// Stands in for the C library's, for this program and the libraries it loads.
extern "C" int clock_gettime(clockid_t clock, timespec* time) noexcept {
  const auto result = ::syscall(SYS_clock_gettime, clock, time);
  if (result == 0 && clock == CLOCK_REALTIME) time->tv_sec += wallAheadSeconds.load();
  return static_cast<int>(result);
}

// Stands in for the library's, for this program.
extern "C" int pw_stream_connect(pw_stream* stream, pw_direction direction, std::uint32_t target, pw_stream_flags flags,
                                 const spa_pod** params, std::uint32_t count) {
  using Connect = int (*)(pw_stream*, pw_direction, std::uint32_t, pw_stream_flags, const spa_pod**, std::uint32_t);
  static const auto real = std::bit_cast<Connect>(::dlsym(RTLD_NEXT, "pw_stream_connect"));
  for (int left = streamConnectsToFail.load(); left > 0;) {
    if (streamConnectsToFail.compare_exchange_weak(left, left - 1)) return -EMFILE;
  }
  return real(stream, direction, target, flags, params, count);
}

namespace pd::platform::videoout {
namespace {

using media::VideoFrame;
using media::VideoFramePtr;
using testing::TestConsumer;

const log::Logger& testLogger() {
  static const log::Logger logger("tech.quelbo.PalendrixDisplay.tests", "syphon");
  return logger;
}

using pd::testing::solidFrame;

// Polls `condition` while publishing `frame`, as the video-out queue does at the source rate.
bool publishUntil(FrameServer& server, const VideoFrame& frame, const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    server.publishFrame(frame);
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

constexpr const char* kListNodes = "pw-cli ls Node";

std::string listNodes() { return pd::testing::runTool(kListNodes); }

TEST(VideoOutWithoutDaemon, ServersStandInAndNeverHaveClients) {
  pd::testing::TempDirectory empty;
  pd::testing::ScopedEnvironment runtime("XDG_RUNTIME_DIR", empty.path().string());
  pd::testing::ScopedEnvironment pipewireRuntime("PIPEWIRE_RUNTIME_DIR", empty.path().string());
  pd::testing::ScopedEnvironment remote("PIPEWIRE_REMOTE", std::nullopt);
  auto out = VideoOut::open(testLogger());
  ASSERT_NE(out, nullptr);
  EXPECT_FALSE(out->isConnected());
  auto server = out->createServer("Palendrix Zuvudiv");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->name(), "Palendrix Zuvudiv");
  server->setName("Other");
  EXPECT_EQ(server->name(), "Other");
  auto frame = solidFrame(64, 36, 10, 128, 128);
  EXPECT_FALSE(server->hasClients());
  EXPECT_EQ(server->publishFrame(*frame), PublishResult::noClient);
  server->stop();
  EXPECT_EQ(server->name(), std::nullopt);
  EXPECT_EQ(server->publishFrame(*frame), PublishResult::stopped);
}

class VideoOutWithDaemon : public pd::testing::PipeWireDaemonSuite {
protected:
  void SetUp() override {
    PD_REQUIRE_PIPEWIRE(*daemon_);
    out_ = VideoOut::open(testLogger());
    ASSERT_TRUE(out_->isConnected());
  }

  // The id of the server's node once the daemon has announced it; 0 without a server or a node.
  static std::uint32_t waitForNode(const FrameServer* server) {
    if (server == nullptr) return 0;
    for (int attempt = 0; attempt < 500 && !server->nodeId(); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server->nodeId().value_or(0);
  }

  // What the tool prints once `done` holds for it, or its last output when that never came.
  static std::string toolOutputWhen(const std::string& command, const std::function<bool(const std::string&)>& done) {
    std::string output = pd::testing::runTool(command);
    for (int attempt = 0; attempt < 100 && !done(output); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      output = pd::testing::runTool(command);
    }
    return output;
  }

  std::unique_ptr<VideoOut> out_;
};

TEST_F(VideoOutWithDaemon, NodesAreAdvertisedRenamedInPlaceAndWithdrawn) {
  auto first = out_->createServer("Palendrix Zuvudiv A");
  auto second = out_->createServer("Palendrix Zuvudiv B");
  const std::uint32_t firstId = waitForNode(first.get());
  ASSERT_NE(firstId, 0U);
  ASSERT_NE(waitForNode(second.get()), 0U);
  std::string nodes = listNodes();
  EXPECT_NE(nodes.find("node.name = \"Palendrix Zuvudiv A\""), std::string::npos) << nodes;
  EXPECT_NE(nodes.find("node.name = \"Palendrix Zuvudiv B\""), std::string::npos) << nodes;
  EXPECT_NE(nodes.find("media.class = \"Video/Source\""), std::string::npos) << nodes;

  // The node's own properties carry the new name (what consumers read); the registry's listing
  // keeps the properties the node was announced with.
  first->setName("Stage Left A");
  EXPECT_EQ(first->name(), "Stage Left A");
  const std::string details = toolOutputWhen("pw-cli info " + std::to_string(firstId), [](const std::string& text) {
    return text.find("Stage Left A") != std::string::npos;
  });
  EXPECT_NE(details.find("node.name = \"Stage Left A\""), std::string::npos) << details;
  EXPECT_NE(details.find("node.description = \"Stage Left A\""), std::string::npos) << details;
  EXPECT_EQ(first->nodeId(), firstId) << "a rename must keep the node";

  second->stop();
  EXPECT_EQ(second->publishFrame(*solidFrame(16, 16, 0, 128, 128)), PublishResult::stopped);
  nodes = toolOutputWhen(kListNodes,
                         [](const std::string& text) { return text.find("Palendrix Zuvudiv B") == std::string::npos; });
  EXPECT_EQ(nodes.find("Palendrix Zuvudiv B"), std::string::npos) << nodes;
}

TEST_F(VideoOutWithDaemon, NV12ConsumerGetsTheFramesUnchangedAndHasClientsFollowsIt) {
  auto server = out_->createServer("Palendrix Zuvudiv");
  const std::uint32_t nodeId = waitForNode(server.get());
  ASSERT_NE(nodeId, 0U) << "no server, or no node announced for it";
  auto frame = solidFrame(640, 360, 200, 90, 160);
  EXPECT_EQ(server->publishFrame(*frame), PublishResult::noClient) << "nothing is linked yet";
  EXPECT_FALSE(server->hasClients());

  TestConsumer consumer(TestConsumer::Format::nv12, nodeId);
  ASSERT_TRUE(publishUntil(*server, *frame, [&] { return consumer.snapshot().frames >= 5; }));
  EXPECT_TRUE(server->hasClients());
  auto seen = consumer.snapshot();
  EXPECT_EQ(seen.width, 640U);
  EXPECT_EQ(seen.height, 360U);
  EXPECT_NEAR(seen.mean[0], 200, 0.5);
  EXPECT_NEAR(seen.mean[1], 90, 0.5);
  EXPECT_NEAR(seen.mean[2], 160, 0.5);

  // A new size is offered and taken without relinking; odd sizes keep their last chroma column.
  auto smaller = solidFrame(321, 241, 40, 140, 100);
  ASSERT_TRUE(publishUntil(*server, *smaller, [&] { return consumer.snapshot().width == 321U; }));
  ASSERT_TRUE(publishUntil(*server, *smaller, [&] { return consumer.snapshot().mean[0] < 41; }));
  seen = consumer.snapshot();
  EXPECT_EQ(seen.height, 241U);
  EXPECT_NEAR(seen.mean[1], 140, 0.5);
  EXPECT_NEAR(seen.mean[2], 100, 0.5);

  consumer.leave();
  EXPECT_TRUE(publishUntil(*server, *smaller, [&] { return !server->hasClients(); }));
  EXPECT_EQ(server->publishFrame(*smaller), PublishResult::noClient);
}

TEST_F(VideoOutWithDaemon, AnAbandonedFrameNeverReachesTheConsumerAndItsBufferServesTheNext) {
  auto server = out_->createServer("Palendrix Zuvudiv");
  const std::uint32_t nodeId = waitForNode(server.get());
  ASSERT_NE(nodeId, 0U) << "no server, or no node announced for it";
  TestConsumer consumer(TestConsumer::Format::nv12, nodeId);
  auto kept = solidFrame(320, 180, 50, 128, 128);
  ASSERT_TRUE(publishUntil(*server, *kept, [&] { return consumer.snapshot().frames >= 2; }));

  // Far more abandoned frames than the stream has buffers: none may be lost on the way.
  auto dropped = solidFrame(320, 180, 250, 128, 128);
  FrameServer::BufferInfo info;
  for (int round = 0; round < 20; ++round) {
    PublishResult result = PublishResult::noBuffer;
    for (int attempt = 0; attempt < 200 && result == PublishResult::noBuffer; ++attempt) {
      result = server->prepareFrame(*dropped, info);
      if (result == PublishResult::noBuffer) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(result, PublishResult::published) << "round " << round;
    server->abandonFrame();
    EXPECT_FALSE(server->commitFrame()) << "nothing is prepared after an abandon";
  }
  EXPECT_EQ(info.fourcc, 0x3231564EU);
  const int before = consumer.snapshot().frames;
  ASSERT_TRUE(publishUntil(*server, *kept, [&] { return consumer.snapshot().frames >= before + 3; }));
  EXPECT_NEAR(consumer.snapshot().mean[0], 50, 0.5) << "an abandoned frame was shown";
}

TEST_F(VideoOutWithDaemon, BGRxConsumerGetsFullRangeBT709Colours) {
  auto server = out_->createServer("Palendrix Zuvudiv");
  const std::uint32_t nodeId = waitForNode(server.get());
  ASSERT_NE(nodeId, 0U) << "no server, or no node announced for it";
  TestConsumer consumer(TestConsumer::Format::bgrx, nodeId);
  auto frame = solidFrame(1920, 1080, 120, 100, 170);
  ASSERT_TRUE(publishUntil(*server, *frame, [&] { return consumer.snapshot().frames >= 3; }));
  const auto seen = consumer.snapshot();
  EXPECT_EQ(seen.width, 1920U);
  EXPECT_EQ(seen.height, 1080U);
  // R = Y + 1.5748 (Cr - 128), G = Y - 0.1873 (Cb - 128) - 0.4681 (Cr - 128), B = Y + 1.8556 (Cb - 128)
  EXPECT_NEAR(seen.mean[2], 186.1, 3.0);
  EXPECT_NEAR(seen.mean[1], 105.6, 3.0);
  EXPECT_NEAR(seen.mean[0], 68.0, 3.0);
}

// Each viewer leaves holding the buffer of the frame it showed last; the stream has four.
TEST_F(VideoOutWithDaemon, ViewersThatLeaveHoldingABufferDoNotDarkenTheStreamForTheNext) {
  auto server = out_->createServer("Palendrix Zuvudiv");
  const std::uint32_t nodeId = waitForNode(server.get());
  ASSERT_NE(nodeId, 0U) << "no server, or no node announced for it";
  auto frame = solidFrame(320, 180, 70, 128, 128);
  for (int viewer = 0; viewer < 6; ++viewer) {
    TestConsumer consumer(TestConsumer::Format::nv12, nodeId, true, true);
    ASSERT_TRUE(publishUntil(*server, *frame, [&] { return consumer.snapshot().frames >= 3; }))
        << "viewer " << viewer << " got " << consumer.snapshot().frames << " frames";
    EXPECT_NEAR(consumer.snapshot().mean[0], 70, 0.5);
    consumer.leave();
    ASSERT_TRUE(publishUntil(*server, *frame, [&] { return !server->hasClients(); })) << "viewer " << viewer;
  }
}

TEST_F(VideoOutWithDaemon, ServersMadeOrStoppedWhileTheDaemonIsAwayFollowItsReturn) {
  auto kept = out_->createServer("Restart Kept");
  auto dropped = out_->createServer("Restart Dropped");
  ASSERT_NE(waitForNode(kept.get()), 0U);
  ASSERT_NE(waitForNode(dropped.get()), 0U);

  std::unique_ptr<FrameServer> late;
  bool lossSeen = false;
  daemon_->restart([&] {
    for (int attempt = 0; attempt < 500 && kept->nodeId(); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lossSeen = !kept->nodeId().has_value();
    late = out_->createServer("Restart Late");
    dropped->stop();
  });
  ASSERT_TRUE(daemon_->running()) << daemon_->failure();
  ASSERT_TRUE(lossSeen) << "the node of a daemon that went away is still reported";
  ASSERT_NE(late, nullptr) << "a server made while the daemon is away waits for it";

  EXPECT_NE(waitForNode(kept.get()), 0U);
  EXPECT_NE(waitForNode(late.get()), 0U);
  const std::string nodes = listNodes();
  EXPECT_NE(nodes.find("node.name = \"Restart Kept\""), std::string::npos) << nodes;
  EXPECT_NE(nodes.find("node.name = \"Restart Late\""), std::string::npos) << nodes;
  EXPECT_EQ(nodes.find("Restart Dropped"), std::string::npos) << nodes;
  EXPECT_EQ(dropped->publishFrame(*solidFrame(64, 36, 10, 128, 128)), PublishResult::stopped);
}

TEST_F(VideoOutWithDaemon, ANodeThatCannotBeMadeOnTheDaemonsReturnIsTriedAgain) {
  auto server = out_->createServer("Retried Once");
  ASSERT_NE(waitForNode(server.get()), 0U);
  daemon_->restart([&] {
    for (int attempt = 0; attempt < 500 && server->nodeId(); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    streamConnectsToFail = 1;
  });
  ASSERT_TRUE(daemon_->running()) << daemon_->failure();
  EXPECT_NE(waitForNode(server.get()), 0U) << "the server stays dark after one failed try";
  EXPECT_EQ(streamConnectsToFail.load(), 0) << "the node was never made again";
}

TEST_F(VideoOutWithDaemon, AFramePreparedBeforeTheDaemonGoesIsNotReportedAsHandedOver) {
  auto server = out_->createServer("Lost Prepared");
  const std::uint32_t nodeId = waitForNode(server.get());
  ASSERT_NE(nodeId, 0U) << "no server, or no node announced for it";
  TestConsumer consumer(TestConsumer::Format::nv12, nodeId);
  auto frame = solidFrame(320, 180, 90, 128, 128);
  ASSERT_TRUE(publishUntil(*server, *frame, [&] { return consumer.snapshot().frames >= 2; }));
  FrameServer::BufferInfo info;
  PublishResult prepared = PublishResult::noBuffer;
  for (int attempt = 0; attempt < 200 && prepared == PublishResult::noBuffer; ++attempt) {
    prepared = server->prepareFrame(*frame, info);
    if (prepared == PublishResult::noBuffer) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(prepared, PublishResult::published);

  bool lossSeen = false;
  bool committed = true;
  daemon_->restart([&] {
    for (int attempt = 0; attempt < 500 && server->nodeId(); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lossSeen = !server->nodeId().has_value();
    committed = server->commitFrame();
  });
  ASSERT_TRUE(daemon_->running()) << daemon_->failure();
  ASSERT_TRUE(lossSeen);
  EXPECT_FALSE(committed) << "the frame went to a node that is gone";
  EXPECT_NE(waitForNode(server.get()), 0U);
}

TEST_F(VideoOutWithDaemon, AWallClockSetBackWhileTheDaemonIsAwayDoesNotHoldUpItsReturn) {
  auto server = out_->createServer("Clock Set Back");
  ASSERT_NE(waitForNode(server.get()), 0U);
  struct Restore {
    ~Restore() { wallAheadSeconds = 0; }
  } restore;
  wallAheadSeconds = 3600;
  daemon_->restart([&] {
    for (int attempt = 0; attempt < 500 && server->nodeId(); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  ASSERT_TRUE(daemon_->running()) << daemon_->failure();
  EXPECT_NE(waitForNode(server.get()), 0U) << "the retry waits for the wall clock to come back";
}

} // namespace
} // namespace pd::platform::videoout
