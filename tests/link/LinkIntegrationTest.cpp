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

  auto dependencies = NetworkManagerForMac::systemDependencies();
  dependencies.networkPeerID = [] { return std::string("11111111-2222-4333-8444-555555555555"); };
  dependencies.deviceName = "Integration Mac";
  // The burst lasts 10 s; an attempt that is not acknowledged must not end under it.
  dependencies.timing.connectionTimeout = std::chrono::minutes(1);
  auto manager = NetworkManagerForMac::create(std::move(dependencies));
  manager->updateBrowsing("start");
  ASSERT_TRUE(runUntil([&] { return manager->isBrowsing.get(); }, 10s));

  Emulator emulator({"--interface", "lo", "--name", name, "--video", clip.string(), "--app-version", "9.8.7"});
  ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
  const auto published = std::chrono::steady_clock::now();

  // Discovery within 2 s of publishing, with the TXT versions and the loopback route.
  const auto findTablet = [&]() -> const platform::bonjour::BrowseResult* {
    for (const auto& result : manager->discoveredPeers.get()) {
      if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) return &result;
    }
    return nullptr;
  };
  ASSERT_TRUE(runUntil([&] { return findTablet() != nullptr; }, 5s));
  const auto discovery = std::chrono::steady_clock::now() - published;
  EXPECT_LT(discovery, 2s);
  RecordProperty("discovery_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(discovery).count()));
  const auto tablet = *findTablet();
  EXPECT_EQ(manager->discoveredPeerVersions.get().at(tablet.endpoint),
            (NetworkManagerForMac::PeerVersionInfo{3, std::string("9.8.7")}));
  const auto lo = std::find_if(tablet.interfaces.begin(), tablet.interfaces.end(),
                               [](const platform::net::Interface& i) { return i.name == "lo"; });
  ASSERT_NE(lo, tablet.interfaces.end());

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
  EXPECT_TRUE(runUntil([&] { return findTablet() == nullptr; }, 10s));
  EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
}

} // namespace
} // namespace pd::link::test
