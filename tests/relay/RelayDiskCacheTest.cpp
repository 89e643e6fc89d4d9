#include "RelayDiskCacheTestSupport.hpp"
#include "relay/RelayDiskCacheFiles.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace pd::relay::test {
namespace {

namespace fs = std::filesystem;
using Stop = Cache::PrefetchStep::Stop;
using pd::testing::LogWindow;

TEST(RelayDiskCacheRules, KeysNamesAndLimits) {
  EXPECT_EQ(Cache::fileName(key("abc", 22)), "616263_22");
  EXPECT_TRUE(Cache::Key::make(std::string(64, 'a'), 0));
  for (const std::string& bad :
       {std::string(65, 'a'), std::string(), std::string("a b"), std::string("a/.."), std::string("caf\xc3\xa9")}) {
    EXPECT_FALSE(Cache::Key::make(bad, 1)) << bad;
  }
  EXPECT_FALSE(Cache::Key::make("abc", -1));

  EXPECT_EQ(Cache::limitForSetting(0), 20'000'000'000);
  EXPECT_EQ(Cache::limitForSetting(3), 5'000'000'000);
  EXPECT_EQ(Cache::limitForSetting(-1), 5'000'000'000);
  EXPECT_EQ(Cache::limitForSetting(7), 7'000'000'000);
  EXPECT_EQ(Cache::limitForSetting(150), 100'000'000'000);

  EXPECT_EQ(descriptor("a", 5), descriptor("a", 5));
  EXPECT_NE(descriptor("a", 5), descriptor("a", 5, "Tue"));
  EXPECT_NE(descriptor("a", 5, "Tue"), descriptor("a", 5, "Wed"));
}

using RelayDiskCacheTest = CacheFixture;

TEST_F(RelayDiskCacheTest, ConcurrentReadsEachGetTheirWholeChunkThroughRecycledBuffers) {
  auto cache = makeCache();
  const auto d = descriptor("many", 3 * kChunk + 100);
  call([&] { return cache->registerDescriptor(d); });
  for (std::int64_t i = 0; i < 4; ++i) {
    const auto size = i < 3 ? kChunk : 100;
    ASSERT_TRUE(call([&] { return cache->writeChunk(d, i, shared(bytes(size, static_cast<std::uint8_t>(i + 1)))); }));
  }
  // Rounds of reads at once: buffers of full and of the short last chunk go back and are taken
  // again by chunks of the other size, and none may carry a byte of an earlier chunk.
  for (int round = 0; round < 3; ++round) {
    std::vector<runtime::Task<Cache::SharedBytes>> reads;
    for (std::int64_t n = 0; n < 16; ++n) {
      const std::int64_t index = (n + round) % 4;
      reads.push_back(runtime::spawn(runtime::sharedPool().executor(),
                                     [cache, d, index]() -> runtime::Awaitable<Cache::SharedBytes> {
                                       co_return co_await cache->readChunk(d, index);
                                     }));
    }
    for (std::int64_t n = 0; n < 16; ++n) {
      const std::int64_t index = (n + round) % 4;
      const auto chunk = pd::testing::runBlocking(
          [read = reads[static_cast<std::size_t>(n)]]() -> runtime::Awaitable<Cache::SharedBytes> {
            co_return co_await read.value();
          });
      ASSERT_TRUE(chunk) << index;
      EXPECT_EQ(*chunk, bytes(index < 3 ? kChunk : 100, static_cast<std::uint8_t>(index + 1))) << index;
    }
  }
}

TEST_F(RelayDiskCacheTest, WritesOnlyWholeChunksOfTheVersionInUseAndReadsThemBack) {
  auto cache = makeCache();
  const auto d = descriptor("abc", 2 * kChunk + 1000);
  EXPECT_FALSE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); })) << "not registered";
  const auto registration = call([&] { return cache->registerDescriptor(d); });

  EXPECT_FALSE(call([&] { return cache->writeChunk(d, 2, shared(bytes(kChunk, 2))); }));
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 2, shared(bytes(1000, 2))); }));
  EXPECT_FALSE(call([&] { return cache->writeChunk(d, 3, shared(bytes(1000, 3))); }));
  EXPECT_FALSE(call([&] { return cache->writeChunk(d, -1, shared(bytes(kChunk, 3))); }));
  EXPECT_FALSE(call([&] { return cache->writeChunk(d, INT64_MAX / 2, shared(bytes(kChunk, 3))); }));
  EXPECT_EQ(fs::file_size(fileOf("abc")), 2 * kChunk + 1000);

  // A chunk already present answers true without touching the file.
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 2, shared(bytes(1000, 9))); }));
  EXPECT_EQ(read(cache, d, 2), bytes(1000, 2));
  EXPECT_FALSE(read(cache, d, 0));

  // Another version neither writes nor reads the item; reading ignores registrations.
  const auto other = descriptor("abc", 2 * kChunk + 1000, "Tue");
  EXPECT_FALSE(call([&] { return cache->writeChunk(other, 0, shared(bytes(kChunk, 4))); }));
  EXPECT_FALSE(read(cache, other, 2));
  call([&] { return cache->release(registration); });
  EXPECT_EQ(read(cache, d, 2), bytes(1000, 2));

  const auto empty = descriptor("zero", 0);
  call([&] { return cache->registerDescriptor(empty); });
  EXPECT_FALSE(call([&] { return cache->writeChunk(empty, 0, shared({})); }));
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(empty, 0); }), Cache::PrefetchStep::stopped(Stop::complete));
}

