#include "RemoteMediaRelayFixtures.hpp"

#include <thread>

namespace pd::relay {
namespace {

TEST(RemoteMediaRelayTest, TwoReadersShareOneRequestAndTheLengthProbeIsOneByte) {
  RelayFixture f;
  const auto url = f.media("clip", 10'000);
  f.remote.fault("*", "/media/clip", {{"fault", "gate"}});
  f.add("t", f.describe(url, std::nullopt));

  auto first = f.startChunk("t", 1);
  auto second = f.startChunk("t", 1);
  // The probe passes the gate first, then the one chunk fetch.
  ASSERT_TRUE(f.remote.waitFor([](const auto& e) { return e["event"] == "media"; }));
  f.remote.command({{"media_release", 1}});
  ASSERT_TRUE(f.remote.waitFor([](const auto& e) { return e["event"] == "media" && e["order"] == 2; }));
  f.remote.command({{"media_release", 5}});
  ASSERT_TRUE(waitUntilFinished(first, 5s));
  ASSERT_TRUE(waitUntilFinished(second, 5s));
  EXPECT_EQ(first.state()->result(), patternBytes(kChunk, kChunk));
  EXPECT_EQ(second.state()->result(), patternBytes(kChunk, kChunk));

  const auto requests = f.mediaRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["range"], "bytes=0-0");
  EXPECT_EQ(requests[1]["range"], "bytes=4096-8191");
  EXPECT_EQ(requests[1]["encoding"], "identity");
  EXPECT_EQ(f.length("t"), 10'000);

  // The last chunk is short; a chunk at or past the end, or before the start, is a short read.
  EXPECT_EQ(f.chunk("t", 2), patternBytes(2 * kChunk, 10'000 - 2 * kChunk));
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 3); }), RelayError::Case::shortRead);
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", -1); }), RelayError::Case::shortRead);
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", INT64_MAX); }), RelayError::Case::shortRead);
  EXPECT_EQ(relayErrorOf([&] { f.chunk("nobody", 0); }), RelayError::Case::unknownToken);
  EXPECT_EQ(f.mediaRequests().size(), 3u);
  EXPECT_EQ(f.snapshot().foregroundDemand, 0);
}

// A reply's questions in one visit: the first chunk is read as a reader's chunk() would read it,
// handed over at once from memory, or not at all when the reply needs none.
TEST(RemoteMediaRelayTest, OpenAnswersTheRepliesQuestionsAndStartsItsFirstChunk) {
  RelayFixture f;
  const auto url = f.media("op", 3 * kChunk);
  f.add("t", f.describe(url, 3 * kChunk));
  f.remote.fault("*", "/media/gone", {{"fault", "status"}, {"status", 503}});
  f.add("gone", f.describe("https://localhost/media/gone", std::nullopt));
  auto open = [&](const std::string& token, std::optional<std::int64_t> first) {
    auto r = f.relay;
    return testing::runBlocking([r, token, first]() -> runtime::Awaitable<RemoteMediaRelay::Opening> {
      co_return co_await r->open(token, [first](std::int64_t) { return first; });
    });
  };
  EXPECT_FALSE(open("nobody", 0).held);
  EXPECT_EQ(relayErrorOf([&] { open("gone", 0); }), RelayError::Case::upstreamStatus);

  auto missed = open("t", 1);
  EXPECT_TRUE(missed.held);
  EXPECT_EQ(missed.total, 3 * kChunk);
  EXPECT_EQ(missed.contentType, "video/mp4");
  EXPECT_FALSE(missed.firstChunk);
  ASSERT_TRUE(missed.firstRead);
  ASSERT_TRUE(waitUntilFinished(missed.firstRead, 5s));
  EXPECT_EQ(*missed.firstRead.state()->result(), patternBytes(kChunk, kChunk));

  testing::LogWindow log;
  f.clock.advance(10s);
  const auto hit = open("t", 1);
  ASSERT_TRUE(hit.firstChunk);
  EXPECT_FALSE(hit.firstRead);
  EXPECT_EQ(*hit.firstChunk, patternBytes(kChunk, kChunk));
  // Counted as the reader's hit it is.
  EXPECT_TRUE(log.has("relay_stats upstream_b=4096 served_b=8192 prefetch_b=0 hits=1 disk_hits=0 misses=1"));

  const auto headerOnly = open("t", std::nullopt);
  EXPECT_TRUE(headerOnly.held);
  EXPECT_FALSE(headerOnly.firstChunk);
  EXPECT_FALSE(headerOnly.firstRead);
  EXPECT_EQ(f.mediaRequests().size(), 2u); // the refused probe and chunk 1
  EXPECT_EQ(f.snapshot().foregroundDemand, 0);
}

TEST(RemoteMediaRelayTest, SixSlotsServeWaitersInArrivalOrderAndTheTwentyFifthChunkIsBusy) {
  RelayFixture f;
  const auto url = f.media("many", 40 * kChunk);
  f.remote.fault("*", "/media/many", {{"fault", "gate"}});
  f.add("t", f.describe(url, 40 * kChunk));

  std::vector<runtime::Task<Bytes>> readers;
  for (int i = 0; i < 24; ++i) {
    readers.push_back(f.startChunk("t", i));
    // One at a time, so that the queue order is known.
    ASSERT_TRUE(f.waitUntil([i](const auto& snap) {
      return snap.inflight == static_cast<std::size_t>(i + 1) &&
             snap.activeUpstream + static_cast<std::int64_t>(snap.upstreamWaiters) == i + 1;
    }));
  }
  auto s = f.snapshot();
  EXPECT_EQ(s.activeUpstream, 6);
  EXPECT_EQ(s.upstreamWaiters, 18u);
  f.freshThrottle();
  testing::LogWindow log;
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 24); }), RelayError::Case::busy);
  EXPECT_TRUE(log.has("relay_upstream_fail reason=busy status=0"));

  // A queued reader that goes away leaves the queue; the others keep their places.
  readers[8].cancel();
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.upstreamWaiters == 17u; }));
  // One request at a time leaves the gate, so each freed slot shows which waiter got it.
  for (std::size_t k = 1; k <= 17; ++k) {
    f.remote.command({{"media_release", 1}});
    for (int i = 0; i < 500 && f.mediaRequests().size() < 6 + k; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(f.mediaRequests().size(), 6 + k);
  }
  f.remote.command({{"media_release", 6}});
  for (int i = 0; i < 24; ++i) {
    ASSERT_TRUE(waitUntilFinished(readers[static_cast<std::size_t>(i)], 10s));
    if (i != 8) {
      EXPECT_EQ(readers[static_cast<std::size_t>(i)].state()->result(), patternBytes(i * kChunk, kChunk));
    }
  }
  std::vector<std::string> order;
  for (const auto& e : f.mediaRequests()) order.push_back(e["range"]);
  ASSERT_EQ(order.size(), 23u);
  std::vector<std::string> expected;
  for (int i = 0; i < 24; ++i) {
    if (i != 8) expected.push_back("bytes=" + std::to_string(i * kChunk) + "-" + std::to_string((i + 1) * kChunk - 1));
  }
  // The first six raced each other to the server; from the seventh on they came in queue order.
  std::sort(order.begin(), order.begin() + 6);
  std::sort(expected.begin(), expected.begin() + 6);
  EXPECT_EQ(order, expected);
  int peak = 0;
  for (const auto& e : f.mediaRequests()) peak = std::max(peak, e["active"].get<int>());
  EXPECT_EQ(peak, 6);
  EXPECT_TRUE(f.waitUntil([](const auto& snap) { return snap.activeUpstream == 0 && snap.inflight == 0; }));
}

