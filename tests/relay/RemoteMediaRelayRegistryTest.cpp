#include "RemoteMediaRelayFixtures.hpp"

#include <boost/asio/post.hpp>

#include <thread>

namespace pd::relay {
namespace {

struct Recorders {
  std::shared_ptr<RecordingDiskCache> cache = std::make_shared<RecordingDiskCache>();
  std::shared_ptr<RecordingPrefetch> prefetch = std::make_shared<RecordingPrefetch>();
};
// The relay with a recording disk cache and prefetch beside it.
struct RecordedRelayFixture : Recorders, RelayFixture {
  RecordedRelayFixture()
      : RelayFixture(kChunk, [this](auto& c) {
          c.cache = cache;
          c.prefetch = prefetch;
        }) {}
};

// The works are cancelled with the token; their readers learn that the token is gone rather than
// seeming to have been cancelled themselves.
TEST(RemoteMediaRelayRegistryTest, UnregisterDuringProbeRefreshOrFetchEndsTheirWork) {
  RefreshFixture f;
  f.hold = std::make_shared<Latch>();
  const auto url = f.media("slow", 2 * kChunk);
  f.remote.fault("*", "/media/slow", {{"fault", "gate"}});
  f.add("probe", f.describe(url, std::nullopt));
  auto r = f.relay;
  auto length = runtime::spawn(runtime::sharedPool().executor(), [r]() -> runtime::Awaitable<std::int64_t> {
    co_return co_await r->totalLength("probe");
  });
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.hasLengthWork; }, "probe"));
  f.drop("probe");
  ASSERT_TRUE(waitUntilFinished(length, 5s));
  EXPECT_EQ(relayErrorIn(length), RelayError::Case::unknownToken);

  f.add("fetch", f.describe(url, 2 * kChunk));
  auto fetch = f.startChunk("fetch", 0);
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.activeUpstream == 1; }));
  f.drop("fetch");
  ASSERT_TRUE(waitUntilFinished(fetch, 5s));
  EXPECT_EQ(relayErrorIn(fetch), RelayError::Case::unknownToken);
  EXPECT_TRUE(f.waitUntil(
      [](const auto& snap) { return snap.activeUpstream == 0 && snap.inflight == 0 && snap.entries == 0; }));

  f.add("t", f.refreshable({22, 3 * kChunk, std::nullopt}));
  f.remote.fault("*", "/media/exp", {{"fault", "status"}, {"status", 403}});
  testing::LogWindow log;
  auto refreshing = f.startChunk("t", 0);
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.hasRefreshWork; }, "t"));
  f.drop("t");
  ASSERT_TRUE(waitUntilFinished(refreshing, 5s));
  EXPECT_EQ(relayErrorIn(refreshing), RelayError::Case::unknownToken);
  EXPECT_EQ(log.count("relay_refresh"), 0u);
  f.hold->open();
}

TEST(RemoteMediaRelayRegistryTest, MemoryKeepsThirtyTwoMebibytesOfRecentChunks) {
  RelayFixture f(2'097'152);
  const std::int64_t chunk = 2'097'152;
  const auto url = f.media("big", 18 * chunk, "http");
  f.add("t", f.describe(url, 18 * chunk));
  for (int i = 0; i < 16; ++i) ASSERT_EQ(f.chunk("t", i), patternBytes(i * chunk, chunk)) << i;
  // Exactly at the cap nothing goes.
  EXPECT_EQ(f.snapshot().memoryBytes, 16 * chunk);
  // A hit moves its chunk to the recent end without asking upstream.
  EXPECT_EQ(f.chunk("t", 0), patternBytes(0, chunk));
  EXPECT_EQ(f.mediaRequests().size(), 16u);
  ASSERT_EQ(f.chunk("t", 16), patternBytes(16 * chunk, chunk));
  auto s = f.snapshot();
  EXPECT_EQ(s.memoryBytes, 33'554'432);
  ASSERT_EQ(s.memoryOrder.size(), 16u);
  EXPECT_EQ(s.memoryOrder.front().index, 2); // chunk 1 was the least recently used
  EXPECT_EQ(s.memoryOrder.back().index, 16);
  f.drop("t");
  EXPECT_EQ(f.snapshot().memoryBytes, 0);
  EXPECT_TRUE(f.snapshot().memoryOrder.empty());
}

