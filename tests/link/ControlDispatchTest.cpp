#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using Kind = NetworkManagerForMac::PeerVersionState::Kind;
using Source = NetworkManagerForMac::StaleEpochSource;

class ControlDispatchTest : public ReadyLinkFixture {
protected:
  std::string ack(std::int64_t seq, std::string_view fields = R"("protocolVersion":3,"mode":"mix")") {
    return handshakeAck(seq, R"("device":"iPad",)" + std::string(fields));
  }
  std::string reject(std::int64_t seq, std::string_view occupiedBy = "") {
    std::string text = R"({"type":"handshake_reject","reason":"occupied","seq":)" + std::to_string(seq);
    if (!occupiedBy.empty()) text += R"(,"occupiedBy":")" + std::string(occupiedBy) + "\"";
    return text + "}";
  }
};

TEST_F(ControlDispatchTest, ParseFailureStreakAndRecovery) {
  LogWindow log;
  send("{}");
  send(R"({"type":5})");
  send("{not json");
  EXPECT_EQ(log.count("json_parse_fail size_b=2 occurrences=1"), 1u);
  EXPECT_EQ(log.count("json_parse_fail"), 1u);
  send(R"({"type":"deck_state"})"); // only the receiver sends it
  EXPECT_TRUE(log.has("json_parse_recovered after=3"));
  EXPECT_TRUE(log.has("json_unknown_type type=deck_state occurrences=1"));

  LogWindow single;
  send("{");
  send(R"({"type":"hello"})");
  EXPECT_FALSE(single.has("json_parse_recovered"));
}

// A broken or hostile sender at datagram rate: each kind of line is written at its first
// occurrence and then once an interval has passed, at a thirtieth, with the count so far; the
// peer's words reach the log clipped.
TEST_F(ControlDispatchTest, BadMessagesAtDatagramRateWriteALinePerKindAndInterval) {
  ManualTime time;
  send(ack(handshakeSequence(*current)));
  const std::string longType(300, 't');
  const struct {
    const char* key; // the throttle's, reset so that the row's first line is its first occurrence
    std::vector<std::string> round;
    std::string line;
  } kinds[] = {
      {"json_parse_recovered", {"{", "{", R"({"type":"x"})"}, "json_parse_recovered after=2"},
      {"json_parse_fail", {"{"}, "json_parse_fail size_b=1"},
      {"json_unknown_type", {R"({"type":")" + longType + R"("})"}, "json_unknown_type type=" + std::string(64, 't')},
      {"mode_change_parse_fail", {R"({"type":"mode_change_request"})"}, "mode_change_parse_fail reason=missing_mode"},
      {"stream_stop_parse_fail_bad_streams",
       {R"({"type":"stream_stop","streams":[1,300]})"},
       "stream_stop_parse_fail reason=bad_streams"},
      {"load_video_ack_parse_fail_missing_url",
       {R"({"type":"load_video_ack","target":"A","status":"ready"})"},
       "load_video_ack_parse_fail reason=missing_url target=A"},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.line);
    diagnostics::LogThrottle::shared().reset(kind.key);
    time.advance(1.0); // past the interval of a line an earlier row wrote
    LogWindow log;
    for (int i = 0; i < 45; ++i)
      for (const auto& message : kind.round) send(message);
    time.advance(1.0);
    for (int i = 0; i < 15; ++i)
      for (const auto& message : kind.round) send(message);
    EXPECT_EQ(log.count(kind.line), 2u);
    EXPECT_TRUE(log.has(kind.line + " occurrences=1"));
    EXPECT_TRUE(log.has(kind.line + " occurrences=60"));
  }
}

// A new cycle begins after the message was taken in and before the main thread runs it.
TEST_F(ControlDispatchTest, AckOfAnOlderCycleIsDroppedOnTheMainThreadEvenWithAnAcceptableSeq) {
  LogWindow log;
  ASSERT_TRUE(current->deliver(bytes(ack(handshakeSequence(*current)))));
  manager->beginLinkSession();
  settle();
  EXPECT_EQ(manager->controlDatagramCount(), 0u);
  // The first stale drop of a manager is reported at once.
  EXPECT_TRUE(log.has("stale_epoch_stats source=json dropped=1"));
  EXPECT_TRUE(manager->connectedPeers.get().empty());
}