TEST_F(RelayDiskCacheTest, NewestRegistrationDecidesTheVersion) {
  auto cache = makeCache();
  // Two streams, each registered in an older and then a newer version.
  const auto olderV = descriptor("v", kChunk);
  const auto newerV = descriptor("v", 2 * kChunk);
  const auto olderW = descriptor("w", kChunk, "Mon");
  const auto newerW = descriptor("w", kChunk, "Tue");
  const auto first = call([&] { return cache->registerDescriptor(olderV); });
  const auto second = call([&] { return cache->registerDescriptor(newerV); });
  call([&] { return cache->registerDescriptor(olderW); });
  const auto newestW = call([&] { return cache->registerDescriptor(newerW); });
  EXPECT_EQ(second.id, first.id + 1);
  EXPECT_FALSE(call([&] { return cache->writeChunk(olderV, 0, shared(bytes(kChunk, 1))); }));
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(olderV, 0); }), Cache::PrefetchStep::stopped(Stop::mismatch));
  ASSERT_TRUE(call([&] { return cache->writeChunk(newerV, 0, shared(bytes(kChunk, 1))); }));
  ASSERT_TRUE(call([&] { return cache->writeChunk(newerW, 0, shared(bytes(kChunk, 1))); }));

  LogWindow log;
  call([&] { return cache->release(first); });
  EXPECT_EQ(read(cache, newerV, 0), bytes(kChunk, 1));
  call([&] { return cache->release(newestW); });
  EXPECT_EQ(log.lines(), std::vector<std::string>{"relay_cache_invalidate reason=identity_changed video=w itag=22"});
  EXPECT_FALSE(fs::exists(fileOf("w")));
  EXPECT_EQ(call([&] { return cache->descriptor(key("w")); }), olderW);
  EXPECT_EQ(call([&] { return cache->usage(); }).totalBytes, kChunk);
}

TEST_F(RelayDiskCacheTest, FreeSpaceFloorIsExactAndSkipsAreLogged) {
  auto cache = makeCache();
  const auto d = descriptor("f", 2 * kChunk);
  call([&] { return cache->registerDescriptor(d); });
  LogWindow log;
  freeBytes = Cache::kMinFreeBytes + kChunk - 1;
  EXPECT_FALSE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 0); }), Cache::PrefetchStep::stopped(Stop::diskLow));
  EXPECT_EQ(log.count("relay_cache_skip reason=disk_low free_b=" + std::to_string(freeBytes.load()) + " occurrences=1"),
            1u);
  freeBytes = Cache::kMinFreeBytes + kChunk;
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));

  limit = kChunk;
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 0); }), Cache::PrefetchStep::stopped(Stop::overLimit));
  EXPECT_FALSE(call([&] { return cache->writeChunk(d, 1, shared(bytes(kChunk, 1))); }));
  EXPECT_TRUE(log.has("relay_cache_skip reason=over_limit size_b=2097152 limit_b=2097152 occurrences=1"));
}

