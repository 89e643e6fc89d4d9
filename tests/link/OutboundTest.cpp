#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "link/ManagerSenderLink.hpp"
#include "link/MessageText.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using platform::net::ActiveAddress;
using platform::net::InterfaceAddress;
using platform::net::InterfaceType;

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

TEST(ClippedForMessageTest, KeepsSixtyFourCharactersWithinHundredNinetyTwoBytes) {
  EXPECT_EQ(clippedForMessage(repeat("a", 100)), repeat("a", 64));
  EXPECT_EQ(clippedForMessage(repeat("あ", 64)), repeat("あ", 64)); // 192 bytes exactly
  EXPECT_EQ(clippedForMessage(repeat("あ", 65)), repeat("あ", 64));
  EXPECT_EQ(clippedForMessage(repeat("😀", 64)), repeat("😀", 48)); // four bytes each
  // A family emoji is one character of 25 bytes: seven fit, and no half of one is sent.
  const std::string family = "👨‍👩‍👧‍👦";
  EXPECT_EQ(clippedForMessage(repeat(family, 10)), repeat(family, 7));
  // "e" and a combining accent count as one character.
  EXPECT_EQ(clippedForMessage(repeat("e\xCC\x81", 70)), repeat("e\xCC\x81", 64));
  EXPECT_EQ(clippedForMessage(""), "");
  EXPECT_EQ(clippedForMessage("ab\xFF"), "ab\xEF\xBF\xBD");
}

TEST(PrimaryIPv4AddressTest, TakesTheFirstWiredOrWifiIPv4AndSkipsVirtualInterfaces) {
  const auto v4 = [](std::string name, InterfaceType type, std::string address) {
    return ActiveAddress{type, InterfaceAddress{std::move(name), InterfaceAddress::Family::ipv4, std::move(address)}};
  };
  const auto v6 = [](std::string name, InterfaceType type, std::string address) {
    return ActiveAddress{type, InterfaceAddress{std::move(name), InterfaceAddress::Family::ipv6, std::move(address)}};
  };
  EXPECT_EQ(NetworkManagerForMac::primaryIPv4Address({v4("docker0", InterfaceType::other, "172.17.0.1"),
                                                      v4("veth1", InterfaceType::other, "10.0.0.1"),
                                                      v6("eth0", InterfaceType::wiredEthernet, "fe80::1%eth0"),
                                                      v4("wlan0", InterfaceType::wifi, "192.168.1.20"),
                                                      v4("eth0", InterfaceType::wiredEthernet, "192.168.1.10")}),
            "192.168.1.20");
  EXPECT_EQ(NetworkManagerForMac::primaryIPv4Address({v4("br0", InterfaceType::other, "10.1.1.1")}), std::nullopt);
  EXPECT_EQ(NetworkManagerForMac::primaryIPv4Address({}), std::nullopt);
}

class OutboundTest : public ManagerFixture {
protected:
  void SetUp() override {
    for (const char* key : {"deckstate_drop", "deckstate_send_fail", "deckstate_send_skip"}) {
      diagnostics::LogThrottle::shared().reset(key);
    }
    current = &connectReady(tablet("Tab", {loopback()}));
  }
  void establish(std::string_view features = "[]") {
    const auto ack = R"({"type":"handshake_ack","protocolVersion":3,"mode":"mix","features":)" + std::string(features) +
                     R"(,"seq":)" + std::to_string(TA::handshakeSequence(*manager)) + "}";
    ASSERT_TRUE(current->deliver(bytes(ack)));
    settle();
  }
  std::vector<nlohmann::json> sent(std::string_view type) { return sentMessages(*current, type); }
  void waitUntilNothingInFlight() {
    runUntil([&] { return manager->deckStatesInFlight() == 0; });
  }
  FakeLink* current = nullptr;
};

