#include "RelayDiskCacheTestSupport.hpp"
#include "support/ChildProcess.hpp"

#include <signal.h>

#include <random>
#include <thread>

namespace pd::relay::test {
namespace {

namespace fs = std::filesystem;
using pd::testing::LogWindow;

std::size_t entriesIn(const fs::path& dir) {
  std::error_code error;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir, error), fs::directory_iterator()));
}

// Holds the first chunk read, after its checks and its open, until released: on its reader thread,
// or on the caller of a read at hand. Later reads pass.
struct HeldRead {
  runtime::test::Latch arrived;
  runtime::test::Latch release;
  std::atomic<bool> armed{true};
  void operator()() {
    if (!armed.exchange(false)) return;
    arrived.open();
    release.wait(std::chrono::seconds(10));
  }
};

class RelayDiskCacheRaceTest : public CacheFixture {
protected:
  // A cache whose first chunk read waits on `hold`, with chunk 0 of `d` on disk, every byte `fill`.
  std::shared_ptr<Cache> heldCacheWith(const std::shared_ptr<HeldRead>& hold, const Cache::Descriptor& d,
                                       std::uint8_t fill) {
    auto cache = makeCache([hold] { (*hold)(); });
    call([&] { return cache->registerDescriptor(d); });
    EXPECT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, fill))); }));
    return cache;
  }
};

// Run under ThreadSanitizer as well: the purge runs on its own thread, as at termination.
TEST_F(RelayDiskCacheRaceTest, ExitPurgeRacingWritesLeavesNothingBehind) {
  auto cache = makeCache();
  ASSERT_TRUE(call([&] { return cache->prepareIfNeeded(); }));
  std::atomic<int> attempts{0};
  std::atomic<bool> purgeReturned{false};
  LogWindow log;
  std::thread terminator([&] {
    while (attempts.load() < 40) std::this_thread::yield();
    Cache::purgeAtExit(dir);
    purgeReturned = true;
  });
  std::int64_t stored = 0;
  bool refusedOnce = false;
  for (int n = 0; n < 400 && !(refusedOnce && purgeReturned); ++n) {
    const auto d = descriptor("r" + std::to_string(n), 4096);
    const bool startedAfterPurge = purgeReturned.load();
    attempts += 1;
    const bool ok = call([&]() -> runtime::Awaitable<bool> {
      co_await cache->registerDescriptor(d);
      co_return co_await cache->writeChunk(d, 0, shared(bytes(4096, 1)));
    });
    EXPECT_FALSE(ok && startedAfterPurge) << n;
    EXPECT_FALSE(ok && refusedOnce) << "a write succeeded after one was refused: " << n;
    refusedOnce = refusedOnce || !ok;
    stored += ok ? 1 : 0;
  }
  terminator.join();
  EXPECT_TRUE(refusedOnce);
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_EQ(log.count("relay_cache_purge reason=exit files=" + std::to_string(stored)), 1u);
}

runtime::Task<Cache::SharedBytes> startRead(const std::shared_ptr<Cache>& cache, const Cache::Descriptor& d) {
  return runtime::spawn(runtime::sharedPool().executor(), [cache, d]() -> runtime::Awaitable<Cache::SharedBytes> {
    co_return co_await cache->readChunk(d, 0);
  });
}

Cache::SharedBytes outcomeOf(const runtime::Task<Cache::SharedBytes>& read) {
  return pd::testing::runBlocking(
      [read]() -> runtime::Awaitable<Cache::SharedBytes> { co_return co_await read.value(); });
}