// Well-formed messages repeated at datagram rate by the tablet's address: each still takes
// effect, but its line is written only at the first occurrence and then once an interval has
// passed, at a thirtieth, so the flood cannot fill the launch's log ring.
TEST_F(ControlDispatchTest, ValidMessagesAtDatagramRateWriteALinePerKindAndInterval) {
  ManualTime time;
  send(ack(handshakeSequence(*current)));
  int acks = 0;
  manager->onLoadVideoAck = [&](const LoadVideoAck&) { ++acks; };
  const struct {
    std::string message;
    std::string line;
  } kinds[] = {
      {R"({"type":"stream_stop","streams":[0],"reason":"user"})", "stream_stop_recv streams=0 reason=user"},
      {R"({"type":"load_video_ack","target":"A","url":"u","status":"ready"})",
       "load_video_ack_recv target=A ack=ready reason=-"},
      {R"({"type":"mode_change_request","mode":"mix"})", "mode_change_request from=mix to=mix source=peer"},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.line);
    time.advance(1.0);
    LogWindow log;
    for (int i = 0; i < 45; ++i) send(kind.message);
    time.advance(1.0);
    for (int i = 0; i < 15; ++i) send(kind.message);
    EXPECT_EQ(log.count(kind.line), 2u);
    EXPECT_TRUE(log.has(kind.line + " occurrences=1"));
    EXPECT_TRUE(log.has(kind.line + " occurrences=60"));
  }
  EXPECT_EQ(acks, 60);
}

TEST_F(ControlDispatchTest, AckEstablishesTheLinkOnce) {
  LogWindow log;
  int established = 0;
  std::optional<std::string> peerID;
  int remoteReady = 0;
  manager->onConnectionEstablished = [&] { ++established; };
  manager->onPeerEstablished = [&](const std::optional<std::string>& id) { peerID = id; };
  manager->onRemoteSourcePeerReady = [&] { ++remoteReady; };
  send(ack(handshakeSequence(*current),
           R"("protocolVersion":3,"mode":"raw","linkID":"other","peerID":"P1","features":["remote_source"],)"
           R"("interface":{"name":"en0"})"));
  EXPECT_TRUE(log.has("link_id_invalid reason=echo_mismatch"));
  EXPECT_TRUE(log.has("version_match pv=3"));
  EXPECT_TRUE(log.has("mode_mismatch source=handshake local=mix peer=raw"));
  EXPECT_TRUE(log.has("peer_iface name=en0 type=unknown"));
  EXPECT_EQ(manager->pendingModeRequest.get(), StreamMode::raw);
  EXPECT_EQ(manager->peerVersionState.get().kind(), Kind::matched);
  EXPECT_EQ(manager->connectedPeers.get().size(), 1u);
  EXPECT_EQ(manager->connectionStatus.get(), "接続中: 1台");
  EXPECT_FALSE(TA::isConnecting(*manager));
  EXPECT_EQ(established, 1);
  EXPECT_EQ(peerID, "P1");
  EXPECT_EQ(remoteReady, 1);
}

TEST_F(ControlDispatchTest, SequenceWindowFollowsTheLinkCycle) {
  const auto first = handshakeSequence(*current);
  LogWindow log;
  send(ack(first - 1));
  send(ack(first + 1));
  send(R"({"type":"handshake_ack","protocolVersion":3})"); // no seq at all
  EXPECT_EQ(log.count("handshake_ack_drop reason=stale_seq"), 3u);
  EXPECT_TRUE(manager->connectedPeers.get().empty());
  send(ack(first));
  EXPECT_EQ(manager->connectedPeers.get().size(), 1u);
}

TEST_F(ControlDispatchTest, VersionMismatchRaisesTheAlertOncePerVersion) {
  const auto seq = handshakeSequence(*current);
  send(ack(seq, R"("protocolVersion":2,"mode":"raw","appVersion":"0.9")"));
  EXPECT_EQ(manager->peerVersionState.get(), NetworkManagerForMac::PeerVersionState::mismatch(2));
  ASSERT_TRUE(manager->versionMismatchAlert.get());
  EXPECT_EQ(manager->versionMismatchAlert.get()->peerAppVersion, "0.9");
  EXPECT_FALSE(manager->pendingModeRequest.get());
  manager->versionMismatchAlert.set(std::nullopt); // the user dismissed it
  send(ack(seq, R"("protocolVersion":2.0)"));
  EXPECT_FALSE(manager->versionMismatchAlert.get());
  send(ack(seq, R"("protocolVersion":4)"));
  ASSERT_TRUE(manager->versionMismatchAlert.get());
  EXPECT_EQ(manager->versionMismatchAlert.get()->peerVersion, 4);
}

