#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "link/ControlChannel.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

// Writes down the types it is handed.
class RecordingHandler final : public ControlChannel::Handler {
public:
  void handshakeAck(const ControlMessage& message) override { types.push_back(message.type()); }
  void handshakeReject(const ControlMessage& message) override { types.push_back(message.type()); }
  void modeChangeRequest(const ControlMessage& message) override { types.push_back(message.type()); }
  void ping(const ControlMessage& message) override { types.push_back(message.type()); }
  void pong(const ControlMessage& message) override { types.push_back(message.type()); }
  void loadVideoAck(const ControlMessage& message) override { types.push_back(message.type()); }
  void streamStop(const ControlMessage& message) override { types.push_back(message.type()); }
  std::vector<std::string> types;
};

ControlChannel::Identity identity() {
  return {"Test Mac", "9.8.7", "L1", {"raw_mode"}, [] { return std::string("P"); }};
}

bool isLinkID(const std::string& id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(ControlChannelTest, EachCycleHasItsOwnLinkIdAndAnswersOnlyItsOwnRequests) {
  ControlChannel channel(identity());
  const std::string first = channel.linkID();
  EXPECT_TRUE(isLinkID(first)) << first;

  channel.sendRequest(nullptr);
  channel.sendRequest(nullptr);
  EXPECT_EQ(channel.sequence(), 2);
  EXPECT_TRUE(channel.acceptsAck(1));
  EXPECT_TRUE(channel.acceptsAck(2));
  EXPECT_FALSE(channel.acceptsAck(3));
  EXPECT_FALSE(channel.acceptsReject(1)); // a reject answers the latest request only
  EXPECT_TRUE(channel.acceptsReject(2));

  channel.notePeer("P1", "S1");
  channel.beginLink();
  EXPECT_NE(channel.linkID(), first);
  EXPECT_TRUE(isLinkID(channel.linkID()));
  EXPECT_EQ(channel.sequenceFloor(), 3);
  EXPECT_FALSE(channel.acceptsAck(2)); // an answer to the earlier cycle
  EXPECT_FALSE(channel.peerID());
  EXPECT_FALSE(channel.peerSessionID());
  channel.sendRequest(nullptr);
  EXPECT_TRUE(channel.acceptsAck(3));
}

TEST(ControlChannelTest, TheRequestMayBeResentEveryTwoSeconds) {
  ControlChannel channel(identity());
  EXPECT_TRUE(channel.takeResend(100.0));
  EXPECT_FALSE(channel.takeResend(101.9));
  EXPECT_TRUE(channel.takeResend(102.0));
}

// Unreadable and unknown messages are the manager's tests: their lines share the throttle's keys.
class ControlChannelDispatchTest : public MainLoopFixture {
protected:
  void SetUp() override { diagnostics::LogThrottle::shared().reset("json_drop_stale_generation"); }
  ManualTime time; // the drop line is the first of its interval, however recent an earlier one
  ControlChannel channel{identity()};
  RecordingHandler handler;
};

TEST_F(ControlChannelDispatchTest, RoutesByTypeAndDropsWhatIsNotOfTheCurrentCycle) {
  LogWindow log;
  using Outcome = ControlChannel::Outcome;
  for (const char* type :
       {"handshake_ack", "handshake_reject", "mode_change_request", "ping", "pong", "load_video_ack", "stream_stop"}) {
    EXPECT_EQ(channel.dispatch(bytes(R"({"type":")" + std::string(type) + "\"}"), 4, 4, true, handler),
              Outcome::dispatched);
  }
  EXPECT_EQ(handler.types, (std::vector<std::string>{"handshake_ack", "handshake_reject", "mode_change_request", "ping",
                                                     "pong", "load_video_ack", "stream_stop"}));
  EXPECT_EQ(channel.dispatchedCount(), 7u);

  EXPECT_EQ(channel.dispatch(bytes(R"({"type":"ping"})"), 3, 4, true, handler), Outcome::stale);
  EXPECT_EQ(channel.dispatch(bytes(R"({"type":"ping"})"), 4, 4, false, handler), Outcome::stale);
  EXPECT_EQ(handler.types.size(), 7u);
  EXPECT_EQ(channel.dispatchedCount(), 7u);
  EXPECT_TRUE(log.has("json_drop reason=stale_generation type=ping gen=3 current_gen=4"));
}

} // namespace
} // namespace pd::link::test