TEST_F(RelayDiskCacheRaceTest, AReadInFlightWhenItsItemIsReplacedServesNothingAndSparesTheNewItem) {
  auto hold = std::make_shared<HeldRead>();
  const auto v1 = descriptor("race", kChunk);
  const auto v2 = descriptor("race", kChunk, "Tue");
  auto cache = heldCacheWith(hold, v1, 1);
  const auto inFlight = startRead(cache, v1);
  ASSERT_TRUE(hold->arrived.wait());

  // The actor serves other calls meanwhile. The old file is cut short (so the held read comes
  // back short), then a newer version drops the item and writes a file of its own.
  LogWindow log;
  fs::resize_file(fileOf("race"), 0);
  call([&] { return cache->registerDescriptor(v2); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(v2, 0, shared(bytes(kChunk, 2))); }));
  hold->release.open();

  EXPECT_EQ(outcomeOf(inFlight), nullptr);
  EXPECT_EQ(read(cache, v2, 0), bytes(kChunk, 2)) << "the short read of the old file must not drop the new item";
  EXPECT_EQ(log.count("relay_cache_invalidate"), 1u);
  EXPECT_EQ(log.count("relay_cache_invalidate reason=identity_changed video=race itag=22"), 1u);
}

TEST_F(RelayDiskCacheRaceTest, AReadAtHandWhoseItemIsReplacedMeanwhileServesNothingOfTheOldVersion) {
  auto hold = std::make_shared<HeldRead>();
  const auto v1 = descriptor("race", kChunk);
  const auto v2 = descriptor("race", kChunk, "Tue");
  auto cache = heldCacheWith(hold, v1, 1);
  Cache::SharedBytes served;
  std::thread reader([&] { served = cache->readChunkAtHand(v1, 0); });
  ASSERT_TRUE(hold->arrived.wait());

  // The reader holds the old file open; the newer version drops its item and writes a file of its own.
  call([&] { return cache->registerDescriptor(v2); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(v2, 0, shared(bytes(kChunk, 2))); }));
  hold->release.open();
  reader.join();

  EXPECT_EQ(served, nullptr);
  EXPECT_EQ(cache->readChunkAtHand(v1, 0), nullptr);
  const auto current = cache->readChunkAtHand(v2, 0);
  ASSERT_TRUE(current);
  EXPECT_EQ(*current, bytes(kChunk, 2));
}

// Bytes that differ all along a chunk, with no period: a part read to the wrong place shows.
Cache::Bytes patterned(std::int64_t size, unsigned seed) {
  std::mt19937 next(seed);
  Cache::Bytes out(static_cast<std::size_t>(size));
  for (auto& byte : out) byte = static_cast<std::uint8_t>(next());
  return out;
}

thread_local bool readingAtHand = false;

// Holds every reader thread of a cache in turn: the hook of a cache made with hook(); hold() fills
// the readers with held reads, release() lets them go. The readers take work in order, so once a
// second hold has every reader, all work queued before it has ended.
class HeldReaders {
public:
  std::function<void()> hook() {
    return [this] {
      if (readingAtHand || !holding_.load()) return;
      const auto turn = turn_.load();
      held_ += 1;
      latches_[turn].wait(std::chrono::seconds(20));
    };
  }
  // As many reads as the cache has reader threads, each held on its own.
  ::testing::AssertionResult hold(const std::shared_ptr<Cache>& cache, const Cache::Descriptor& d) {
    held_ = 0;
    holding_ = true;
    for (int n = 0; n < 4; ++n) reads_.push_back(startRead(cache, d));
    for (int spins = 0; held_.load() < 4 && spins < 5000; ++spins) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (held_.load() == 4) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << held_.load() << " readers held";
  }
  void release() {
    holding_ = false;
    latches_[turn_.fetch_add(1)].open();
  }
  ~HeldReaders() {
    for (auto& latch : latches_) latch.open();
    for (const auto& read : reads_) (void)outcomeOf(read);
  }

private:
  std::atomic<bool> holding_{false};
  std::atomic<int> held_{0};
  std::atomic<int> turn_{0};
  runtime::test::Latch latches_[2];
  std::vector<runtime::Task<Cache::SharedBytes>> reads_;
};

// Receives a chunk handed on whole.
struct Whole {
  runtime::test::Latch arrived;
  Cache::SharedBytes bytes;
  Cache::WholeChunk callback() {
    return [this](Cache::SharedBytes whole) {
      bytes = std::move(whole);
      arrived.open();
    };
  }
};

