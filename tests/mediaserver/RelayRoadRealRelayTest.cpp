// The relay road's cases again, with the real relay behind the server and the fake remote's media
// role behind the relay; and curl and ffprobe reading an ffmpeg-made MP4 through both over HTTPS.

#include "MediaServerTestSupport.hpp"

#include "platform/http/HttpClient.hpp"
#include "TestSupport.hpp" // tests/platform: TempDirectory
#include "relay/DestinationRules.hpp"
#include "relay/RelayDiskCache.hpp"
#include "relay/RemoteMedia.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "support/FakeRemote.hpp"

#include <boost/asio/post.hpp>

namespace pd::mediaserver {
namespace {

using namespace pd::testing;
using namespace std::chrono_literals;

struct RealRelayFixture {
  explicit RealRelayFixture(std::int64_t chunkSize, std::shared_ptr<relay::RelayDiskCacheInterface> cache = nullptr) {
    relay::RemoteMediaRelay::Configuration configuration;
    configuration.client = std::make_shared<platform::http::Client>(remote.clientConfiguration());
    configuration.chunkSize = chunkSize;
    configuration.cache = std::move(cache);
    configuration.classify = [](const relay::Address&) { return relay::AddressClass::global; };
    relay = relay::RemoteMediaRelay::create(std::move(configuration));
    server = LocalVideoHTTPServer::create(relay);
    auto s = server;
    port = runTask<std::uint16_t>([s] { return s->ensureReady(); });
  }

  // cacheVideoID: the disk cache keeps the media under that id.
  std::string registerMedia(const std::string& url, std::optional<std::int64_t> length,
                            std::optional<std::string> cacheVideoID = std::nullopt) {
    auto media = std::make_shared<relay::RemoteMedia>();
    media->url = url;
    media->contentLength = length;
    media->contentType = "video/mp4";
    media->allowedHosts = {"localhost"};
    if (cacheVideoID) {
      media->identity = remotesource::MediaIdentity{22, length, std::nullopt};
      media->cacheVideoID = std::move(cacheVideoID);
    }
    auto s = server;
    return runTask<std::string>([s, media] { return s->registerRemote(media); });
  }

  std::size_t upstreamRequests() {
    std::size_t n = 0;
    for (const auto& e : remote.events()) n += e["event"] == "media" ? 1u : 0u;
    return n;
  }

  FakeRemote remote;
  std::shared_ptr<relay::RemoteMediaRelay> relay;
  std::shared_ptr<LocalVideoHTTPServer> server;
  std::uint16_t port = 0;
};

struct RealRelayRoadTest : ::testing::Test {
  RealRelayFixture f{1000};
  LogLines log;
  std::string token;