TEST_F(OutboundTest, OneDeckStateAtATime) {
  LogWindow log;
  DeckState state(2);
  state.isPlaying = true;
  state.musicBPM = 128.5F;
  state.musicTitle = repeat("t", 80);
  state.musicArtist = "Artist";
  state.duration = 245.25F;
  manager->sendDeckState(state);
  manager->sendDeckState(state); // same turn: dropped, not queued
  EXPECT_TRUE(log.has("deckstate_drop reason=inflight inflight=1/1 occurrences=1"));
  waitUntilNothingInFlight();
  runUntil([&] { return sent("deck_state").size() == 1; });
  const auto message = sent("deck_state")[0];
  EXPECT_EQ(message, (nlohmann::json{{"type", "deck_state"}, {"deck", 2}, {"playing", true}, {"onAir", false},
                                     {"bpm", 128.5}, {"title", repeat("t", 64)}, {"artist", "Artist"},
                                     {"duration", 245.25}}));
  manager->sendDeckState(state);
  waitUntilNothingInFlight();
  EXPECT_EQ(sent("deck_state").size(), 2u);
}

TEST_F(OutboundTest, TheInFlightCountComesBackWhateverBecomesOfTheSend) {
  LogWindow log;
  // A link that lets the completion go unrun (torn down with the send queued).
  current->dropSendCompletions(true);
  manager->sendDeckState(DeckState(1));
  waitUntilNothingInFlight();
  current->dropSendCompletions(false);

  // Failed sends: the first is written, a later success after two says so.
  current->failSends(PosixError(ECANCELED, "link cancelled"));
  manager->sendDeckState(DeckState(1));
  waitUntilNothingInFlight();
  manager->sendDeckState(DeckState(1));
  waitUntilNothingInFlight();
  EXPECT_EQ(log.count("deckstate_send_fail err_domain=POSIX err_code=125"), 1u);
  current->failSends(std::nullopt);
  manager->sendDeckState(DeckState(1));
  waitUntilNothingInFlight();
  runUntil([&] { return log.has("deckstate_send_recovered after=2"); });

  // A value JSON cannot carry: nothing is sent, and the count comes back too.
  const auto before = sent("deck_state").size();
  DeckState broken(1);
  broken.musicBPM = std::numeric_limits<float>::quiet_NaN();
  manager->sendDeckState(broken);
  waitUntilNothingInFlight();
  EXPECT_TRUE(log.has("json_build_fail msg=deck_state"));
  EXPECT_EQ(sent("deck_state").size(), before);
}

TEST_F(OutboundTest, NoConnectionNoDeckState) {
  manager->stop(false);
  LogWindow log;
  manager->sendDeckState(DeckState(1));
  EXPECT_EQ(manager->deckStatesInFlight(), 0);
  EXPECT_TRUE(log.has("deckstate_send_skip reason=no_connection occurrences=1"));
}

TEST_F(OutboundTest, SourceEndpointWaitsForTheLinkButLoadVideoDoesNot) {
  LogWindow log;
  EXPECT_FALSE(manager->sendSourceEndpoint(8080, "token", false));
  EXPECT_TRUE(log.has("source_endpoint_send_skip reason=no_connection"));
  EXPECT_TRUE(manager->sendLoadVideo("A", "http://192.168.1.5:8080/v/abc", std::string("")));
  EXPECT_TRUE(log.has("load_video_send target=A host=192.168.1.5 url=<private>"));
  ASSERT_EQ(sent("load_video").size(), 1u);
  EXPECT_FALSE(sent("load_video")[0].contains("title"));

  establish();
  EXPECT_TRUE(manager->sendSourceEndpoint(8080, "token", false));
  EXPECT_TRUE(manager->sendSourceEndpoint(8080, "token", true));
  const auto linkID = TA::linkID(*manager);
  EXPECT_TRUE(log.has("source_endpoint_send port=8080 link_id=" + linkID.substr(0, 16)));
  EXPECT_TRUE(log.has("source_endpoint_send port=8080 link_id=" + linkID.substr(0, 16) + " repeat=true"));
  EXPECT_EQ(sent("source_endpoint")[0], (nlohmann::json{{"type", "source_endpoint"}, {"httpPort", 8080},
                                                        {"sessionToken", "token"}, {"linkID", linkID}}));

  EXPECT_TRUE(manager->sendLoadVideo("B", "not a url", std::string(repeat("あ", 70))));
  EXPECT_TRUE(log.has("load_video_send target=B host=- url="));
  EXPECT_EQ(sent("load_video")[1]["title"], repeat("あ", 64));
  EXPECT_TRUE(manager->sendLoadVideo("B", "http://h/x", std::nullopt));
  EXPECT_FALSE(sent("load_video")[2].contains("title"));

  EXPECT_TRUE(manager->sendVideoBPM("A", 0, std::nullopt));
  EXPECT_TRUE(manager->sendVideoBPM("B", 174, std::string("http://h/x")));
  EXPECT_TRUE(log.has("video_bpm_send target=A bpm=0"));
  EXPECT_EQ(sent("video_bpm")[0], (nlohmann::json{{"type", "video_bpm"}, {"target", "A"}, {"bpm", 0}}));
  EXPECT_EQ(sent("video_bpm")[1]["url"], "http://h/x");

  manager->stop(false);
  EXPECT_FALSE(manager->sendLoadVideo("A", "http://h/x", std::nullopt));
  EXPECT_FALSE(manager->sendVideoBPM("A", 120, std::nullopt));
  EXPECT_TRUE(log.has("load_video_send_skip reason=no_connection"));
  EXPECT_TRUE(log.has("video_bpm_send_skip reason=no_connection"));
}