Cache::Bytes partOf(const Cache::Bytes& bytes, ChunkPart part) {
  const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(part.offset);
  return {from, from + static_cast<std::ptrdiff_t>(part.length)};
}

// A read at hand has part of its chunk read by a reader thread: its bytes must be the chunk's, in
// place, for a whole chunk and a short last one of odd length, and it must not wait for readers
// that are all held up elsewhere. With a part needed, that part is served before the rest is in,
// and the chunk is handed on whole once it is.
TEST_F(RelayDiskCacheRaceTest, AReadAtHandServesTheChunkExactlyAndIsNotHeldUpByBusyReaders) {
  HeldReaders readers;
  auto cache = makeCache(readers.hook());
  const auto d = descriptor("split", kChunk + 300'001);
  const auto whole = patterned(kChunk, 1);
  const auto last = patterned(300'001, 2);
  call([&] { return cache->registerDescriptor(d); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(whole)); }));
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 1, shared(last)); }));
  readingAtHand = true;
  for (int index : {0, 1}) {
    const auto served = cache->readChunkAtHand(d, index);
    ASSERT_TRUE(served) << index;
    EXPECT_TRUE(*served == (index == 0 ? whole : last)) << index;
  }

  ASSERT_TRUE(readers.hold(cache, d));
  runtime::test::Latch done;
  Cache::SharedBytes served;
  Cache::SharedBytes part;
  const ChunkPart needed{1'000'003, 5'000};
  Whole handedOn;
  std::thread reader([&] {
    readingAtHand = true;
    served = cache->readChunkAtHand(d, 0);
    part = cache->readChunkAtHand(d, 0, needed, handedOn.callback());
    done.open();
  });
  const bool answeredWhileHeld = done.wait(std::chrono::seconds(10));
  const bool wholeWhileHeld = handedOn.arrived.isOpen();
  readers.release();
  reader.join();
  EXPECT_TRUE(answeredWhileHeld);
  ASSERT_TRUE(served);
  EXPECT_TRUE(*served == whole);
  ASSERT_TRUE(part);
  EXPECT_TRUE(partOf(*part, needed) == partOf(whole, needed));
  EXPECT_FALSE(wholeWhileHeld) << "the rest is read by a reader";
  ASSERT_TRUE(handedOn.arrived.wait());
  EXPECT_EQ(handedOn.bytes, part);
  EXPECT_TRUE(*handedOn.bytes == whole);
}

// The rest of a chunk whose part was served is read after its item gave way to a newer version:
// the chunk is not handed on, so nothing of the old version is kept for later readers.
TEST_F(RelayDiskCacheRaceTest, APartReadAtHandWhoseItemIsReplacedBeforeItsRestIsInIsNotHandedOn) {
  HeldReaders readers;
  auto cache = makeCache(readers.hook());
  const auto v1 = descriptor("race", kChunk);
  const auto v2 = descriptor("race", kChunk, "Tue");
  call([&] { return cache->registerDescriptor(v1); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(v1, 0, shared(patterned(kChunk, 1))); }));
  ASSERT_TRUE(readers.hold(cache, v1));
  readingAtHand = true;
  Whole handedOn;
  const auto part = cache->readChunkAtHand(v1, 0, {0, 100}, handedOn.callback());
  ASSERT_TRUE(part);
  readingAtHand = false;
  call([&] { return cache->registerDescriptor(v2); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(v2, 0, shared(patterned(kChunk, 2))); }));
  readers.release();
  ASSERT_TRUE(readers.hold(cache, v2));
  EXPECT_FALSE(handedOn.arrived.isOpen());
  readers.release();
}

