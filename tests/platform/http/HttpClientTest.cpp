#include "platform/http/HttpClient.hpp"

#include "platform/log/LogStore.hpp"
#include "support/Blocking.hpp"
#include "support/FakeRemote.hpp"

#include "TestSupport.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Set on a thread, the next descriptor that thread adds to its event loop is refused as if the
// kernel's limit of watched descriptors were reached.
thread_local bool refuseNextRegistration = false;

} // namespace

// Stands in for the C library's, so that a test can make an event loop's registration fail.
extern "C" int epoll_ctl(int epfd, int op, int fd, epoll_event* event) noexcept {
  using Real = int (*)(int, int, int, epoll_event*);
  static const auto real = std::bit_cast<Real>(::dlsym(RTLD_NEXT, "epoll_ctl"));
  if (op == EPOLL_CTL_ADD && std::exchange(refuseNextRegistration, false)) {
    errno = ENOSPC;
    return -1;
  }
  return real(epfd, op, fd, event);
}

namespace pd::platform::http {
namespace {

using namespace std::chrono_literals;
using testing::FakeRemote;
using testing::runBlocking;

Request get(std::string url, std::chrono::milliseconds idle = 0ms, Redirects redirects = Redirects::follow) {
  Request request;
  request.url = std::move(url);
  request.idleTimeout = idle;
  request.redirects = redirects;
  return request;
}

class HttpClientTest : public ::testing::Test {
protected:
  FakeRemote fake;
  std::shared_ptr<Client> client = std::make_shared<Client>(fake.clientConfiguration());

