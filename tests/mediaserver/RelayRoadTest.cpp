#include "MediaServerTestSupport.hpp"

namespace pd::mediaserver {
namespace {

using namespace pd::testing;
using namespace std::chrono_literals;
using Step = ScriptedRelay::Step;

// Each case with a relay that answers a reply's questions one by one, and with one that answers
// them in one visit and hands over or starts the first chunk itself.
struct RelayRoadTest : ::testing::TestWithParam<bool> {
  ServerFixture f; // relay chunks of 1,000 bytes
  LogLines log;
  std::string token;

  void SetUp() override {
    if (GetParam()) f.relay->openInOneVisit();
    f.relay->setLength(4'500);
    auto server = f.server;
    token = runTask<std::string>([server] { return server->registerRemote(nullptr); });
  }
};

TEST_P(RelayRoadTest, WholeMediaAndRangesFetchOnlyTheChunksTheyCover) {
  EXPECT_EQ(get(f.port, token), "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 4500\r\n"
                                "Accept-Ranges: bytes\r\nConnection: close\r\n\r\n" +
                                    mediaBytes(0, 4'499));
  EXPECT_EQ(f.relay->calls(), (std::vector<std::int64_t>{0, 1, 2, 3, 4}));

  const auto ranged = get(f.port, token, "Range: bytes=1500-3200\r\n");
  EXPECT_NE(ranged.find("Content-Range: bytes 1500-3200/4500\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(ranged), mediaBytes(1'500, 3'200));
  EXPECT_EQ(f.relay->calls(), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 1, 2, 3}));

  EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=2100-2199\r\n")), mediaBytes(2'100, 2'199));
  const std::vector<std::int64_t> nineCalls{0, 1, 2, 3, 4, 1, 2, 3, 2};
  EXPECT_EQ(f.relay->calls(), nineCalls);

  const auto head = get(f.port, token, "Range: bytes=0-\r\n", "HEAD");
  EXPECT_EQ(head, "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\nContent-Length: 4500\r\n"
                  "Accept-Ranges: bytes\r\nContent-Range: bytes 0-4499/4500\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(f.relay->calls(), nineCalls);
  EXPECT_EQ(statusLine(get(f.port, token, "Range: bytes=4500-\r\n")), "HTTP/1.1 416 Range Not Satisfiable");
}

TEST_P(RelayRoadTest, UnknownWithdrawnAndUnmeasurableTokens) {
  EXPECT_EQ(statusLine(get(f.port, "not-a-token")), "HTTP/1.1 404 Not Found");
  f.server->unregister(token);
  // Refused at once, whether or not the relay has dropped the media yet.
  EXPECT_EQ(statusLine(get(f.port, token)), "HTTP/1.1 404 Not Found");
  EXPECT_TRUE(log.waitFor({"reason=token_not_found", "status=404"}));

  auto server = f.server;
  const auto second = runTask<std::string>([server] { return server->registerRemote(nullptr); });
  // A completion resets the failure count; then the throttle interval passes.
  EXPECT_EQ(bodyOf(get(f.port, second)), mediaBytes(0, 4'499));
  std::this_thread::sleep_for(600ms);
  f.relay->failLength();
  EXPECT_EQ(statusLine(get(f.port, second)), "HTTP/1.1 502 Bad Gateway");
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "status=502", "err_domain=RelayError", "err_code=0"}));
}

TEST_P(RelayRoadTest, PrefetchYieldIsRetriedOnceOnly) {
  f.relay->script(0, {Step::yield});
  f.relay->script(1, {Step::yield});
  EXPECT_EQ(bodyOf(get(f.port, token)), mediaBytes(0, 4'499));
  // The first chunk too: its header has gone out alone when the second call fails as well.
  f.relay->script(0, {Step::yield, Step::yield});
  const auto reply = get(f.port, token, "Range: bytes=10-20\r\n");
  EXPECT_NE(reply.find("Content-Range: bytes 10-20/4500\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(reply), "");
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "status=206", "err_code=9"}));

  // A completion resets the failure count; then the throttle interval passes.
  EXPECT_EQ(bodyOf(get(f.port, token)), mediaBytes(0, 4'499));
  std::this_thread::sleep_for(600ms);
  f.relay->script(2, {Step::yield, Step::yield});
  const auto body = bodyOf(get(f.port, token));
  EXPECT_EQ(body, mediaBytes(0, 1'999));
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "status=200", "err_code=9"}));
}

TEST_P(RelayRoadTest, ShortOrEmptyChunksFailInsteadOfEndingOrShiftingTheBody) {
  f.relay->script(1, {Step::shortChunk});
  EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=500-\r\n")), mediaBytes(500, 999));
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "status=206", "err_code=2"}));
  // The read-ahead of chunk 2 was started and then given up; nothing after it was asked for.
  const auto calls = f.relay->calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), 3), 0);

