// The control protocol against the emulator on loopback: handshake timing and a lost ack, the
// silence verdicts with the real thresholds, reconnect with its back-off and the tablet's return,
// version checks, the occupied rejection, mode requests, service messages and the disconnect.

#include "LinkIntegrationSupport.hpp"

#include "runtime/Clock.hpp"

namespace pd::link::test {
namespace {

using Cause = NetworkManagerForMac::ReconnectNotice::Cause;
using Kind = NetworkManagerForMac::PeerVersionState::Kind;

class LinkProtocolIntegrationTest : public LinkIntegrationTest {
protected:
  void SetUp() override {
    LinkIntegrationTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    platform::log::setDebugEnabled(true);
    manager = browsingManager(integrationDependencies("Protocol Mac"));
    ASSERT_TRUE(manager);
  }
  void TearDown() override {
    emulator.reset();
    if (manager) {
      EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
    }
  }

  // Starts an emulator with these options on "lo" and waits until the receiver lists it.
  void startTablet(std::vector<std::string> options) {
    static int counter = 0;
    name = "Protocol Tablet " + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    std::vector<std::string> arguments{"--interface", "lo", "--name", name};
    arguments.insert(arguments.end(), options.begin(), options.end());
    emulator = std::make_unique<Emulator>(arguments);
    ASSERT_TRUE(emulator->waitFor("bonjour_published", [&] { pump(); }));
    ASSERT_TRUE(runUntil([&] { return listedTablet(*manager, name).has_value(); }, 5s))
        << "the receiver did not discover " << name;
  }
  void connect() {
    const auto tablet = listedTablet(*manager, name);
    ASSERT_TRUE(tablet);
    const auto lo = loopbackRoute(*tablet);
    ASSERT_TRUE(lo);
    manager->connect(*tablet, *lo);
  }
  // Leaves the linked tablet as the user does, then browses again as the opened sheet does: the
  // next tablet is found at once, not after the silence that ends the old link.
  void leaveTablet() {
    manager->stop(false);
    emulator.reset();
    manager->browseSuspendedByUser = false;
    manager->updateBrowsing("start");
    ASSERT_TRUE(runUntil([&] { return manager->isBrowsing.get(); }, 10s));
  }
  void connectAndEstablish() {
    connect();
    ASSERT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 5s))
        << manager->connectionStatus.get();
  }
  std::optional<nlohmann::json> waitFor(const std::string& event, std::chrono::milliseconds limit = 10s) {
    return emulator->waitFor(
        event, [&] { pump(); }, limit);
  }
  void command(const std::string& line) {
    emulator->command(line);
    ASSERT_TRUE(waitFor("ok")) << line;
  }
  // Wall time of the first log line since the window opened that starts with `prefix`.
  static std::optional<runtime::Clock::WallTime> lineTime(std::uint64_t after, const std::string& prefix) {
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(after)) {
      if (entry.message.rfind(prefix, 0) == 0) return entry.time;
    }
    return std::nullopt;
  }

  std::shared_ptr<NetworkManagerForMac> manager;
  std::unique_ptr<Emulator> emulator;
  std::string name;
};

TEST_F(LinkProtocolIntegrationTest, HandshakeEstablishesTheLinkWithinAHundredMillisecondsOfReady) {
  startTablet({"--app-version", "2.0.0", "--features", "remote_source,load_video_ack"});
  const auto before = platform::log::LogStore::shared().lastSequence();
  connectAndEstablish();
  const auto ready = lineTime(before, "udp_ready ");
  const auto established = lineTime(before, "conn_established ");
  ASSERT_TRUE(ready && established);
  const auto elapsed = *established - *ready;
  EXPECT_LT(elapsed, 100ms);
  RecordProperty("ready_to_established_us",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
  EXPECT_EQ(manager->peerVersionState.get(), NetworkManagerForMac::PeerVersionState::matched());
  EXPECT_EQ(manager->connectionStatus.get(), "接続中: 1台");
  EXPECT_EQ(manager->localHostForPeer(), "127.0.0.1");
}

TEST_F(LinkProtocolIntegrationTest, ALostAckIsMadeUpForByAResentRequest) {
  startTablet({"--handshake", "lose-ack", "--ping", "--ping-interval-ms", "300"});
  LogWindow log;
  connect();
  ASSERT_TRUE(waitFor("ack_lost"));
  command("accept");
  // The tablet's pings tell the receiver that it is heard but unanswered: it asks again.
  ASSERT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 6s));
  EXPECT_TRUE(log.has("handshake_resend reason=ack_lost"));
}