  Response fetch(Request request, std::size_t cap = 1 << 20) {
    auto c = client;
    return runBlocking(
        [c, request, cap]() -> runtime::Awaitable<Response> { co_return co_await c->fetch(request, cap); });
  }
};

TEST_F(HttpClientTest, FetchesOverHttpsAndHttpWithTheAppsUserAgentAndFollowsRedirects) {
  const auto response = fetch(get("https://a.remote.test/api/v1/stats"));
  EXPECT_EQ(response.status, 200);
  EXPECT_NE(response.body.find("software"), std::string::npos);
  EXPECT_EQ(response.header("content-type"), "application/json");

  EXPECT_EQ(fetch(get("http://a.remote.test/nothing")).status, 404);

  fake.fault("a.remote.test", "/old", {{"fault", "redirect"}, {"location", "https://b.remote.test/api/v1/stats"}});
  const auto followed = fetch(get("https://a.remote.test/old"));
  EXPECT_EQ(followed.status, 200);
  EXPECT_EQ(followed.effectiveUrl, "https://b.remote.test/api/v1/stats");
  const auto handed = fetch(get("https://a.remote.test/old", 0ms, Redirects::handOver));
  EXPECT_EQ(handed.status, 302);
  EXPECT_EQ(handed.location, "https://b.remote.test/api/v1/stats");

  const auto requests = fake.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front()["user_agent"], Client::defaultUserAgent());
  EXPECT_EQ(requests.front()["host"], "a.remote.test");
}

TEST_F(HttpClientTest, RefusesOtherSchemesAndUntrustedCertificates) {
  try {
    fetch(get("ftp://a.remote.test/file"));
    FAIL() << "ftp was fetched";
  } catch (const TransferError& error) {
    EXPECT_EQ(error.domain(), "curl");
    EXPECT_EQ(error.curlCode(), CURLE_UNSUPPORTED_PROTOCOL);
  }
  auto withoutCA = fake.clientConfiguration();
  withoutCA.extraCAFile.reset();
  auto strict = std::make_shared<Client>(withoutCA);
  EXPECT_THROW(runBlocking([strict]() -> runtime::Awaitable<Response> {
                 co_return co_await strict->fetch(get("https://a.remote.test/api/v1/stats"), 1024);
               }),
               TransferError);
}

// A refusal by the client's filter or by a request's own is its own error, and nothing reaches
// the server; a request's filter holds for that request only, and the client's has the first word.
TEST_F(HttpClientTest, ConnectFiltersOfTheClientAndTheRequestRefuseWithTheirOwnError) {
  auto refusing = get("https://a.remote.test/api/v1/stats");
  int seen = 0;
  refusing.connectFilter = [&seen](const ::sockaddr&) {
    ++seen;
    return false;
  };
  EXPECT_THROW(fetch(refusing), ConnectRefusedError);
  EXPECT_GE(seen, 1);
  EXPECT_TRUE(fake.requests().empty());
  EXPECT_EQ(fetch(get("https://b.remote.test/api/v1/stats")).status, 200);

  auto configuration = fake.clientConfiguration();
  int seenByClient = 0;
  configuration.connectFilter = [&seenByClient](const ::sockaddr&) {
    ++seenByClient;
    return false;
  };
  auto strict = std::make_shared<Client>(configuration);
  auto allowing = get("https://a.remote.test/api/v1/stats");
  allowing.connectFilter = [](const ::sockaddr&) { return true; };
  for (const Request& request : {get("https://a.remote.test/api/v1/stats"), allowing}) {
    EXPECT_THROW(runBlocking([strict, request]() -> runtime::Awaitable<Response> {
                   co_return co_await strict->fetch(request, 1024);
                 }),
                 ConnectRefusedError)
        << (request.connectFilter ? "with" : "without") << " the request's own filter";
  }
  EXPECT_GE(seenByClient, 2);
  for (const auto& request : fake.requests()) EXPECT_EQ(request["host"], "b.remote.test");
}

// The connect filter runs on the client's queue, the thread that then watches the new socket.
TEST_F(HttpClientTest, ASocketTheEventLoopCannotWatchFailsItsTransferAndTheClientGoesOn) {
  auto unwatchable = get("https://a.remote.test/api/v1/stats");
  unwatchable.connectFilter = [](const ::sockaddr&) {
    refuseNextRegistration = true;
    return true;
  };
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(fetch(unwatchable), TransferError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(fetch(get("https://b.remote.test/api/v1/stats")).status, 200);
}

TEST_F(HttpClientTest, AHandedOverRedirectsBodyIsNotTheCallers) {
  fake.fault("a.remote.test", "/old", {{"fault", "redirect"}, {"location", "/new"}, {"body", "moved"}});
  auto c = client;
  std::string streamed;
  const auto response = runBlocking([c, &streamed]() -> runtime::Awaitable<Response> {
    co_return co_await c->stream(get("https://a.remote.test/old", 0ms, Redirects::handOver),
                                 [&streamed](std::string_view piece) {
                                   streamed.append(piece);
                                   return true;
                                 });
  });
  EXPECT_EQ(response.status, 302);
  EXPECT_EQ(response.header("location"), "/new");
  EXPECT_TRUE(streamed.empty());
  EXPECT_TRUE(fetch(get("https://a.remote.test/old", 0ms, Redirects::handOver)).body.empty());
}

TEST(HttpResponseTest, HeaderNamesMatchByASCIICaseWhateverTheLocale) {
  pd::testing::ScopedThreadLocale turkish("tr_TR", "ISO-8859-9");
  if (!turkish.available()) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "cannot compile tr_TR.ISO-8859-9 (package locales)";
    GTEST_SKIP() << "cannot compile tr_TR.ISO-8859-9 (package locales)";
  }
  ASSERT_NE(std::tolower('I'), 'i') << "the locale's folding must differ from ASCII's for this test to mean anything";
  Response upper;
  upper.headers = {{"X-Other", "no"}, {"LOCATION", "/upper"}};
  EXPECT_EQ(upper.header("location"), "/upper");
  Response dotted;
  dotted.headers = {{"Locat\xDDon", "/dotted"}};
  EXPECT_EQ(dotted.header("location"), std::nullopt);
}

// More than loopback's two socket buffers of a connection can hold at their largest: a server that
// wrote all of it cannot have done so into the buffers alone, however slowly its client read.
std::int64_t bodyBeyondSocketBuffers() {
  const auto largest = [](const char* path) {
    std::ifstream in(path);
    std::int64_t least = 0, initial = 0, most = 0;
    in >> least >> initial >> most;
    return most;
  };
  const auto buffers = largest("/proc/sys/net/ipv4/tcp_rmem") + largest("/proc/sys/net/ipv4/tcp_wmem");
  return std::clamp<std::int64_t>(2 * buffers, 16 << 20, 1 << 30);
}

TEST_F(HttpClientTest, WholeBodyCapStopsTheTransfer) {
  constexpr std::size_t cap = 64 * 1024;
  fake.fault("a.remote.test", "/exact", {{"fault", "over_cap"}, {"bytes", cap}});
  fake.fault("a.remote.test", "/over", {{"fault", "over_cap"}, {"bytes", cap + 1}});
  EXPECT_EQ(fetch(get("https://a.remote.test/exact"), cap).body, std::string(cap, ' '));
  EXPECT_THROW(fetch(get("https://a.remote.test/over"), cap), BodyTooLargeError);

  const auto body = bodyBeyondSocketBuffers();
  fake.fault("a.remote.test", "/big", {{"fault", "over_cap"}, {"bytes", body}});
  EXPECT_THROW(fetch(get("https://a.remote.test/big"), cap), BodyTooLargeError);
  // The server saw the connection go before it could send the whole body.
  const auto big = [](const auto& e) { return e["event"] == "body_sent" && e["path"] == "/big"; };
  ASSERT_TRUE(fake.waitFor(big));
  for (const auto& e : fake.events()) {
    if (big(e)) {
      EXPECT_LT(e["bytes"].template get<std::int64_t>(), body);
    }
  }
}

TEST_F(HttpClientTest, StreamedBodyMayStopEarly) {
  fake.fault("a.remote.test", "/big", {{"fault", "over_cap"}, {"bytes", 8 << 20}});
  auto c = client;
  std::size_t received = 0;
  const auto response = runBlocking([c, &received]() -> runtime::Awaitable<Response> {
    co_return co_await c->stream(get("https://a.remote.test/big"), [&received](std::string_view piece) {
      received += piece.size();
      return received < 100'000;
    });
  });
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.stoppedEarly);
  EXPECT_TRUE(response.body.empty());
  EXPECT_LT(received, std::size_t{8 << 20});
}

