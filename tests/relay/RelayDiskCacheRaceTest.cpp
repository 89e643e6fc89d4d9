#include "RelayDiskCacheTestSupport.hpp"
#include "support/ChildProcess.hpp"

#include <signal.h>

#include <thread>

namespace pd::relay::test {
namespace {

namespace fs = std::filesystem;
using pd::testing::LogWindow;

std::size_t entriesIn(const fs::path& dir) {
  std::error_code error;
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir, error), fs::directory_iterator()));
}

using RelayDiskCacheRaceTest = CacheFixture;

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
      co_return co_await cache->writeChunk(d, 0, bytes(4096, 1));
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
  EXPECT_FALSE(call([&] { return cache->readChunk(d, 0); }));
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 0); }), Cache::PrefetchStep::fetch(0));
}

} // namespace
} // namespace pd::relay::test