TEST_F(LinkProtocolIntegrationTest, SilenceDegradesThenLosesTheLinkAndTheReturningTabletIsLinkedAgain) {
  startTablet({"--ping"});
  connectAndEstablish();
  LogWindow log;
  // The tablet's app is paused: it stays on Bonjour and sends nothing.
  command("silence on");

  ASSERT_TRUE(runUntil([&] { return manager->isLinkDegraded.get(); }, 5s));
  const double lastHeard = TA::lastInboundActivity(*manager);
  const double degradedAfter = runtime::monotonicSeconds() - lastHeard;
  ASSERT_TRUE(runUntil([&] { return manager->connectedPeers.get().empty(); }, 5s));
  const double lostAfter = runtime::monotonicSeconds() - lastHeard;
  EXPECT_NEAR(degradedAfter, 2.5, 0.2);
  EXPECT_NEAR(lostAfter, 5.0, 0.2);
  RecordProperty("degraded_ms", static_cast<int>(degradedAfter * 1000));
  RecordProperty("lost_ms", static_cast<int>(lostAfter * 1000));
  EXPECT_TRUE(log.has("link_degraded silence_ms=2500 lag_ms="));
  EXPECT_TRUE(log.has("link_lost silence_ms=5000 lag_ms="));
  EXPECT_TRUE(manager->hasConnectionIssue.get());
  ASSERT_TRUE(manager->reconnectNotice.get());

  // Attempt 1 goes out at once over the same route; unanswered, it times out after 5 s, and the
  // next one waits about a second.
  EXPECT_TRUE(log.has("reconnect_attempt attempt=1 delay_s=0"));
  EXPECT_TRUE(log.has("reconnect_target_change from=unset to=last_peer reason=route_reuse iface=lo"));
  ASSERT_TRUE(runUntil([&] { return log.has("reconnect_attempt attempt=2 "); }, 7s));
  for (const auto& line : log.lines()) {
    const std::string prefix = "reconnect_attempt attempt=2 delay_s=";
    if (line.rfind(prefix, 0) != 0) continue;
    const double delay = std::stod(line.substr(prefix.size()));
    EXPECT_GE(delay, 0.8);
    EXPECT_LE(delay, 1.2);
  }
  EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::timeout);
  // The second attempt's request reaches the paused tablet.
  const auto before = log.count("handshake_send ");
  ASSERT_TRUE(runUntil([&] { return log.count("handshake_send ") > before; }, 3s));
  EXPECT_TRUE(waitFor("handshake_request"));

  // It comes back and answers what waited: linked again at once.
  const auto back = std::chrono::steady_clock::now();
  command("resume");
  ASSERT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 5s));
  const auto relinked = std::chrono::steady_clock::now() - back;
  EXPECT_LT(relinked, 3s);
  RecordProperty("relinked_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(relinked).count()));
  EXPECT_FALSE(manager->reconnectNotice.get());
  EXPECT_FALSE(manager->hasConnectionIssue.get());
}

TEST_F(LinkProtocolIntegrationTest, AnotherProtocolVersionDropsVideoAndRaisesTheAlert) {
  startTablet({"--protocol-version", "2", "--app-version", "0.9"});
  connectAndEstablish();
  EXPECT_EQ(manager->peerVersionState.get(), NetworkManagerForMac::PeerVersionState::mismatch(2));
  ASSERT_TRUE(manager->versionMismatchAlert.get());
  EXPECT_EQ(manager->versionMismatchAlert.get()->peerVersion, 2);
  EXPECT_EQ(manager->versionMismatchAlert.get()->peerAppVersion, "0.9");
  EXPECT_TRUE(runUntil([&] { return TA::dropsVideoForVersionGate(*manager); }, 2s));
  // Its mode requests are refused at once.
  command("mode raw");
  const auto response = waitFor("mode_change_response");
  ASSERT_TRUE(response);
  EXPECT_EQ((*response)["message"]["accepted"], false);
  EXPECT_EQ((*response)["message"]["mode"], "mix");
}

