#include "RelayPrefetchRig.hpp"

#include <sys/stat.h>

namespace pd::relay {
namespace {

// A stream of about 200 MiB read whole through the HTTP server: the reader's own writes and the
// prefetch behind it leave every chunk on the disk, so the next reader costs the upstream nothing.
TEST(RelayFillTest, AStreamReadOnceIsReadAgainWithoutUpstreamRequests) {
  PrefetchRig rig;
  rig.add("big", 100);
  const auto [port, token] = rig.serve();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/" + token;
  const auto expected = patternBytes(0, rig.size);

  EXPECT_TRUE(curl(url) == expected) << "first read";
  ASSERT_TRUE(rig.waitForLine("relay_cache_complete video=vid_big itag=22"));
  if (rig.log.has("relay_prefetch_start")) {
    ASSERT_TRUE(rig.waitForLine(rig.stopLine("complete")));
  }
  const auto upstream = rig.f.mediaRequests().size();
  EXPECT_EQ(upstream, 101u) << "every chunk asked for once";

  struct stat file {};
  ASSERT_EQ(::stat(rig.dataFile().c_str(), &file), 0);
  EXPECT_EQ(file.st_size, rig.size);
  EXPECT_GE(static_cast<std::int64_t>(file.st_blocks) * 512, rig.size) << "no hole is left";

  EXPECT_TRUE(curl(url) == expected) << "second read";
  EXPECT_EQ(rig.f.mediaRequests().size(), upstream);
  EXPECT_EQ(rig.log.count("relay_cache_complete"), 1u);
}

} // namespace
} // namespace pd::relay
