#include "deckinput/OSCServerService.hpp"

#include "DeckInputTestSupport.hpp"
#include "OSCBytes.hpp"

#include "diagnostics/LogThrottle.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

namespace pd::deckinput {
namespace {

namespace asio = boost::asio;
using udp = asio::ip::udp;
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

// The descriptor of this process's UDP socket bound to the loopback port, or -1.
int loopbackSocketOn(std::uint16_t port) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    int type = 0;
    socklen_t typeLength = sizeof type;
    sockaddr_in address{};
    socklen_t addressLength = sizeof address;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_DGRAM &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
        address.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
      return fd;
    }
  }
  return -1;
}

class OSCServerServiceTest : public ::testing::Test {
protected:
  void SetUp() override { platform::log::setStderrEnabled(false); }

  std::shared_ptr<OSCServerService> makeService(OSCServerService::Timing timing = {}) {
    auto service = OSCServerService::create(timing);
    stateSubscription_ = service->subscribeState([this](const ServerState& state) { states.push_back(state); });
    messageSubscription_ =
        service->subscribeMessages([this](const OSCMessage& message) { messages.push_back(message); });
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

// The causes a user can mend read in Japanese in the status; the log line keeps the system's
// error. A server that never bound runs no sweep either.
TEST_F(OSCServerServiceTest, BindFailuresShowTheirCauseAndLeaveNothingRunning) {
  asio::io_context context;
  // Bound without address reuse, so that the service's bind to the same port is refused.
  udp::socket occupant(context, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  const std::uint16_t taken = occupant.local_endpoint().port();
  struct Case {
    ServerConfiguration configuration;
    std::string status;
    int errnum;
  };
  std::vector<Case> cases = {
      // A documentation address that no interface of this machine has.
      {{9, "192.0.2.1"}, "このコンピュータにないアドレスです: 192.0.2.1", EADDRNOTAVAIL},
      {{taken, "127.0.0.1"}, "ポートが使用中です: " + std::to_string(taken), EADDRINUSE},
  };
  // Only where this user may not open the low ports (not as root).
  udp::socket probe(context, udp::v4());
  boost::system::error_code refused;
  probe.bind(udp::endpoint(asio::ip::address_v4::loopback(), 1), refused);
  probe.close();
  if (refused == asio::error::access_denied) {
    cases.push_back({{1, "127.0.0.1"}, "ポートを開く権限がありません: 1", EACCES});
  }

  OSCServerService::Timing timing;
  timing.sweepPeriod = 1ms;
  auto service = makeService(timing);
  for (const auto& c : cases) {
    LogCapture log;
    EXPECT_NO_THROW(service->start(c.configuration));
    EXPECT_EQ(service->state(), ServerState::starting());
    loop.runUntil([&] { return service->state().state() == ServerState::Case::failed; });
    EXPECT_EQ(service->state().description(), "エラー: " + c.status);
    EXPECT_EQ(log.first("osc_server_fail"),
              "osc_server_fail host=" + c.configuration.host + " port=" + std::to_string(c.configuration.port) +
                  " err_domain=POSIX err_code=" + std::to_string(c.errnum) + " error=<private>");
    EXPECT_FALSE(service->boundPort());
    // Nothing is left for the main loop: no sweep ticks.
    loop.context().restart();
    EXPECT_EQ(loop.context().run_for(30ms), 0U) << c.status;
  }
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
  c.send(std::vector<std::uint8_t>{}, port); // empty
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

  // The first port comes free once the receive queue has closed the old socket (a bind without
  // reuse succeeds only then); a third server can take it.
  loop.runUntil([&] {
    udp::socket probe(loop.context(), udp::v4());
    boost::system::error_code taken;
    probe.bind(udp::endpoint(asio::ip::address_v4::loopback(), first), taken);
    return !taken;
  });
  auto other = OSCServerService::create();
  other->start({first, "127.0.0.1"});
  loop.runUntil([&] { return other->state().state() != ServerState::Case::starting; });
  EXPECT_TRUE(other->state().isRunning());

  service->stop();
  EXPECT_EQ(service->state(), ServerState::stopped());
  EXPECT_FALSE(service->boundPort());
}

// Other programs' servers with address reuse hold ports of the kernel's choosing; a server asked for
// any port must never be given one of theirs, where each datagram would reach only one of the two.
TEST_F(OSCServerServiceTest, AServerOnAnyPortNeverSharesAPortOthersReuse) {
  asio::io_context context;
  std::vector<udp::socket> others;
  std::set<std::uint16_t> held;
  // About one port in 56 of the ephemeral range: 300 starts that allowed sharing would all miss
  // them about once in 200 runs.
  for (int i = 0; i < 500; ++i) {
    udp::socket& other = others.emplace_back(context, udp::v4());
    other.set_option(asio::socket_base::reuse_address(true));
    other.bind(udp::endpoint(asio::ip::address_v4::loopback(), 0));
    held.insert(other.local_endpoint().port());
  }
  auto service = makeService();
  for (int i = 0; i < 300; ++i) {
    const auto port = startRunning(*service);
    ASSERT_FALSE(held.contains(port)) << "start " << i << " was given port " << port;
  }
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

// The pause gives an unbounded reader time to queue everything; a bounded one never passes its
// bound, however long it is given.
TEST_F(OSCServerServiceTest, AMainThreadBehindHoldsBackTheReadsAndLosesNothing) {
  OSCServerService::Timing timing;
  timing.maxHandOffs = 8;
  auto service = makeService(timing);
  const auto port = startRunning(*service);
  UdpSender sender;
  constexpr int kSent = 100;
  for (int i = 0; i < kSent; ++i) {
    sender.send(deckMessage("/deck/1/bpm", static_cast<float>(i)), port);
  }
  std::this_thread::sleep_for(200ms);

  // What waits for the main thread is what it runs before a mark queued now.
  bool marked = false;
  runtime::MainThread::post([&] { marked = true; });
  std::size_t waiting = 0;
  loop.context().restart();
  while (loop.context().run_one() > 0 && !marked) {
    ++waiting;
  }
  ASSERT_TRUE(marked);
  EXPECT_LE(waiting, timing.maxHandOffs);

  // The held-back datagrams follow once the main thread catches up, in order.
  loop.runUntil([&] { return messages.size() == kSent; });
  for (int i = 0; i < kSent; ++i) {
    EXPECT_EQ(messages[static_cast<std::size_t>(i)].arguments.at(0), OSCArgumentValue::float32(static_cast<float>(i)));
  }
}

// The datagram is parsed and its hop queued on the main thread before stop(): the main-thread
// backend counts what the receive queue posts, and the loop stays still until stop() has run.
TEST_F(OSCServerServiceTest, NothingArrivesAfterStop) {
  struct Posts {
    std::mutex mutex;
    std::condition_variable posted;
    std::size_t count = 0;
  };
  auto posts = std::make_shared<Posts>();
  auto counted = runtime::MainThread::installPoster(
      [&context = loop.context(), posts](runtime::UniqueFunction<void()> work) {
        asio::post(context, [work = std::make_shared<runtime::UniqueFunction<void()>>(std::move(work))] { (*work)(); });
        {
          std::scoped_lock lock(posts->mutex);
          ++posts->count;
        }
        posts->posted.notify_all();
      },
      std::this_thread::get_id());
  auto service = makeService();
  const auto port = startRunning(*service);
  std::unique_lock lock(posts->mutex);
  const auto before = posts->count;
  lock.unlock();
  UdpSender sender;
  sender.send(deckMessage("/deck/1/bpm", 1.0F), port);
  lock.lock();
  ASSERT_TRUE(posts->posted.wait_for(lock, 5s, [&] { return posts->count > before; }));
  lock.unlock();
  service->stop();
  runFor(loop, 50ms);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(service->connectionCount(), 0U);
  EXPECT_EQ(service->state(), ServerState::stopped());
}

// An unconnected UDP socket reports read errors only with IP_RECVERR, one for each ICMP error
// the kernel queues: the test switches it on for the service's own socket and sends from that
// socket to a closed port for as long as it wants errors. A read re-armed at once after a
// failure would log one for nearly every datagram sent.
TEST_F(OSCServerServiceTest, ReadErrorsPauseTheReadsThenReadingGoesOn) {
  LogCapture log;
  OSCServerService::Timing timing;
  timing.readErrorPause = 50ms;
  auto service = makeService(timing);
  const auto port = startRunning(*service);
  const int fd = loopbackSocketOn(port);
  ASSERT_GE(fd, 0);
  const int on = 1;
  ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on), 0);
  sockaddr_in closed{};
  {
    asio::io_context context;
    udp::socket gone(context, udp::endpoint(asio::ip::address_v4::loopback(), 0));
    closed.sin_port = htons(gone.local_endpoint().port());
  }
  closed.sin_family = AF_INET;
  closed.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  int sent = 0;
  for (const auto until = std::chrono::steady_clock::now() + 500ms; std::chrono::steady_clock::now() < until;) {
    ::sendto(fd, "", 0, 0, reinterpret_cast<const sockaddr*>(&closed), sizeof closed);
    ++sent;
    std::this_thread::sleep_for(2ms);
  }
  const auto errors = log.count("osc_conn_fail");
  EXPECT_GE(errors, 2U) << "no read after the first error's pause";
  EXPECT_LE(errors, 12U) << "reads not paused: " << sent << " errors were on offer";

  UdpSender sender;
  sender.send(deckMessage("/deck/1/bpm", 1.0F), port);
  loop.runUntil([&] { return messages.size() == 1; });
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
