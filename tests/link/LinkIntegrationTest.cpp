// The receiver discovers the emulator, lists it with its TXT versions, connects over "lo" and
// counts every datagram of a paced burst.

#include "LinkIntegrationSupport.hpp"

namespace pd::link::test {
namespace {

TEST_F(LinkIntegrationTest, DiscoversConnectsAndReceivesEveryDatagramOfAPacedBurst) {
  const auto clip = makeClip(folder_.path());
  if (clip.empty()) {
    if (testing::PrivateAvahi::requiredByCi()) FAIL() << "ffmpeg with libx265 could not make the video clip";
    GTEST_SKIP() << "ffmpeg with libx265 could not make the video clip";
  }
  const std::string name = "Link Tablet " + std::to_string(::getpid());

  auto dependencies = integrationDependencies("Integration Mac");
  // The burst lasts 10 s; an attempt that is not acknowledged must not end under it.
  dependencies.timing.connectionTimeout = std::chrono::minutes(1);
  auto manager = browsingManager(std::move(dependencies));
  ASSERT_TRUE(manager);

  Emulator emulator({"--interface", "lo", "--name", name, "--video", clip.string(), "--app-version", "9.8.7"});
  ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
  const auto published = std::chrono::steady_clock::now();

  // Discovery within 2 s of publishing, with the TXT versions and the loopback route.
  ASSERT_TRUE(runUntil([&] { return listedTablet(*manager, name).has_value(); }, 5s));
  const auto discovery = std::chrono::steady_clock::now() - published;
  EXPECT_LT(discovery, 2s);
  RecordProperty("discovery_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(discovery).count()));
  const auto tablet = *listedTablet(*manager, name);
  EXPECT_EQ(manager->discoveredPeerVersions.get().at(tablet.endpoint),
            (NetworkManagerForMac::PeerVersionInfo{3, std::string("9.8.7")}));
  const auto lo = loopbackRoute(tablet);
  ASSERT_TRUE(lo);

  // Connect over "lo": the link becomes ready and the handshake reaches the tablet, which links
  // back and answers; its answer comes through the receive loop as a control message.
  const auto connectStarted = std::chrono::steady_clock::now();
  manager->connect(tablet, *lo);
  const auto request = emulator.waitFor("handshake_request", [&] { pump(); });
  ASSERT_TRUE(request);
  EXPECT_EQ((*request)["message"]["device"], "Integration Mac");
  EXPECT_EQ((*request)["message"]["protocolVersion"], 3);
  ASSERT_TRUE(emulator.waitFor("linked", [&] { pump(); }));
  ASSERT_TRUE(runUntil([&] { return manager->controlDatagramCount() >= 1; }, 5s));
  // The tablet's answer establishes the link with its version matched.
  ASSERT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 5s));
  const auto establishment = std::chrono::steady_clock::now() - connectStarted;
  EXPECT_LT(establishment, 1s);
  RecordProperty("establishment_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(establishment).count()));
  EXPECT_EQ(manager->peerVersionState.get(), NetworkManagerForMac::PeerVersionState::matched());
  EXPECT_EQ(manager->peerAppVersion.get(), "9.8.7");

  // 2,000 datagrams a second for 10 s: every one reaches the dispatch.
  constexpr std::uint64_t kCount = 20'000;
  emulator.command("burst " + std::to_string(kCount) + " 2000");
  const auto sent = emulator.waitFor(
      "datagrams_sent", [&] { pump(); }, 30s);
  ASSERT_TRUE(sent);
  EXPECT_EQ((*sent)["count"], kCount);
  EXPECT_EQ((*sent)["failed"], 0);
  EXPECT_TRUE(runUntil([&] { return manager->videoDatagramCount() >= kCount; }, 5s));
  EXPECT_EQ(manager->videoDatagramCount(), kCount);

  // The tablet leaves: its service goes from the list.
  emulator.command("quit");
  EXPECT_TRUE(runUntil([&] { return !listedTablet(*manager, name); }, 10s));
  EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
}

// A connect to a tablet that has just withdrawn its service waits to resolve it; the tablet's
// return links that same attempt, well within its time limit.
TEST_F(LinkIntegrationTest, AttemptWaitingToResolveLinksWhenTheTabletReturns) {
  const std::string name = "Returning Tablet " + std::to_string(::getpid());
  platform::log::setDebugEnabled(true);
  auto dependencies = integrationDependencies("Integration Mac");
  dependencies.timing.connectionTimeout = std::chrono::minutes(1);
  auto manager = browsingManager(std::move(dependencies));
  ASSERT_TRUE(manager);

  Emulator emulator({"--interface", "lo", "--name", name});
  ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
  ASSERT_TRUE(runUntil([&] { return listedTablet(*manager, name).has_value(); }, 5s));
  const auto tablet = *listedTablet(*manager, name);
  const auto lo = loopbackRoute(tablet);
  ASSERT_TRUE(lo);

  emulator.command("bonjour off");
  ASSERT_TRUE(emulator.waitFor("bonjour_withdrawn", [&] { pump(); }));
  ASSERT_TRUE(runUntil([&] { return !listedTablet(*manager, name); }, 10s));
  LogWindow log;
  manager->connect(tablet, *lo);
  ASSERT_TRUE(runUntil([&] { return log.has("udp_state state=waiting gen="); }, 20s));

  emulator.command("bonjour on");
  ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
  EXPECT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 20s));
  EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
}

} // namespace
} // namespace pd::link::test