TEST_F(RelayDiskCacheTest, CompleteLineOnceInAnyOrderAndThePlanWrapsAround) {
  auto cache = makeCache();
  const auto d = descriptor("p", 8 * kChunk);
  call([&] { return cache->registerDescriptor(d); });
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 9); }), Cache::PrefetchStep::fetch(0));
  LogWindow log;
  for (const std::int64_t index : {7, 0, 5, 2, 3, 6, 4}) {
    ASSERT_TRUE(
        call([&] { return cache->writeChunk(d, index, shared(bytes(kChunk, static_cast<std::uint8_t>(index)))); }));
  }
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 5); }), Cache::PrefetchStep::fetch(1));
  EXPECT_EQ(log.count("relay_cache_complete"), 0u);
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 1, shared(bytes(kChunk, 1))); }));
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 1, shared(bytes(kChunk, 1))); }));
  EXPECT_EQ(log.count("relay_cache_complete video=p itag=22 size_b=16777216 cache_b=16777216"), 1u);
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(d, 5); }), Cache::PrefetchStep::stopped(Stop::complete));
}

// The bytes the folder takes on its volume.
std::int64_t onDisk(const fs::path& dir) {
  std::int64_t sum = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    struct stat status {};
    EXPECT_EQ(::lstat(entry.path().c_str(), &status), 0);
    sum += static_cast<std::int64_t>(status.st_blocks) * 512;
  }
  return sum;
}

// Chunks written far apart in a stream much larger than the limit: the gaps between them take no
// room, so each chunk costs its own bytes, an unopened item goes only once room is short, and the
// folder never takes more than the limit.
TEST_F(RelayDiskCacheTest, ScatteredChunksOfALargeStreamCostTheirOwnBytes) {
  fs::create_directories(dir);
  if (!cachefiles::keepsHoles(dir).value_or(false)) GTEST_SKIP() << "the file system fills gaps";
  auto cache = makeCache();
  limit = 8 * kChunk + 65536; // room for the file system's own blocks
  const auto old = descriptor("old", 2 * kChunk);
  const auto registration = call([&] { return cache->registerDescriptor(old); });
  for (const std::int64_t index : {0, 1}) {
    ASSERT_TRUE(call([&] { return cache->writeChunk(old, index, shared(bytes(kChunk, 1))); }));
  }
  call([&] { return cache->release(registration); });
  tick();
  const auto big = descriptor("big", 4095 * kChunk + 12345);
  call([&] { return cache->registerDescriptor(big); });
  std::int64_t stored = 0;
  for (const std::int64_t index : {3000, 17, 4095, 1500, 2, 2999, 40, 41, 42}) {
    const std::int64_t size = index == 4095 ? 12345 : kChunk;
    const bool fits = stored + size <= limit;
    const auto plan = call([&] { return cache->nextPrefetchChunk(big, index); });
    EXPECT_EQ(plan, fits ? Cache::PrefetchStep::fetch(index) : Cache::PrefetchStep::stopped(Stop::overLimit)) << index;
    EXPECT_EQ(call([&] { return cache->writeChunk(big, index, shared(bytes(size, 2))); }), fits) << index;
    if (fits) stored += size;
    EXPECT_EQ(fs::exists(fileOf("old")), stored + 2 * kChunk <= limit) << index;
    EXPECT_LE(onDisk(dir), limit) << index;
    EXPECT_GE(call([&] { return cache->usage(); }).totalBytes, onDisk(dir)) << index;
    tick();
  }
  EXPECT_EQ(read(cache, big, 4095), bytes(12345, 2));
  EXPECT_EQ(read(cache, big, 3000), bytes(kChunk, 2));
}

