#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "link/MessageText.hpp"
#include "link/ServiceMessages.hpp"
#include "link/records/DeckState.hpp"
#include "runtime/SerialQueue.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace pd::link::test {
namespace {

using platform::net::ActiveAddress;
using platform::net::InterfaceAddress;
using platform::net::InterfaceType;

std::string repeat(std::string_view piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// The service messages on a ready fake link of their own.
class ServiceMessagesTest : public MainLoopFixture {
protected:
  void SetUp() override {
    for (const char* key : {"deckstate_drop", "deckstate_send_fail", "deckstate_send_skip"}) {
      diagnostics::LogThrottle::shared().reset(key);
    }
    current->start(queue_.executor());
    current->report(platform::net::LinkState::ready); // on 127.0.0.1
  }
  ServiceMessages::Link link(bool established = false) const { return {connection, established, linkID}; }
  std::optional<std::string> localHost() const { return ServiceMessages::localHostForPeer(current.get(), features); }
  std::vector<nlohmann::json> sent(std::string_view type) { return sentMessages(*current, type); }
  void waitUntilNothingInFlight() {
    runUntil([&] { return messages.deckStatesInFlight() == 0; });
  }

  runtime::SerialQueue queue_{"test.link"};
  std::shared_ptr<FakeLink> current =
      std::make_shared<FakeLink>(tablet("Tab", {loopback()}).endpoint, platform::net::LinkParameters{});
  std::shared_ptr<platform::net::DatagramLink> connection = current;
  const std::string linkID = "0123456789abcdef0123456789abcdef";
  std::optional<std::vector<std::string>> features;
  ServiceMessages messages;
};

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
  EXPECT_EQ(ServiceMessages::primaryIPv4Address({v4("docker0", InterfaceType::other, "172.17.0.1"),
                                                 v4("veth1", InterfaceType::other, "10.0.0.1"),
                                                 v6("eth0", InterfaceType::wiredEthernet, "fe80::1%eth0"),
                                                 v4("wlan0", InterfaceType::wifi, "192.168.1.20"),
                                                 v4("eth0", InterfaceType::wiredEthernet, "192.168.1.10")}),
            "192.168.1.20");
  EXPECT_EQ(ServiceMessages::primaryIPv4Address({v4("br0", InterfaceType::other, "10.1.1.1")}), std::nullopt);
  EXPECT_EQ(ServiceMessages::primaryIPv4Address({}), std::nullopt);
}

TEST_F(ServiceMessagesTest, OneDeckStateAtATime) {
  LogWindow log;
  DeckState state(2);
  state.isPlaying = true;
  state.musicBPM = 128.5F;
  state.musicTitle = repeat("t", 80);
  state.musicArtist = "Artist";
  state.duration = 245.25F;
  messages.sendDeckState(link(), state);
  messages.sendDeckState(link(), state); // same turn: held back until the first is done
  EXPECT_TRUE(log.has("deckstate_drop reason=inflight inflight=1/1 occurrences=1"));
  waitUntilNothingInFlight();
  runUntil([&] { return sent("deck_state").size() == 2; });
  EXPECT_EQ(sent("deck_state")[1], sent("deck_state")[0]);
  const auto message = sent("deck_state")[0];
  EXPECT_EQ(message, (nlohmann::json{{"type", "deck_state"},
                                     {"deck", 2},
                                     {"playing", true},
                                     {"onAir", false},
                                     {"bpm", 128.5},
                                     {"title", repeat("t", 64)},
                                     {"artist", "Artist"},
                                     {"duration", 245.25}}));
  messages.sendDeckState(link(), state);
  waitUntilNothingInFlight();
  EXPECT_EQ(sent("deck_state").size(), 3u);
}

TEST_F(ServiceMessagesTest, ABurstEndsWithTheNewestStateOfEachDeck) {
  // A track loaded onto a stopped deck comes as a burst with nothing after it: the tablet must
  // end up with the burst's last values of every deck in it, one state in flight at a time.
  DeckState old(1);
  old.musicTitle = "Old";
  DeckState between(1);
  between.musicTitle = "Between";
  DeckState loaded(1);
  loaded.musicTitle = "New";
  loaded.musicBPM = 126.0F;
  DeckState other(2);
  other.isOnAir = true;
  for (const auto* state : {&old, &other, &between, &loaded}) messages.sendDeckState(link(), *state);
  EXPECT_EQ(messages.deckStatesInFlight(), 1);
  runUntil([&] { return sent("deck_state").size() == 3 && messages.deckStatesInFlight() == 0; });
  auto states = sent("deck_state");
  ASSERT_EQ(states.size(), 3u);
  EXPECT_EQ(states[0]["title"], "Old");
  EXPECT_EQ(states[1]["deck"], 1);
  EXPECT_EQ(states[1]["title"], "New");
  EXPECT_EQ(states[1]["bpm"], 126.0);
  EXPECT_EQ(states[2]["deck"], 2);
  EXPECT_EQ(states[2]["onAir"], true);

  // States held back for a link that has gone since stay behind.
  messages.sendDeckState(link(), old);
  messages.sendDeckState(link(), loaded);
  current->cancel();
  waitUntilNothingInFlight();
  states = sent("deck_state");
  ASSERT_EQ(states.size(), 4u);
  EXPECT_EQ(states[3]["title"], "Old");
}

TEST_F(ServiceMessagesTest, TheInFlightCountComesBackWhateverBecomesOfTheSend) {
  LogWindow log;
  // A link that lets the completion go unrun (torn down with the send queued).
  current->dropSendCompletions(true);
  messages.sendDeckState(link(), DeckState(1));
  waitUntilNothingInFlight();
  current->dropSendCompletions(false);

  // Failed sends: the first is written, a later success after two says so.
  current->failSends(PosixError(ECANCELED, "link cancelled"));
  messages.sendDeckState(link(), DeckState(1));
  waitUntilNothingInFlight();
  messages.sendDeckState(link(), DeckState(1));
  waitUntilNothingInFlight();
  EXPECT_EQ(log.count("deckstate_send_fail err_domain=POSIX err_code=125"), 1u);
  current->failSends(std::nullopt);
  messages.sendDeckState(link(), DeckState(1));
  waitUntilNothingInFlight();
  runUntil([&] { return log.has("deckstate_send_recovered after=2"); });

  // A value JSON cannot carry: nothing is sent, and the count comes back too.
  const auto before = sent("deck_state").size();
  DeckState broken(1);
  broken.musicBPM = std::numeric_limits<float>::quiet_NaN();
  messages.sendDeckState(link(), broken);
  waitUntilNothingInFlight();
  EXPECT_TRUE(log.has("json_build_fail msg=deck_state"));
  EXPECT_EQ(sent("deck_state").size(), before);
}

TEST_F(ServiceMessagesTest, NoConnectionNoDeckState) {
  LogWindow log;
  connection.reset();
  messages.sendDeckState(link(), DeckState(1));
  EXPECT_EQ(messages.deckStatesInFlight(), 0);
  EXPECT_TRUE(log.has("deckstate_send_skip reason=no_connection occurrences=1"));
}

TEST_F(ServiceMessagesTest, SourceEndpointWaitsForTheLinkButLoadVideoDoesNot) {
  LogWindow log;
  EXPECT_FALSE(messages.sendSourceEndpoint(link(false), 8080, "token", false));
  EXPECT_TRUE(log.has("source_endpoint_send_skip reason=no_connection"));
  EXPECT_TRUE(messages.sendLoadVideo(link(), "A", "http://192.168.1.5:8080/v/abc", std::string("")));
  EXPECT_TRUE(log.has("load_video_send target=A host=192.168.1.5 url=<private>"));
  ASSERT_EQ(sent("load_video").size(), 1u);
  EXPECT_FALSE(sent("load_video")[0].contains("title"));

  EXPECT_TRUE(messages.sendSourceEndpoint(link(true), 8080, "token", false));
  EXPECT_TRUE(messages.sendSourceEndpoint(link(true), 8080, "token", true));
  EXPECT_TRUE(log.has("source_endpoint_send port=8080 link_id=" + linkID.substr(0, 16)));
  EXPECT_TRUE(log.has("source_endpoint_send port=8080 link_id=" + linkID.substr(0, 16) + " repeat=true"));
  EXPECT_EQ(
      sent("source_endpoint")[0],
      (nlohmann::json{{"type", "source_endpoint"}, {"httpPort", 8080}, {"sessionToken", "token"}, {"linkID", linkID}}));

  EXPECT_TRUE(messages.sendLoadVideo(link(), "B", "not a url", std::string(repeat("あ", 70))));
  EXPECT_TRUE(log.has("load_video_send target=B host=- url="));
  // The deck the answer is for travels as given, beside the clipped title.
  EXPECT_EQ(
      sent("load_video")[1],
      (nlohmann::json{{"type", "load_video"}, {"target", "B"}, {"url", "not a url"}, {"title", repeat("あ", 64)}}));
  EXPECT_TRUE(messages.sendLoadVideo(link(), "B", "http://h/x", std::nullopt));
  EXPECT_FALSE(sent("load_video")[2].contains("title"));

  EXPECT_TRUE(messages.sendVideoBPM(link(), "A", 0, std::nullopt));
  EXPECT_TRUE(messages.sendVideoBPM(link(), "B", 174, std::string("http://h/x")));
  EXPECT_TRUE(log.has("video_bpm_send target=A bpm=0"));
  EXPECT_EQ(sent("video_bpm")[0], (nlohmann::json{{"type", "video_bpm"}, {"target", "A"}, {"bpm", 0}}));
  EXPECT_EQ(sent("video_bpm")[1],
            (nlohmann::json{{"type", "video_bpm"}, {"target", "B"}, {"bpm", 174}, {"url", "http://h/x"}}));

  current->cancel();
  EXPECT_FALSE(messages.sendLoadVideo(link(), "A", "http://h/x", std::nullopt));
  EXPECT_FALSE(messages.sendVideoBPM(link(), "A", 120, std::nullopt));
  EXPECT_TRUE(log.has("load_video_send_skip reason=no_connection"));
  EXPECT_TRUE(log.has("video_bpm_send_skip reason=no_connection"));
}

TEST_F(ServiceMessagesTest, LocalHostIsTheConnectionsOwnIPv4Address) {
  EXPECT_EQ(localHost(), "127.0.0.1");
  current->setLocalEndpoint(platform::net::HostPort{"10.0.0.7%eth0", 5000});
  EXPECT_EQ(localHost(), "10.0.0.7");
}

TEST_F(ServiceMessagesTest, IPv6IsOfferedOnlyToARemoteSourceTabletWithoutAnyIPv4) {
  current->setLocalEndpoint(platform::net::HostPort{"fe80::1%lo", 5000});
  const auto primary = ServiceMessages::primaryIPv4Address(platform::net::activeAddresses());
  EXPECT_EQ(localHost(), primary);
  features = std::vector<std::string>{"remote_source"};
  EXPECT_EQ(localHost(), primary ? *primary : std::string("[fe80::1]"));
}

} // namespace
} // namespace pd::link::test
