#include "deckinput/OSCServerService.hpp"

#include "DeckInputTestSupport.hpp"
#include "OSCBytes.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

namespace pd::deckinput {
namespace {

using namespace std::chrono_literals;
using test::LogCapture;
using test::MainLoop;
using test::OSCBytes;
using test::runFor;
using test::UdpSender;

std::vector<std::uint8_t> deckMessage(std::string_view address, float value) {
  OSCBytes b;
  b.address(address).tags("f").float32(value);
  return b.bytes;
}

class OSCServerServiceTest : public ::testing::Test {
protected:
  void SetUp() override { platform::log::setStderrEnabled(false); }

  std::shared_ptr<OSCServerService> makeService(OSCServerService::Timing timing = {}) {
    auto service = OSCServerService::create(timing);
    stateSubscription_ = service->subscribeState([this](const ServerState& state) { states.push_back(state); });
    messageSubscription_ = service->subscribeMessages([this](const OSCMessage& message) { messages.push_back(message); });
    return service;
  }

  // Starts on an ephemeral loopback port and waits until it runs.
  std::uint16_t startRunning(OSCServerService& service) {
    service.start({0, "127.0.0.1"});
    loop.runUntil([&] { return service.state().isRunning(); });
    return *service.boundPort();
  }

  MainLoop loop;
  std::vector<ServerState> states;
  std::vector<OSCMessage> messages;

private:
  boost::signals2::scoped_connection stateSubscription_;
  boost::signals2::scoped_connection messageSubscription_;
};

TEST_F(OSCServerServiceTest, InvalidHostsFailAndThrow) {
  auto service = makeService();
  for (const std::string& host :
       std::vector<std::string>{"localhost", "::1", "", "127.1", "256.0.0.1", std::string("127.0.0.1\0x", 11)}) {
    states.clear();
    try {
      service->start({8000, host});
      ADD_FAILURE() << "no throw for " << host;
    } catch (const OSCServerError& error) {
      EXPECT_EQ(error.errorCase(), OSCServerError::Case::invalidHost);
      EXPECT_EQ(error.host(), host);
      EXPECT_EQ(error.errorDescription(), "無効なホストアドレス: " + host);
    }
    ASSERT_EQ(states.size(), 3U);
    EXPECT_EQ(states[0], ServerState::stopped());
    EXPECT_EQ(states[1], ServerState::starting());
    EXPECT_EQ(states[2].description(), "エラー: 無効なホストアドレス: " + host);
    EXPECT_FALSE(service->boundPort());
  }
}

TEST_F(OSCServerServiceTest, BindFailureIsReportedAsAFailedState) {
  LogCapture log;
  auto service = makeService();
  // A documentation address that no interface of this machine has.
  EXPECT_NO_THROW(service->start({9, "192.0.2.1"}));
  EXPECT_EQ(service->state(), ServerState::starting());
  loop.runUntil([&] { return service->state().state() == ServerState::Case::failed; });
  EXPECT_EQ(service->state().failureText(), "Cannot assign requested address");
  EXPECT_EQ(log.first("osc_server_fail"),
            "osc_server_fail host=192.0.2.1 port=9 err_domain=POSIX err_code=99 error=<private>");
}

TEST_F(OSCServerServiceTest, StartsOnLoopbackAndDeliversMessagesInOrder) {
  LogCapture log;
  auto service = makeService();
  const auto port = startRunning(*service);
  EXPECT_NE(port, 0);
  EXPECT_EQ(log.first("osc_server_start"), "osc_server_start host=127.0.0.1 port=" + std::to_string(port));
  // New subscribers get the current state at once.
  ServerState seen = ServerState::stopped();
  auto late = service->subscribeState([&](const ServerState& state) { seen = state; });
  EXPECT_EQ(seen.description(), "実行中");
  late.disconnect();

  UdpSender sender;
  for (int i = 0; i < 50; ++i) {
    sender.send(deckMessage("/deck/1/bpm", static_cast<float>(i)), port);
  }
  loop.runUntil([&] { return messages.size() == 50; });
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(messages[static_cast<std::size_t>(i)].arguments.at(0), OSCArgumentValue::float32(static_cast<float>(i)));
  }
  EXPECT_EQ(messages[0].address.string, "/deck/1/bpm");
  EXPECT_EQ(service->connectionCount(), 1U);
}

TEST_F(OSCServerServiceTest, EverySenderIsAConnectionAndBrokenDatagramsStillCount) {
  auto service = makeService();
  const auto port = startRunning(*service);
  UdpSender a;
  UdpSender b;
  UdpSender c;
  a.send(deckMessage("/deck/1/bpm", 1.0F), port);
  b.send(std::vector<std::uint8_t>{'/', 'x'}, port); // no NUL: does not parse
  c.send(std::vector<std::uint8_t>{}, port);          // empty
  loop.runUntil([&] { return service->connectionCount() == 3; });
  a.send(deckMessage("/deck/2/bpm", 2.0F), port);
  loop.runUntil([&] { return messages.size() == 2; });
  EXPECT_EQ(messages[1].address.string, "/deck/2/bpm");
  EXPECT_EQ(service->connectionCount(), 3U);
}

TEST_F(OSCServerServiceTest, RestartClosesTheOldSocketAndForgetsSenders) {
  auto service = makeService();
  const auto first = startRunning(*service);
  UdpSender sender;
  sender.send(deckMessage("/deck/1/bpm", 1.0F), first);
  loop.runUntil([&] { return messages.size() == 1; });

  states.clear();
  service->start({0, "127.0.0.1"});
  EXPECT_EQ(service->connectionCount(), 0U);
  loop.runUntil([&] { return service->state().isRunning(); });
  ASSERT_GE(states.size(), 3U);
  EXPECT_EQ(states[0], ServerState::stopped());
  EXPECT_EQ(states[1], ServerState::starting());
  EXPECT_EQ(states.back(), ServerState::running());

  // The first port is free again: a third server can take it.
  auto other = OSCServerService::create();
  other->start({first, "127.0.0.1"});
  loop.runUntil([&] { return other->state().state() != ServerState::Case::starting; });
  EXPECT_TRUE(other->state().isRunning());

  service->stop();
  EXPECT_EQ(service->state(), ServerState::stopped());
  EXPECT_FALSE(service->boundPort());
}

TEST_F(OSCServerServiceTest, SilenceIsReportedOnceAndItsEndWithTheGap) {
  runtime::ManualClock clock;
  runtime::ScopedClock scoped(clock);
  LogCapture log;
  OSCServerService::Timing timing;
  timing.sweepPeriod = 5ms;
  auto service = makeService(timing);
  const auto port = startRunning(*service);
  UdpSender sender;

  // Before any datagram nothing is silent.
  clock.advance(60s);
  runFor(loop, 30ms);
  EXPECT_EQ(log.count("osc_silence"), 0U);

  sender.send(std::vector<std::uint8_t>{'/', 'x'}, port); // unparsable still counts
  loop.runUntil([&] { return service->connectionCount() == 1; });
  clock.advance(29s);
  runFor(loop, 30ms);
  EXPECT_EQ(log.count("osc_silence"), 0U);
  clock.advance(1s);
  loop.runUntil([&] { return log.count("osc_silence ") == 1; });
  EXPECT_EQ(log.first("osc_silence "), "osc_silence silence_s=30 threshold_s=30");
  clock.advance(100s);
  runFor(loop, 30ms);
  EXPECT_EQ(log.count("osc_silence "), 1U);

  sender.send(deckMessage("/deck/1/bpm", 1.0F), port);
  loop.runUntil([&] { return log.count("osc_silence_recovered") == 1; });
  EXPECT_EQ(log.first("osc_silence_recovered"), "osc_silence_recovered after_s=130");

  // stop() forgets the silence: after a restart nothing is silent before a datagram.
  service->stop();
  startRunning(*service);
  clock.advance(100s);
  runFor(loop, 30ms);
  EXPECT_EQ(log.count("osc_silence "), 1U);
}

TEST_F(OSCServerServiceTest, IdleSendersAreReapedAfterTheThresholdOnly) {
  runtime::ManualClock clock;
  runtime::ScopedClock scoped(clock);
  LogCapture log;
  OSCServerService::Timing timing;
  timing.sweepPeriod = 5ms;
  timing.reapEveryTicks = 1;
  auto service = makeService(timing);
  const auto port = startRunning(*service);
  UdpSender idle;
  UdpSender active;
  idle.send(deckMessage("/deck/1/bpm", 1.0F), port);
  active.send(deckMessage("/deck/1/bpm", 1.0F), port);
  loop.runUntil([&] { return messages.size() == 2; });

  clock.advance(1800s); // exactly the threshold: stays
  active.send(deckMessage("/deck/1/bpm", 2.0F), port);
  loop.runUntil([&] { return messages.size() == 3; });
  runFor(loop, 30ms);
  EXPECT_EQ(service->connectionCount(), 2U);

  clock.advance(1ms);
  loop.runUntil([&] { return service->connectionCount() == 1; });
  EXPECT_EQ(log.first("osc_conn_idle_reap"), "osc_conn_idle_reap count=1 idle_s=1800.000000 remaining=1");

  // The reaped sender comes back as a new connection.
  idle.send(deckMessage("/deck/1/bpm", 3.0F), port);
  loop.runUntil([&] { return service->connectionCount() == 2; });
}

TEST_F(OSCServerServiceTest, SenderTableIsBoundedByLeastRecentActivity) {
  runtime::ManualClock clock;
  runtime::ScopedClock scoped(clock);
  LogCapture log;
  OSCServerService::Timing timing;
  timing.sweepPeriod = 5ms;
  timing.maxConnections = 2;
  auto service = makeService(timing);
  const auto port = startRunning(*service);
  UdpSender first;
  UdpSender second;
  UdpSender third;
  first.send(deckMessage("/deck/1/bpm", 1.0F), port);
  loop.runUntil([&] { return messages.size() == 1; });
  clock.advance(10s);
  second.send(deckMessage("/deck/2/bpm", 2.0F), port);
  loop.runUntil([&] { return messages.size() == 2; });
  clock.advance(10s);
  first.send(deckMessage("/deck/1/bpm", 3.0F), port); // now second is the least recently active
  loop.runUntil([&] { return messages.size() == 3; });
  clock.advance(5s);
  third.send(deckMessage("/deck/3/bpm", 4.0F), port);
  loop.runUntil([&] { return messages.size() == 4; });
  EXPECT_EQ(service->connectionCount(), 2U);
  loop.runUntil([&] { return log.count("osc_conn_idle_reap") == 1; });
  EXPECT_EQ(log.first("osc_conn_idle_reap"), "osc_conn_idle_reap count=1 idle_s=15.000000 remaining=2");

  // The evicted one was second: first and third are still known, so their datagrams evict no one.
  first.send(deckMessage("/deck/1/bpm", 5.0F), port);
  third.send(deckMessage("/deck/3/bpm", 6.0F), port);
  loop.runUntil([&] { return messages.size() == 6; });
  runFor(loop, 30ms);
  EXPECT_EQ(log.count("osc_conn_idle_reap"), 1U);
}

TEST_F(OSCServerServiceTest, NothingArrivesAfterStop) {
  auto service = makeService();
  const auto port = startRunning(*service);
  UdpSender sender;
  sender.send(deckMessage("/deck/1/bpm", 1.0F), port);
  service->stop(); // the datagram may already be parsed: its hop must not deliver it any more
  runFor(loop, 50ms);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(service->connectionCount(), 0U);
  EXPECT_EQ(service->state(), ServerState::stopped());
}

TEST_F(OSCServerServiceTest, ParseFailuresAreThrottledAndARunEndsWithRecovered) {
  runtime::ManualClock clock;
  runtime::ScopedClock scoped(clock);
  // Past any interval that earlier lines left on the key, on the real clock as well.
  clock.advance(std::chrono::steady_clock::now().time_since_epoch() + 10s);
  diagnostics::LogThrottle::shared().reset("osc_parse_fail");
  LogCapture log;
  const std::vector<std::uint8_t> cut{'/', 'a', 'b', 'c', 0};
  OSCBytes negativeBlob;
  negativeBlob.address("/a").tags("b").be32(0xFFFFFFFF, test::ByteRole::blobSize);
  OSCBytes good;
  good.address("/a");

  EXPECT_FALSE(OSCServerService::parseMessage(cut));
  EXPECT_FALSE(OSCServerService::parseMessage(cut));
  clock.advance(1s);
  EXPECT_FALSE(OSCServerService::parseMessage(negativeBlob.span()));
  EXPECT_TRUE(OSCServerService::parseMessage(good.span()));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2U); // the second failure is not the first nor the 100th
  EXPECT_EQ(lines[0], "osc_parse_fail reason=address_read size_b=5 occurrences=1");
  EXPECT_EQ(log.first("osc_parse_recovered"), "osc_parse_recovered after=3");

  // A single failure is cleared without a line.
  clock.advance(1s);
  LogCapture single;
  EXPECT_FALSE(OSCServerService::parseMessage(negativeBlob.span()));
  EXPECT_TRUE(OSCServerService::parseMessage(good.span()));
  ASSERT_EQ(single.lines().size(), 1U);
  EXPECT_EQ(single.lines()[0], "osc_parse_fail reason=blob_size size_b=12 blob_size=-1 occurrences=1");
}

} // namespace
} // namespace pd::deckinput