// Keeps the folder's entries from being removed while it lives (an append-only folder).
class UndeletableEntries {
public:
  explicit UndeletableEntries(const fs::path& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    kept_ = fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags_) == 0 && setFlags(flags_ | FS_APPEND_FL);
  }
  ~UndeletableEntries() {
    if (kept_) setFlags(flags_);
    if (fd_ >= 0) ::close(fd_);
  }
  UndeletableEntries(const UndeletableEntries&) = delete;
  UndeletableEntries& operator=(const UndeletableEntries&) = delete;
  explicit operator bool() const { return kept_; }

private:
  bool setFlags(int flags) const { return ::ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0; }
  int fd_;
  int flags_ = 0;
  bool kept_ = false;
};

// No file of the process grows past `bytes` while it lives: a write across it stops there.
class FileSizeCap {
public:
  explicit FileSizeCap(rlim_t bytes) : previous_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    rlimit capped = old_;
    capped.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &capped), 0);
  }
  ~FileSizeCap() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeCap(const FileSizeCap&) = delete;
  FileSizeCap& operator=(const FileSizeCap&) = delete;

private:
  rlimit old_{};
  void (*previous_)(int);
};

// A chunk write that fails part-way far past the file's end, while the folder will not let the
// file go: the file stays charged at the room it takes, so another stream still fits under the
// limit meanwhile, and the charge leaves once the file can be deleted.
TEST_F(RelayDiskCacheTest, AFileLeftByAFailedFarWriteIsChargedTheRoomItTakes) {
  fs::create_directories(dir);
  if (!cachefiles::keepsHoles(dir).value_or(false)) GTEST_SKIP() << "the file system fills gaps";
  auto cache = makeCache();
  limit = 16 * kChunk;
  const auto big = descriptor("big", 4000 * kChunk);
  const auto other = descriptor("other", kChunk);
  call([&] { return cache->registerDescriptor(big); });
  call([&] { return cache->registerDescriptor(other); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(big, 0, shared(bytes(kChunk, 1))); }));
  {
    const UndeletableEntries kept(dir);
    if (!kept) GTEST_SKIP() << "no append-only folders here";
    LogWindow log;
    {
      const FileSizeCap cap(3000 * kChunk + 65536);
      EXPECT_FALSE(call([&] { return cache->writeChunk(big, 3000, shared(bytes(kChunk, 2))); }));
    }
    EXPECT_TRUE(log.has("relay_cache_invalidate reason=write_fail video=big itag=22"));
    const auto usage = call([&] { return cache->usage(); });
    EXPECT_EQ(usage.pendingDeletions, 1u);
    EXPECT_GE(usage.totalBytes, onDisk(dir));
    EXPECT_LT(usage.totalBytes, 2 * kChunk);
    EXPECT_TRUE(call([&] { return cache->writeChunk(other, 0, shared(bytes(kChunk, 3))); }));
  }
  call([&] { return cache->retryPendingDeletions(); });
  const auto usage = call([&] { return cache->usage(); });
  EXPECT_EQ(usage.pendingDeletions, 0u);
  EXPECT_EQ(usage.totalBytes, kChunk);
  EXPECT_FALSE(fs::exists(fileOf("big")));
  EXPECT_EQ(read(cache, other, 0), bytes(kChunk, 3));
}

// Three unopened one-chunk items written at t1 < t2 < t3.
class RelayDiskCacheEvictionTest : public CacheFixture {
protected:
  void SetUp() override {
    cache = makeCache();
    for (const auto* id : {"t1", "t2", "t3"}) {
      const auto d = descriptor(id, kChunk);
      const auto registration = call([&] { return cache->registerDescriptor(d); });
      ASSERT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 7))); }));
      call([&] { return cache->release(registration); });
      tick();
    }
    ASSERT_EQ(call([&] { return cache->usage(); }).totalBytes, 3 * kChunk);
  }
  std::shared_ptr<Cache> cache;
};

