#include "RelayDiskCacheTestSupport.hpp"
#include "relay/RelayPrefetch.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/Executor.hpp"

#include <functional>
#include <mutex>
#include <thread>

namespace pd::relay::test {
namespace {

using namespace std::chrono_literals;
using pd::testing::LogWindow;
using Descriptor = RelayDiskCacheInterface::Descriptor;

// Stands in for the relay, which is not on this branch: tokens, upstream activity and the chunk
// operation, with scripted faults. Its chunks are the descriptor's own sizes, filled with the index.
class FakeRelay final : public RelayPrefetchHost {
public:
  explicit FakeRelay(std::shared_ptr<RelayDiskCache> diskCache) : cache_(std::move(diskCache)) {}

  std::vector<std::string> tokensFor(const Descriptor& descriptor) const override {
    const std::scoped_lock lock(mutex);
    std::vector<std::string> found;
    for (const auto& [token, d] : tokens) {
      if (d == descriptor) found.push_back(token);
    }
    return found;
  }
  bool hasToken(const std::string& token) const override {
    const std::scoped_lock lock(mutex);
    return tokens.contains(token);
  }
  bool upstreamBusy() const override { return busy.load(); }
  std::shared_ptr<RelayDiskCacheInterface> cache() const override {
    if (cacheInUse) return cacheInUse;
    return cache_;
  }
  void prefetchCompleteChanged(const Descriptor& descriptor, bool complete) override {
    const std::scoped_lock lock(mutex);
    completeChanges.emplace_back(descriptor.key.videoID, complete);
  }

  runtime::Awaitable<Cache::SharedBytes> prefetchChunk(std::string token, std::int64_t index) override {
    Descriptor d;
    std::function<void()> fault;
    {
      const std::scoped_lock lock(mutex);
      d = tokens.at(token);
      fetched.emplace_back(d.key.videoID, index);
      if (faults) fault = faults;
    }
    if (fault) fault();
    const auto size = std::min(d.length - index * kChunk, kChunk) - (shortChunks ? 1 : 0);
    co_return shared(bytes(size, static_cast<std::uint8_t>(index)));
  }

  mutable std::mutex mutex;
  std::map<std::string, Descriptor> tokens;
  std::vector<std::pair<std::string, std::int64_t>> fetched;
  std::vector<std::pair<std::string, bool>> completeChanges;
  std::function<void()> faults; // throws to fail a fetch
  std::atomic<bool> busy{false};
  std::atomic<bool> shortChunks{false};
  std::shared_ptr<RelayDiskCacheInterface> cacheInUse; // set before the loop starts; none: the disk cache

private:
  std::shared_ptr<RelayDiskCache> cache_;
};

// The disk cache, with its planning step failing as it does when memory runs out.
class StarvedCache final : public RelayDiskCacheInterface {
public:
  explicit StarvedCache(std::shared_ptr<RelayDiskCache> inner) : inner_(std::move(inner)) {}

  runtime::Awaitable<Registration> registerDescriptor(Descriptor d) override {
    return inner_->registerDescriptor(std::move(d));
  }
  runtime::Awaitable<void> release(Registration r) override { return inner_->release(std::move(r)); }
  runtime::Awaitable<std::optional<Descriptor>> descriptor(Key key) override {
    return inner_->descriptor(std::move(key));
  }
  runtime::Awaitable<SharedBytes> readChunk(Descriptor d, std::int64_t index) override {
    return inner_->readChunk(std::move(d), index);
  }
  runtime::Awaitable<bool> writeChunk(Descriptor d, std::int64_t index, SharedBytes data) override {
    return inner_->writeChunk(std::move(d), index, std::move(data));
  }
  runtime::Awaitable<PrefetchStep> nextPrefetchChunk(Descriptor d, std::int64_t from) override {
    if (failures.fetch_sub(1) > 0) throw std::bad_alloc();
    co_return co_await inner_->nextPrefetchChunk(std::move(d), from);
  }

  std::atomic<int> failures{0};

private:
  std::shared_ptr<RelayDiskCache> inner_;
};

class RelayPrefetchTest : public CacheFixture {
protected:
  void SetUp() override {
    diskCache = makeCache();
    relay = std::make_shared<FakeRelay>(diskCache);
    prefetch = RelayPrefetch::make(relay, queue.executor(), {1e12, 5ms, kChunk});
  }
  void TearDown() override {
    onRelay([&] { prefetch->cancel(); });
    waitUntilIdle();
  }