TEST_F(LinkProtocolIntegrationTest, ATabletWithoutAVersionRaisesTheLegacyWarning) {
  startTablet({"--protocol-version", "none"});
  connectAndEstablish();
  EXPECT_EQ(manager->peerVersionState.get().kind(), Kind::legacy);
  EXPECT_TRUE(manager->showLegacyPeerWarning.get());
  EXPECT_FALSE(manager->versionMismatchAlert.get());
  EXPECT_TRUE(runUntil([&] { return TA::dropsVideoForVersionGate(*manager); }, 2s));
}

TEST_F(LinkProtocolIntegrationTest, AnOccupiedTabletShowsItsHolderAndIsRetriedOnTheOccupiedSchedule) {
  startTablet({"--handshake", "reject", "--reject-reason", "occupied", "--occupied-by", "Studio Mac"});
  LogWindow log;
  connect();
  ASSERT_TRUE(runUntil([&] { return manager->reconnectNotice.get().has_value(); }, 5s));
  EXPECT_EQ(manager->connectionStatus.get(), "接続できません - iPadは「Studio Mac」と接続中です");
  EXPECT_EQ(manager->reconnectNotice.get()->cause, Cause::occupied);
  EXPECT_TRUE(manager->hasConnectionIssue.get());
  EXPECT_TRUE(log.has("reconnect_start reason=occupied"));
  bool found = false;
  for (const auto& line : log.lines()) {
    if (line.rfind("reconnect_attempt attempt=5 delay_s=", 0) != 0) continue;
    found = true;
    EXPECT_TRUE(line.ends_with(" reason=occupied")) << line;
    const double delay = std::stod(line.substr(std::string("reconnect_attempt attempt=5 delay_s=").size()));
    EXPECT_GE(delay, 6.4);
    EXPECT_LE(delay, 9.6);
  }
  EXPECT_TRUE(found);
  manager->stop(false);
}

TEST_F(LinkProtocolIntegrationTest, ModeRequestsServiceMessagesAndTheDisconnect) {
  startTablet({"--ack", "ready"});
  connectAndEstablish();

  // The tablet asks for raw; the user agrees; the tablet hears it.
  command("mode raw");
  ASSERT_TRUE(runUntil([&] { return manager->pendingModeRequest.get() == StreamMode::raw; }, 5s));
  manager->resolvePendingModeRequest(true);
  const auto response = waitFor("mode_change_response");
  ASSERT_TRUE(response);
  EXPECT_EQ((*response)["message"]["accepted"], true);
  EXPECT_EQ((*response)["message"]["mode"], "raw");
  EXPECT_EQ(manager->streamMode.get(), StreamMode::raw);

  LogWindow log;
  command("send-stream-stop 1,2 user");
  ASSERT_TRUE(runUntil([&] { return log.has("stream_stop_recv streams=1,2 reason=user"); }, 5s));

  std::vector<LoadVideoAck> acks;
  manager->onLoadVideoAck = [&](const LoadVideoAck& ack) { acks.push_back(ack); };
  ASSERT_TRUE(manager->sendLoadVideo("A", "http://127.0.0.1:8080/v/one", std::string("One")));
  const auto load = waitFor("load_video");
  ASSERT_TRUE(load);
  EXPECT_EQ((*load)["message"]["title"], "One");
  ASSERT_TRUE(runUntil([&] { return !acks.empty(); }, 5s));
  EXPECT_EQ(acks[0], (LoadVideoAck{"A", "http://127.0.0.1:8080/v/one", LoadVideoAck::Status::ready, std::nullopt}));

  ASSERT_TRUE(manager->sendVideoBPM("A", 128, std::nullopt));
  const auto bpm = waitFor("video_bpm");
  ASSERT_TRUE(bpm);
  EXPECT_EQ((*bpm)["message"]["bpm"], 128);

  ASSERT_TRUE(manager->sendSourceEndpoint(8080, "secret", false));
  const auto endpoint = waitFor("source_endpoint");
  ASSERT_TRUE(endpoint);
  EXPECT_EQ((*endpoint)["message"]["httpPort"], 8080);

  DeckState deck(1);
  deck.musicTitle = "Track";
  deck.musicBPM = 124.0F;
  manager->sendDeckState(deck);
  const auto state = waitFor("deck_state");
  ASSERT_TRUE(state);
  EXPECT_EQ((*state)["message"]["title"], "Track");
  ASSERT_TRUE(runUntil([&] { return manager->deckStatesInFlight() == 0; }, 5s));

  // A burst with nothing after it: the tablet hears the last state of each deck in it.
  DeckState loaded(1);
  loaded.musicTitle = "Loaded";
  DeckState other(2);
  other.isOnAir = true;
  for (const auto* burst : {&deck, &loaded, &other}) manager->sendDeckState(*burst);
  for (const auto* expected : {&deck, &loaded, &other}) {
    const auto next = waitFor("deck_state");
    ASSERT_TRUE(next);
    EXPECT_EQ((*next)["message"]["deck"], expected->deckNumber);
    EXPECT_EQ((*next)["message"]["title"], expected->musicTitle);
    EXPECT_EQ((*next)["message"]["onAir"], expected->isOnAir);
  }
  ASSERT_TRUE(runUntil([&] { return manager->deckStatesInFlight() == 0; }, 5s));

  // The user disconnects: no ping, no request, no attempt follows.
  manager->stop(false);
  EXPECT_FALSE(runUntil([] { return false; }, 200ms));
  command("stats"); // everything the emulator said before now is read
  EXPECT_EQ(manager->connectionStatus.get(), "未接続");
  EXPECT_FALSE(manager->reconnectNotice.get());
  EXPECT_FALSE(waitFor("handshake_request", 2500ms));
  EXPECT_FALSE(waitFor("ping", 500ms));
  EXPECT_TRUE(manager->connectedPeers.get().empty());
}

