// The listener's failure and restart, forced for real: the kernel aborts the listening socket
// (ss -K, which needs the socket-destroy diagnostics and root; skipped locally without them).

#include "MediaServerTestSupport.hpp"

#include <atomic>
#include <cstdlib>

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
    if (std::system(command.c_str()) == 0 && log.waitFor({"http_server_fail err_domain=POSIX"}, 1s)) return true;
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") ADD_FAILURE() << "cannot abort a listening socket here";
    return false;
  }
  std::uint16_t ensureReady() {
    auto server = f.server;
    return runTask<std::uint16_t>([server] { return server->ensureReady(); });
  }
};

TEST_F(ListenerRestartTest, RestartsOnItsPortAfterASecondWithoutReportingAChange) {
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  EXPECT_FALSE(log.waitFor({"http_server_restart"}, 700ms));
  EXPECT_TRUE(log.waitFor({"http_server_restart port=" + std::to_string(f.port)}, 1s));
  EXPECT_EQ(ensureReady(), f.port);
  EXPECT_EQ(get(f.port, "x").substr(0, 22), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(portChanges.load(), 0);
}

TEST_F(ListenerRestartTest, AWaiterBeforeTheTimerStartsTheListenerAndTheTimerStandsDown) {
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ensureReady(), f.port);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
  EXPECT_FALSE(log.waitFor({"http_server_restart"}, 1500ms));
}

TEST_F(ListenerRestartTest, ATakenPortIsGivenUpForAnyPortAndReportedOnce) {
  if (!abortListener(f.port)) GTEST_SKIP() << "no socket-destroy support";
  // Someone else listens on the old port before the restart.
  const int squatter = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int off = 0;
  ::setsockopt(squatter, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(f.port);
  address.sin6_addr = in6addr_any;
  ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(squatter, 4), 0);
  EXPECT_TRUE(log.waitFor({"http_server_restart port=" + std::to_string(f.port)}, 2s));
  const auto port = ensureReady();
  EXPECT_NE(port, f.port);
  EXPECT_EQ(portChanges.load(), 1);
  EXPECT_EQ(lastReported.load(), port);
  EXPECT_EQ(get(port, "x").substr(0, 22), "HTTP/1.1 404 Not Found");
  ::close(squatter);
}

} // namespace
} // namespace pd::mediaserver
