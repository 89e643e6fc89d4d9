#include "RelayPrefetchRig.hpp"

#include <future>

namespace pd::relay {
namespace {

TEST(RelayPrefetchWithRelayTest, FillsTheCacheAheadSoAnotherReadNeverGoesUpstream) {
  PrefetchRig rig;
  rig.add("pf", 16);
  auto& f = rig.f;

  EXPECT_EQ(f.chunk("t", 3), patternBytes(3 * kChunk, kChunk));
  ASSERT_TRUE(rig.waitForLine(rig.stopLine("complete")));
  EXPECT_EQ(rig.log.count(rig.startLine(4)), 1u);
  EXPECT_EQ(rig.log.count("relay_cache_complete video=vid_pf itag=22"), 1u);
  EXPECT_EQ(f.mediaRequests().size(), 17u) << "every chunk asked for once";

  // A second token of the stream is served wholly from the disk.
  auto media = f.describe("https://localhost/media/pf", rig.size);
  media->identity = remotesource::MediaIdentity{22, rig.size, "lm"};
  media->cacheVideoID = "vid_pf";
  f.add("u", media);
  for (std::int64_t i = 0; i < 17; ++i) {
    EXPECT_EQ(f.chunk("u", i), patternBytes(i * kChunk, std::min(kChunk, rig.size - i * kChunk))) << i;
  }
  EXPECT_EQ(f.mediaRequests().size(), 17u);
}

// `requests`: what the upstream was asked in all, the foreground chunk 0 included.
void expectOneRunStoppedFor(PrefetchRig& rig, const std::string& reason, std::size_t requests) {
  ASSERT_TRUE(rig.waitForLine(rig.stopLine(reason)));
  EXPECT_EQ(rig.log.count(rig.startLine(1)), 1u);
  EXPECT_EQ(rig.log.count("relay_prefetch_"), 2u);
  EXPECT_EQ(rig.f.mediaRequests().size(), requests);
}

// Each way the loop gives up, caused by the real cache or the real upstream: it starts once after
// the foreground chunk and stops once with its reason, having fetched only what it could keep.
TEST(RelayPrefetchWithRelayTest, StopsForALowDiskWhenTheVolumeFillsUp) {
  // The volume has room for four chunks above the floor; whatever the folder holds uses it up.
  PrefetchRig rig([] { return kPlenty; },
                  [](const std::filesystem::path& directory) {
                    std::int64_t used = 0;
                    std::error_code error;
                    for (const auto& file : std::filesystem::directory_iterator(directory, error)) {
                      used += static_cast<std::int64_t>(std::filesystem::file_size(file.path(), error));
                    }
                    return std::optional<std::int64_t>(RelayDiskCache::kMinFreeBytes + 4 * kChunk + kChunk / 2 - used);
                  });
  rig.add("low", 10);
  EXPECT_EQ(rig.f.chunk("t", 0), patternBytes(0, kChunk));
  expectOneRunStoppedFor(rig, "disk_low", 4); // chunks 0 to 3 fit; 4 is not fetched
}

TEST(RelayPrefetchWithRelayTest, StopsOverTheLimit) {
  PrefetchRig rig([] { return 3 * kChunk + kChunk / 2; });
  rig.add("over", 10);
  EXPECT_EQ(rig.f.chunk("t", 0), patternBytes(0, kChunk));
  expectOneRunStoppedFor(rig, "over_limit", 3);
  EXPECT_EQ(std::filesystem::file_size(rig.dataFile()), static_cast<std::uintmax_t>(3 * kChunk));
}

TEST(RelayPrefetchWithRelayTest, StopsAfterThreeFailedFetchesOfItsOnlyToken) {
  PrefetchRig rig;
  rig.add("err", 10);
  rig.readFirstChunkInjecting([&] { rig.f.remote.fault("*", "/media/err", {{"fault", "status"}, {"status", 500}}); });
  expectOneRunStoppedFor(rig, "errors", 4); // the foreground chunk, then chunk 1 three times
}

TEST(RelayPrefetchWithRelayTest, StopsAfterThreeFailedWrites) {
  PrefetchRig rig;
  rig.add("wr", 10);
  // A folder where the stream's file belongs: every open for writing fails.
  auto cache = rig.cache;
  ASSERT_TRUE(
      testing::runBlocking([cache]() -> runtime::Awaitable<bool> { co_return co_await cache->prepareIfNeeded(); }));
  std::filesystem::create_directories(rig.dataFile());

  EXPECT_EQ(rig.f.chunk("t", 0), patternBytes(0, kChunk)) << "a failed write still serves the reader";
  expectOneRunStoppedFor(rig, "write_fail", 4); // chunk 1 is fetched anew for each failed write
}

// While a reader of the real HTTP server waits for its chunk, the prefetch sends nothing upstream;
// it starts once the reader has its bytes.
TEST(RelayPrefetchWithRelayTest, YieldsToAForegroundReaderOfTheServer) {
  PrefetchRig rig;
  rig.add("fg", 6);
  const auto [port, token] = rig.serve();

  rig.f.remote.fault("*", "/media/", {{"fault", "gate"}});
  auto reader = std::async(std::launch::async, [port, token] {
    return curl("-r 0-" + std::to_string(kChunk - 1) + " http://127.0.0.1:" + std::to_string(port) + "/" + token);
  });
  ASSERT_TRUE(rig.f.remote.waitFor([](const nlohmann::json& e) { return e["event"] == "media"; }));
  std::this_thread::sleep_for(1200ms); // more than two of the loop's polls
  EXPECT_EQ(rig.f.mediaRequests().size(), 1u);
  EXPECT_FALSE(rig.log.has("relay_prefetch_start"));

  rig.f.remote.fault("*", "*", {{"fault", "clear"}});
  rig.f.remote.command({{"media_release", 100}});
  EXPECT_EQ(reader.get(), patternBytes(0, kChunk));
  ASSERT_TRUE(rig.waitForLine(rig.stopLine("complete")));
  EXPECT_EQ(rig.log.count(rig.startLine(1)), 1u);
  EXPECT_EQ(rig.f.mediaRequests().size(), 7u);
}

} // namespace
} // namespace pd::relay
