// The API's local search through handle() beside the library's own search, on a folder of
// 5,000 videos whose thumbnails are already made: one request at a time and 200 at once. The
// ratio counter is the API's time per search over the library's.

#include "mediaserver-harness/OfflineAPI.hpp"
#include "platform/log/Logger.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "runtime/Task.hpp"
#include "runtime/ThreadPools.hpp"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>

namespace {

using namespace pd;
using Library = mediaserver::MacLocalVideoLibrary;

template <typename T>
bool waitAll(const std::vector<runtime::Task<T>>& tasks) {
  std::mutex lock;
  std::condition_variable done;
  std::size_t left = tasks.size();
  for (const auto& task : tasks) {
    task.state()->onFinish([&] {
      const std::scoped_lock guard(lock);
      if (--left == 0) done.notify_all();
    });
  }
  std::unique_lock guard(lock);
  done.wait(guard, [&] { return left == 0; });
  return true;
}

template <typename F>
auto blockOn(F body) {
  std::vector<decltype(runtime::spawn(runtime::sharedPool().executor(), std::move(body)))> tasks{
      runtime::spawn(runtime::sharedPool().executor(), std::move(body))};
  waitAll(tasks);
  return tasks[0].state()->result();
}

// 5,000 links to one short clip in 50 folders, the service over them, thumbnails made once.
struct Rig {
  Rig() {
    platform::log::setStderrEnabled(false);
    std::string pattern = (std::filesystem::temp_directory_path() / "pd-api-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    const auto clip = root / "clip.mp4";
    const std::string make = "ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=rate=25:size=320x240 -t 1 "
                             "-c:v libx264 -pix_fmt yuv420p '" +
                             clip.string() + "'";
    if (std::system(make.c_str()) != 0) std::abort();
    for (int d = 0; d < 50; ++d) {
      const auto folder = root / "videos" / ("folder " + std::to_string(d));
      std::filesystem::create_directories(folder);
      for (int f = 0; f < 100; ++f) {
        std::filesystem::create_hard_link(clip, folder / ("item " + std::to_string(f) + ".mp4"));
      }
    }
    relay::RemoteMediaRelay::Configuration relayConfiguration;
    relayConfiguration.client = tools::refusingClient();
    server = mediaserver::LocalVideoHTTPServer::create(relay::RemoteMediaRelay::create(std::move(relayConfiguration)));
    auto deps = tools::offlineAPIDependencies(
        server, store,
        {[folder = (root / "videos").string()] { return std::optional<std::string>(folder); },
         [] { return std::optional<std::string>("localFiles"); }, root / "caches"});
    library = deps.localLibrary;
    service = api::ReceiverAPIService::create(std::move(deps));
    // Warm: the scan and the 50 thumbnails of the query's answer.
    if (search().status != 200) std::abort();
  }
  ~Rig() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  // The query as the tablet sends it.
  std::map<std::string, std::string> query() const { return {{"s", store->current().token}, {"q", "item"}}; }
  api::ReceiverAPIResponse search() {
    return blockOn([service = service, query = query()]() -> runtime::Awaitable<api::ReceiverAPIResponse> {
      co_return co_await service->handle("search", query);
    });
  }

  std::filesystem::path root;
  std::shared_ptr<api::SessionTokenStore> store = std::make_shared<api::SessionTokenStore>();
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
  std::shared_ptr<Library> library;
  std::shared_ptr<api::ReceiverAPIService> service;
};

Rig& rig() {
  static Rig instance;
  return instance;
}

double librarySecondsPerSearch = 0;

void BM_LibrarySearch(benchmark::State& state) {
  auto& r = rig();
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto entries = blockOn([library = r.library]() -> runtime::Awaitable<std::vector<Library::Entry>> {
      co_return co_await library->search("item");
    });
    benchmark::DoNotOptimize(entries);
  }
  librarySecondsPerSearch = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                            static_cast<double>(state.iterations());
}
BENCHMARK(BM_LibrarySearch)->Unit(benchmark::kMillisecond)->UseRealTime();

// range(0) requests at once through handle(); time per request.
void BM_HandleSearch(benchmark::State& state) {
  auto& r = rig();
  const auto concurrent = static_cast<std::size_t>(state.range(0));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    std::vector<runtime::Task<api::ReceiverAPIResponse>> tasks;
    for (std::size_t i = 0; i < concurrent; ++i) {
      tasks.push_back(
          runtime::spawn(runtime::sharedPool().executor(),
                         [service = r.service, query = r.query()]() -> runtime::Awaitable<api::ReceiverAPIResponse> {
                           co_return co_await service->handle("search", query);
                         }));
    }
    waitAll(tasks);
    for (const auto& task : tasks) {
      if (task.state()->result().status != 200) state.SkipWithError("search failed");
    }
  }
  const double perRequest = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                            static_cast<double>(state.iterations() * concurrent);
  state.counters["ms_per_request"] = perRequest * 1000.0;
  if (librarySecondsPerSearch > 0) state.counters["ratio_to_library"] = perRequest / librarySecondsPerSearch;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * concurrent));
}
BENCHMARK(BM_HandleSearch)->Arg(1)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