  void SetUp() override {
    f.remote.command({{"media", "clip"}, {"size", 4500}});
    token = f.registerMedia("https://localhost/media/clip", std::nullopt);
  }
};

TEST_F(RealRelayRoadTest, WholeMediaAndRangesFetchOnlyTheChunksTheyCover) {
  EXPECT_EQ(get(f.port, token), "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 4500\r\n"
                                "Accept-Ranges: bytes\r\nConnection: close\r\n\r\n" +
                                    mediaBytes(0, 4'499));
  // The length probe and five chunks; after that everything comes from memory.
  EXPECT_EQ(f.upstreamRequests(), 6u);
  const auto ranged = get(f.port, token, "Range: bytes=1500-3200\r\n");
  EXPECT_NE(ranged.find("Content-Range: bytes 1500-3200/4500\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(ranged), mediaBytes(1'500, 3'200));
  EXPECT_EQ(bodyOf(get(f.port, token, "Range: bytes=2100-2199\r\n")), mediaBytes(2'100, 2'199));
  const auto head = get(f.port, token, "Range: bytes=0-\r\n", "HEAD");
  EXPECT_EQ(head, "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\nContent-Length: 4500\r\n"
                  "Accept-Ranges: bytes\r\nContent-Range: bytes 0-4499/4500\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(statusLine(get(f.port, token, "Range: bytes=4500-\r\n")), "HTTP/1.1 416 Range Not Satisfiable");
  EXPECT_EQ(f.upstreamRequests(), 6u);
}

// A reply whose bytes are all in the relay's memory does not wait for a turn on the relay, which
// may be busy with other readers' fetches and disk reads.
TEST_F(RealRelayRoadTest, MemoryHitsAreAnsweredWhileTheRelayIsBusy) {
  (void)get(f.port, token);
  auto busy = std::make_shared<std::promise<void>>();
  boost::asio::post(f.relay->executor(), [released = busy->get_future().share()] { released.wait(); });
  const auto ranged = get(f.port, token, "Range: bytes=1500-3200\r\n");
  busy->set_value();
  EXPECT_NE(ranged.find("Content-Range: bytes 1500-3200/4500\r\n"), std::string::npos);
  EXPECT_EQ(bodyOf(ranged), mediaBytes(1'500, 3'200));
  EXPECT_EQ(f.upstreamRequests(), 6u);
}

// Chunks in the relay's disk cache are read without a turn on the relay as well: a second token of
// the media has none of them in memory.
TEST(RealRelayDiskTest, DiskHitsAreAnsweredWhileTheRelayIsBusy) {
  TempDirectory root;
  constexpr std::int64_t kSize = 5'000'000; // two chunks and a short one
  auto cache = relay::RelayDiskCache::make({root.path() / "RelayCache", [] { return std::int64_t{1} << 40; }, {}, 0});
  RealRelayFixture f(relay::RelayDiskCache::kChunkSize, cache);
  f.remote.command({{"media", "big"}, {"size", kSize}});
  const auto first = f.registerMedia("https://localhost/media/big", kSize, "disk");
  const auto second = f.registerMedia("https://localhost/media/big", kSize, "disk");
  ASSERT_EQ(bodyOf(get(f.port, first)), mediaBytes(0, kSize - 1));
  // The chunk writes run in the background.
  const auto stored = [cache] {
    return runTask<relay::RelayDiskCache::Usage>([cache] { return cache->usage(); }).totalBytes >= kSize;
  };
  for (int i = 0; i < 1000 && !stored(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(stored());
  const auto upstream = f.upstreamRequests();

  auto busy = std::make_shared<std::promise<void>>();
  boost::asio::post(f.relay->executor(), [released = busy->get_future().share()] { released.wait(); });
  // Its first part is read and sent in pieces.
  const auto ranged = get(f.port, second, "Range: bytes=100000-4500000\r\n");
  busy->set_value();
  EXPECT_NE(ranged.find("Content-Range: bytes 100000-4500000/5000000\r\n"), std::string::npos);
  // Compared whole, without printing megabytes on a mismatch.
  const auto body = bodyOf(ranged);
  EXPECT_TRUE(body == mediaBytes(100'000, 4'500'000)) << body.size() << " bytes";
  EXPECT_EQ(f.upstreamRequests(), upstream);

  // The reply waited only for the parts it sent; the chunks reach memory whole once the rest of
  // each is read, the first of them read mostly after its part.
  const auto keptWhole = [&](const std::string& token) {
    const auto chunk = relay::RelayDiskCache::kChunkSize;
    for (std::int64_t index = 0; index < 3; ++index) {
      auto kept = f.relay->chunkFromMemory(token, index);
      for (int i = 0; i < 1000 && !kept; ++i) {
        std::this_thread::sleep_for(10ms);
        kept = f.relay->chunkFromMemory(token, index);
      }
      ASSERT_TRUE(kept) << index;
      const auto expected = mediaBytes(index * chunk, std::min(kSize, (index + 1) * chunk) - 1);
      EXPECT_TRUE(std::string(kept->begin(), kept->end()) == expected) << index;
    }
  };
  keptWhole(second);

  // With another connection open, a first chunk on disk is read on a pool thread instead, and its
  // slice leaves with the header; a third token has none of the chunks in memory.
  const auto third = f.registerMedia("https://localhost/media/big", kSize, "disk");
  RawClient idle(f.port, 4096);
  idle.send("GET /");
  auto stillBusy = std::make_shared<std::promise<void>>();
  boost::asio::post(f.relay->executor(), [released = stillBusy->get_future().share()] { released.wait(); });
  for (const auto& [from, to] :
       {std::pair<std::int64_t, std::int64_t>{2'097'000, 2'097'199}, {4'194'304, 4'999'999}, {10, 2'200'000}}) {
    const auto reply = get(f.port, third, "Range: bytes=" + std::to_string(from) + "-" + std::to_string(to) + "\r\n");
    EXPECT_NE(reply.find("Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(to) + "/5000000\r\n"),
              std::string::npos);
    EXPECT_TRUE(bodyOf(reply) == mediaBytes(from, to)) << from;
  }
  stillBusy->set_value();
  EXPECT_EQ(f.upstreamRequests(), upstream);
  // The pool thread that read each part read the rest of its chunk after it.
  keptWhole(third);

  // Chunks the disk does not have yet come from upstream, the one read ahead among them.
  f.remote.command({{"media", "other"}, {"size", kSize}});
  const auto fresh = f.registerMedia("https://localhost/media/other", kSize, "other");
  const auto reply = get(f.port, fresh, "Range: bytes=2000000-4200000\r\n");
  EXPECT_NE(reply.find("Content-Range: bytes 2000000-4200000/5000000\r\n"), std::string::npos);
  EXPECT_TRUE(bodyOf(reply) == mediaBytes(2'000'000, 4'200'000));
}

TEST_F(RealRelayRoadTest, UnknownWithdrawnAndUnmeasurableTokens) {
  EXPECT_EQ(statusLine(get(f.port, "not-a-token")), "HTTP/1.1 404 Not Found");
  f.server->unregister(token);
  EXPECT_EQ(statusLine(get(f.port, token)), "HTTP/1.1 404 Not Found");

  // A completion resets the failure count; then the throttle interval passes.
  EXPECT_EQ(bodyOf(get(f.port, f.registerMedia("https://localhost/media/clip", 4500))), mediaBytes(0, 4'499));
  std::this_thread::sleep_for(600ms);
  f.remote.fault("*", "/media/gone", {{"fault", "status"}, {"status", 503}});
  const auto failing = f.registerMedia("https://localhost/media/gone", std::nullopt);
  EXPECT_EQ(statusLine(get(f.port, failing)), "HTTP/1.1 502 Bad Gateway");
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "status=502", "err_domain=RelayError", "err_code=0"}));

  // Media of no bytes has no length the relay accepts.
  f.remote.command({{"media", "empty"}, {"size", 0}});
  const auto empty = f.registerMedia("https://localhost/media/empty", std::nullopt);
  EXPECT_EQ(statusLine(get(f.port, empty)), "HTTP/1.1 502 Bad Gateway");
}

TEST_F(RealRelayRoadTest, AShortChunkFailsTheReplyInsteadOfShiftingTheBody) {
  std::this_thread::sleep_for(600ms); // past the shared failure line's interval
  const auto known = f.registerMedia("https://localhost/media/clip", 4500);
  EXPECT_EQ(bodyOf(get(f.port, known, "Range: bytes=500-999\r\n")), mediaBytes(500, 999));
  f.remote.fault("*", "/media/clip", {{"fault", "short"}, {"times", 1}});
  // Chunk 0 comes from memory, chunk 1 from a short answer.
  EXPECT_EQ(bodyOf(get(f.port, known, "Range: bytes=500-\r\n")), mediaBytes(500, 999));
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "status=206", "err_code=2"}));
}

TEST_F(RealRelayRoadTest, WithdrawalAndDisconnectMidBody) {
  // A completion resets the failure count; then the throttle interval passes.
  EXPECT_EQ(bodyOf(get(f.port, f.registerMedia("https://localhost/media/clip", 4500))), mediaBytes(0, 4'499));
  std::this_thread::sleep_for(600ms);
  f.remote.fault("*", "/media/clip", {{"fault", "gate"}});
  f.remote.command({{"media_release", 3}}); // the probe and chunks 0 and 1
  {
    RawClient client(f.port);
    client.send("GET /" + token + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(f.remote.waitFor([](const auto& e) { return e["event"] == "media" && e["order"] == 4 + 5; }));
    f.server->unregister(token);
    EXPECT_EQ(bodyOf(client.read()), mediaBytes(0, 1'999));
  }
  // The withdrawn token ends the reply as a failure, not as a client that went away.
  EXPECT_TRUE(log.waitFor({"reason=upstream_fail", "err_code=1"}));
  f.remote.command({{"media_release", 100}});

  RealRelayFixture big(2'097'152);
  big.remote.command({{"media", "long"}, {"size", 40'000'000}});
  const auto second = big.registerMedia("https://localhost/media/long", 40'000'000);
  {
    RawClient client(big.port, 4096);
    client.send("GET /" + second + " HTTP/1.1\r\n\r\n");
    client.read(100'000);
  }
  EXPECT_TRUE(log.waitFor({"http_request_abort reason=client_gone"}, 10s));
}

// An MP4 made by ffmpeg behind the fake CDN over HTTPS, read by curl and ffprobe through the
// server and the real relay: every range gives exactly the file's bytes.
TEST(RealRelayEndToEndTest, CurlAndFfprobeReadAnMp4ThroughTheRelay) {
  TempDirectory directory;
  const std::string movie = (directory.path() / "movie.mp4").string();
  commandOutput(
      "ffmpeg -nostdin -y -v error -f lavfi -i testsrc=size=640x360:rate=25:duration=6,noise=alls=40:allf=t+u "
      "-f lavfi -i sine=frequency=440:duration=6 -c:v libx264 -preset ultrafast -crf 20 -pix_fmt yuv420p "
      "-c:a aac -shortest " +
      movie);
  const std::string file = commandOutput("cat " + movie);
  ASSERT_GT(file.size(), 2u * 2'097'152u + 100u) << "ffmpeg did not make the clip";
  const auto size = static_cast<std::int64_t>(file.size());

  RealRelayFixture f(2'097'152);
  f.remote.command({{"media", "movie"}, {"file", movie}});
  const auto token = f.registerMedia("https://localhost/media/movie", std::nullopt);
  const std::string url = "http://127.0.0.1:" + std::to_string(f.port) + "/" + token;

  const std::int64_t c = 2'097'152;
  struct Range {
    std::string header;
    std::int64_t from;
    std::int64_t to;
  };
  const std::vector<Range> ranges = {
      {"", 0, size - 1},
      {"bytes=0-", 0, size - 1},
      {"bytes=100-", 100, size - 1}, // starts inside a chunk
      {"bytes=0-" + std::to_string(c + 10), 0, c + 10}, // ends inside a chunk
      {"bytes=10-20", 10, 20}, // inside one chunk
      {"bytes=" + std::to_string(c - 5) + "-" + std::to_string(2 * c + 5), c - 5, 2 * c + 5},
      {"bytes=-1000", size - 1000, size - 1},
  };
  for (const auto& r : ranges) {
    const std::string header = r.header.empty() ? "" : " -H 'Range: " + r.header + "'";
    const auto body = commandOutput("curl -s --max-time 30" + header + " '" + url + "'");
    EXPECT_EQ(body.size(), static_cast<std::size_t>(r.to - r.from + 1)) << r.header;
    EXPECT_TRUE(body == file.substr(static_cast<std::size_t>(r.from), static_cast<std::size_t>(r.to - r.from + 1)))
        << r.header;
  }
  const auto probe = commandOutput("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + url + "' 2>&1");
  EXPECT_NE(probe.find("h264"), std::string::npos) << probe;
  EXPECT_NE(probe.find("aac"), std::string::npos) << probe;
}

} // namespace
} // namespace pd::mediaserver