// A chunk in memory is handed over on the caller's thread while the relay is busy elsewhere, counted
// as the relay's own hit, and the prefetch cursor still follows every read in its order.
TEST(RemoteMediaRelayRegistryTest, MemoryHitsNeedNoTurnOnTheRelay) {
  RecordedRelayFixture f;
  auto cache = f.cache;
  auto prefetch = f.prefetch;
  const auto url = f.media("mh", 4 * kChunk);
  auto media = f.describeCached(url, 4 * kChunk, "vid_mh");
  f.add("t", media);
  testing::LogWindow log;
  f.chunk("t", 0); // arms the statistics clock
  f.chunk("t", 1);

  auto busy = std::make_shared<Latch>();
  boost::asio::post(f.relay->executor(), [busy] {
    while (!busy->isOpen()) std::this_thread::sleep_for(1ms);
  });
  auto firstOf = [](std::optional<std::int64_t> index) { return [index](std::int64_t) { return index; }; };
  const auto opened = f.relay->openFromMemory("t", firstOf(1));
  const auto second = f.relay->chunkFromMemory("t", 0);
  const auto headerOnly = f.relay->openFromMemory("t", firstOf(std::nullopt));
  const bool missOpens = f.relay->openFromMemory("t", firstOf(2)).has_value();
  const bool missReads = f.relay->chunkFromMemory("t", 3) != nullptr;
  const bool strangerOpens = f.relay->openFromMemory("nobody", firstOf(0)).has_value();
  busy->open();

  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->held);
  EXPECT_EQ(opened->total, 4 * kChunk);
  EXPECT_EQ(opened->contentType, "video/mp4");
  ASSERT_TRUE(opened->firstChunk);
  EXPECT_EQ(*opened->firstChunk, patternBytes(kChunk, kChunk));
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, patternBytes(0, kChunk));
  ASSERT_TRUE(headerOnly);
  EXPECT_FALSE(headerOnly->firstChunk);
  EXPECT_FALSE(missOpens);
  EXPECT_FALSE(missReads);
  EXPECT_FALSE(strangerOpens);

  f.clock.advance(10s);
  EXPECT_EQ(f.chunk("t", 2), patternBytes(2 * kChunk, kChunk));
  EXPECT_TRUE(log.has("relay_stats upstream_b=12288 served_b=20480 prefetch_b=0 hits=2 disk_hits=0 misses=3"));
  EXPECT_EQ(prefetch->scheduled, (std::vector<std::int64_t>{0, 1, 1, 0, 2}));

  // A token withdrawn leaves nothing to hit.
  f.drop("t");
  EXPECT_FALSE(f.relay->openFromMemory("t", firstOf(0)));
  EXPECT_FALSE(f.relay->chunkFromMemory("t", 0));
}

// A chunk on disk is read on the caller's thread while the relay is busy elsewhere, and then serves as
// a disk hit read on the relay would: remembered in memory, counted, followed by the prefetch cursor.
TEST(RemoteMediaRelayRegistryTest, DiskHitsNeedNoTurnOnTheRelay) {
  RecordedRelayFixture f;
  auto cache = f.cache;
  auto prefetch = f.prefetch;
  const auto url = f.media("dh", 4 * kChunk);
  f.add("t", f.describeCached(url, 4 * kChunk, "vid_dh"));
  f.add("plain", f.describe(url, 4 * kChunk));
  {
    std::scoped_lock lock(cache->mutex_);
    cache->chunks[{"vid_dh", 2}] = patternBytes(2 * kChunk, kChunk);
  }
  testing::LogWindow log;
  f.chunk("t", 0); // arms the statistics clock

  auto busy = std::make_shared<Latch>();
  boost::asio::post(f.relay->executor(), [busy] {
    while (!busy->isOpen()) std::this_thread::sleep_for(1ms);
  });
  const auto opened = f.relay->openAtHand("t", [](std::int64_t) { return std::optional<std::int64_t>(2); });
  const auto read = f.relay->chunkFromDisk("t", 2);
  const auto again = f.relay->chunkFromMemory("t", 2);
  const bool missReads = f.relay->chunkFromDisk("t", 3) != nullptr;
  const bool uncachedReads = f.relay->chunkFromDisk("plain", 2) != nullptr;
  busy->open();

  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->total, 4 * kChunk);
  EXPECT_FALSE(opened->firstChunk);
  EXPECT_FALSE(opened->firstRead);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, patternBytes(2 * kChunk, kChunk));
  EXPECT_EQ(again, read);
  EXPECT_FALSE(missReads);
  EXPECT_FALSE(uncachedReads);

  f.clock.advance(10s);
  EXPECT_EQ(f.chunk("t", 0), patternBytes(0, kChunk));
  EXPECT_TRUE(log.has("relay_stats upstream_b=4096 served_b=16384 prefetch_b=0 hits=2 disk_hits=1 misses=1"));
  EXPECT_EQ(prefetch->scheduled, (std::vector<std::int64_t>{0, 2, 2, 0}));
  std::scoped_lock lock(cache->mutex_);
  EXPECT_EQ(cache->reads, 1) << "the one miss asked the disk on the relay; the reads at hand did not";
}