TEST_F(RelayDiskCacheEvictionTest, OldestUnopenedGoFirstAndOnlyOverTheLimit) {
  LogWindow log;
  limit = 3 * kChunk;
  call([&] { return cache->evict(0); });
  EXPECT_TRUE(log.lines().empty());

  // Reading t1 makes it the newest; open keys are never candidates.
  EXPECT_TRUE(read(cache, descriptor("t1", kChunk), 0));
  call([&] { return cache->registerDescriptor(descriptor("t2", kChunk)); });
  limit = 2 * kChunk;
  call([&] { return cache->evict(0); });
  EXPECT_EQ(log.lines(), std::vector<std::string>{"relay_cache_evict entries=1 freed_b=2097152 size_b=4194304 "
                                                  "limit_b=4194304"});
  EXPECT_FALSE(fs::exists(fileOf("t3")));
  EXPECT_TRUE(fs::exists(fileOf("t1")));

  limit = 0;
  call([&] { return cache->evict(0); });
  EXPECT_TRUE(fs::exists(fileOf("t2"))) << "an open item stays over the limit";
  EXPECT_EQ(call([&] { return cache->usage(); }).totalBytes, kChunk);
}

TEST_F(RelayDiskCacheEvictionTest, FailedDeletionStaysChargedUntilARetrySucceeds) {
  // A folder in place of t1's file cannot be removed as a file.
  fs::remove(fileOf("t1"));
  fs::create_directories(fileOf("t1") / "inner");
  LogWindow log;
  limit = 2 * kChunk;
  call([&] { return cache->evict(0); });
  EXPECT_TRUE(log.has("relay_cache_evict entries=2 freed_b=4194304 size_b=4194304 limit_b=4194304"));
  EXPECT_TRUE(log.has("relay_cache_fail stage=delete"));
  auto usage = call([&] { return cache->usage(); });
  EXPECT_EQ(usage.pendingDeletions, 1u);
  EXPECT_EQ(usage.items, 1u);

  // A live item under the same name keeps the retry away from it.
  const auto again = descriptor("t1", kChunk);
  call([&] { return cache->registerDescriptor(again); });
  EXPECT_EQ(call([&] { return cache->nextPrefetchChunk(again, 0); }), Cache::PrefetchStep::stopped(Stop::unavailable));

  fs::remove_all(fileOf("t1"));
  call([&] { return cache->retryPendingDeletions(); });
  usage = call([&] { return cache->usage(); });
  EXPECT_EQ(usage.pendingDeletions, 0u);
  EXPECT_EQ(usage.totalBytes, kChunk);
}

TEST_F(RelayDiskCacheEvictionTest, FolderRemovedFromOutsideDropsEveryItem) {
  fs::remove_all(dir);
  LogWindow log;
  call([&] { return cache->recoverIfDirectoryMissing(); });
  EXPECT_EQ(log.count("relay_cache_invalidate reason=file_missing"), 3u);
  const auto usage = call([&] { return cache->usage(); });
  EXPECT_EQ(usage.totalBytes, 0);
  EXPECT_EQ(usage.items, 0u);

  // The next write brings the folder back.
  const auto d = descriptor("t4", kChunk);
  call([&] { return cache->registerDescriptor(d); });
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
}

