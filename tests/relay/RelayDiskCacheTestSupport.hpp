#pragma once

// A cache on a private temporary folder with injected limit, free space and clock, and blocking
// calls into its actor.

#include "TestSupport.hpp" // tests/platform: TempDirectory
#include "relay/RelayDiskCache.hpp"
#include "runtime/Clock.hpp"
#include "support/Blocking.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

namespace pd::relay::test {

using Cache = RelayDiskCache;
inline constexpr std::int64_t kChunk = Cache::kChunkSize;

inline Cache::Key key(const std::string& id, std::int64_t itag = 22) { return *Cache::Key::make(id, itag); }
inline Cache::Descriptor descriptor(const std::string& id, std::int64_t length,
                                    std::optional<std::string> lastModified = std::nullopt) {
  return {key(id), length, std::move(lastModified)};
}
inline Cache::Bytes bytes(std::int64_t size, std::uint8_t fill) {
  return Cache::Bytes(static_cast<std::size_t>(size), fill);
}
inline Cache::SharedBytes shared(Cache::Bytes bytes) { return std::make_shared<const Cache::Bytes>(std::move(bytes)); }

class CacheFixture : public ::testing::Test {
protected:
  CacheFixture() : scoped_(clock_) {}

  std::shared_ptr<Cache> makeCache(std::function<void()> beforeRead = {}) {
    return Cache::make({dir, [this] { return limit.load(); },
                        [this](const std::filesystem::path&) -> std::optional<std::int64_t> {
                          const auto value = freeBytes.load();
                          if (value < 0) return std::nullopt;
                          return value;
                        },
                        Cache::kMinFreeBytes},
                       std::move(beforeRead));
  }

  // Runs one actor call to its end on the test thread's behalf.
  template <typename F>
  auto call(F make) {
    return pd::testing::runBlocking([&]() -> decltype(make()) { co_return co_await make(); });
  }

  // The chunk's bytes as read from disk, or none.
  std::optional<Cache::Bytes> read(const std::shared_ptr<Cache>& cache, const Cache::Descriptor& d,
                                   std::int64_t index) {
    const auto chunk = call([&] { return cache->readChunk(d, index); });
    if (!chunk) return std::nullopt;
    return *chunk;
  }

  std::filesystem::path fileOf(const std::string& id, std::int64_t itag = 22) const {
    return dir / (Cache::fileName(key(id, itag)) + ".data");
  }
  void tick() { clock_.advance(std::chrono::seconds(1)); }

  pd::testing::TempDirectory root;
  std::filesystem::path dir = root.path() / "cache" / "RelayCache";
  std::atomic<std::int64_t> limit{20'000'000'000};
  std::atomic<std::int64_t> freeBytes{-1}; // below 0: unknown
  runtime::ManualClock clock_;
  runtime::ScopedClock scoped_;
};

} // namespace pd::relay::test
