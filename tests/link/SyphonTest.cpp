// The frame-sharing side of the link manager against servers played by the test.
#include "FakeVideoOut.hpp"
#include "LinkTestSupport.hpp"
#include "support/SolidFrame.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "runtime/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace pd::link::test {
namespace {

using platform::videoout::PublishResult;
using Source = NetworkManagerForMac::StaleEpochSource;

const std::vector<std::pair<std::uint8_t, std::string>> kRaw = {{1, "Palendrix Zuvudiv A"}, {2, "Palendrix Zuvudiv B"}};
const std::vector<std::pair<std::uint8_t, std::string>> kMix = {{0, "Palendrix Zuvudiv"}};

class SyphonTest : public MainLoopFixture {
protected:
  SyphonTest() {
    NetworkManagerForMac::Dependencies deps = offlineDependencies();
    deps.makeVideoOut = [probe = probe] { return std::make_unique<FakeVideoOut>(probe); };
    manager = NetworkManagerForMac::create(std::move(deps));
    // Installing the first decoders on the network queue flushes the stale-epoch counts: it must
    // be over before a test counts a drop, however late a loaded machine runs that queue.
    TA::drainQueue(*manager);
    // The manager shares the mixed stream from the start; each test begins with no server.
    TA::stopSyphonServers(*manager);
    settle();
    probe->forget();
    // Each test sees its lines from the first occurrence on.
    for (const char* prefix : {"syphon_no_server_", "syphon_no_client_", "syphon_publish_fail_"}) {
      for (int stream = 0; stream < 3; ++stream)
        diagnostics::LogThrottle::shared().reset(prefix + std::to_string(stream));
    }
    diagnostics::LogThrottle::shared().reset("syphon_drop_stale_epoch");
  }
  ~SyphonTest() override {
    EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
  }

  // Lets the frame-sharing queue finish what it was given, then runs what it sent the main thread.
  // Time moves on past the log throttle's interval, so each step's first line is written.
  void settle() {
    TA::onSyphonQueue(*manager, [](NetworkManagerForMac&) {});
    clock_.advance(std::chrono::seconds(1));
    pump();
  }
  // Holds the frame-sharing queue until the returned promise is set.
  std::promise<void> holdQueue() {
    std::promise<void> release;
    auto held = std::make_shared<std::shared_future<void>>(release.get_future().share());
    TA::postToSyphonQueue(*manager, [held] { held->wait(); });
    return release;
  }
  void share(const platform::media::VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch = 0) {
    manager->enqueueSyphonFrame(frame, stream, epoch);
  }
  void setClients(std::size_t server, bool clients) {
    probe->change(server, [clients](FakeVideoOutProbe::Server& s) { s.clients = clients; });
  }

