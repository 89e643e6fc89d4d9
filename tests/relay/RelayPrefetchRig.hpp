#pragma once

// The real relay, disk cache and prefetch in front of the fake remote's media role, and curl as a
// reader of the real HTTP server.

#include "RelayTestSupport.hpp"
#include "TestSupport.hpp" // tests/platform: TempDirectory
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "relay/RelayDiskCache.hpp"

#include <cstdio>
#include <system_error>

namespace pd::relay {

constexpr std::int64_t kChunk = RelayDiskCache::kChunkSize;
constexpr std::int64_t kPlenty = 20'000'000'000;

// What curl reads from the address: the body, or nothing when it failed.
inline Bytes curl(const std::string& arguments) {
  Bytes out;
  FILE* pipe = ::popen(("curl -sf --max-time 60 " + arguments).c_str(), "r");
  if (pipe == nullptr) return out;
  std::uint8_t buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.insert(out.end(), buffer, buffer + n);
  if (::pclose(pipe) != 0) out.clear();
  return out;
}

// The real relay, disk cache and prefetch in front of the fake remote's media role; each knob of
// the cache can be turned to inject a fault.
struct PrefetchRig {
  explicit PrefetchRig(
      std::function<std::int64_t()> limit = [] { return kPlenty; },
      std::function<std::optional<std::int64_t>(const std::filesystem::path&)> free =
          [](const std::filesystem::path&) { return std::optional<std::int64_t>(); })
      : cache(RelayDiskCache::make(
            {root.path() / "RelayCache", std::move(limit), std::move(free), RelayDiskCache::kMinFreeBytes})),
        f(kChunk, [this](auto& c) {
          c.cache = cache;
          c.prefetchBytesPerSecond = 1e12;
        }) {}

  // A stream of `chunks` whole chunks and a tail, registered under token "t".
  void add(const std::string& video, std::int64_t chunks) {
    size = chunks * kChunk + 12'345;
    videoID = "vid_" + video;
    auto media = f.describe(f.media(video, size), size);
    media->identity = remotesource::MediaIdentity{22, size, "lm"};
    media->cacheVideoID = videoID;
    f.add("t", media);
  }
  std::filesystem::path dataFile() const {
    return root.path() / "RelayCache" / (RelayDiskCache::fileName({videoID, 22}) + ".data");
  }
  // Chunk 0 is read while the media role holds its answer, so that `inject` runs while the
  // prefetch is already scheduled but still held back by the foreground read.
  void readFirstChunkInjecting(const std::function<void()>& inject) {
    f.remote.fault("*", "/media/", {{"fault", "gate"}, {"times", 1}});
    auto read = f.startChunk("t", 0);
    ASSERT_TRUE(f.remote.waitFor([](const nlohmann::json& e) { return e["event"] == "media"; }));
    inject();
    f.remote.command({{"media_release", 1}});
    ASSERT_TRUE(runtime::test::waitUntilFinished(read, 10s));
    EXPECT_EQ(read.state()->result(), patternBytes(0, kChunk));
  }
  bool waitForLine(const std::string& prefix, std::chrono::milliseconds limit = 20s) {
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
      if (log.has(prefix)) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::string startLine(std::int64_t chunk) const {
    return "relay_prefetch_start video=" + videoID + " itag=22 start_chunk=" + std::to_string(chunk);
  }
  std::string stopLine(const std::string& reason) const {
    return "relay_prefetch_stop reason=" + reason + " video=" + videoID + " itag=22";
  }

  pd::testing::TempDirectory root;
  std::shared_ptr<RelayDiskCache> cache;
  RelayFixture f;
  testing::LogWindow log;
  std::int64_t size = 0;
  std::string videoID;

  // The stream again under a token of the HTTP server, and the server's port.
  std::pair<std::uint16_t, std::string> serve() {
    server = mediaserver::LocalVideoHTTPServer::create(f.relay);
    auto s = server;
    const auto port = testing::runBlocking([s] { return s->ensureReady(); });
    auto media = f.describe("https://localhost/media/" + videoID.substr(4), size);
    media->identity = remotesource::MediaIdentity{22, size, "lm"};
    media->cacheVideoID = videoID;
    return {port, testing::runBlocking([s, media] { return s->registerRemote(media); })};
  }

  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
};

} // namespace pd::relay
