// The listener's failure and restart, forced for real: the kernel aborts the listening socket
// (ss -K, which needs the socket-destroy diagnostics and root; skipped locally without them).

#include "MediaServerTestSupport.hpp"

#include "runtime/TestSupport.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

namespace pd::mediaserver {
namespace {

using namespace pd::testing;
using namespace std::chrono_literals;

struct ListenerRestartTest : ::testing::Test {
  ServerFixture f;
  LogLines log;
  std::atomic<int> portChanges{0};
  std::atomic<int> lastReported{0};

  void SetUp() override {
    f.server->setOnPortChange([this](std::uint16_t port) {
      ++portChanges;
      lastReported = port;
    });
  }
  bool abortListener(std::uint16_t port) {
    const auto command = "ss -K state listening '( sport = :" + std::to_string(port) + " )' >/dev/null 2>&1";
    if (std::system(command.c_str()) == 0 && log.waitFor({"http_server_fail err_domain=POSIX"}, 10s)) return true;
    if (onCi()) ADD_FAILURE() << "cannot abort a listening socket here";
    return false;
  }
  // A socket of someone else's listening on `port` (on every address); -1 when it cannot.
  static int squat(std::uint16_t port) {
    const int squatter = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int off = 0;
    ::setsockopt(squatter, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    if (::bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(squatter, 4) != 0) {
      ::close(squatter);
      return -1;
    }
    return squatter;
  }
  std::uint16_t ensureReady() {
    auto server = f.server;
    return runTask<std::uint16_t>([server] { return server->ensureReady(); });
  }
};

TEST_F(ListenerRestartTest, RestartsOnItsPortAfterASecondWithoutReportingAChange) {
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  EXPECT_FALSE(log.waitFor({"http_server_restart"}, 700ms));
  EXPECT_TRUE(log.waitFor({"http_server_restart port=" + std::to_string(f.port)}, 10s));
  EXPECT_EQ(ensureReady(), f.port);
  EXPECT_EQ(statusLine(get(f.port, "x")), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(portChanges.load(), 0);
}

TEST_F(ListenerRestartTest, AWaiterBeforeTheTimerStartsTheListenerAndTheTimerStandsDown) {
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ensureReady(), f.port);
  EXPECT_LT(std::chrono::steady_clock::now() - started, LocalVideoHTTPServer::Timing{}.restartDelay);
  EXPECT_FALSE(log.waitFor({"http_server_restart"}, 1500ms));
}

TEST_F(ListenerRestartTest, ATakenPortIsGivenUpForAnyPortAndReportedOnce) {
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  // Someone else listens on the old port before the restart.
  const int squatter = squat(f.port);
  ASSERT_GE(squatter, 0);
  EXPECT_TRUE(log.waitFor({"http_server_restart port=" + std::to_string(f.port)}, 10s));
  const auto port = ensureReady();
  EXPECT_NE(port, f.port);
  EXPECT_EQ(portChanges.load(), 1);
  EXPECT_EQ(lastReported.load(), port);
  EXPECT_EQ(statusLine(get(port, "x")), "HTTP/1.1 404 Not Found");
  ::close(squatter);
}

// The owner lets go of the server while work on the server's queue holds its state (here the
// port-change handler, run as the restart finds its port taken): the queue ends, and its thread
// with it, before the owner goes on. Otherwise that work would end the queue from its own thread,
// which would run on unjoined into the program's exit.
TEST_F(ListenerRestartTest, LettingGoWhileTheQueueHoldsTheServerEndsTheQueuesThreadFirst) {
  auto thread = std::make_shared<std::atomic<pid_t>>(0);
  auto entered = std::make_shared<runtime::test::Latch>();
  auto release = std::make_shared<runtime::test::Latch>();
  f.server->setOnPortChange([thread, entered, release](std::uint16_t) {
    thread->store(::gettid());
    entered->open();
    release->wait();
  });
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  const int squatter = squat(f.port);
  ASSERT_GE(squatter, 0);
  ASSERT_TRUE(entered->wait());

  std::thread releaser([release] {
    std::this_thread::sleep_for(200ms);
    release->open();
  });
  f.server.reset();
  const bool ended = runtime::test::threadHasEnded(thread->load());
  releaser.join();
  ::close(squatter);
  EXPECT_TRUE(ended) << "the server's queue thread ran on after its owner let go";
}

} // namespace
} // namespace pd::mediaserver
