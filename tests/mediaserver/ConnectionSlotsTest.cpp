// Peers that leave before their reply, handlers that hang and peers that trickle their heads: none
// of them may keep the server's connection slots from a client that asks properly.

#include "MediaServerTestSupport.hpp"
#include "mediaserver/HeadReaderShares.hpp"
#include "platform/TestSupport.hpp"

#include <atomic>

namespace pd::mediaserver {
namespace {

using namespace pd::testing;
using namespace std::chrono_literals;

// Relayed media whose chunks never come: each fetch waits until it is cancelled, and counts that.
class HeldRelay final : public relay::RemoteMediaRelayInterface {
public:
  std::atomic<int> waiting{0};
  std::atomic<int> cancelled{0};
  bool atHand = false; // set before the server is made

  runtime::Awaitable<void> registerMedia(std::string, std::shared_ptr<const relay::RemoteMedia>) override { co_return; }
  runtime::Awaitable<void> unregister(std::string) override { co_return; }
  runtime::Awaitable<bool> hasEntry(std::string) override { co_return true; }
  runtime::Awaitable<std::int64_t> totalLength(std::string) override { co_return 1'000'000; }
  runtime::Awaitable<std::optional<std::string>> contentType(std::string) override { co_return std::nullopt; }
  runtime::Awaitable<Chunk> chunk(std::string, std::int64_t, bool) override {
    ++waiting;
    try {
      co_await runtime::sleep(60s);
    } catch (const runtime::CancellationError&) {
      ++cancelled;
      throw;
    }
    co_return nullptr;
  }
  std::int64_t chunkSize() const noexcept override { return 1000; }
  // With atHand, the length is answered at once (as from a disk cache) and the header leaves
  // before the first chunk is asked for.
  std::optional<Opening> openAtHand(const std::string&, const FirstChunkIndex&) override {
    if (!atHand) return std::nullopt;
    Opening opening;
    opening.held = true;
    opening.total = 1'000'000;
    return opening;
  }
};

// API handlers that never answer: each waits until it is cancelled; both are counted.
struct HangingHandlers {
  std::atomic<int> entered{0};
  std::atomic<int> cancelled{0};
};

LocalVideoHTTPServer::APIHandler hangingHandler(std::shared_ptr<HangingHandlers> counts) {
  return [counts](std::string, std::map<std::string, std::string>) -> runtime::Awaitable<ReceiverAPIResponse> {
    ++counts->entered;
    try {
      co_await runtime::sleep(60s);
    } catch (const runtime::CancellationError&) {
      ++counts->cancelled;
      throw;
    }
    co_return ReceiverAPIResponse{200, {}};
  };
}

TEST(ConnectionSlotsTest, PeersThatLeaveBeforeTheirBodyFreeTheirSlotsAndCancelTheRelaysWork) {
  // Before the relay has answered, and after the header went out while the first chunk is read.
  for (const bool atHand : {false, true}) {
    SCOPED_TRACE(atHand ? "length at hand" : "length asked");
    TempDirectory dir;
    writeText(dir / "a.mp4", "0123456789");
    auto relay = std::make_shared<HeldRelay>();
    relay->atHand = atHand;
    auto server = LocalVideoHTTPServer::create(relay);
    const auto port = runTask<std::uint16_t>([server] { return server->ensureReady(); });
    const auto token = runTask<std::string>([server] { return server->registerRemote(nullptr); });
    const auto file = server->registerFile(dir / "a.mp4");
    LogLines log;

    std::vector<std::unique_ptr<RawClient>> clients;
    for (std::int64_t i = 0; i < LocalVideoHTTPServer::kMaxConnections; ++i) {
      clients.push_back(std::make_unique<RawClient>(port));
      clients.back()->send("GET /" + token + " HTTP/1.1\r\n\r\n");
    }
    ASSERT_TRUE(waitUntil([&] { return relay->waiting == 32; }));
    EXPECT_EQ(get(port, file), ""); // every slot is taken
    for (auto& client : clients) client->close();

    // A client that comes now is served long before the relay's chunks would have come, and before
    // any of the server's own deadlines could have freed a slot.
    std::string reply;
    EXPECT_TRUE(waitUntil([&] { return statusLine(reply = get(port, file)) == "HTTP/1.1 200 OK"; }, 5s)) << reply;
    EXPECT_TRUE(waitUntil([&] { return relay->cancelled == 32; })) << relay->cancelled << " of 32 cancelled";
    // Once: the throttle holds back the next case's lines, which follow within its interval.
    if (!atHand) {
      EXPECT_TRUE(log.waitFor({"http_request_abort reason=client_gone"}));
    }
  }
}

TEST(ConnectionSlotsTest, ApiHandlerPastTheDeadlineIsAnsweredUnavailable) {
  LocalVideoHTTPServer::Timing timing;
  timing.apiDeadlineMargin = 100ms;
  ServerFixture f(timing);
  LogLines log;
  auto counts = std::make_shared<HangingHandlers>();
  f.server->setAPIHandler(hangingHandler(counts), 200ms);
  // The answer comes within the client's read limit, a fraction of the default margin alone: it is
  // the short deadline's.
  EXPECT_EQ(roundTrip(f.port, "GET /search?q=x HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 23\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n{\"error\":\"unavailable\"}");
  EXPECT_TRUE(log.waitFor({"reason=api_timeout", "status=503"}));
  EXPECT_TRUE(waitUntil([&] { return counts->cancelled == 1; }));

  // A peer that leaves first ends the handler's work at once, long before the deadline.
  timing.apiDeadlineMargin = 60s;
  ServerFixture patient(timing);
  patient.server->setAPIHandler(hangingHandler(counts), 0s);
  {
    RawClient client(patient.port);
    client.send("GET /bpm HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return counts->entered == 2; }));
  }
  EXPECT_TRUE(waitUntil([&] { return counts->cancelled == 2; }));
}

// A hook that fails instead of answering leaves nothing else to end the request: the peer is told
// at once, as for a hook past its deadline, long before that deadline.
TEST(ConnectionSlotsTest, ApiHandlerThatFailsIsAnsweredUnavailableAtOnce) {
  ServerFixture f;
  LogLines log;
  f.server->setAPIHandler(
      [](std::string, std::map<std::string, std::string>) -> runtime::Awaitable<ReceiverAPIResponse> {
        throw std::runtime_error("hook failed");
        co_return ReceiverAPIResponse{200, {}};
      },
      60s);
  RawClient client(f.port);
  client.send("GET /search?q=x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(client.read(SIZE_MAX, 5s),
            "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json; charset=utf-8\r\n"
            "Content-Length: 23\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n{\"error\":\"unavailable\"}");
  EXPECT_TRUE(log.waitFor({"reason=api_error", "status=503", "err_domain=std::runtime_error"}));
}

TEST(HeadReaderSharesTest, AFullServerTakesTheOldestSlotOfThePeerOverItsShareOnly) {
  HeadReaderShares<int> shares(2);
  shares.add("a", 1);
  shares.add("a", 2);
  shares.add("b", 3);
  EXPECT_TRUE(shares.holdsItsShare("a"));
  EXPECT_FALSE(shares.holdsItsShare("b"));
  EXPECT_EQ(shares.takeForNewcomer("c"), std::nullopt); // nobody holds more than the share
  shares.add("a", 4);
  EXPECT_EQ(shares.takeForNewcomer("a"), std::nullopt); // not for the hog's own newcomer
  EXPECT_EQ(shares.takeForNewcomer("b"), 1);
  EXPECT_EQ(shares.takeForNewcomer("c"), std::nullopt);
  shares.remove("a", [](int held) { return held == 2; });
  EXPECT_FALSE(shares.holdsItsShare("a"));
  shares.remove("b", [](int held) { return held == 3; });
  shares.add("b", 5);
  shares.add("b", 6);
  shares.add("b", 7);
  EXPECT_EQ(shares.takeForNewcomer("a"), 5);
}

// Peers from one address that open connections, send a byte of a head now and then, and come back
// at once when cut.
class Tricklers {
public:
  Tricklers(std::uint16_t port, int count, const char* from)
      : thread_([this, port, count, from] { run(port, count, from); }) {}
  ~Tricklers() {
    stop_ = true;
    thread_.join();
  }
  Tricklers(const Tricklers&) = delete;
  Tricklers& operator=(const Tricklers&) = delete;
  int connects() const { return connects_; }

private:
  void run(std::uint16_t port, int count, const char* from) {
    std::vector<std::unique_ptr<RawClient>> peers(static_cast<std::size_t>(count));
    auto nextByte = std::chrono::steady_clock::now();
    while (!stop_) {
      for (auto& peer : peers) {
        if (!peer) {
          peer = std::make_unique<RawClient>(port, 0, from);
          ++connects_;
        }
      }
      if (std::chrono::steady_clock::now() >= nextByte) {
        for (auto& peer : peers) peer->send("G");
        nextByte += 2s;
      }
      std::vector<pollfd> polled;
      for (auto& peer : peers) polled.push_back({peer->descriptor(), POLLIN | POLLRDHUP, 0});
      ::poll(polled.data(), polled.size(), 50);
      for (std::size_t i = 0; i < peers.size(); ++i) {
        if (polled[i].revents != 0) peers[i].reset();
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int> connects_{0};
  std::thread thread_;
};

TEST(ConnectionSlotsTest, OnePeerTricklingHeadsCannotLockOthersOut) {
  TempDirectory dir;
  writeText(dir / "a.mp4", "0123456789");
  ServerFixture f;
  LogLines log;
  const auto token = f.server->registerFile(dir / "a.mp4");
  Tricklers tricklers(f.port, 40, "127.0.0.2");
  ASSERT_TRUE(waitUntil([&] { return tricklers.connects() > 40; }));
  int served = 0;
  for (int i = 0; i < 60; ++i) {
    served += statusLine(get(f.port, token)) == "HTTP/1.1 200 OK";
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(served, 60);
  EXPECT_TRUE(log.waitFor({"http_request_abort reason=busy_peer"}));
}

} // namespace
} // namespace pd::mediaserver