TEST_F(RelayDiskCacheTest, SwappedInLinksNeitherLeakNorRedirect) {
  auto cache = makeCache();
  const auto d = descriptor("s", 2 * kChunk);
  call([&] { return cache->registerDescriptor(d); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
  const fs::path secret = root.path() / "secret";
  { std::ofstream(secret) << std::string(static_cast<std::size_t>(3 * kChunk), 's'); }

  // A symbolic link: the read is refused and the item dropped; the write replaces the link.
  fs::remove(fileOf("s"));
  fs::create_symlink(secret, fileOf("s"));
  LogWindow log;
  EXPECT_FALSE(read(cache, d, 0));
  EXPECT_TRUE(log.has("relay_cache_invalidate reason=read_fail video=s itag=22"));
  fs::create_symlink(secret, fileOf("s"));
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 1, shared(bytes(kChunk, 2))); }));
  EXPECT_FALSE(fs::is_symlink(fileOf("s")));
  EXPECT_EQ(pd::testing::readText(secret), std::string(static_cast<std::size_t>(3 * kChunk), 's'));

  // A second hard link: the file is removed and made anew, the other name keeps its bytes.
  const fs::path other = root.path() / "other";
  fs::create_hard_link(fileOf("s"), other);
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 3))); }));
  EXPECT_TRUE(log.has("relay_cache_invalidate reason=unsafe_file video=s itag=22"));
  EXPECT_EQ(fs::hard_link_count(fileOf("s")), 1u);
  const auto chunk = static_cast<std::size_t>(kChunk);
  EXPECT_EQ(pd::testing::readText(other), std::string(chunk, '\0') + std::string(chunk, '\2'));
  EXPECT_EQ(read(cache, d, 0), bytes(kChunk, 3));
  EXPECT_FALSE(read(cache, d, 1)) << "the new file holds only chunk 0";
}

TEST_F(RelayDiskCacheTest, ShortOrSwappedFilesAreCaughtBeforeTheNextWrite) {
  auto cache = makeCache();
  const auto d = descriptor("q", 2 * kChunk + 1048576);
  call([&] { return cache->registerDescriptor(d); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 2, shared(bytes(1048576, 3))); }));
  ::truncate(fileOf("q").c_str(), 2 * kChunk);
  LogWindow log;
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 1, shared(bytes(kChunk, 2))); }));
  EXPECT_TRUE(log.has("relay_cache_invalidate reason=short_file video=q itag=22"));
  EXPECT_FALSE(read(cache, d, 0));
  EXPECT_EQ(read(cache, d, 1), bytes(kChunk, 2));
}

TEST_F(RelayDiskCacheTest, LaunchPurgeEmptiesTheFolderOnceAndLeavesFoldersAlone) {
  fs::create_directories(dir / "sub");
  { std::ofstream(dir / "sub" / "inner") << std::string(5000, 's'); }
  { std::ofstream(dir / "a.data") << std::string(5000, 'a'); }
  { std::ofstream(dir / "b") << std::string(100, 'b'); }
  std::int64_t sizes = 0;
  for (const auto* name : {"a.data", "b"}) {
    struct stat status {};
    ASSERT_EQ(::lstat((dir / name).c_str(), &status), 0);
    sizes += static_cast<std::int64_t>(status.st_blocks) * 512;
  }
  auto cache = makeCache();
  LogWindow log;
  EXPECT_TRUE(call([&] { return cache->prepareIfNeeded(); }));
  EXPECT_TRUE(call([&] { return cache->prepareIfNeeded(); }));
  EXPECT_EQ(log.count("relay_cache_purge reason=launch files=2 freed_b=" + std::to_string(sizes) + " pending=0"), 1u);
  EXPECT_EQ(log.count("relay_cache_purge"), 1u);
  EXPECT_FALSE(fs::exists(dir / "a.data"));

  // The folder is neither charged nor retried, and writes beside it say nothing of it.
  const auto d = descriptor("abc", kChunk);
  call([&] { return cache->registerDescriptor(d); });
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
  const auto usage = call([&] { return cache->usage(); });
  EXPECT_EQ(usage.pendingDeletions, 0u);
  struct stat written {};
  ASSERT_EQ(::lstat(fileOf("abc").c_str(), &written), 0);
  EXPECT_EQ(usage.totalBytes, std::max<std::int64_t>(static_cast<std::int64_t>(written.st_blocks) * 512, kChunk));
  EXPECT_EQ(log.count("relay_cache_fail"), 0u);
  EXPECT_EQ(pd::testing::readText(dir / "sub" / "inner"), std::string(5000, 's'));
}

