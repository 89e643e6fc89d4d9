// The remote video source against the fake server on loopback: a search and a video data lookup
// round trip over HTTPS beside a bare libcurl GET of the same address, the search decoding and
// the video answer's decoding plus stream selection beside a plain JSON parse, and the time a
// failover takes when the first instance stalls (at the real 5 s idle time-out) or answers 503.
// Quote ratios, not absolute times.

#include "platform/http/HttpClient.hpp"
#include "platform/json/Document.hpp"
#include "platform/log/Logger.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoCDN.hpp"
#include "support/Blocking.hpp"
#include "support/FakeRemote.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace {

using namespace pd;
using remotesource::InvidiousInstanceManager;
using remotesource::InvidiousVideoSource;
using remotesource::VideoSearchItem;

pd::testing::FakeRemote& fake() {
  static pd::testing::FakeRemote server;
  return server;
}

std::shared_ptr<InvidiousVideoSource> makeSource(std::chrono::milliseconds timeout) {
  auto client = std::make_shared<platform::http::Client>(fake().clientConfiguration());
  InvidiousInstanceManager::Dependencies dependencies;
  dependencies.storedUserInstances = [] {
    return std::optional(
        nlohmann::json::parse(R"([{"host":"a.remote.test","proxy":"auto"},{"host":"b.remote.test","proxy":"auto"}])"));
  };
  dependencies.storedDefaultFallbackEnabled = [] { return std::optional(nlohmann::json(false)); };
  dependencies.session = client;
  InvidiousVideoSource::Timing timing;
  timing.requestTimeout = timeout;
  return std::make_shared<InvidiousVideoSource>(InvidiousInstanceManager::make(dependencies), client, timing);
}

// The fake reports every request on a pipe; reading it now and then, outside the timing, keeps
// the fake from blocking on a full pipe in long runs.
void drainFakeEvents(benchmark::State& state) {
  static std::int64_t rounds = 0;
  if (++rounds % 64 != 0) return;
  state.PauseTiming();
  fake().clearEvents();
  state.ResumeTiming();
}

std::vector<VideoSearchItem> search(const std::shared_ptr<InvidiousVideoSource>& source) {
  return pd::testing::runBlocking([source]() -> runtime::Awaitable<std::vector<VideoSearchItem>> {
    co_return co_await source->search("loopback bench", "bench");
  });
}

