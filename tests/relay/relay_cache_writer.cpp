// Writes cache chunks into the folder given as its argument until it is killed. Says "ready" once
// the first chunk is on disk.

#include "relay/RelayDiskCache.hpp"
#include "support/Blocking.hpp"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  using pd::relay::RelayDiskCache;
  if (argc != 2) return 2;
  auto cache = RelayDiskCache::make({argv[1], [] { return std::int64_t{1} << 40; },
                                     [](const std::filesystem::path&) { return std::optional<std::int64_t>(); },
                                     RelayDiskCache::kMinFreeBytes});
  for (std::int64_t n = 0;; ++n) {
    RelayDiskCache::Descriptor d{*RelayDiskCache::Key::make("crash" + std::to_string(n % 64), 1),
                                 4 * RelayDiskCache::kChunkSize, std::nullopt};
    const bool stored = pd::testing::runBlocking([&]() -> pd::runtime::Awaitable<bool> {
      co_await cache->registerDescriptor(d);
      co_return co_await cache->writeChunk(
          d, n / 64 % 4, std::make_shared<const RelayDiskCache::Bytes>(RelayDiskCache::kChunkSize, 0x5a));
    });
    if (n == 0) {
      std::puts(stored ? "ready" : "refused");
      std::fflush(stdout);
    }
  }
}