TEST(RemoteMediaRelayTest, PrefetchGivesWayUnlessAReaderJoinedIt) {
  RelayFixture f;
  const auto url = f.media("pf", 8 * kChunk);
  f.remote.fault("*", "/media/pf", {{"fault", "gate"}});
  f.add("t", f.describe(url, 8 * kChunk));
  auto busy = f.startChunk("t", 0);
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.activeUpstream == 1; }));
  auto yielded = f.startChunk("t", 1, true);
  ASSERT_TRUE(waitUntilFinished(yielded, 5s));
  EXPECT_EQ(relayErrorIn(yielded), RelayError::Case::prefetchYield);
  f.remote.command({{"media_release", 1}});
  ASSERT_TRUE(waitUntilFinished(busy, 5s));
  EXPECT_TRUE(f.waitUntil([](const auto& snap) { return snap.activeUpstream == 0 && snap.prefetchOwnedChunks == 0; }));
}

// A reader that comes just as a prefetch fetch of its chunk gives way has still asked as
// foreground demand: it gets its chunk, never the give-way. The moment cannot be forced from
// outside; on each try the reader meets it often enough that forty tries never all miss it.
TEST(RemoteMediaRelayTest, AReaderJoiningAPrefetchAsItGivesWayGetsItsChunk) {
  RelayFixture f;
  f.remote.fault("*", "/media/held", {{"fault", "gate"}});
  f.add("held", f.describe(f.media("held", kChunk), kChunk));
  constexpr int kTries = 40;
  f.add("t", f.describe(f.media("pf", kTries * kChunk), kTries * kChunk));
  // A slot in use: every prefetch fetch gives way.
  auto busy = f.startChunk("held", 0);
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.activeUpstream == 1; }));
  for (int i = 0; i < kTries; ++i) {
    auto prefetch = f.startChunk("t", i, true);
    auto reader = f.startChunk("t", i);
    ASSERT_TRUE(waitUntilFinished(reader, 5s));
    ASSERT_TRUE(waitUntilFinished(prefetch, 5s));
    ASSERT_EQ(relayErrorIn(reader), std::nullopt) << "try " << i;
    EXPECT_EQ(reader.state()->result(), patternBytes(i * kChunk, kChunk));
  }
  f.remote.command({{"media_release", 1}});
  ASSERT_TRUE(waitUntilFinished(busy, 5s));
}

