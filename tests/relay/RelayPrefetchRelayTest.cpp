#include "RelayTestSupport.hpp"
#include "TestSupport.hpp" // tests/platform: TempDirectory
#include "relay/RelayDiskCache.hpp"

namespace pd::relay {
namespace {

constexpr std::int64_t kChunk = RelayDiskCache::kChunkSize;

// The real relay, disk cache and prefetch in front of the fake remote's media role.
TEST(RelayPrefetchWithRelayTest, FillsTheCacheAheadSoAnotherReadNeverGoesUpstream) {
  pd::testing::TempDirectory root;
  auto cache = RelayDiskCache::make({root.path() / "RelayCache", [] { return std::int64_t{20'000'000'000}; },
                                     [](const std::filesystem::path&) { return std::optional<std::int64_t>(); },
                                     RelayDiskCache::kMinFreeBytes});
  RelayFixture f(kChunk, [&](auto& c) {
    c.cache = cache;
    c.prefetchBytesPerSecond = 1e12;
  });
  const std::int64_t size = 16 * kChunk + 12'345;
  const auto url = f.media("pf", size);
  auto media = f.describe(url, size);
  media->identity = remotesource::MediaIdentity{22, size, "lm"};
  media->cacheVideoID = "vid_pf";
  f.add("t", media);

  testing::LogWindow log;
  EXPECT_EQ(f.chunk("t", 3), patternBytes(3 * kChunk, kChunk));
  for (int i = 0; i < 2000 && !log.has("relay_prefetch_stop reason=complete video=vid_pf"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(log.has("relay_prefetch_stop reason=complete video=vid_pf itag=22"));
  EXPECT_EQ(log.count("relay_prefetch_start video=vid_pf itag=22 start_chunk=4"), 1u);
  EXPECT_EQ(log.count("relay_cache_complete video=vid_pf itag=22"), 1u);
  EXPECT_EQ(f.mediaRequests().size(), 17u) << "every chunk asked for once";

  // A second token of the stream is served wholly from the disk.
  f.add("u", media);
  for (std::int64_t i = 0; i < 17; ++i) {
    EXPECT_EQ(f.chunk("u", i), patternBytes(i * kChunk, std::min(kChunk, size - i * kChunk))) << i;
  }
  EXPECT_EQ(f.mediaRequests().size(), 17u);
}

} // namespace
} // namespace pd::relay