// Tablets that differ from ours in ways the protocol allows.

TEST_F(LinkProtocolIntegrationTest, AnAckWithoutModeOrWithAnUnknownWordMeansMix) {
  manager->applyStreamMode(StreamMode::raw);
  for (const std::string word : {"omit", "stereo"}) {
    SCOPED_TRACE(word);
    startTablet({"--ack-mode", word});
    connectAndEstablish();
    EXPECT_EQ(manager->pendingModeRequest.get(), StreamMode::mix);
    leaveTablet();
  }
}

class LinkVideoVariantTest : public LinkProtocolIntegrationTest {
protected:
  void SetUp() override {
    LinkProtocolIntegrationTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    clip_ = makeClip(folder_.path());
    if (!clip_.empty()) return;
    if (testing::PrivateAvahi::requiredByCi()) FAIL() << "ffmpeg with libx265 could not make the video clip";
    GTEST_SKIP() << "ffmpeg with libx265 could not make the video clip";
  }
  std::filesystem::path clip_;
};

TEST_F(LinkVideoVariantTest, FramesArriveWhateverTheLengthFieldCounts) {
  for (const std::string rule : {"without-prefixes", "first-nal"}) {
    SCOPED_TRACE(rule);
    const auto before = manager->decodedFrameCount(0);
    startTablet({"--video", clip_.string(), "--stream", "mix", "--nal-length", rule});
    connectAndEstablish();
    EXPECT_TRUE(runUntil([&] { return manager->decodedFrameCount(0) >= before + 15; }, 10s));
    leaveTablet();
  }
}

TEST_F(LinkVideoVariantTest, FramesSentBeforeTheAckAreShown) {
  // One frame a second after the ack, so nearly all that arrive soon came before it.
  startTablet({"--video", clip_.string(), "--stream", "mix", "--fps", "1", "--video-before-ack", "10"});
  connectAndEstablish();
  ASSERT_TRUE(waitFor("video_before_ack"));
  emulator->command("stats");
  const auto stats = waitFor("stats");
  ASSERT_TRUE(stats);
  // Every frame sent so far, the ten before the ack among them, is decoded. Lost early frames
  // could only be made up by ten more at one a second, far beyond the limit.
  const auto sent = stats->at("stats").value("framesSent", std::uint64_t{0});
  ASSERT_GE(sent, 10u);
  EXPECT_TRUE(runUntil([&] { return manager->decodedFrameCount(0) >= sent; }, 5s))
      << manager->decodedFrameCount(0) << " of " << sent;
}

} // namespace
} // namespace pd::link::test
