#include "LinkTestSupport.hpp"

#include "link/ManagerSenderLink.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

// The service messages go out on the manager's current link; their rules are ServiceMessages'
// own and tested there.
using OutboundTest = ReadyLinkFixture;

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
  EXPECT_TRUE(port->isAvailable());
  EXPECT_FALSE(port->hasConnectedPeer());
  EXPECT_FALSE(port->sendSourceEndpoint(8080, "token", false));

  acknowledge(R"("protocolVersion":3,"mode":"mix","peerID":"P1","features":["remote_source"])");
  EXPECT_EQ(peerID, "P1");
  EXPECT_EQ(remoteReady, 1);
  EXPECT_TRUE(port->hasConnectedPeer());
  EXPECT_EQ(port->peerFeatures(), std::vector<std::string>{"remote_source"});
  EXPECT_EQ(port->localHostForPeer(), "127.0.0.1");
  EXPECT_TRUE(port->sendSourceEndpoint(8080, "token", false));
  EXPECT_TRUE(port->sendLoadVideo("A", "http://127.0.0.1:8080/v/abc", std::nullopt));
  EXPECT_TRUE(port->sendVideoBPM("A", 128, std::nullopt));
  ASSERT_EQ(sent("source_endpoint").size(), 1u);
  EXPECT_EQ(sent("source_endpoint")[0]["linkID"], lastHandshake(*current)["linkID"]);
  ASSERT_EQ(sent("load_video").size(), 1u);
  EXPECT_EQ(sent("load_video")[0]["url"], "http://127.0.0.1:8080/v/abc");
  ASSERT_EQ(sent("video_bpm").size(), 1u);
  EXPECT_EQ(sent("video_bpm")[0]["bpm"], 128);
  manager->sendDeckState(DeckState(1));
  runUntil([&] { return sent("deck_state").size() == 1 && manager->deckStatesInFlight() == 0; });

  send(R"({"type":"load_video_ack","target":"A","url":"u","status":"ready"})");
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].status, LoadVideoAck::Status::ready);

  ASSERT_TRUE(releaseManager(manager, [this] { pump(); }));
  EXPECT_FALSE(port->sendLoadVideo("A", "http://h/x", std::nullopt));
  EXPECT_FALSE(port->sendVideoBPM("A", 120, std::nullopt));
  EXPECT_EQ(port->localHostForPeer(), std::nullopt);
  EXPECT_EQ(port->peerFeatures(), std::nullopt);
  EXPECT_FALSE(port->isAvailable());
  EXPECT_FALSE(port->hasConnectedPeer());
}

} // namespace
} // namespace pd::link::test