TEST_F(ControlDispatchTest, MissingOrTextualVersionIsLegacy) {
  const auto seq = handshakeSequence(*current);
  send(ack(seq, R"("protocolVersion":"3","mode":"raw")"));
  EXPECT_EQ(manager->peerVersionState.get().kind(), Kind::legacy);
  EXPECT_TRUE(manager->showLegacyPeerWarning.get());
  EXPECT_FALSE(manager->pendingModeRequest.get());
  manager->showLegacyPeerWarning.set(false);
  send(ack(seq, R"("mode":"mix")"));
  EXPECT_FALSE(manager->showLegacyPeerWarning.get()); // once per cycle
}

TEST_F(ControlDispatchTest, AckWhileNotReadyRecordsButDoesNotEstablish) {
  int established = 0;
  manager->onConnectionEstablished = [&] { ++established; };
  ASSERT_TRUE(current->deliver(bytes(ack(handshakeSequence(*current)))));
  current->report(platform::net::LinkState::preparing); // before the main thread reads the ack
  settle();
  EXPECT_EQ(manager->peerVersionState.get().kind(), Kind::matched);
  EXPECT_TRUE(manager->connectedPeers.get().empty());
  EXPECT_EQ(established, 0);
}

TEST_F(ControlDispatchTest, OccupiedRejectShowsTheHolderAndRetriesPinned) {
  const auto seq = handshakeSequence(*current);
  send(reject(seq - 1));
  EXPECT_TRUE(TA::hasConnection(*manager)); // an older request's answer changes nothing
  send(reject(seq, "Studio"));
  EXPECT_EQ(manager->connectionStatus.get(), "接続できません - iPadは「Studio」と接続中です");
  EXPECT_FALSE(TA::hasConnection(*manager));
  EXPECT_TRUE(manager->hasConnectionIssue.get());
  ASSERT_TRUE(manager->reconnectNotice.get());
  EXPECT_EQ(manager->reconnectNotice.get()->cause, NetworkManagerForMac::ReconnectNotice::Cause::occupied);
  // The status stays while the views refresh it.
  manager->updateBrowsing("test");
  EXPECT_EQ(manager->connectionStatus.get(), "接続できません - iPadは「Studio」と接続中です");
}

TEST_F(ControlDispatchTest, RejectWithoutHolderNamesNoOne) {
  send(reject(handshakeSequence(*current)));
  EXPECT_EQ(manager->connectionStatus.get(), "接続できません - iPadは別のMacと接続中です");
}

TEST_F(ControlDispatchTest, RejectTextsAreClipped) {
  LogWindow log;
  send(R"({"type":"handshake_reject","seq":)" + std::to_string(handshakeSequence(*current)) + R"(,"reason":")" +
       std::string(500, 'r') + R"(","occupiedBy":")" + std::string(500, 'm') + R"("})");
  EXPECT_EQ(manager->connectionStatus.get(), "接続できません - iPadは「" + std::string(64, 'm') + "」と接続中です");
  EXPECT_TRUE(log.has("conn_rejected reason=" + std::string(64, 'r') + " occupied_by="));
}

TEST_F(ControlDispatchTest, AckModeIsRawOnlyForTheWordRaw) {
  manager->applyStreamMode(StreamMode::raw);
  settle();
  LogWindow log;
  const auto seq = handshakeSequence(*current);
  send(R"({"type":"handshake_ack","protocolVersion":3,"seq":)" + std::to_string(seq) + "}");
  EXPECT_EQ(manager->pendingModeRequest.get(), StreamMode::mix);
  EXPECT_TRUE(log.has("mode_mismatch source=handshake local=raw peer=mix"));
  manager->pendingModeRequest.set(std::nullopt);
  send(ack(seq, R"("protocolVersion":3,"mode":"stereo")"));
  EXPECT_EQ(manager->pendingModeRequest.get(), StreamMode::mix);
  send(ack(seq, R"("protocolVersion":3,"mode":"raw")"));
  EXPECT_FALSE(manager->pendingModeRequest.get());
}