TEST(RemoteMediaRelayRefreshTest, AnExpiredAddressIsRefreshedOnceAndRepeatedOnce) {
  RefreshFixture f;
  f.add("t", f.refreshable({22, 3 * kChunk, std::nullopt}));
  f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 403}, {"times", 1}});
  testing::LogWindow log;
  EXPECT_EQ(f.chunk("t", 0), patternBytes(0, kChunk));
  EXPECT_EQ(f.refreshes->load(), 1);
  EXPECT_EQ(log.count("relay_refresh result=ok status=403"), 1u);
  auto s = f.snapshot("t");
  EXPECT_EQ(s.urlGeneration, 1);
  EXPECT_EQ(s.url, f.url + "?fresh=1");
  EXPECT_FALSE(s.hasRefreshWork);

  // Refused again after the refresh: the fetch ends there.
  f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 410}});
  f.freshThrottle();
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 1); }), RelayError::Case::upstreamStatus);
  EXPECT_EQ(f.refreshes->load(), 2);
  EXPECT_EQ(log.count("relay_upstream_fail reason=http_410 status=410"), 1u);
}

TEST(RemoteMediaRelayRefreshTest, TwoRefusalsAtOnceShareOneRefresh) {
  RefreshFixture f;
  f.hold = std::make_shared<Latch>();
  f.add("t", f.refreshable({22, 3 * kChunk, std::nullopt}));
  // Neither refusal leaves before both requests have come: a fetch that starts once a refresh is
  // under way waits for it without a request of its own.
  f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 410}, {"unless_query", "fresh"}, {"together", 2}});
  auto a = f.startChunk("t", 0);
  auto b = f.startChunk("t", 1);
  ASSERT_TRUE(f.remote.waitFor([&](const auto&) {
    int refused = 0;
    for (const auto& e : f.remote.events(0ms)) refused += e["event"] == "request" && e["fault"] == "status";
    return refused == 2;
  }));
  f.hold->open();
  ASSERT_TRUE(waitUntilFinished(a, 5s));
  ASSERT_TRUE(waitUntilFinished(b, 5s));
  EXPECT_EQ(a.state()->result(), patternBytes(0, kChunk));
  EXPECT_EQ(b.state()->result(), patternBytes(kChunk, kChunk));
  EXPECT_EQ(f.refreshes->load(), 1);
}