  // One clock for every test here: the shared log throttle remembers times across tests, and
  // they must only move forward.
  static runtime::ManualClock& sharedClock() {
    static runtime::ManualClock clock;
    return clock;
  }
  runtime::ManualClock& clock_ = sharedClock();
  runtime::ScopedClock scopedClock_{clock_};
  std::shared_ptr<FakeVideoOutProbe> probe = std::make_shared<FakeVideoOutProbe>();
  std::shared_ptr<NetworkManagerForMac> manager;
  platform::media::VideoFramePtr red = pd::testing::solidFrame(64, 36, 76, 85, 255);
  platform::media::VideoFramePtr blue = pd::testing::solidFrame(64, 36, 29, 255, 107);
};

TEST(SyphonServerName, RawStreamsGetTheirDeckLetter) {
  EXPECT_EQ(NetworkManagerForMac::syphonServerName("Palendrix Zuvudiv", 0), "Palendrix Zuvudiv");
  EXPECT_EQ(NetworkManagerForMac::syphonServerName("Palendrix Zuvudiv", 1), "Palendrix Zuvudiv A");
  EXPECT_EQ(NetworkManagerForMac::syphonServerName("Palendrix Zuvudiv", 2), "Palendrix Zuvudiv B");
  EXPECT_EQ(NetworkManagerForMac::syphonServerName("Stage", 7), "Stage");
}

TEST_F(SyphonTest, AModeChangeStopsEveryOldServerBeforeMakingTheNewOnes) {
  LogWindow log;
  TA::configureSyphon(*manager, kRaw);
  TA::configureSyphon(*manager, kMix);
  settle();
  const std::vector<std::string> expected = {"create Palendrix Zuvudiv A", "create Palendrix Zuvudiv B",
                                             "stop Palendrix Zuvudiv A", "stop Palendrix Zuvudiv B",
                                             "create Palendrix Zuvudiv"};
  EXPECT_EQ(probe->events(), expected);
  EXPECT_EQ(log.count("syphon_configure stream="), 3U);
  EXPECT_FALSE(manager->isSyphonRunning.get());

  // Frames of the old mode's streams find no server; the new stream's frame is shared.
  setClients(2, true);
  LogWindow drops;
  share(red, 1);
  share(blue, 0);
  settle();
  EXPECT_TRUE(drops.has("syphon_no_server stream=1 "));
  EXPECT_EQ(probe->server(2).lastCommitted, blue.get());
  EXPECT_EQ(probe->server(0).prepared, 0);
}

TEST_F(SyphonTest, TheNewestFrameOfAStreamWinsAndOneFlushServesAllStreams) {
  TA::configureSyphon(*manager, kRaw);
  setClients(0, true);
  setClients(1, true);
  auto release = holdQueue();
  share(red, 1);
  share(blue, 1);
  share(red, 2);
  EXPECT_EQ(TA::pendingSyphonFrames(*manager), 2U);
  release.set_value();
  settle();
  EXPECT_EQ(TA::pendingSyphonFrames(*manager), 0U);
  EXPECT_EQ(probe->server(0).prepared, 1) << "the replaced frame is never published";
  EXPECT_EQ(probe->server(0).lastCommitted, blue.get());
  EXPECT_EQ(probe->server(1).lastCommitted, red.get());

  // The flag went down with the flush: the next frame is posted again.
  share(red, 1);
  settle();
  EXPECT_EQ(probe->server(0).committed, 2);
}

TEST_F(SyphonTest, ClearingPendingFramesLeavesThePostedFlushNothingToPublish) {
  TA::configureSyphon(*manager, kRaw);
  setClients(0, true);
  auto release = holdQueue();
  share(red, 1);
  manager->clearPendingFrames();
  EXPECT_EQ(TA::pendingSyphonFrames(*manager), 0U);
  release.set_value();
  settle();
  EXPECT_EQ(probe->server(0).prepared, 0);

  // The flush that found nothing still lowered the flag: the next frame is shared.
  share(blue, 1);
  settle();
  EXPECT_EQ(probe->server(0).lastCommitted, blue.get());
}

TEST_F(SyphonTest, StreamsWithoutClientsCostNothingButStillReportTheAnyClientAnswer) {
  TA::configureSyphon(*manager, kRaw);
  settle();
  LogWindow log;
  share(red, 1);
  share(red, 2);
  settle();
  EXPECT_EQ(probe->server(0).prepared + probe->server(1).prepared, 0);
  EXPECT_TRUE(log.has("syphon_no_client stream=1 "));
  EXPECT_TRUE(log.has("syphon_no_client stream=2 "));
  EXPECT_FALSE(manager->isSyphonRunning.get());

  // A client on B makes sharing run at A's next attempt, though A's frame is dropped.
  setClients(1, true);
  int changes = 0;
  auto counting = manager->isSyphonRunning.changed().connect([&](const bool&) { ++changes; });
  share(red, 1);
  settle();
  EXPECT_TRUE(manager->isSyphonRunning.get());
  EXPECT_EQ(probe->server(0).prepared, 0);
  for (int i = 0; i < 5; ++i) {
    share(red, 2);
    settle();
  }
  EXPECT_EQ(changes, 1) << "an unchanged answer is not sent again";

  // The last client leaves: reported at the next attempt only.
  setClients(1, false);
  EXPECT_TRUE(manager->isSyphonRunning.get());
  share(red, 2);
  settle();
  EXPECT_FALSE(manager->isSyphonRunning.get());
}

TEST_F(SyphonTest, FramesOfAnOldLinkAreDroppedAtTheFlushAndAtTheFinalCheck) {
  TA::configureSyphon(*manager, kRaw);
  setClients(0, true);
  TA::setSyphonEpoch(*manager, 4);
  LogWindow log;
  share(red, 1, 3);
  settle();
  EXPECT_EQ(probe->server(0).prepared, 0);
  EXPECT_TRUE(log.has("stale_epoch_stats source=syphon stream=1 dropped=1")); // the first is reported at once
  EXPECT_TRUE(log.has("syphon_drop reason=stale_epoch stream=1 frame_gen=3 current_gen=4 "));

  // A new link begins while the frame is being copied: it is filled but never handed over.
  probe->onPrepare([this] { TA::setSyphonEpoch(*manager, 5); });
  share(red, 1, 4);
  settle();
  const auto server = probe->server(0);
  EXPECT_EQ(server.prepared, 1);
  EXPECT_EQ(server.committed, 0);
  EXPECT_EQ(server.abandoned, 1);
  EXPECT_EQ(TA::staleDrops(*manager, Source::syphonLate, 1), 1);
  EXPECT_EQ(TA::staleDrops(*manager, Source::syphon, 1), 0) << "a late drop is counted apart";

  // Frames of the new link go through.
  probe->onPrepare(nullptr);
  share(blue, 1, 5);
  settle();
  EXPECT_EQ(probe->server(0).lastCommitted, blue.get());
}

TEST_F(SyphonTest, TheMainThreadHandsOffFramesWhileAServerHandsOneOver) {
  TA::configureSyphon(*manager, kRaw);
  setClients(0, true);
  struct HandOver {
    runtime::test::Latch begun;
    runtime::test::Latch release;
    std::atomic<bool> releasedInTime{false};
  };
  const auto handOver = std::make_shared<HandOver>();
  // A server's hand-over waits for its daemon's loop, which may be busy for a while.
  probe->onCommit([handOver] {
    handOver->begun.open();
    handOver->releasedInTime = handOver->release.wait();
  });
  share(red, 1);
  ASSERT_TRUE(handOver->begun.wait());
  share(blue, 1);
  manager->clearPendingSyphonFrames();
  handOver->release.open();
  settle();
  probe->onCommit(nullptr);
  EXPECT_TRUE(handOver->releasedInTime.load()) << "the main thread waited for the hand-over";
  EXPECT_EQ(probe->server(0).lastCommitted, red.get());
}

TEST_F(SyphonTest, PublishFailuresAreCountedAndARunOfThemEndsWithARecoveryLine) {
  TA::configureSyphon(*manager, kRaw);
  setClients(0, true);
  probe->change(0, [](FakeVideoOutProbe::Server& s) {
    s.prepareResults = {PublishResult::noBuffer,  PublishResult::negotiationFailed, PublishResult::noBuffer,
                        PublishResult::published, PublishResult::noBuffer,          PublishResult::published};
  });
  LogWindow log;
  for (int i = 0; i < 4; ++i) {
    share(red, 1);
    settle();
  }
  EXPECT_TRUE(log.has("syphon_publish_fail reason=no_buffer stream=1 occurrences=1"));
  EXPECT_EQ(probe->server(0).committed, 1);
  EXPECT_EQ(log.count("syphon_publish_recovered stream=1 after=3"), 1U);

  // A single failure is forgotten without a line.
  for (int i = 0; i < 2; ++i) {
    share(red, 1);
    settle();
  }
  EXPECT_EQ(probe->server(0).committed, 2);
  EXPECT_EQ(log.count("syphon_publish_recovered"), 1U);
}

TEST_F(SyphonTest, TheFirstFrameLineComesOnceAndTheRateLineEveryThirtiethFrame) {
  TA::configureSyphon(*manager, kMix);
  setClients(0, true);
  LogWindow log;
  for (int i = 0; i < 60; ++i) {
    share(i % 2 == 0 ? red : blue, 0);
    settle();
  }
  TA::configureSyphon(*manager, kMix);
  setClients(1, true);
  share(red, 0);
  settle();
  EXPECT_EQ(log.count("syphon_first_frame stream=0 pix_fmt=842094158 tex_fmt=842094158 res=64x36 iosurface=true"), 1U);
  EXPECT_EQ(log.count("syphon_first_frame"), 1U);
  EXPECT_EQ(log.count("syphon_publish stream=0 frames=30 res=64x36 fps="), 1U);
  EXPECT_EQ(log.count("syphon_publish stream=0 frames=60 "), 1U);
  EXPECT_EQ(log.count("syphon_scratch_alloc stream=0 res=64x36"), 2U) << "once per configuration while the size holds";
}

TEST_F(SyphonTest, RenamingRenamesLiveServersInPlaceAndSkipsWhatIsAlreadyRight) {
  TA::configureSyphon(*manager, kRaw);
  LogWindow log;
  manager->renameSyphonServers("Stage");
  settle();
  EXPECT_EQ(probe->server(0).name, "Stage A");
  EXPECT_EQ(probe->server(1).name, "Stage B");
  EXPECT_EQ(probe->serverCount(), 2U) << "renaming makes no server";
  EXPECT_EQ(log.count("syphon_rename stream="), 2U);

  manager->renameSyphonServers("Stage");
  settle();
  EXPECT_EQ(log.count("syphon_rename stream="), 2U);

  manager->stopSyphon();
  manager->renameSyphonServers("Other");
  settle();
  EXPECT_TRUE(log.has("syphon_rename_skip reason=not_initialized"));
  EXPECT_EQ(log.count("syphon_rename stream="), 2U);
}

TEST_F(SyphonTest, StoppingWithdrawsEveryServerUntilTheNextConfiguration) {
  TA::configureSyphon(*manager, kRaw);
  setClients(0, true);
  share(red, 1);
  settle();
  ASSERT_TRUE(manager->isSyphonRunning.get());

  LogWindow log;
  auto release = holdQueue();
  manager->stopSyphon();
  EXPECT_FALSE(manager->isSyphonRunning.get()) << "false at once, before the queue gets to it";
  release.set_value();
  settle();
  EXPECT_TRUE(log.has("syphon_stop"));
  EXPECT_FALSE(probe->server(0).name);
  EXPECT_FALSE(probe->server(1).name);

  share(red, 1);
  settle();
  EXPECT_TRUE(log.has("syphon_no_server stream=1 "));
  EXPECT_FALSE(manager->isSyphonRunning.get());

  TA::configureSyphon(*manager, kRaw);
  setClients(2, true);
  share(blue, 1);
  settle();
  EXPECT_EQ(probe->server(2).lastCommitted, blue.get());
}

} // namespace
} // namespace pd::link::test