TEST_F(ControlDispatchTest, AckWithoutDeviceIsLoggedAsUnknown) {
  ManualTime time;
  LogWindow log;
  const auto seq = std::to_string(handshakeSequence(*current));
  send(R"({"type":"handshake_ack","protocolVersion":3,"seq":)" + seq + "}");
  time.advance(1.0);
  send(R"({"type":"handshake_ack","protocolVersion":3,"device":"Unknown","seq":)" + seq + "}");
  std::vector<std::string> received;
  for (const auto& line : log.lines())
    if (line.rfind("handshake_ack_recv", 0) == 0) received.push_back(line.substr(0, line.find(" occurrences=")));
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], received[1]); // equal names give equal marks
}

// Acks at datagram rate, as a broken or hostile sender writes them: two lines a second at most.
TEST_F(ControlDispatchTest, AcksAtDatagramRateWriteTwoLinesASecond) {
  ManualTime time;
  LogWindow log;
  for (int i = 0; i < 50; ++i) send(R"({"type":"handshake_ack","seq":"x"})");
  time.advance(0.6);
  send(R"({"type":"handshake_ack","seq":"x"})");
  std::vector<std::string> written;
  for (const auto& line : log.lines())
    if (line.rfind("handshake_ack_recv", 0) == 0) written.push_back(line.substr(line.find(" seq=")));
  EXPECT_EQ(written, (std::vector<std::string>{" seq=-1 occurrences=1", " seq=-1 occurrences=51"}));
}

// Copies of the accepted ack are each acted on again, but what they write stays at two lines a
// second per kind.
TEST_F(ControlDispatchTest, CopiesOfTheAcceptedAckWriteTwoLinesASecond) {
  ManualTime time;
  LogWindow log;
  const std::string accepted = ack(handshakeSequence(*current), R"("protocolVersion":3,"mode":"raw","linkID":"x")");
  for (int i = 0; i < 50; ++i) send(accepted);
  time.advance(0.6);
  send(accepted);
  EXPECT_EQ(manager->connectedPeers.get().size(), 1u);
  for (const char* line :
       {"version_match pv=3", "conn_established", "hb_start", "link_id_invalid", "mode_mismatch source=handshake"}) {
    SCOPED_TRACE(line);
    std::vector<std::string> counts; // each written line's count, or "-" for one without
    for (const auto& written : log.lines()) {
      if (written.rfind(line, 0) != 0) continue;
      const auto at = written.rfind(" occurrences=");
      counts.push_back(at == std::string::npos ? "-" : written.substr(at));
    }
    EXPECT_EQ(counts, (std::vector<std::string>{" occurrences=1", " occurrences=51"}));
  }
}

TEST_F(ControlDispatchTest, LoadVideoAckVocabulary) {
  std::vector<LoadVideoAck> acks;
  manager->onLoadVideoAck = [&](const LoadVideoAck& ack) { acks.push_back(ack); };
  LogWindow log;
  send(R"({"type":"load_video_ack","target":"a","url":"u","status":"ready"})");
  send(R"({"type":"load_video_ack","target":"A","status":"ready"})");
  send(R"({"type":"load_video_ack","target":"B","url":"u","status":"READY"})");
  EXPECT_TRUE(log.has("load_video_ack_parse_fail reason=bad_target occurrences=1"));
  EXPECT_TRUE(log.has("load_video_ack_parse_fail reason=missing_url target=A occurrences=1"));
  EXPECT_TRUE(log.has("load_video_ack_parse_fail reason=bad_status target=B occurrences=1"));
  EXPECT_TRUE(acks.empty());
  send(R"({"type":"load_video_ack","target":"B","url":"u","status":"failed","reason":"timeout"})");
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0], (LoadVideoAck{"B", "u", LoadVideoAck::Status::failed, std::string("timeout")}));
  EXPECT_TRUE(log.has("load_video_ack_recv target=B ack=failed reason=other"));
}

TEST_F(ControlDispatchTest, StreamStopIsAllOrNothing) {
  LogWindow log;
  send(R"({"type":"stream_stop","streams":[1,300]})");
  send(R"({"type":"stream_stop","streams":[1,"2"]})");
  send(R"({"type":"stream_stop","streams":[]})");
  // One line per reason and interval (tested with the flood below); none of the three is taken.
  EXPECT_TRUE(log.has("stream_stop_parse_fail reason=bad_streams occurrences=1"));
  send(R"({"type":"stream_stop","streams":2})");
  EXPECT_TRUE(log.has("stream_stop_parse_fail reason=missing_streams occurrences=1"));
  EXPECT_FALSE(log.has("stream_stop_recv"));
  send(R"({"type":"stream_stop","streams":[2.9,-0.5],"reason":"user"})");
  EXPECT_TRUE(log.has("stream_stop_recv streams=2,0 reason=user"));
  send(R"({"type":"stream_stop","streams":[1,1],"reason":"sleep"})");
  EXPECT_TRUE(log.has("stream_stop_recv streams=1,1 reason=other"));
}