TEST(RemoteMediaRelayRefreshTest, AnotherStreamOrAnAddressOutsideTheRulesIsRefused) {
  {
    RefreshFixture f;
    f.add("t", f.refreshable({18, 3 * kChunk, std::nullopt}));
    f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 403}});
    testing::LogWindow log;
    EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 0); }), RelayError::Case::identityChanged);
    EXPECT_EQ(log.count("relay_refresh result=identity_changed status=403"), 1u);
    EXPECT_TRUE(log.has("relay_refresh result=identity_changed status=403 token=<mask.hash:"));
    EXPECT_EQ(f.snapshot("t").url, f.url);
    EXPECT_EQ(f.snapshot("t").urlGeneration, 0);
  }
  {
    RefreshFixture f;
    f.add("t", f.refreshable({22, 3 * kChunk, std::nullopt}, "https://elsewhere.test/media/exp"));
    f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 403}});
    testing::LogWindow log;
    EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 0); }), RelayError::Case::hostNotAllowed);
    EXPECT_TRUE(log.has("relay_refresh result=fail status=403"));
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find("err_domain=RelayError err_code=6 ") != std::string::npos;
    }));
  }
  {
    RelayFixture f;
    const auto url = f.media("plain", kChunk);
    f.add("t", f.describe(url, kChunk));
    f.remote.fault("*", "/media/plain", {{"fault", "status"}, {"status", 403}});
    f.freshThrottle();
    testing::LogWindow log;
    EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 0); }), RelayError::Case::refreshUnavailable);
    EXPECT_TRUE(log.has("relay_upstream_fail reason=refresh_unavailable status=403"));
  }
}

// The maker of a refresh goes away while another fetch waits for it: whoever sees it finish
// clears it, so a later refusal is refreshed anew instead of meeting the old outcome.
TEST(RemoteMediaRelayRefreshTest, ARefreshWhoseMakerLeftIsClearedByTheOneWhoSawItFinish) {
  RefreshFixture f;
  f.hold = std::make_shared<Latch>();
  f.add("t", f.refreshable({22, 3 * kChunk, std::nullopt}));
  f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 403}, {"unless_query", "fresh"}});
  auto maker = f.startChunk("t", 0);
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.refreshWaiters == 1; }, "t"));
  // This fetch waits for the refresh before it reads the address.
  auto joiner = f.startChunk("t", 1);
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.refreshWaiters == 2; }, "t"));
  maker.cancel();
  ASSERT_TRUE(waitUntilFinished(maker, 5s));
  EXPECT_TRUE(f.snapshot("t").hasRefreshWork);
  f.hold->open();
  ASSERT_TRUE(waitUntilFinished(joiner, 5s));
  EXPECT_EQ(joiner.state()->result(), patternBytes(kChunk, kChunk));
  EXPECT_FALSE(f.snapshot("t").hasRefreshWork);
  f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 403}, {"times", 1}});
  EXPECT_EQ(f.chunk("t", 2), patternBytes(2 * kChunk, kChunk));
  EXPECT_EQ(f.refreshes->load(), 2);
}