  f.relay->script(4, {Step::emptyChunk});
  EXPECT_EQ(bodyOf(get(f.port, token)), mediaBytes(0, 3'999));
  EXPECT_FALSE(log.waitFor({"http_request_complete"}, 200ms));

  // A short first chunk: the header still leads, alone.
  f.relay->script(0, {Step::shortChunk});
  const auto reply = get(f.port, token, "Range: bytes=0-999\r\n");
  EXPECT_NE(reply.find("Content-Range: bytes 0-999/4500\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(reply), "");

  // A short last chunk is fine when the range does not reach its missing part.
  f.relay->script(4, {Step::shortChunk});
  EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=4000-4100\r\n")), mediaBytes(4'000, 4'100));
}

TEST_P(RelayRoadTest, MediaOfNoBytesIsAHeaderAlone) {
  f.relay->setLength(0);
  EXPECT_EQ(get(f.port, token), "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 0\r\n"
                                "Accept-Ranges: bytes\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(f.relay->calls().empty());
}

TEST(RelayRoadStatsTest, EveryBodyByteIsCountedOnceAndNoHeaderByte) {
  LocalVideoHTTPServer::Timing timing;
  // Long enough that a loaded machine does not spread the first two requests over two intervals.
  timing.statsInterval = 1s;
  ServerFixture f(timing);
  LogLines log;
  f.relay->setLength(4'500);
  auto server = f.server;
  const auto token = runTask<std::string>([server] { return server->registerRemote(nullptr); });
  bodyOf(get(f.port, token, "Range: bytes=0-99\r\n")); // the first update only sets the clock
  EXPECT_EQ(bodyOf(get(f.port, token)), mediaBytes(0, 4'499));
  std::this_thread::sleep_for(1100ms);
  // The third request's arrival writes the line, before any of its bytes.
  EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=1500-3200\r\n")), mediaBytes(1'500, 3'200));
  EXPECT_TRUE(log.waitFor({"http_stats requests=3 size_b=4600 fails=0"}));
}

TEST_P(RelayRoadTest, WithdrawalAndDisconnectMidBody) {
  f.relay->script(2, {Step::block});
  {
    RawClient client(f.port);
    client.send("GET /" + token + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return f.relay->calls().size() >= 3; }));
    f.server->unregister(token);
    // The blocked chunk must find the media withdrawn from the relay when it goes on.
    ASSERT_TRUE(waitUntil([&] { return f.relay->wasUnregistered(token); }));
    f.relay->release();
    EXPECT_EQ(bodyOf(client.read()), mediaBytes(0, 1'999));
  }
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "err_code=1"}));

  auto server = f.server;
  const auto second = runTask<std::string>([server] { return server->registerRemote(nullptr); });
  f.relay->setLength(40'000'000);
  {
    RawClient client(f.port, 4096);
    client.send("GET /" + second + " HTTP/1.1\r\n\r\n");
    client.read(100'000);
  }
  EXPECT_TRUE(log.waitFor({"http_request_abort reason=client_gone"}, 5s));
}

// Body slices leave through the relay's send workers while the server has other connections;
// 1 MiB chunks outlast any socket buffer. Peers that stop reading hold more of the workers than
// there are: another reply still goes out whole and at once, not after their send deadline. A stalled peer's worker send ends at the deadline, and
// its connection with it, at once: the peer is not reading, so there is no reply to drain for.
TEST(RelayRoadLargeSlicesTest, StalledPeersHoldUpNoOtherReplyAndEndAtTheSendDeadline) {
  for (const auto deadline : {std::chrono::nanoseconds(15s), std::chrono::nanoseconds(1s)}) {
    LocalVideoHTTPServer::Timing timing;
    timing.sendDeadline = deadline;
    ServerFixture f(timing, 1 << 20);
    f.relay->openInOneVisit();
    f.relay->setLength(40'000'000);
    auto server = f.server;
    const auto token = runTask<std::string>([server] { return server->registerRemote(nullptr); });
    if (deadline > 10s) {
      const auto stalled = stalledReaders(f.port, token, 8);
      // Off the chunk grid: the header with part of a chunk, a whole chunk, part of the last; read
      // within 10 s, before the stalled peers' deadline.
      EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=1000-3000999\r\n")), mediaBytes(1'000, 3'000'999));
      // Nor does a small reply wait its turn behind the workers they hold.
      EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=5000-5099\r\n")), mediaBytes(5'000, 5'099));
      continue;
    }
    // Another connection: a reply alone on the server is sent by the queue itself.
    RawClient idle(f.port);
    const auto stalled = stalledReaders(f.port, token, 1);
    // More than the server reads once the body has started: ended at once, it resets the peer.
    auto& peer = *stalled.front();
    peer.send(std::string(16 * 1024, 'x'));
    EXPECT_TRUE(waitUntil([&] {
      pollfd p{peer.descriptor(), 0, 0};
      return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
    }));
  }
}

INSTANTIATE_TEST_SUITE_P(, RelayRoadTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "OneVisit" : "QuestionByQuestion"; });

} // namespace
} // namespace pd::mediaserver