// A part read in pieces: each piece is the chunk's bytes in place, each larger than the last; the
// chunk is handed on only once the part is in and the rest read after it, and never when its item
// gave way to a newer version between two pieces, whose bytes are then not served either.
TEST_F(RelayDiskCacheRaceTest, APartReadInPiecesServesOnlyItsVersionsBytesAndHandsTheChunkOnAtItsEnd) {
  for (const bool replaced : {false, true}) {
    SCOPED_TRACE(replaced ? "replaced between pieces" : "read through");
    HeldReaders readers;
    auto cache = makeCache(readers.hook());
    const auto v1 = descriptor("pieces", kChunk);
    const auto v2 = descriptor("pieces", kChunk, "Tue");
    const auto chunk = patterned(kChunk, 1);
    call([&] { return cache->registerDescriptor(v1); });
    ASSERT_TRUE(call([&] { return cache->writeChunk(v1, 0, shared(chunk)); }));
    const ChunkPart needed{1'000'003, 700'000};
    Whole handedOn;
    PartReadOn later;
    readingAtHand = true;
    const auto part = cache->readChunkAtHand(v1, 0, needed, handedOn.callback(), &later);
    ASSERT_TRUE(part);
    std::vector<std::size_t> steps{later.ready};
    if (replaced) {
      readingAtHand = false;
      call([&] { return cache->registerDescriptor(v2); });
      ASSERT_TRUE(call([&] { return cache->writeChunk(v2, 0, shared(patterned(kChunk, 2))); }));
      readingAtHand = true;
    }
    while (later && steps.back() < needed.length) {
      const auto ready = later.readOn();
      if (!ready) break;
      steps.push_back(*ready);
    }
    readingAtHand = false;
    const std::vector<std::size_t> through{65'536, 262'144, 700'000};
    EXPECT_EQ(steps, replaced ? std::vector<std::size_t>{65'536} : through);
    const ChunkPart in{needed.offset, steps.back()};
    EXPECT_TRUE(partOf(*part, in) == partOf(chunk, in));
    if (replaced) {
      EXPECT_FALSE(later.readOn()) << "nothing more is read once a piece failed";
      // Every reader taken twice in turn: all work queued before has ended.
      ASSERT_TRUE(readers.hold(cache, v2));
      readers.release();
      ASSERT_TRUE(readers.hold(cache, v2));
      EXPECT_FALSE(handedOn.arrived.isOpen());
      readers.release();
    } else {
      ASSERT_TRUE(handedOn.arrived.wait());
      EXPECT_EQ(handedOn.bytes, part);
      EXPECT_TRUE(*handedOn.bytes == chunk);
    }
  }
}

TEST_F(RelayDiskCacheRaceTest, AReadInFlightDuringTheExitPurgeServesItsOwnBytesOrNothing) {
  auto hold = std::make_shared<HeldRead>();
  const auto d = descriptor("purged", kChunk);
  auto cache = heldCacheWith(hold, d, 3);
  const auto inFlight = startRead(cache, d);
  ASSERT_TRUE(hold->arrived.wait());
  Cache::purgeAtExit(dir);
  ASSERT_FALSE(fs::exists(dir));
  hold->release.open();

  const auto served = outcomeOf(inFlight);
  if (served) {
    EXPECT_EQ(*served, bytes(kChunk, 3));
  }
  EXPECT_FALSE(read(cache, d, 0)) << "nothing is read from a purged folder";
}

TEST_F(RelayDiskCacheRaceTest, ChunksOfAKilledRunAreNeverServed) {
  fs::create_directories(dir);
  {
    pd::testing::ChildProcess writer(PD_RELAY_CACHE_WRITER, {dir.string()});
    ASSERT_EQ(writer.readLine(std::chrono::seconds(20)), "ready");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writer.kill(SIGKILL);
    writer.wait();
  }
  ASSERT_GT(entriesIn(dir), 0u);

  auto cache = makeCache();
  const auto d = descriptor("crash0", 4 * kChunk);
  LogWindow log;
  call([&] { return cache->registerDescriptor(d); });
  EXPECT_EQ(entriesIn(dir), 0u);
  ASSERT_EQ(log.count("relay_cache_purge reason=launch"), 1u);
  EXPECT_TRUE(log.lines().front().ends_with(" pending=0")) << log.lines().front();
  EXPECT_FALSE(read(cache, d, 0));
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 0); }), Cache::PrefetchStep::fetch(0));
}

} // namespace
} // namespace pd::relay::test