TEST(RemoteMediaRelayAnswerTest, EveryWrongAnswerFailsWithItsReason) {
  RelayFixture f;
  const auto url = f.media("bad", 4 * kChunk);
  f.add("t", f.describe(url, 4 * kChunk));
  struct Case {
    nlohmann::json fault;
    RelayError::Case error;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{{"fault", "content_range"}, {"value", "bytes 0-4094/16384"}},
       RelayError::Case::rangeMismatch,
       "reason=range_mismatch status=206"},
      {{{"fault", "content_range"}, {"value", "bytes 1-4096/16384"}},
       RelayError::Case::rangeMismatch,
       "reason=range_mismatch status=206"},
      {{{"fault", "content_range"}, {"value", ""}},
       RelayError::Case::rangeMismatch,
       "reason=range_mismatch status=206"},
      {{{"fault", "total"}, {"total", "*"}}, RelayError::Case::rangeMismatch, "reason=total_changed status=206"},
      {{{"fault", "total"}, {"total", "16385"}}, RelayError::Case::rangeMismatch, "reason=total_changed status=206"},
      {{{"fault", "short"}}, RelayError::Case::shortRead, "reason=short_read status=206"},
      {{{"fault", "long"}, {"bytes", 3'000'000}}, RelayError::Case::shortRead, "reason=short_read status=206"},
      {{{"fault", "ignore_range"}}, RelayError::Case::upstreamStatus, "reason=range_ignored status=200"},
      {{{"fault", "status"}, {"status", 416}}, RelayError::Case::upstreamStatus, "reason=http_416 status=416"},
      {{{"fault", "status"}, {"status", 503}}, RelayError::Case::upstreamStatus, "reason=http_503 status=503"},
  };
  for (const auto& c : cases) {
    auto rule = c.fault;
    rule["times"] = 1;
    f.remote.fault("*", "/media/bad", rule);
    f.freshThrottle();
    testing::LogWindow log;
    const auto before = f.snapshot().upstreamBytes;
    EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 0); }), c.error) << c.fault.dump();
    EXPECT_TRUE(log.has("relay_upstream_fail " + c.line)) << c.fault.dump();
    if (c.fault["fault"] == "long") {
      // Reading stopped one byte past the range.
      EXPECT_EQ(f.snapshot().upstreamBytes - before, kChunk + 1);
    }
    EXPECT_EQ(f.snapshot().inflight, 0u);
  }
  // The token still serves once the upstream behaves.
  EXPECT_EQ(f.chunk("t", 0), patternBytes(0, kChunk));
}

TEST(RemoteMediaRelayAnswerTest, AWrongAnswerIsJudgedOnItsHeaderWithoutWaitingForItsBody) {
  RelayFixture f;
  const auto url = f.media("drip", 4 * kChunk);
  f.add("t", f.describe(url, 4 * kChunk));
  // A whole-file answer whose body trickles in for minutes.
  f.remote.fault("*", "/media/drip", {{"fault", "slow_body"}, {"chunk", 1}, {"delay", 0.5}, {"times", 1}});
  f.freshThrottle();
  testing::LogWindow log;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 0); }), RelayError::Case::upstreamStatus);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_TRUE(log.has("relay_upstream_fail reason=range_ignored status=200"));
  EXPECT_TRUE(f.remote.waitFor([](const auto& e) { return e["event"] == "closed"; }));
}