// Readers of a chunk that is being read from the disk wait for that read instead of reading it again.
TEST(RemoteMediaRelayRegistryTest, ReadersOfAChunkOnDiskShareOneRead) {
  RecordedRelayFixture f;
  auto cache = f.cache;
  const auto url = f.media("dr", 2 * kChunk);
  auto media = f.describeCached(url, 2 * kChunk, "vid_dr");
  f.add("t", media);
  f.add("u", media);
  {
    std::scoped_lock lock(cache->mutex_);
    cache->chunks[{"vid_dr", 1}] = patternBytes(kChunk, kChunk);
  }
  cache->holdReads = std::make_shared<Latch>();
  auto first = f.startChunk("t", 1);
  auto second = f.startChunk("t", 1);
  // Another token is another reader's chunk: it reads for itself.
  auto other = f.startChunk("u", 1);
  ASSERT_TRUE(f.waitUntil([&](const auto& snap) {
    std::scoped_lock lock(cache->mutex_);
    return snap.foregroundDemand == 3 && cache->heldReads >= 2;
  }));
  cache->holdReads->open();
  for (auto* task : {&first, &second, &other}) {
    ASSERT_TRUE(waitUntilFinished(*task, 5s));
    EXPECT_EQ(task->state()->result(), patternBytes(kChunk, kChunk));
  }
  {
    std::scoped_lock lock(cache->mutex_);
    EXPECT_EQ(cache->reads, 2);
    cache->chunks[{"vid_dr", 0}] = patternBytes(0, kChunk);
  }

  // A reader whose read was joined goes away: the one who waited reads for itself. The leaving
  // reader must be the one whose read is under way, so the other comes only once that read is.
  cache->holdReads = std::make_shared<Latch>();
  auto leaving = f.startChunk("t", 0);
  ASSERT_TRUE(f.waitUntil([&](const auto& snap) {
    std::scoped_lock lock(cache->mutex_);
    return snap.foregroundDemand == 1 && cache->heldReads == 3;
  }));
  auto staying = f.startChunk("t", 0);
  ASSERT_TRUE(f.waitUntil([&](const auto& snap) { return snap.foregroundDemand == 2; }));
  leaving.cancel();
  ASSERT_TRUE(f.waitUntil([&](const auto&) {
    std::scoped_lock lock(cache->mutex_);
    return cache->heldReads == 4;
  }));
  cache->holdReads->open();
  ASSERT_TRUE(waitUntilFinished(staying, 5s));
  EXPECT_EQ(staying.state()->result(), patternBytes(0, kChunk));
  EXPECT_TRUE(f.mediaRequests().empty());
}

TEST(RemoteMediaRelayRegistryTest, StatisticsAreWrittenAtMostEveryTenSeconds) {
  RelayFixture f;
  const auto url = f.media("st", 4 * kChunk);
  f.add("t", f.describe(url, 4 * kChunk));
  testing::LogWindow log;
  f.chunk("t", 0); // arms the clock only
  f.clock.advance(9s);
  f.chunk("t", 1);
  EXPECT_EQ(log.count("relay_stats"), 0u);
  f.clock.advance(1s);
  f.chunk("t", 1); // a memory hit
  ASSERT_EQ(log.count("relay_stats"), 1u);
  EXPECT_TRUE(log.has("relay_stats upstream_b=8192 served_b=12288 prefetch_b=0 hits=1 disk_hits=0 misses=2"));
  f.clock.advance(10s);
  f.chunk("t", 1);
  EXPECT_EQ(log.count("relay_stats"), 2u);
  EXPECT_TRUE(log.has("relay_stats upstream_b=0 served_b=4096 prefetch_b=0 hits=1 disk_hits=0 misses=0"));
}