  Descriptor add(const std::string& token, const std::string& id, std::int64_t length) {
    const auto d = descriptor(id, length);
    call([&] { return diskCache->registerDescriptor(d); });
    const std::scoped_lock lock(relay->mutex);
    relay->tokens[token] = d;
    return d;
  }
  void onRelay(std::function<void()> work) {
    ASSERT_TRUE(queue.syncWithTimeout([&] { work(); }, 5s));
  }
  template <typename F>
  auto onRelayValue(F work) {
    std::optional<decltype(work())> value;
    onRelay([&] { value = work(); });
    return *value;
  }
  void waitUntilIdle() {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (bool running = true; running; std::this_thread::sleep_for(2ms)) {
      onRelay([&] { running = prefetch->isRunning(); });
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the loop did not end";
    }
  }
  std::vector<std::pair<std::string, std::int64_t>> fetched() {
    const std::scoped_lock lock(relay->mutex);
    return relay->fetched;
  }

  // Declared first so that it is joined last, after the objects its work touches are gone.
  runtime::SerialQueue queue{"test.relay"};
  std::shared_ptr<RelayDiskCache> diskCache;
  std::shared_ptr<FakeRelay> relay;
  std::shared_ptr<RelayPrefetch> prefetch;
};

TEST_F(RelayPrefetchTest, FillsFromTheCursorThenWrapsAndFinishesComplete) {
  const auto d = add("t1", "fill", 4 * kChunk + 10);
  LogWindow log;
  onRelay([&] { prefetch->schedulePrefetch(d, 1); });
  waitUntilIdle();
  EXPECT_EQ(fetched(), (std::vector<std::pair<std::string, std::int64_t>>{
                           {"fill", 2}, {"fill", 3}, {"fill", 4}, {"fill", 0}, {"fill", 1}}));
  EXPECT_EQ(log.count("relay_prefetch_start video=fill itag=22 start_chunk=2"), 1u);
  EXPECT_EQ(log.count("relay_cache_complete video=fill"), 1u);
  EXPECT_EQ(log.lines().back(), "relay_prefetch_stop reason=complete video=fill itag=22");
  EXPECT_EQ(read(diskCache, d, 4), bytes(10, 4));

  // A finished stream only moves its cursor; a foreground miss restarts a complete one.
  onRelay([&] {
    prefetch->schedulePrefetch(d, 0);
    EXPECT_FALSE(prefetch->isRunning());
    prefetch->restartIfComplete(d, 0);
  });
  waitUntilIdle();
  EXPECT_EQ(log.count("relay_prefetch_stop reason=complete"), 1u) << "nothing fetched, so the finish is silent";

  // The relay skips cursor moves only while the stream stands complete: it is told each change.
  onRelay([&] { prefetch->stopPrefetch(d, "unregistered"); });
  const std::scoped_lock lock(relay->mutex);
  EXPECT_EQ(relay->completeChanges, (std::vector<std::pair<std::string, bool>>{
                                        {"fill", true}, {"fill", false}, {"fill", true}, {"fill", false}}));
}

TEST_F(RelayPrefetchTest, StopReasonsComeFromTheCacheAndTheFetches) {
  const auto low = add("a", "low", 2 * kChunk);
  const auto over = add("b", "over", 2 * kChunk);
  const auto failing = add("c", "failing", 2 * kChunk);
  const auto unwritable = add("d", "unwritable", 2 * kChunk);
  LogWindow log;

  // The disk fills, then the limit shrinks, while a first chunk is being fetched.
  relay->faults = [&] { freeBytes = Cache::kMinFreeBytes; };
  onRelay([&] { prefetch->schedulePrefetch(low, 0); });
  waitUntilIdle();
  EXPECT_TRUE(log.has("relay_prefetch_stop reason=disk_low video=low itag=22"));
  freeBytes = -1;
  relay->faults = [&] { limit = 0; };
  onRelay([&] { prefetch->schedulePrefetch(over, 0); });
  waitUntilIdle();
  EXPECT_TRUE(log.has("relay_prefetch_stop reason=over_limit video=over itag=22"));
  limit = 20'000'000'000;

  relay->faults = [] { throw RelayError::busy(); };
  onRelay([&] { prefetch->schedulePrefetch(failing, 0); });
  waitUntilIdle();
  EXPECT_TRUE(log.has("relay_prefetch_stop reason=errors video=failing itag=22"));

  relay->faults = nullptr;
  relay->shortChunks = true;
  onRelay([&] { prefetch->schedulePrefetch(unwritable, 0); });
  waitUntilIdle();
  EXPECT_TRUE(log.has("relay_prefetch_stop reason=write_fail video=unwritable itag=22"));
  // The chunk after the cursor, once before the disk and the limit stopped the loop, three times
  // before the fetches' and the writes' failures did.
  using Fetches = std::vector<std::pair<std::string, std::int64_t>>;
  EXPECT_EQ(fetched(), (Fetches{{"low", 1},
                                {"over", 1},
                                {"failing", 1},
                                {"failing", 1},
                                {"failing", 1},
                                {"unwritable", 1},
                                {"unwritable", 1},
                                {"unwritable", 1}}));

  // A registration touching the key resumes a write failure from the same cursor.
  relay->shortChunks = false;
  onRelay([&] { prefetch->schedulePrefetch(unwritable, 0); });
  EXPECT_EQ(fetched().size(), 8u); // nothing more until the resume
  // On the relay's queue, as the relay calls it: a coroutine that only posted there would resume on
  // its own executor and race the loop it starts.
  auto resumed = runtime::spawn(
      queue.executor(), [&]() -> runtime::Awaitable<void> { co_await prefetch->resumePrefetch(unwritable.key); });
  ASSERT_TRUE(runtime::test::waitUntilFinished(resumed, 10s));
  waitUntilIdle();
  EXPECT_EQ(onRelayValue([&] { return prefetch->finishedReason(unwritable); }), std::optional<std::string>("complete"));
}

TEST_F(RelayPrefetchTest, ALoopEndedByTheCacheFailingStartsAgainAtTheNextSchedule) {
  const auto d = add("t", "starved", 2 * kChunk);
  auto starved = std::make_shared<StarvedCache>(diskCache);
  starved->failures = 1;
  relay->cacheInUse = starved;
  onRelay([&] { prefetch->schedulePrefetch(d, 0); });
  waitUntilIdle();
  EXPECT_TRUE(fetched().empty());

  onRelay([&] { prefetch->schedulePrefetch(d, 0); });
  waitUntilIdle();
  EXPECT_EQ(fetched(), (std::vector<std::pair<std::string, std::int64_t>>{{"starved", 1}, {"starved", 0}}));
  EXPECT_EQ(onRelayValue([&] { return prefetch->finishedReason(d); }), std::optional<std::string>("complete"));
  EXPECT_EQ(read(diskCache, d, 1), bytes(kChunk, 1));
}

TEST_F(RelayPrefetchTest, HoldsBackForUpstreamTrafficAndDoesNotCountYields) {
  const auto d = add("t", "yield", 2 * kChunk);
  relay->busy = true;
  onRelay([&] { prefetch->schedulePrefetch(d, 0); });
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(fetched().empty());

  std::atomic<int> yields{5};
  relay->faults = [&] {
    if (yields.fetch_sub(1) > 0) throw RelayError::prefetchYield();
  };
  relay->busy = false;
  waitUntilIdle();
  EXPECT_EQ(fetched().size(), 7u) << "five yields, then the two chunks";
  EXPECT_EQ(onRelayValue([&] { return prefetch->finishedReason(d); }), std::optional<std::string>("complete"));
}

TEST_F(RelayPrefetchTest, StreamsTakeTurnsAndThePaceHoldsTheRate) {
  prefetch = RelayPrefetch::make(relay, queue.executor(), {20.0 * static_cast<double>(kChunk), 5ms, kChunk});
  const auto first = add("t1", "one", 3 * kChunk);
  const auto second = add("t2", "two", 3 * kChunk);
  const auto start = std::chrono::steady_clock::now();
  onRelay([&] {
    prefetch->schedulePrefetch(first, -1);
    prefetch->schedulePrefetch(second, -1);
  });
  waitUntilIdle();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(fetched(), (std::vector<std::pair<std::string, std::int64_t>>{
                           {"one", 0}, {"two", 0}, {"one", 1}, {"two", 1}, {"one", 2}, {"two", 2}}));
  EXPECT_GE(elapsed, 6 * 50ms - 5ms) << "six chunks at twenty a second";
}

} // namespace
} // namespace pd::relay::test