TEST(RemoteMediaRelayAnswerTest, TheResourceTimeOutCoversTheWholeRedirectChain) {
  // Every check and connection takes 300 ms: three hops and their checks outlast one second.
  RelayFixture f(kChunk, [](auto& c) {
    c.resourceTimeout = 1s;
    c.classify = [](const Address&) {
      std::this_thread::sleep_for(300ms);
      return AddressClass::global;
    };
  });
  const auto url = f.media("one", 2 * kChunk);
  f.media("target", 2 * kChunk);
  f.add("t", f.describe(url, 2 * kChunk));
  f.remote.fault("*", "/media/one", {{"fault", "redirect"}, {"location", "https://localhost/media/two"}});
  f.remote.fault("*", "/media/two", {{"fault", "redirect"}, {"location", "https://localhost/media/three"}});
  f.remote.fault("*", "/media/three", {{"fault", "redirect"}, {"location", "https://localhost/media/target"}});
  try {
    f.chunk("t", 0);
    ADD_FAILURE() << "the chain was followed past its time";
  } catch (const platform::http::TransferError& error) {
    EXPECT_TRUE(error.isTimeout());
  }
}

TEST(RemoteMediaRelayAnswerTest, TransferFailuresLogANetworkLineButCancelledReadersLogNothing) {
  RelayFixture f(kChunk, [](auto& c) { c.requestTimeout = 400ms; });
  const auto url = f.media("net", 2 * kChunk);
  f.add("t", f.describe(url, 2 * kChunk));
  f.remote.fault("*", "/media/net", {{"fault", "reset"}, {"times", 1}});
  f.freshThrottle();
  testing::LogWindow log;
  EXPECT_THROW(f.chunk("t", 0), platform::http::TransferError);
  ASSERT_TRUE(log.has("relay_upstream_fail reason=network status=0"));
  EXPECT_NE(log.lines().back().find("err_domain=curl err_code=56 "), std::string::npos);

  f.remote.fault("*", "/media/net", {{"fault", "stall"}, {"seconds", 10}, {"times", 1}});
  f.freshThrottle();
  testing::LogWindow quiet;
  auto reader = f.startChunk("t", 1);
  ASSERT_TRUE(f.remote.waitFor([](const auto& e) { return e["event"] == "request" && e["fault"] == "stall"; }));
  reader.cancel();
  ASSERT_TRUE(waitUntilFinished(reader, 2s));
  EXPECT_TRUE(f.remote.waitFor([](const auto& e) { return e["event"] == "closed"; }));
  EXPECT_EQ(quiet.count("relay_upstream_fail"), 0u);
  EXPECT_TRUE(f.waitUntil([](const auto& snap) { return snap.inflight == 0 && snap.activeUpstream == 0; }));

  // A stall past the request time-out is a network failure.
  f.remote.fault("*", "/media/net", {{"fault", "stall"}, {"seconds", 10}, {"times", 1}});
  f.freshThrottle();
  EXPECT_THROW(f.chunk("t", 1), platform::http::TransferError);
}

TEST(RemoteMediaRelayAnswerTest, RedirectsAreFollowedOnlyToAllowedPlaces) {
  RelayFixture f;
  const auto url = f.media("moved", 2 * kChunk);
  f.media("target", 2 * kChunk);
  f.add("t", f.describe(url, 2 * kChunk));
  f.remote.fault("*", "/media/moved",
                 {{"fault", "redirect"}, {"location", "https://localhost/media/target"}, {"times", 1}});
  EXPECT_EQ(f.chunk("t", 0), patternBytes(0, kChunk));

  f.remote.fault("*", "/media/moved",
                 {{"fault", "redirect"}, {"location", "https://elsewhere.test/media/target"}, {"times", 1}});
  f.freshThrottle();
  testing::LogWindow log;
  EXPECT_EQ(relayErrorOf([&] { f.chunk("t", 1); }), RelayError::Case::upstreamStatus);
  EXPECT_TRUE(log.has("relay_upstream_fail reason=http_302 status=302"));

  // Another scheme is refused in the guard alone, like a place outside the rules.

  f.remote.fault("*", "/media/moved", {{"fault", "redirect"}, {"location", "/media/moved"}});
  EXPECT_ANY_THROW(f.chunk("t", 1));
  EXPECT_LE(f.mediaRequests().size(), 40u);
}
} // namespace
} // namespace pd::relay