TEST_F(HttpClientTest, IdleTimeoutEndsAStalledTransferAndIsLogged) {
  fake.fault("a.remote.test", "/stall", {{"fault", "stall"}, {"seconds", 10}});
  const auto before = log::LogStore::shared().lastSequence();
  const auto started = std::chrono::steady_clock::now();
  try {
    fetch(get("https://a.remote.test/stall", 300ms));
    FAIL() << "a stalled transfer succeeded";
  } catch (const TransferError& error) {
    EXPECT_TRUE(error.isTimeout());
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 3s);
  bool logged = false;
  for (const auto& entry : log::LogStore::shared().entriesAfter(before)) {
    logged = logged || (entry.subsystem == "se.curl" && entry.level == log::Level::error);
  }
  EXPECT_TRUE(logged);
  EXPECT_TRUE(fake.waitFor([](const auto& e) { return e["event"] == "closed"; }));
}

TEST_F(HttpClientTest, CancellationRemovesTheTransferAndIsNotATransferError) {
  fake.fault("a.remote.test", "/stall", {{"fault", "stall"}, {"seconds", 10}});
  auto c = client;
  auto task = runtime::spawn(runtime::sharedPool().executor(), [c]() -> runtime::Awaitable<Response> {
    co_return co_await c->fetch(get("https://a.remote.test/stall"), 1024);
  });
  ASSERT_TRUE(fake.waitFor([](const auto& e) { return e["event"] == "request"; }));
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 5s));
  EXPECT_THROW(task.state()->result(), runtime::CancellationError);
  EXPECT_TRUE(fake.waitFor([](const auto& e) { return e["event"] == "closed"; }, 5s));
  EXPECT_EQ(client->activeTransfers(), 0u);

  // Cancelled before it starts: nothing goes out.
  fake.clearEvents();
  std::atomic<bool> go{false};
  auto early = runtime::spawn(runtime::sharedPool().executor(), [c, &go]() -> runtime::Awaitable<Response> {
    while (!go.load()) std::this_thread::sleep_for(1ms);
    co_return co_await c->fetch(get("https://a.remote.test/api/v1/stats"), 1024);
  });
  early.cancel();
  go.store(true);
  ASSERT_TRUE(runtime::test::waitUntilFinished(early, 5s));
  EXPECT_THROW(early.state()->result(), runtime::CancellationError);
  EXPECT_TRUE(fake.requests(200ms).empty());
}

