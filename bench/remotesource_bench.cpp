// The remote video source against the fake server on loopback: a search round trip over HTTPS
// beside a bare libcurl GET of the same address, the search decoding beside a plain JSON parse,
// and the time a failover takes when the first instance stalls (at the real 5 s idle time-out)
// or answers 503. Quote ratios, not absolute times.

#include "platform/http/HttpClient.hpp"
#include "platform/json/Document.hpp"
#include "platform/log/Logger.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
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
    return std::optional(nlohmann::json::parse(
        R"([{"host":"a.remote.test","proxy":"auto"},{"host":"b.remote.test","proxy":"auto"}])"));
  };
  dependencies.storedDefaultFallbackEnabled = [] { return std::optional(nlohmann::json(false)); };
  dependencies.session = client;
  InvidiousVideoSource::Timing timing;
  timing.requestTimeout = timeout;
  return std::make_shared<InvidiousVideoSource>(InvidiousInstanceManager::make(dependencies), client, timing);
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
  for (auto _ : state) benchmark::DoNotOptimize(search(source));
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
  }
}
BENCHMARK(BM_ClientGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

void BM_BareCurlGet(benchmark::State& state) {
  const auto configuration = fake().clientConfiguration();
  const std::string url = "https://a.remote.test/api/v1/search?q=loopback%20bench&type=video";
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
  }
  curl_easy_cleanup(easy);
  curl_slist_free_all(connectTo);
}
BENCHMARK(BM_BareCurlGet)->Unit(benchmark::kMicrosecond)->UseRealTime();

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