void BM_SearchRoundTrip(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  fake().command({{"fault", "clear"}, {"host", "*"}});
  auto source = makeSource(std::chrono::milliseconds(5000));
  for (auto _ : state) {
    benchmark::DoNotOptimize(search(source));
    drainFakeEvents(state);
  }
}
BENCHMARK(BM_SearchRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ClientGet(benchmark::State& state) {
  auto client = std::make_shared<platform::http::Client>(fake().clientConfiguration());
  platform::http::Request request;
  request.url = "https://a.remote.test/api/v1/search?q=loopback%20bench&type=video";
  for (auto _ : state) {
    benchmark::DoNotOptimize(pd::testing::runBlocking([client, request]() -> runtime::Awaitable<long> {
      co_return (co_await client->fetch(request, 1 << 20)).status;
    }));
    drainFakeEvents(state);
  }
}
BENCHMARK(BM_ClientGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

void BM_VideoDataRoundTrip(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  fake().command({{"fault", "clear"}, {"host", "*"}});
  auto source = makeSource(std::chrono::milliseconds(5000));
  for (auto _ : state) {
    benchmark::DoNotOptimize(pd::testing::runBlocking([source]() -> runtime::Awaitable<std::string> {
      co_return (co_await source->fetchVideoData("benchVideo1", false, std::nullopt, "bench")).video.media.url;
    }));
    drainFakeEvents(state);
  }
}
BENCHMARK(BM_VideoDataRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_BareCurlGet(benchmark::State& state, const std::string& url) {
  const auto configuration = fake().clientConfiguration();
  curl_slist* connectTo = curl_slist_append(nullptr, configuration.connectTo[0].c_str());
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
  curl_easy_setopt(easy, CURLOPT_CAINFO, configuration.extraCAFile->c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 10000L);
  // A fresh connection and handshake each time, as the client makes them: the fake closes every
  // connection after its answer.
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  for (auto _ : state) {
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("curl failed");
    drainFakeEvents(state);
  }
  curl_easy_cleanup(easy);
  curl_slist_free_all(connectTo);
}
BENCHMARK_CAPTURE(BM_BareCurlGet, search,
                  std::string("https://a.remote.test/api/v1/search?q=loopback%20bench&type=video"))
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_BareCurlGet, video, std::string("https://a.remote.test/api/v1/videos/benchVideo1?local=false"))
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// A search answer of twenty videos as an instance sends it.
std::string searchBody() {
  auto answer = nlohmann::json::array();
  for (int i = 0; i < 20; ++i) {
    answer.push_back({{"type", "video"},
                      {"title", "A video title of ordinary length number " + std::to_string(i)},
                      {"videoId", "vid" + std::to_string(10000000 + i)},
                      {"author", "Some Author"},
                      {"authorId", "UC0123456789"},
                      {"lengthSeconds", 200 + i},
                      {"viewCount", 123456},
                      {"description", std::string(200, 'd')},
                      {"videoThumbnails",
                       {{{"quality", "maxres"}, {"url", "/vi/x/maxres.jpg"}, {"width", 1280}, {"height", 720}},
                        {{"quality", "high"}, {"url", "/vi/x/hq.jpg"}, {"width", 480}, {"height", 360}},
                        {{"quality", "medium"}, {"url", "/vi/x/mq.jpg"}, {"width", 320}, {"height", 180}},
                        {{"quality", "default"}, {"url", "/vi/x/default.jpg"}, {"width", 120}, {"height", 90}}}}});
  }
  return answer.dump();
}

void BM_SearchDecode(benchmark::State& state) {
  const std::string body = searchBody();
  for (auto _ : state) {
    const auto document = platform::json::Document::parse(body);
    benchmark::DoNotOptimize(InvidiousVideoSource::decodeSearch(document.root(), "https://a.remote.test"));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_SearchDecode);

void BM_PlainJsonParse(benchmark::State& state) {
  const std::string body = searchBody();
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(body));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_PlainJsonParse);

// A video answer of about 60 KB with 40 formats, proxied addresses, as an instance sends it.
std::string videoBody() {
  nlohmann::json answer = {{"videoId", "benchVideo1"},
                           {"title", "A video"},
                           {"author", "Someone"},
                           {"lengthSeconds", 600},
                           {"description", std::string(38000, 'd')}};
  answer["videoThumbnails"] = {{{"quality", "maxres"}, {"url", "/vi/x/maxres.jpg"}},
                               {{"quality", "medium"}, {"url", "/vi/x/mq.jpg"}}};
  const auto format = [](int i, const std::string& type, const std::string& label) {
    return nlohmann::json{{"url", "/videoplayback?expire=1700000000&ei=abcdefgh&ip=127.0.0.1&id=o-" +
                                      std::string(40, 'a') + "&itag=" + std::to_string(i) +
                                      "&source=x&requiressl=yes&mime=video%2Fmp4" + "&sig=" + std::string(120, 's') +
                                      "&host=r1---sn-x.cdn.test"},
                          {"type", type},
                          {"qualityLabel", label},
                          {"bitrate", std::to_string(100000 * (i + 1))},
                          {"itag", std::to_string(i)},
                          {"clen", std::to_string(1000000 * (i + 1))},
                          {"lmt", "1700000000000000"},
                          {"size", "1920x1080"},
                          {"init", "0-740"},
                          {"index", "741-1900"},
                          {"projectionType", "RECTANGULAR"}};
  };
  static const char* kLabels[] = {"144p", "240p", "360p", "480p", "720p", "1080p", "1440p", "2160p"};
  answer["formatStreams"] = {format(18, "video/mp4; codecs=\"avc1.42001E, mp4a.40.2\"", "360p")};
  for (int i = 0; i < 39; ++i) {
    const std::string type = i % 4 == 0   ? "video/webm; codecs=\"vp9\""
                             : i % 4 == 1 ? "video/mp4; codecs=\"avc1.640028\""
                             : i % 4 == 2 ? "video/mp4; codecs=\"hev1.2.4.L153.B0\""
                                          : "audio/mp4; codecs=\"mp4a.40.2\"";
    answer["adaptiveFormats"].push_back(format(100 + i, type, kLabels[i % 8]));
  }
  return answer.dump();
}

void BM_VideoDecodeAndSelect(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  const remotesource::ScopedVideoCDNDomainSuffix suffix(".cdn.test");
  const std::string body = videoBody();
  for (auto _ : state) {
    const auto document = platform::json::Document::parse(body);
    const auto response = InvidiousVideoSource::VideoResponse::decode(document.root());
    benchmark::DoNotOptimize(InvidiousVideoSource::selectStreams(response, "https://a.remote.test", false, "bench"));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
  state.counters["formats"] = 40;
}
BENCHMARK(BM_VideoDecodeAndSelect);

void BM_VideoPlainJsonParse(benchmark::State& state) {
  const std::string body = videoBody();
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(body));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_VideoPlainJsonParse);

// From the call to the answer of the second instance, the first one failing as scripted.
void failover(benchmark::State& state, const nlohmann::json& rule) {
  platform::log::setStderrEnabled(false);
  std::shared_ptr<InvidiousVideoSource> source;
  for (auto _ : state) {
    state.PauseTiming();
    fake().command({{"fault", "clear"}, {"host", "*"}});
    fake().fault("a.remote.test", "/api/v1/search", rule);
    source = makeSource(std::chrono::milliseconds(5000)); // each round starts on the first instance
    state.ResumeTiming();
    if (search(source).size() != 2) state.SkipWithError("no answer from the second instance");
  }
  fake().command({{"fault", "clear"}, {"host", "*"}});
}

void BM_FailoverOnStall(benchmark::State& state) { failover(state, {{"fault", "stall"}, {"seconds", 30}}); }
BENCHMARK(BM_FailoverOnStall)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_FailoverOn503(benchmark::State& state) { failover(state, {{"fault", "status"}, {"status", 503}}); }
BENCHMARK(BM_FailoverOn503)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

} // namespace

BENCHMARK_MAIN();