TEST_F(RelayDiskCacheTest, TheFolderAndItsFilesAreTheUsersAlone) {
  const auto mask = ::umask(022);
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms(0755));
  auto cache = makeCache();
  const auto d = descriptor("abc", kChunk);
  call([&] { return cache->registerDescriptor(d); });
  EXPECT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
  ::umask(mask);
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms(0700));
  EXPECT_EQ(fs::status(fileOf("abc")).permissions(), fs::perms(0600));
}

TEST_F(RelayDiskCacheTest, ExitPurgeRemovesTheFolderAndShutsItForTheProcess) {
  auto cache = makeCache();
  const auto d = descriptor("x", kChunk);
  call([&] { return cache->registerDescriptor(d); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));

  LogWindow log;
  Cache::purgeAtExit(std::nullopt);
  Cache::purgeAtExit(root.path() / "never-made");
  EXPECT_TRUE(log.lines().empty());
  Cache::purgeAtExit(dir / "."); // another spelling of the same folder
  EXPECT_EQ(log.lines(), std::vector<std::string>{"relay_cache_purge reason=exit files=1"});
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_FALSE(call([&] { return cache->writeChunk(descriptor("x", kChunk), 0, shared(bytes(kChunk, 1))); }));
  EXPECT_FALSE(fs::exists(dir));

  LogWindow quiet;
  auto later = makeCache();
  EXPECT_FALSE(call([&] { return later->prepareIfNeeded(); }));
  EXPECT_TRUE(quiet.lines().empty());

  // A folder holding a non-empty subfolder: the subfolder and the folder itself remain.
  const fs::path second = root.path() / "second";
  fs::create_directories(second / "sub");
  { std::ofstream(second / "sub" / "f") << "x"; }
  { std::ofstream(second / "file") << "x"; }
  Cache::purgeAtExit(second);
  EXPECT_TRUE(log.has("relay_cache_fail stage=exit_purge err_domain=- err_code=0 error=remaining occurrences=2"));
  EXPECT_FALSE(fs::exists(second / "file"));
}

// A link swapped into the folder's path after the cache was made: a read opens nothing through it
// and says why, and the item stays for when the path is sound again.
TEST_F(RelayDiskCacheTest, AReadGoesThroughNoLinkInTheFolderPath) {
  auto cache = makeCache();
  const auto d = descriptor("p", 2 * kChunk);
  call([&] { return cache->registerDescriptor(d); });
  ASSERT_TRUE(call([&] { return cache->writeChunk(d, 0, shared(bytes(kChunk, 1))); }));
  const fs::path moved = root.path() / "moved";
  fs::rename(dir.parent_path(), moved);
  fs::create_directory_symlink(moved, dir.parent_path());
  LogWindow log;
  EXPECT_FALSE(read(cache, d, 0));
  EXPECT_TRUE(log.has("relay_cache_fail stage=unsafe_path"));
  EXPECT_FALSE(log.has("relay_cache_invalidate"));
  fs::remove(dir.parent_path());
  fs::rename(moved, dir.parent_path());
  EXPECT_EQ(read(cache, d, 0), bytes(kChunk, 1));
}

TEST_F(RelayDiskCacheTest, LinkInTheFolderPathRefusesEverything) {
  const fs::path real = root.path() / "real";
  fs::create_directories(real / "RelayCache");
  { std::ofstream(real / "RelayCache" / "keep") << "k"; }
  fs::create_directories(dir.parent_path().parent_path());
  fs::create_directory_symlink(real, dir.parent_path());
  auto cache = makeCache();
  LogWindow log;
  EXPECT_FALSE(call([&] { return cache->prepareIfNeeded(); }));
  EXPECT_TRUE(log.has("relay_cache_fail stage=unsafe_path"));
  Cache::purgeAtExit(dir);
  EXPECT_TRUE(log.has("relay_cache_fail stage=unsafe_path err_domain=- err_code=0 error=symbolic_link occurrences=1"));
  EXPECT_TRUE(fs::exists(real / "RelayCache" / "keep"));
}

} // namespace
} // namespace pd::relay::test
