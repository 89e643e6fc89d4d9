#include "tablet-emulator/TabletSession.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pd::tools::tablet {
namespace {

const Endpoint mac{"127.0.0.1", 50001};
const Endpoint macAfterReconnect{"127.0.0.1", 50002};
const std::string linkId(32, 'c');

// Drives a session as a receiver would and keeps everything it sends and reports.
class Harness {
public:
  explicit Harness(SessionSettings settings = {}) {
    TabletSession::Hooks hooks;
    hooks.send = [this](const Endpoint& to, const std::string& bytes) {
      sent.push_back({to, bytes});
      return sendSucceeds;
    };
    hooks.emit = [this](Json event) { events.push_back(std::move(event)); };
    hooks.wallNow = [this] { return wall; };
    hooks.monotonicNow = [this] { return monotonic; };
    session = std::make_unique<TabletSession>(std::move(settings), std::move(hooks));
  }

  void receive(const Endpoint& from, const char* text) { receive(from, std::string(text)); }
  void receive(const Endpoint& from, const std::string& text) {
    session->handleDatagram(from, ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  void receive(const Endpoint& from, const Json& message) { receive(from, message.dump()); }

  void handshake(const Endpoint& from, std::int64_t seq) {
    receive(from, Json{{"type", "handshake_request"}, {"seq", seq}, {"linkID", linkId}, {"protocolVersion", 3}});
  }

  Json lastSentJson() const { return Json::parse(sent.back().second); }
  std::vector<Json> eventsNamed(const std::string& name) const {
    std::vector<Json> out;
    for (const Json& e : events) {
      if (e.value("event", "") == name) {
        out.push_back(e);
      }
    }
    return out;
  }
  // One field of every event of that name, in the order they came.
  std::vector<Json> fieldOfEach(const std::string& name, const std::string& key) const {
    std::vector<Json> out;
    for (const Json& e : eventsNamed(name)) {
      out.push_back(e.value(key, Json()));
    }
    return out;
  }

  std::vector<std::pair<Endpoint, std::string>> sent;
  std::vector<Json> events;
  bool sendSucceeds = true;
  std::chrono::system_clock::time_point wall{std::chrono::seconds(1'700'000'000)};
  std::chrono::steady_clock::time_point monotonic{std::chrono::seconds(100)};
  std::unique_ptr<TabletSession> session;
};

TEST(Handshake, AcceptAnswersTheSenderEchoingSeqAndLinkId) {
  Harness h;
  h.handshake(mac, 7);
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].first, mac);
  const Json ack = h.lastSentJson();
  EXPECT_EQ(ack["type"], "handshake_ack");
  EXPECT_EQ(ack["seq"], 7);
  EXPECT_EQ(ack["linkID"], linkId);
  EXPECT_EQ(ack["protocolVersion"], 3);
  EXPECT_EQ(ack["mode"], "mix");
  EXPECT_EQ(ack["features"], Json(defaultFeatures()));
  EXPECT_EQ(h.session->videoTarget(), mac);
  EXPECT_EQ(h.fieldOfEach("handshake_request", "linkId"), std::vector<Json>{linkId});
  EXPECT_EQ(h.eventsNamed("linked").size(), 1u);
}

TEST(Handshake, LinkIdCanBeAnsweredWrongOrLeftOut) {
  Harness h;
  h.session->setLinkIdEcho(LinkIdEcho::wrong);
  h.handshake(mac, 1);
  EXPECT_NE(h.lastSentJson()["linkID"], linkId);
  EXPECT_EQ(h.lastSentJson()["linkID"].get<std::string>().size(), 32u);
  h.session->setLinkIdEcho(LinkIdEcho::omit);
  h.handshake(mac, 2);
  EXPECT_FALSE(h.lastSentJson().contains("linkID"));
}

TEST(Handshake, LegacyProfileAnswersWithoutProtocolVersion) {
  Harness h;
  h.session->profile().protocolVersion.reset();
  h.session->profile().features.reset();
  h.handshake(mac, 1);
  EXPECT_FALSE(h.lastSentJson().contains("protocolVersion"));
  EXPECT_FALSE(h.lastSentJson().contains("features"));
}

TEST(Handshake, RejectAnswersOccupiedAndDropsALinkToThatReceiver) {
  Harness h;
  h.handshake(mac, 1);
  ASSERT_EQ(h.session->linkedPeer(), mac);
  h.session->setHandshakePolicy(HandshakePolicy::reject, "occupied", "Studio iPad");
  h.handshake(mac, 2);
  const Json reject = h.lastSentJson();
  EXPECT_EQ(reject["type"], "handshake_reject");
  EXPECT_EQ(reject["seq"], 2);
  EXPECT_EQ(reject["reason"], "occupied");
  EXPECT_EQ(reject["occupiedBy"], "Studio iPad");
  EXPECT_FALSE(h.session->linkedPeer().has_value());
  EXPECT_EQ(h.eventsNamed("unlinked").size(), 1u);
}

TEST(Handshake, LostAckLinksWithoutAnswering) {
  // The tablet believes it answered: it goes on pinging and streaming, which is what makes the
  // receiver resend its request.
  SessionSettings settings;
  settings.handshake = HandshakePolicy::loseAck;
  settings.pingEnabled = true;
  Harness h(settings);
  h.handshake(mac, 3);
  EXPECT_TRUE(h.sent.empty());
  EXPECT_EQ(h.session->videoTarget(), mac);
  EXPECT_EQ(h.eventsNamed("ack_lost").size(), 1u);
  h.session->sendPing();
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.lastSentJson()["type"], "ping");
}

TEST(Handshake, RequestFromANewPortTakesTheLinkOver) {
  Harness h;
  h.handshake(mac, 1);
  h.handshake(macAfterReconnect, 2);
  EXPECT_EQ(h.session->videoTarget(), macAfterReconnect);
  EXPECT_EQ(h.sent.back().first, macAfterReconnect);
  const auto linked = h.eventsNamed("linked");
  ASSERT_EQ(linked.size(), 2u);
  EXPECT_EQ(linked[1]["previous"], mac.text());
}

TEST(Handshake, RequestWithoutIntegerSeqGetsNoAnswer) {
  Harness h;
  h.receive(mac, Json{{"type", "handshake_request"}, {"seq", "4"}});
  EXPECT_TRUE(h.sent.empty());
  EXPECT_FALSE(h.session->linkedPeer().has_value());
  EXPECT_EQ(h.fieldOfEach("bad_message", "reason"), std::vector<Json>{"missing_seq"});
}

TEST(Silence, RecordsEverythingAndAnswersNothing) {
  Harness h;
  h.handshake(mac, 1);
  h.sent.clear();
  h.session->setSilenced(true);
  h.session->setPingEnabled(true);
  h.handshake(mac, 2);
  h.receive(mac, Json{{"type", "ping"}, {"seq", 1}});
  h.receive(mac, Json{{"type", "load_video"}, {"target", "A"}, {"url", "http://h/v"}});
  h.session->sendPing();
  EXPECT_TRUE(h.sent.empty());
  EXPECT_FALSE(h.session->videoTarget().has_value());
  EXPECT_EQ(h.fieldOfEach("handshake_request", "seq"), (std::vector<Json>{1, 2}));
  EXPECT_EQ(h.eventsNamed("ping").size(), 1u);
  EXPECT_EQ(h.eventsNamed("load_video").size(), 1u);
  h.session->setSilenced(false);
  EXPECT_EQ(h.session->videoTarget(), mac) << "silence does not end the link";
}

TEST(Silence, ResumeAnswersOnlyTheNewestRequestThatWaited) {
  Harness h;
  h.session->setSilenced(true);
  const Endpoint newPort = macAfterReconnect;
  h.handshake(mac, 5);
  h.handshake(newPort, 6);
  EXPECT_TRUE(h.sent.empty());
  h.session->resume();
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(h.sent[0].first, newPort);
  EXPECT_EQ(h.lastSentJson()["type"], "handshake_ack");
  EXPECT_EQ(h.lastSentJson()["seq"], 6);
  EXPECT_EQ(h.session->linkedPeer(), newPort);
  // Nothing is held any more; plain silence forgets what waited.
  h.session->resume();
  EXPECT_EQ(h.sent.size(), 1u);
  h.session->setSilenced(true);
  h.handshake(mac, 7);
  h.session->setSilenced(false);
  h.session->resume();
  EXPECT_EQ(h.sent.size(), 1u);
}

TEST(Heartbeat, PingsAreAnsweredWithTheirSeqAndBothClocks) {
  Harness h;
  h.receive(mac, R"({"type":"ping","seq":4.0,"timestamp":1.0,"timestampUnixMs":5})");
  ASSERT_EQ(h.sent.size(), 1u);
  const Json pong = h.lastSentJson();
  EXPECT_EQ(pong["type"], "pong");
  EXPECT_TRUE(pong["seq"].is_number_integer());
  EXPECT_EQ(pong["seq"], 4);
  EXPECT_EQ(pong["timestampUnixMs"], 1'700'000'000'000);
  EXPECT_DOUBLE_EQ(pong["timestamp"].get<double>(), 1'700'000'000.0 - 978'307'200.0);

  h.receive(mac, R"({"type":"ping","seq":"5"})");
  h.receive(mac, R"({"type":"ping","seq":5.5})");
  EXPECT_EQ(h.sent.size(), 1u) << "a ping without an integer seq gets no pong";
  EXPECT_EQ(h.fieldOfEach("bad_message", "reason"), (std::vector<Json>{"missing_seq", "missing_seq"}));
}

TEST(Heartbeat, OwnPingsNeedALinkAndCountFromOneForEachLink) {
  Harness h;
  h.session->setPingEnabled(true);
  h.session->sendPing();
  EXPECT_TRUE(h.sent.empty());
  h.handshake(mac, 1);
  h.session->sendPing();
  h.session->sendPing();
  EXPECT_EQ(h.lastSentJson()["seq"], 2);
  EXPECT_EQ(h.lastSentJson()["mode"], "mix");
  h.handshake(macAfterReconnect, 2);
  h.session->sendPing();
  EXPECT_EQ(h.lastSentJson()["seq"], 1);
  h.session->setPingEnabled(false);
  const auto before = h.sent.size();
  h.session->sendPing();
  EXPECT_EQ(h.sent.size(), before);
  h.session->sendPing(true);
  EXPECT_EQ(h.sent.size(), before + 1) << "ping-now sends even with periodic pings off";
}

TEST(Heartbeat, PongOfTheLatestPingGivesTheRoundTrip) {
  Harness h;
  h.handshake(mac, 1);
  h.session->sendPing(true);
  h.session->sendPing(true);
  h.monotonic += std::chrono::milliseconds(12);
  h.receive(mac, Json{{"type", "pong"}, {"seq", 2}});
  h.receive(mac, Json{{"type", "pong"}, {"seq", 1}});
  const auto pongs = h.eventsNamed("pong");
  ASSERT_EQ(pongs.size(), 2u);
  EXPECT_DOUBLE_EQ(pongs[0]["rttMs"].get<double>(), 12.0);
  EXPECT_FALSE(pongs[1].contains("rttMs"));
}

TEST(ModeChange, LocalModeFollowsOnlyAnAcceptingResponse) {
  Harness h;
  h.handshake(mac, 1);
  ASSERT_TRUE(h.session->requestModeChange(StreamMode::raw));
  EXPECT_EQ(h.lastSentJson(), Json({{"type", "mode_change_request"}, {"mode", "raw"}}));
  h.receive(mac, Json{{"type", "mode_change_response"}, {"accepted", false}, {"mode", "mix"}});
  EXPECT_EQ(h.session->settings().mode, StreamMode::mix);
  h.receive(mac, Json{{"type", "mode_change_response"}, {"accepted", true}, {"mode", "raw"}});
  EXPECT_EQ(h.session->settings().mode, StreamMode::raw);
  EXPECT_EQ(h.eventsNamed("mode_changed").size(), 1u);
  h.session->sendPing(true);
  EXPECT_EQ(h.lastSentJson()["mode"], "raw");
  h.handshake(mac, 2);
  EXPECT_EQ(h.lastSentJson()["mode"], "raw");
}

TEST(ModeChange, NothingGoesOutWithoutALinkedReceiver) {
  Harness h;
  EXPECT_FALSE(h.session->requestModeChange(StreamMode::raw));
  EXPECT_FALSE(h.session->sendStreamStop({0}, std::nullopt));
  EXPECT_FALSE(h.session->sendRaw("{}"));
  EXPECT_TRUE(h.sent.empty());
}

TEST(LoadVideo, AnsweredAsConfiguredEchoingTargetAndUrl) {
  Harness h;
  const Json load{{"type", "load_video"}, {"target", "B"}, {"url", "http://10.0.0.2:8080/v/abc"}, {"title", "T"}};
  h.receive(mac, load);
  Json ack = h.lastSentJson();
  EXPECT_EQ(
      ack,
      Json({{"type", "load_video_ack"}, {"target", "B"}, {"url", "http://10.0.0.2:8080/v/abc"}, {"status", "ready"}}));

  h.session->setLoadAck(LoadStatus::failed, std::string("playback_failed"));
  h.receive(mac, load);
  ack = h.lastSentJson();
  EXPECT_EQ(ack["status"], "failed");
  EXPECT_EQ(ack["reason"], "playback_failed");

  h.session->setLoadAck(std::nullopt, std::nullopt);
  const auto before = h.sent.size();
  h.receive(mac, load);
  EXPECT_EQ(h.sent.size(), before);
  EXPECT_EQ(h.eventsNamed("load_video").size(), 3u);
}

TEST(LoadVideo, MalformedRequestsAreRecordedNotAnswered) {
  Harness h;
  h.receive(mac, Json{{"type", "load_video"}, {"target", "a"}, {"url", "http://h/v"}});
  h.receive(mac, Json{{"type", "load_video"}, {"target", "A"}});
  h.receive(mac, Json{{"type", "load_video"}, {"target", "A"}, {"url", 5}});
  EXPECT_TRUE(h.sent.empty());
  EXPECT_EQ(h.fieldOfEach("bad_message", "reason"), (std::vector<Json>{"bad_target", "missing_url", "missing_url"}));
}

TEST(Inbound, ServiceMessagesAreRecordedAndOddDatagramsSurvived) {
  Harness h;
  h.receive(mac, Json{{"type", "deck_state"}, {"deck", 1}, {"playing", true}, {"bpm", 128.0}});
  h.receive(mac, Json{{"type", "source_endpoint"}, {"httpPort", 8080}, {"sessionToken", "t"}, {"linkID", linkId}});
  h.receive(mac, Json{{"type", "video_bpm"}, {"target", "A"}, {"bpm", 0}});
  ASSERT_EQ(h.eventsNamed("deck_state").size(), 1u);
  EXPECT_EQ(h.eventsNamed("deck_state")[0]["message"]["bpm"], 128.0);
  EXPECT_EQ(h.eventsNamed("source_endpoint").size(), 1u);
  EXPECT_EQ(h.eventsNamed("video_bpm").size(), 1u);

  // A message type only the tablet sends, and one whose type names one of our own events.
  h.receive(mac, Json{{"type", "handshake_ack"}, {"seq", 1}});
  h.receive(mac, Json{{"type", "linked"}});
  EXPECT_EQ(h.fieldOfEach("unknown_type", "type"), (std::vector<Json>{"handshake_ack", "linked"}));
  EXPECT_TRUE(h.eventsNamed("linked").empty());

  h.receive(mac, std::string());
  h.receive(mac, std::string("\x00\x01\x02", 3));
  h.receive(mac, std::string("{not json"));
  h.receive(mac, std::string("{\"type\":\"ping\",\"seq\":") + std::string(5000, '[') + "}");
  EXPECT_EQ(h.fieldOfEach("unexpected_datagram", "size"), std::vector<Json>{Json(3)});
  EXPECT_EQ(h.fieldOfEach("bad_message", "reason"), (std::vector<Json>{"empty", "not_json", "too_deep"}));
  EXPECT_TRUE(h.sent.empty());
}

TEST(Sending, AFailedSendIsReportedAsSuch) {
  Harness h;
  h.handshake(mac, 1);
  h.sendSucceeds = false;
  EXPECT_FALSE(h.session->sendStreamStop({1, 2}, std::string("user")));
  EXPECT_EQ(h.eventsNamed("send_failed").size(), 1u);
  h.sendSucceeds = true;
  EXPECT_TRUE(h.session->sendStreamStop({1, 2}, std::string("user")));
  EXPECT_EQ(h.lastSentJson(), Json({{"type", "stream_stop"}, {"streams", {1, 2}}, {"reason", "user"}}));
}

} // namespace
} // namespace pd::tools::tablet