// The main thread held while the tablet's address sends far more than the bound: what lies
// beyond it is dropped where it arrives, counted, and never queued; the messages that keep the
// link still find their reserved room, and once the main thread runs the road is open again.
TEST_F(ControlDispatchTest, ControlMessagesBeyondTheBoundAreDroppedBeforeTheyQueue) {
  LogWindow log;
  const auto& backlog = TA::controlBacklog(*manager);
  const ControlBacklog::Limits limits;
  const std::uint64_t before = manager->controlDatagramCount();
  constexpr std::size_t kSent = 2000;
  const std::string filler = R"({"type":"flood","pad":")" + std::string(100, 'x') + R"("})";
  for (std::size_t i = 0; i < kSent; ++i) ASSERT_TRUE(current->deliver(bytes(filler)));
  TA::drainQueue(*manager);
  // The count bound holds here: 256 messages of 124 bytes stay inside the byte budget.
  EXPECT_EQ(backlog.pendingMessages(), limits.messages);
  EXPECT_EQ(backlog.pendingBytes(), limits.messages * filler.size());
  EXPECT_EQ(backlog.dropped(), kSent - limits.messages);
  // Each type that keeps the link has its own share of the reserved room; answers without a
  // sequence number are dropped by their handlers and leave the link as it is.
  constexpr std::size_t kKeepAliveSent = 4 * 40;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(current->deliver(bytes(R"({"type":"ping","seq":)" + std::to_string(i) + "}")));
    ASSERT_TRUE(current->deliver(bytes(R"({"type":"pong","seq":)" + std::to_string(i) + "}")));
    ASSERT_TRUE(current->deliver(bytes(R"({"type":"handshake_ack"})")));
    ASSERT_TRUE(current->deliver(bytes(R"({"type":"handshake_reject"})")));
  }
  TA::drainQueue(*manager);
  EXPECT_EQ(backlog.pendingMessages(), limits.messages + limits.reservedMessages);
  EXPECT_EQ(backlog.dropped(), kSent - limits.messages + kKeepAliveSent - limits.reservedMessages);
  EXPECT_TRUE(log.has("json_drop reason=backlog type=flood occurrences=1"));

  // Only what was queued is handled; then nothing is pending and a new message goes through.
  settle();
  EXPECT_EQ(manager->controlDatagramCount() - before, limits.messages + limits.reservedMessages);
  EXPECT_EQ(backlog.pendingMessages(), 0u);
  EXPECT_EQ(backlog.pendingBytes(), 0u);
  send(R"({"type":"ping","seq":99})");
  EXPECT_EQ(manager->controlDatagramCount() - before, limits.messages + limits.reservedMessages + 1);
}

// Large documents fill the byte budget long before the count, and one above the size limit is
// refused without being read.
TEST_F(ControlDispatchTest, LargeDocumentsMeetTheByteBudgetAndOversizeOnesAreRefused) {
  LogWindow log;
  const auto& backlog = TA::controlBacklog(*manager);
  const ControlBacklog::Limits limits;
  const std::string large = R"({"type":"flood","pad":")" + std::string(8000, 'x') + R"("})";
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(current->deliver(bytes(large)));
  TA::drainQueue(*manager);
  const std::size_t fit = limits.bytes / large.size();
  EXPECT_EQ(backlog.pendingMessages(), fit);
  EXPECT_EQ(backlog.dropped(), 100 - fit);

  const std::string oversize =
      R"({"type":"ping","pad":")" + std::string(NetworkManagerForMac::kMaxControlDatagramBytes, 'x') + R"("})";
  ASSERT_TRUE(current->deliver(bytes(oversize)));
  TA::drainQueue(*manager);
  EXPECT_TRUE(log.has("json_drop reason=oversize size_b=" + std::to_string(oversize.size()) + " occurrences=1"));
  EXPECT_FALSE(log.has("json_parse_fail"));
  settle();
  EXPECT_EQ(backlog.pendingMessages(), 0u);
}

} // namespace
} // namespace pd::link::test