TEST(RemoteMediaRelayRegistryTest, DiskCacheRegistrationFollowsTheEntry) {
  auto cache = std::make_shared<RecordingDiskCache>();
  RelayFixture f(kChunk, [cache](auto& c) { c.cache = cache; });
  const auto url = f.media("dc", 3 * kChunk);
  auto media = f.describe(url, std::nullopt);
  media->identity = remotesource::MediaIdentity{22, std::nullopt, "lm"};
  media->cacheVideoID = "vid_01";
  f.add("t", media);
  EXPECT_FALSE(f.snapshot("t").cache);
  // The probe learns the length, fills in the identity and installs the descriptor before answering.
  EXPECT_EQ(f.length("t"), 3 * kChunk);
  auto s = f.snapshot("t");
  ASSERT_TRUE(s.cache);
  EXPECT_EQ(s.cache->length, 3 * kChunk);
  EXPECT_EQ(s.cache->key.videoID, "vid_01");
  EXPECT_TRUE(s.hasCacheRegistration);

  // Fetched chunks are written, as the very bytes kept in memory rather than a copy of them; a later
  // read comes from the disk.
  EXPECT_EQ(f.chunk("t", 1), patternBytes(kChunk, kChunk));
  for (int i = 0; i < 100 && cache->writes() == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(cache->writes(), 1u);
  {
    const auto kept = f.relay->chunkFromMemory("t", 1);
    std::scoped_lock lock(cache->mutex_);
    ASSERT_TRUE(kept);
    EXPECT_EQ(cache->lastWritten, kept);
  }

  // Registering the token again releases what the old entry held.
  auto again = f.describe(url, 3 * kChunk);
  again->identity = remotesource::MediaIdentity{22, 3 * kChunk, "lm"};
  again->cacheVideoID = "vid_01";
  f.add("t", again);
  ASSERT_TRUE(f.waitUntil([&](const auto&) {
    std::scoped_lock lock(cache->mutex_);
    return cache->released.size() == 1;
  }));
  EXPECT_TRUE(f.snapshot("t").hasCacheRegistration);
  f.drop("t");
  ASSERT_TRUE(f.waitUntil([&](const auto&) {
    std::scoped_lock lock(cache->mutex_);
    return cache->released.size() == 2;
  }));
  std::scoped_lock lock(cache->mutex_);
  EXPECT_EQ(cache->registered.size(), 2u);
  EXPECT_EQ(cache->released[0], cache->registered[0]);
  EXPECT_EQ(cache->released[1], cache->registered[1]);
}

// What a registration leaves (the entry, the disk cache's hold) only the token's holder can
// withdraw, so a caller cancelled meanwhile still gets its token rather than leaving them to no one.
TEST(RemoteMediaRelayRegistryTest, ARegistrationRunsToItsEndWhenItsCallerIsCancelled) {
  RecordedRelayFixture f;
  f.cache->holdRegistrations = std::make_shared<Latch>();
  auto media = f.describe(f.media("cx", 3 * kChunk), 3 * kChunk);
  media->identity = remotesource::MediaIdentity{22, 3 * kChunk, "lm"};
  media->cacheVideoID = "vid_cx";
  const auto relay = f.relay;
  auto registering =
      runtime::spawn(runtime::sharedPool().executor(), [relay, media] { return relay->registerMedia("t", media); });
  ASSERT_TRUE(f.waitUntil([&](const auto&) {
    std::scoped_lock lock(f.cache->mutex_);
    return f.cache->heldRegistrations == 1;
  }));
  registering.cancel();
  f.cache->holdRegistrations->open();
  EXPECT_NO_THROW(testing::runBlocking([registering] { return registering.value(); }));
  EXPECT_TRUE(f.snapshot("t").hasCacheRegistration);
  f.drop("t");
  ASSERT_TRUE(f.waitUntil([&](const auto& s) {
    std::scoped_lock lock(f.cache->mutex_);
    return s.entries == 0 && f.cache->released.size() == 1;
  }));
  std::scoped_lock lock(f.cache->mutex_);
  EXPECT_EQ(f.cache->released, f.cache->registered);
}

TEST(RemoteMediaRelayRegistryTest, AtMostEightDiskWritesWaitAndTheDiskServesAnotherTokenOfTheStream) {
  RecordedRelayFixture f;
  auto cache = f.cache;
  auto prefetch = f.prefetch;
  cache->holdWrites = std::make_shared<Latch>();
  const auto url = f.media("w", 12 * kChunk);
  auto media = f.describeCached(url, 12 * kChunk, "vid_w");
  f.add("t", media);
  f.clock.advance(1s);
  testing::LogWindow log;
  for (int i = 0; i < 9; ++i) EXPECT_EQ(f.chunk("t", i), patternBytes(i * kChunk, kChunk));
  EXPECT_EQ(f.snapshot().pendingCacheWrites, 8);
  EXPECT_EQ(log.count("relay_cache_skip reason=write_backlog pending=8 occurrences="), 1u);
  cache->holdWrites->open();
  ASSERT_TRUE(f.waitUntil([](const auto& snap) { return snap.pendingCacheWrites == 0; }));
  EXPECT_EQ(cache->writes(), 8u);

  // Another token of the same stream reads what was written without asking upstream.
  f.add("u", media);
  const auto before = f.mediaRequests().size();
  EXPECT_EQ(f.chunk("u", 3), patternBytes(3 * kChunk, kChunk));
  EXPECT_EQ(f.mediaRequests().size(), before);

  // The stream's prefetch stops only when its last token goes.
  f.drop("t");
  EXPECT_TRUE(prefetch->stopped.empty());
  f.drop("u");
  EXPECT_EQ(prefetch->stopped, std::vector<std::string>{"unregistered"});
  EXPECT_TRUE(f.waitUntil([&](const auto&) { return prefetch->resumed.load() == 4; }));
  // Each foreground read schedules from its chunk: t's nine, then u's chunk 3 from the disk.
  EXPECT_EQ(prefetch->scheduled, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 3}));
}

