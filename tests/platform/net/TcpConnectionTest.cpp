#include "platform/net/TcpListener.hpp"

#include "runtime/SerialQueue.hpp"

#include "TestSupport.hpp" // tests/platform

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <linux/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>

namespace pd::platform::net {
namespace {

using namespace std::chrono_literals;

// How long a case waits for what must come; only a failing case waits that long.
constexpr auto kPatience = 10s;

// A plain client socket connected to a loopback port.
int connectedClient(std::uint16_t port) {
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  return client;
}

// A listener on loopback and one plain client socket connected to it.
class Pair {
public:
  explicit Pair(const TcpListener::Timing& timing = {}) : listener_(TcpListener::create(queue_.executor(), 0, timing)) {
    std::promise<std::shared_ptr<TcpConnection>> accepted;
    auto future = accepted.get_future();
    listener_->start([&accepted](std::shared_ptr<TcpConnection> c) { accepted.set_value(std::move(c)); }, nullptr);
    client_ = connectedClient(listener_->port());
    EXPECT_EQ(future.wait_for(kPatience), std::future_status::ready);
    server = future.get();
    listener_->cancel();
  }
  ~Pair() {
    if (client_ >= 0) ::close(client_);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;

  // Everything until the peer's end, or what came within the time given.
  std::string readToEnd(std::chrono::milliseconds within, bool* ended = nullptr) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + within;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd readable{client_, POLLIN, 0};
      if (left <= 0ms || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
        return text;
      }
      char buffer[4096];
      const auto n = ::recv(client_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (ended) *ended = true;
        return text;
      }
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  void resetClient() {
    const linger now{1, 0};
    ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(std::exchange(client_, -1));
    std::this_thread::sleep_for(50ms);
  }
  void sendFromClient(const std::string& text) { (void)::send(client_, text.data(), text.size(), MSG_NOSIGNAL); }
  void shutdownClientSending() { ::shutdown(client_, SHUT_WR); }
  std::uint32_t dataSegmentsIn() const {
    struct tcp_info info {};
    socklen_t length = sizeof info;
    ::getsockopt(client_, IPPROTO_TCP, TCP_INFO, &info, &length);
    return info.tcpi_data_segs_in;
  }

  std::shared_ptr<TcpConnection> server;

private:
  runtime::SerialQueue queue_{"net.test"};
  std::shared_ptr<TcpListener> listener_;
  int client_ = -1;
};

const std::string kHeader = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";

std::error_code sendHeld(TcpConnection& connection) {
  return connection.sendNow(reinterpret_cast<const std::uint8_t*>(kHeader.data()), kHeader.size(),
                            std::chrono::steady_clock::now() + 5s, true);
}

// A header handed over with "more" rides in one packet with the body's first piece; when no body
// follows, ending the connection still delivers it at once, with the end: not after the kernel's
// cork timer, nor when the drain gives up on the peer and closes the socket.
TEST(TcpConnectionTest, HeldHeaderLeavesWithTheFirstBodyPieceOrTheConnectionsEnd) {
  {
    Pair pair;
    const std::string body(1000, 'b');
    ASSERT_FALSE(sendHeld(*pair.server));
    EXPECT_FALSE(pair.server->sendNow(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(),
                                      std::chrono::steady_clock::now() + 5s));
    pair.server->cancel();
    EXPECT_EQ(pair.readToEnd(kPatience), kHeader + body);
    EXPECT_EQ(pair.dataSegmentsIn(), 1u);
  }
  {
    TcpListener::Timing longDrain;
    longDrain.connection.drainTimeout = 10min;
    Pair pair(longDrain);
    ASSERT_FALSE(sendHeld(*pair.server));
    pair.server->cancel();
    bool ended = false;
    EXPECT_EQ(pair.readToEnd(kPatience, &ended), kHeader);
    EXPECT_TRUE(ended) << "the end waited for the socket to close";
  }
}

// A reply's header written in front of a slice of a shared chunk: exactly those bytes, in one
// packet for a small reply, and the end of sending after them.
TEST(TcpConnectionTest, HeaderInFrontOfASliceLeavesInOneWrite) {
  Pair pair;
  auto header = std::make_shared<const std::vector<std::uint8_t>>(kHeader.begin(), kHeader.end());
  std::vector<std::uint8_t> chunk(3000);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(i % 251);
  const std::string slice(chunk.begin() + 1000, chunk.begin() + 2000);
  std::promise<std::error_code> sent;
  pair.server->send(header, std::make_shared<const std::vector<std::uint8_t>>(std::move(chunk)), 1000, 1000, true,
                    [&sent](std::error_code error) { sent.set_value(error); });
  auto outcome = sent.get_future();
  ASSERT_EQ(outcome.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(outcome.get());
  bool ended = false;
  EXPECT_EQ(pair.readToEnd(kPatience, &ended), kHeader + slice);
  EXPECT_TRUE(ended);
  EXPECT_EQ(pair.dataSegmentsIn(), 1u);
}

// The peer has gone: the bytes meet a reset socket, which must be an error for the caller rather
// than SIGPIPE's default end of the process.
TEST(TcpConnectionTest, NeitherTheListenerNorItsConnectionsPassToProgramsStartedLater) {
  runtime::SerialQueue queue("com.example.test.closeonexec");
  auto listener = TcpListener::create(queue.executor(), 0);
  std::promise<std::shared_ptr<TcpConnection>> accepted;
  auto connection = accepted.get_future();
  listener->start([&accepted](std::shared_ptr<TcpConnection> c) { accepted.set_value(std::move(c)); }, nullptr);
  const int client = connectedClient(listener->port());
  ASSERT_EQ(connection.wait_for(kPatience), std::future_status::ready);
  const auto server = connection.get();
  EXPECT_EQ(testing::closeOnExecOfSocketsOn(listener->port()), (std::vector<bool>{true, true}));
  listener->cancel();
  ::close(client);
}

TEST(TcpConnectionTest, SendingToAGonePeerFailsWithoutEndingTheProcess) {
  Pair pair;
  pair.resetClient();
  const std::vector<std::uint8_t> body(1 << 20);
  // The first send after the reset reports it; the next meets the closed pipe.
  std::error_code error;
  for (int i = 0; i < 3 && error != std::errc::broken_pipe; ++i) {
    error = pair.server->sendNow(body.data(), body.size(), std::chrono::steady_clock::now() + 5s);
  }
  EXPECT_TRUE(error == std::errc::broken_pipe) << error.message();
}

// After a whole reply to a peer that sent nothing more, the connection closes at once rather than
// wait for the peer's end; a peer that sent more still has it drained, so that its reply is not
// lost to a reset.
TEST(TcpConnectionTest, AWholeReplyEndsAtOnceUnlessThePeerSentMore) {
  TcpListener::Timing longDrain;
  longDrain.connection.drainTimeout = 10min;
  for (const bool sentMore : {false, true}) {
    SCOPED_TRACE(sentMore ? "sent more" : "sent nothing more");
    Pair pair(longDrain);
    auto closed = std::make_shared<std::promise<void>>();
    pair.server->setStateHandler([closed](TcpConnection::State state, std::error_code) {
      if (state == TcpConnection::State::cancelled) closed->set_value();
    });
    if (sentMore) pair.sendFromClient("GET / HTTP/1.1\r\n\r\n");
    auto server = pair.server;
    server->send(std::vector<std::uint8_t>(kHeader.begin(), kHeader.end()), true,
                 [server](std::error_code) { server->endAfterReply(); });
    EXPECT_EQ(pair.readToEnd(kPatience), kHeader);
    EXPECT_EQ(closed->get_future().wait_for(sentMore ? 300ms : kPatience) == std::future_status::ready, !sentMore);
  }
}

// A send is bounded by the deadline from its own start, not from an earlier send's: one started
// while the deadline of a completed one still runs is given its whole time, then ends the
// connection with an error when the peer takes none of it.
TEST(TcpConnectionTest, EachSendHasTheWholeDeadlineFromItsOwnStart) {
  TcpListener::Timing timing;
  timing.connection.sendDeadline = 400ms;
  Pair pair(timing);
  const auto send = [&](std::size_t size) {
    auto done = std::make_shared<std::promise<std::error_code>>();
    auto outcome = done->get_future();
    pair.server->send(std::vector<std::uint8_t>(size, 'x'), false, [done](std::error_code e) { done->set_value(e); });
    EXPECT_EQ(outcome.wait_for(kPatience), std::future_status::ready);
    return outcome.get();
  };
  EXPECT_FALSE(send(1000));
  EXPECT_EQ(pair.readToEnd(250ms).size(), 1000u);
  // Too much for the sockets' buffers, and never read.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(send(32u << 20));
  EXPECT_GE(std::chrono::steady_clock::now() - started, timing.connection.sendDeadline);
}

// A peer that goes away while its reply is prepared is reported, whatever it sent before; one
// that only shuts down its sending side after the reply started keeps its reply.
TEST(TcpConnectionTest, WatchReportsAPeerGoneBeforeTheReplyOnly) {
  // Whether onGone ran within the time given.
  struct Watch {
    std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
    bool within(std::chrono::milliseconds limit) const {
      const auto until = std::chrono::steady_clock::now() + limit;
      while (!gone->load() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
      return gone->load();
    }
  };
  const auto gone = [](Pair& pair) {
    Watch watch;
    pair.server->watchUntilReply([flag = watch.gone] { flag->store(true); });
    return watch;
  };
  {
    Pair pair;
    EXPECT_EQ(pair.server->remoteAddress(), "127.0.0.1");
    auto reported = gone(pair);
    pair.sendFromClient("more of the request");
    EXPECT_FALSE(reported.within(200ms));
    pair.shutdownClientSending();
    EXPECT_TRUE(reported.within(kPatience));
  }
  {
    Pair pair;
    auto reported = gone(pair);
    pair.resetClient();
    EXPECT_TRUE(reported.within(kPatience));
  }
  { // A header held for its body does not end the watch...
    Pair pair;
    auto reported = gone(pair);
    ASSERT_FALSE(sendHeld(*pair.server));
    pair.shutdownClientSending();
    EXPECT_TRUE(reported.within(kPatience));
  }
  { // ...the body does.
    Pair pair;
    auto reported = gone(pair);
    ASSERT_FALSE(sendHeld(*pair.server));
    const std::string body(1000, 'b');
    ASSERT_FALSE(pair.server->sendNow(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(),
                                      std::chrono::steady_clock::now() + 5s));
    pair.shutdownClientSending();
    EXPECT_FALSE(reported.within(300ms));
    pair.server->cancel();
    EXPECT_EQ(pair.readToEnd(kPatience), kHeader + body);
  }
}

} // namespace
} // namespace pd::platform::net