TEST_F(HttpClientTest, ManyTransfersAtOnce) {
  auto c = client;
  std::vector<runtime::Task<Response>> tasks;
  for (int i = 0; i < 20; ++i) {
    tasks.push_back(runtime::spawn(runtime::sharedPool().executor(), [c, i]() -> runtime::Awaitable<Response> {
      const std::string host = (i % 2 == 0) ? "a.remote.test" : "b.remote.test";
      co_return co_await c->fetch(get("https://" + host + "/api/v1/stats"), 1024);
    }));
  }
  for (auto& task : tasks) {
    ASSERT_TRUE(runtime::test::waitUntilFinished(task, 20s));
    EXPECT_EQ(task.state()->result().status, 200);
  }
}

// One answer from a real loopback socket: its head goes out in the same write as the body's first
// bytes, the rest of the body is held until the client hangs up or five seconds pass, then sent.
class HeldBodyServer {
public:
  HeldBodyServer(std::string head, std::size_t bodyBytes) : head_(std::move(head)), bodyBytes_(bodyBytes) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<::sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<::sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~HeldBodyServer() {
    thread_.join();
    ::close(listener_);
  }
  HeldBodyServer(const HeldBodyServer&) = delete;
  HeldBodyServer& operator=(const HeldBodyServer&) = delete;

  int port() const noexcept { return port_; }
  // Both are final once the client's transfer has ended and the server has seen it.
  bool waitForEnd() {
    for (int i = 0; i < 1000 && !ended_.load(); ++i) std::this_thread::sleep_for(10ms);
    return ended_.load();
  }
  bool hungUpBeforeTheRest() const noexcept { return hungUp_.load(); }
  std::size_t bodyBytesSent() const noexcept { return sent_.load(); }

  static constexpr std::size_t kFirstPiece = 4096;

private:
  void serve() {
    ::pollfd waiting{listener_, POLLIN, 0};
    const int connection = ::poll(&waiting, 1, 10'000) == 1 ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (connection >= 0) {
      answer(connection);
      ::close(connection);
    }
    ended_.store(true);
  }

  void answer(int connection) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const auto n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string body(bodyBytes_, 'v');
    const std::string first = head_ + body.substr(0, kFirstPiece);
    if (::send(connection, first.data(), first.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(first.size())) return;
    sent_.store(kFirstPiece);
    ::pollfd peer{connection, POLLIN | POLLRDHUP, 0};
    if (::poll(&peer, 1, 5'000) == 1 && ::recv(connection, buffer, sizeof buffer, 0) <= 0) {
      hungUp_.store(true);
      return;
    }
    for (std::size_t offset = kFirstPiece; offset < body.size();) {
      const auto n = ::send(connection, body.data() + offset, body.size() - offset, MSG_NOSIGNAL);
      if (n <= 0) return;
      offset += static_cast<std::size_t>(n);
      sent_.store(offset);
    }
  }

  std::string head_;
  std::size_t bodyBytes_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> ended_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

TEST(HttpClientHeadersCheckTest, ARefusedHeadEndsTheTransferBeforeAnyBodyByte) {
  constexpr std::size_t kBody = 8 << 20;
  // A whole file where a range was asked for, as a server that ignores Range answers.
  HeldBodyServer server(
      "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n", kBody);
  auto client = std::make_shared<Client>();
  auto request = get("http://127.0.0.1:" + std::to_string(server.port()) + "/clip.mp4");
  request.headers = {"Range: bytes=0-1023"};
  std::vector<std::pair<long, std::optional<std::string>>> judged;
  request.headersCheck = [&judged](long status, const Response& answer) {
    judged.emplace_back(status, answer.header("content-type"));
    return status == 206;
  };
  std::size_t received = 0;
  const auto response = runBlocking([client, request, &received]() -> runtime::Awaitable<Response> {
    co_return co_await client->stream(request, [&received](std::string_view piece) {
      received += piece.size();
      return true;
    });
  });
  EXPECT_EQ(response.status, 200);
  EXPECT_TRUE(response.stoppedEarly);
  ASSERT_EQ(judged.size(), 1u);
  EXPECT_EQ(judged.front(), std::make_pair(200L, std::optional<std::string>("video/mp4")));
  // Not even the bytes that came in the head's own segment reach the sink.
  EXPECT_EQ(received, 0u);
  ASSERT_TRUE(server.waitForEnd());
  EXPECT_TRUE(server.hungUpBeforeTheRest());
  EXPECT_EQ(server.bodyBytesSent(), HeldBodyServer::kFirstPiece);
  EXPECT_EQ(client->activeTransfers(), 0u);
}

} // namespace
} // namespace pd::platform::http