TEST(RemoteMediaRelayRegistryTest, BytesOfATokenUnregisteredMeanwhileStayOutOfMemory) {
  auto cache = std::make_shared<RecordingDiskCache>();
  RelayFixture f(kChunk, [cache](auto& c) { c.cache = cache; });
  const auto url = f.media("gone", 2 * kChunk);
  auto media = f.describeCached(url, 2 * kChunk, "vid_gone");
  f.add("t", media);
  {
    std::scoped_lock lock(cache->mutex_);
    cache->chunks[{"vid_gone", 0}] = patternBytes(0, kChunk);
  }
  cache->holdReads = std::make_shared<Latch>();
  auto reader = f.startChunk("t", 0);
  ASSERT_TRUE(f.waitUntil([&](const auto&) {
    std::scoped_lock lock(cache->mutex_);
    return cache->heldReads == 1;
  }));
  f.drop("t");
  cache->holdReads->open();
  ASSERT_TRUE(waitUntilFinished(reader, 5s));
  EXPECT_EQ(f.snapshot().memoryBytes, 0);
  EXPECT_TRUE(f.snapshot().memoryOrder.empty());
}

TEST(RemoteMediaRelayRegistryTest, NoDescriptorWhenTheCacheIsOffOrCannotNameTheStream) {
  auto cache = std::make_shared<RecordingDiskCache>();
  auto enabled = std::make_shared<std::atomic<bool>>(false);
  RelayFixture f(kChunk, [cache, enabled](auto& c) {
    c.cache = cache;
    c.cacheEnabled = [enabled] { return enabled->load(); };
  });
  auto media = f.describe("https://localhost/media/none", 100);
  media->identity = remotesource::MediaIdentity{22, 100, std::nullopt};
  media->cacheVideoID = "ok";
  f.add("off", media);
  enabled->store(true);
  for (const auto& id : {std::string(), std::string(65, 'a'), std::string("a.b"), std::string("a/b")}) {
    auto bad = std::make_shared<RemoteMedia>(*media);
    bad->cacheVideoID = id;
    f.add("bad", bad);
    EXPECT_FALSE(f.snapshot("bad").cache) << id;
  }
  auto negative = std::make_shared<RemoteMedia>(*media);
  negative->identity->itag = -1;
  f.add("neg", negative);
  EXPECT_FALSE(f.snapshot("neg").cache);
  EXPECT_FALSE(f.snapshot("off").cache);
  f.add("on", media);
  EXPECT_TRUE(f.snapshot("on").cache);
  // Lengths outside 1 byte to 1 TiB are not taken from the registration.
  for (const std::int64_t bad : {0LL, -5LL, 1099511627777LL}) {
    f.add("len", f.describe("https://localhost/media/none", bad));
    EXPECT_FALSE(f.snapshot("len").totalLength) << bad;
  }
  f.add("len", f.describe("https://localhost/media/none", 1099511627776LL));
  EXPECT_EQ(f.snapshot("len").totalLength, 1099511627776LL);
}
} // namespace
} // namespace pd::relay