// The sender reaches the link only through its port: the callbacks it installs fire at
// establishment and for a load answer, and the port goes quiet once the manager has gone.
TEST_F(OutboundTest, TheSenderPortCarriesTheSendsTheCallbacksAndThePeer) {
  auto port = std::make_unique<ManagerSenderLink>(manager);
  std::optional<std::string> peerID;
  int remoteReady = 0;
  std::vector<LoadVideoAck> acks;
  port->setCallbacks({[&](const std::optional<std::string>& id) { peerID = id; }, [&] { ++remoteReady; },
                      [&](const LoadVideoAck& ack) { acks.push_back(ack); }});
  EXPECT_EQ(port->peerFeatures(), std::nullopt);
  EXPECT_FALSE(port->sendSourceEndpoint(8080, "token", false));

  const auto ack = R"({"type":"handshake_ack","protocolVersion":3,"mode":"mix","peerID":"P1",)"
                   R"("features":["remote_source"],"seq":)" +
                   std::to_string(TA::handshakeSequence(*manager)) + "}";
  ASSERT_TRUE(current->deliver(bytes(ack)));
  settle();
  EXPECT_EQ(peerID, "P1");
  EXPECT_EQ(remoteReady, 1);
  EXPECT_EQ(port->peerFeatures(), std::vector<std::string>{"remote_source"});
  EXPECT_EQ(port->localHostForPeer(), "127.0.0.1");
  EXPECT_TRUE(port->sendSourceEndpoint(8080, "token", false));
  EXPECT_TRUE(port->sendLoadVideo("A", "http://127.0.0.1:8080/v/abc", std::nullopt));
  EXPECT_TRUE(port->sendVideoBPM("A", 128, std::nullopt));
  EXPECT_EQ(sent("source_endpoint").size(), 1u);
  EXPECT_EQ(sent("load_video").size(), 1u);
  EXPECT_EQ(sent("video_bpm")[0]["bpm"], 128);

  ASSERT_TRUE(current->deliver(bytes(R"({"type":"load_video_ack","target":"A","url":"u","status":"ready"})")));
  settle();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].status, LoadVideoAck::Status::ready);

  ASSERT_TRUE(releaseManager(manager, [this] { pump(); }));
  EXPECT_FALSE(port->sendLoadVideo("A", "http://h/x", std::nullopt));
  EXPECT_FALSE(port->sendVideoBPM("A", 120, std::nullopt));
  EXPECT_EQ(port->localHostForPeer(), std::nullopt);
  EXPECT_EQ(port->peerFeatures(), std::nullopt);
}

TEST_F(OutboundTest, LocalHostIsTheConnectionsOwnIPv4Address) {
  EXPECT_EQ(manager->localHostForPeer(), "127.0.0.1");
  current->setLocalEndpoint(platform::net::HostPort{"10.0.0.7%eth0", 5000});
  EXPECT_EQ(manager->localHostForPeer(), "10.0.0.7");
}

TEST_F(OutboundTest, IPv6IsOfferedOnlyToARemoteSourceTabletWithoutAnyIPv4) {
  current->setLocalEndpoint(platform::net::HostPort{"fe80::1%lo", 5000});
  const auto primary = NetworkManagerForMac::primaryIPv4Address(platform::net::activeAddresses());
  EXPECT_EQ(manager->localHostForPeer(), primary);
  establish(R"(["remote_source"])");
  EXPECT_EQ(manager->localHostForPeer(), primary ? *primary : std::string("[fe80::1]"));
}

} // namespace
} // namespace pd::link::test
