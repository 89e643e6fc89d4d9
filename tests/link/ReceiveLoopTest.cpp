#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "link/ReceiveLoop.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using platform::net::LinkState;
using Source = NetworkManagerForMac::StaleEpochSource;

// The throttle is process-wide; start each case from a clean count.
void resetThrottle() {
  for (const char* key : {"udp_recv_fail", "recv_drop_stale_generation", "recv_empty", "recv_rearm_skip"}) {
    diagnostics::LogThrottle::shared().reset(key);
  }
}

// What the loop handed on, written on the link's queue and read once a delivery has returned.
class RecordingSink final : public ReceiveLoop::Sink {
public:
  std::uint64_t currentGeneration() const override { return 1; }
  void staleDatagram() override { ++stale; }
  void inbound() override { ++arrivals; }
  void controlDatagram(std::span<const std::uint8_t>, std::uint64_t, const ReceiveLoop::LinkPointer&) override {
    ++control;
  }
  void videoDatagram(std::span<const std::uint8_t>) override { ++video; }
  int stale = 0;
  int arrivals = 0;
  int control = 0;
  int video = 0;
};

// A loop of its own on a ready fake link.
class ReceiveLoopTest : public MainLoopFixture {
protected:
  void SetUp() override {
    resetThrottle();
    current.start(queue_.executor());
    current.report(LinkState::ready);
    runOn(queue_.executor(), [&] { ReceiveLoop::start(loop_, link_, 1); });
  }
  std::int64_t receiveCount() {
    std::int64_t count = 0;
    runOn(queue_.executor(), [&] { count = loop_->receiveCount(); });
    return count;
  }

  runtime::SerialQueue queue_{"test.link"};
  RecordingSink sink;
  std::shared_ptr<ReceiveLoop> loop_ = std::make_shared<ReceiveLoop>(sink);
  std::shared_ptr<FakeLink> link_ =
      std::make_shared<FakeLink>(tablet("Tab", {loopback()}).endpoint, platform::net::LinkParameters{});
  FakeLink& current = *link_;
};

TEST_F(ReceiveLoopTest, FirstByteDecidesBetweenControlAndVideo) {
  ASSERT_TRUE(current.deliver(bytes(R"({"type":"ping","seq":1})")));
  ASSERT_TRUE(current.deliver({0x00})); // a single byte is video
  ASSERT_TRUE(current.deliver(bytes("[1,2]"))); // JSON, but not an object's first byte: video
  EXPECT_EQ(sink.control, 1);
  EXPECT_EQ(sink.video, 2);
  // One receive outstanding after every datagram.
  EXPECT_TRUE(current.hasPendingReceive());
  EXPECT_EQ(current.receiveRequests(), 4);
  EXPECT_EQ(receiveCount(), 4);
}

TEST_F(ReceiveLoopTest, EmptyDatagramDoesNotCountAsActivity) {
  ASSERT_TRUE(current.deliver({}));
  EXPECT_EQ(sink.arrivals, 0);
  EXPECT_TRUE(current.hasPendingReceive());
  ASSERT_TRUE(current.deliver({0x01}));
  EXPECT_EQ(sink.arrivals, 1);
}

TEST_F(ReceiveLoopTest, RecoveryIsLoggedOnlyAfterTwoOrMoreFailures) {
  {
    LogWindow log;
    ASSERT_TRUE(current.deliver({}, PosixError(ECONNREFUSED, "receive")));
    ASSERT_TRUE(current.deliver({0x01}));
    EXPECT_EQ(log.count("udp_recv_fail err_domain=POSIX err_code=111"), 1u);
    EXPECT_EQ(log.count("udp_recv_recovered"), 0u);
  }
  {
    LogWindow log;
    ASSERT_TRUE(current.deliver({}, PosixError(ECONNREFUSED, "receive")));
    ASSERT_TRUE(current.deliver({}, PosixError(ECONNREFUSED, "receive")));
    ASSERT_TRUE(current.deliver({0x01}));
    ASSERT_TRUE(current.deliver({0x01}));
    EXPECT_EQ(log.count("udp_recv_recovered after=2"), 1u);
    EXPECT_EQ(log.count("udp_recv_recovered"), 1u);
  }
  EXPECT_TRUE(current.hasPendingReceive()); // a passing error keeps the loop going
}

TEST_F(ReceiveLoopTest, OurOwnCancelEndsTheReadSilently) {
  LogWindow log;
  // The cancel's completion can overtake the new generation on its way to the queue.
  ASSERT_TRUE(current.deliver({}, PosixError(ECANCELED, "link cancelled"), LinkState::cancelled));
  EXPECT_FALSE(log.has("udp_recv_fail"));
  EXPECT_FALSE(diagnostics::LogThrottle::shared().reset("udp_recv_fail")); // nothing for a later recovery line
  EXPECT_FALSE(current.hasPendingReceive());
}

TEST_F(ReceiveLoopTest, NoReceiveRequestOnceTheConnectionLeftReady) {
  LogWindow log;
  ASSERT_TRUE(current.deliver({0x01}, std::nullopt, LinkState::preparing));
  EXPECT_FALSE(current.hasPendingReceive());
  EXPECT_EQ(sink.video, 1); // the datagram itself was still handled
  EXPECT_TRUE(log.has("recv_rearm_skip state=preparing occurrences=1"));
}

// The loop inside the manager: its cycles, its connection's end, and the main thread's side.
class ManagerReceiveTest : public ManagerFixture {
protected:
  void SetUp() override { resetThrottle(); }
};

TEST_F(ManagerReceiveTest, LoopOfAnAbandonedConnectionDropsItsDatagramAndEnds) {
  LogWindow log;
  auto& old = connectReady(tablet("Tab", {loopback()}));
  manager->beginLinkSession();
  TA::drainQueue(*manager);
  ASSERT_TRUE(old.deliver(bytes(R"({"type":"handshake_ack","seq":1})")));
  ASSERT_TRUE(old.deliver({}) == false); // nothing re-armed
  settle();
  EXPECT_EQ(manager->controlDatagramCount(), 0u);
  EXPECT_TRUE(log.has("stale_epoch_stats source=recv dropped=1")); // the first is reported at once
  EXPECT_TRUE(log.has("recv_drop reason=stale_generation gen="));
}

TEST_F(ManagerReceiveTest, FatalSocketErrorEndsTheLoopAndFailsTheAttempt) {
  auto& current = connectReady(tablet("Tab", {loopback()}));
  // The link reports failed before the receive completes, as the UDP link does.
  current.report(LinkState::failed, PosixError(ENODEV, "receive"));
  ASSERT_TRUE(current.deliver({}, PosixError(ENODEV, "receive"), LinkState::failed));
  settle();
  EXPECT_FALSE(current.hasPendingReceive());
  EXPECT_EQ(current.receiveRequests(), 1);
  EXPECT_EQ(manager->connectionStatus.get(), "接続失敗 - 自動で再試行します");
  EXPECT_FALSE(TA::hasConnection(*manager));
}

TEST_F(ManagerReceiveTest, LoopStopsWhenTheManagerLetsTheConnectionGo) {
  connectReady(tablet("Tab", {loopback()}));
  auto keep = links.front();
  manager->cancelConnection();
  links.clear(); // the fixture no longer holds it either
  ASSERT_TRUE(keep->deliver({0x01}));
  EXPECT_EQ(manager->videoDatagramCount(), 0u); // stale: the cancel began a new cycle
  EXPECT_FALSE(keep->hasPendingReceive());
}

} // namespace
} // namespace pd::link::test
