// Feeds any route and query to the receiver API's entry, as the HTTP server hands them over,
// with the right token or not, over a real server registry, library and client whose every
// connection is refused on loopback. Every answer must be one JSON object with a status the
// service can give, and every media path it hands out must be held by the retention.
//
// Input: one byte of switches (bit 0: the session token is presented, bit 1: the local folder is
// the search source, bit 2: a folder is chosen), then the route up to the first "\n", then the
// query text as the server parses it.

#include "api/LocalBPMCache.hpp"
#include "mediaserver-harness/OfflineAPI.hpp"
#include "api/ReceiverAPIService.hpp"
#include "api/Retention.hpp"
#include "api/SessionTokenStore.hpp"
#include "deckinput/BPMDetectionResult.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/log/Logger.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "runtime/Task.hpp"
#include "runtime/ThreadPools.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

namespace {

using namespace pd;
using namespace std::chrono_literals;

struct Settings {
  std::mutex mutex;
  std::optional<std::string> source;
  std::optional<std::string> folder;
};

struct Rig {
  Rig() {
    platform::log::setStderrEnabled(false);
    char pattern[] = "/tmp/api-dispatch-fuzz-XXXXXX";
    root = ::mkdtemp(pattern);
    std::filesystem::create_directories(root / "videos");
    for (const char* name : {"clip one.mp4", "clip two.mov", "other.m4v"}) {
      std::ofstream(root / "videos" / name) << "not a video";
    }
    relay::RemoteMediaRelay::Configuration relayConfiguration;
    relayConfiguration.client = tools::refusingClient();
    server = mediaserver::LocalVideoHTTPServer::create(relay::RemoteMediaRelay::create(std::move(relayConfiguration)));
    auto deps = tools::offlineAPIDependencies(server, store,
                                              {[this] {
                                                 const std::scoped_lock lock(settings.mutex);
                                                 return settings.folder;
                                               },
                                               [this] {
                                                 const std::scoped_lock lock(settings.mutex);
                                                 return settings.source;
                                               },
                                               root / "caches"});
    // A detector that answers at once, and short limits, so each input takes milliseconds.
    deps.localBPM =
        api::LocalBPMCache::create({[](std::filesystem::path) -> runtime::Awaitable<deckinput::BPMDetectionResult> {
                                      co_return deckinput::BPMDetectionResult{};
                                    },
                                    {},
                                    {},
                                    {}});
    deps.timing.localSearchLimit = 500ms;
    deps.timing.lookupLimit = 500ms;
    deps.timing.thumbnailLimit = 100ms;
    deps.timing.thumbnailDeadline = 200ms;
    deps.timing.durationLimit = 100ms;
    deps.timing.resolveBPMLimit = 10ms;
    deps.timing.bpmLimit = 10ms;
    deps.timing.guardCheckLimit = 50ms;
    service = api::ReceiverAPIService::create(std::move(deps));
  }

  template <typename T, typename F>
  T run(F body) {
    auto task = runtime::spawn(runtime::sharedPool().executor(), std::move(body));
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    task.state()->onFinish([&] {
      const std::scoped_lock lock(mutex);
      done = true;
      finished.notify_all();
    });
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done; });
    return task.state()->result();
  }

  std::filesystem::path root;
  Settings settings;
  std::shared_ptr<api::SessionTokenStore> store = std::make_shared<api::SessionTokenStore>();
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
  std::shared_ptr<api::ReceiverAPIService> service;
};

// The media paths of an answer: "/"-prefixed values of the keys that carry tokens.
void collectPaths(const nlohmann::json& value, std::set<std::string>& out) {
  if (value.is_object()) {
    for (const auto& [key, item] : value.items()) {
      if ((key == "video" || key == "audio" || key == "thumbnail") && item.is_string()) {
        const auto text = item.get<std::string>();
        if (text.empty() || text[0] != '/') std::abort();
        out.insert(text.substr(1));
      } else {
        collectPaths(item, out);
      }
    }
  } else if (value.is_array()) {
    for (const auto& item : value) collectPaths(item, out);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig rig;
  if (size == 0) return 0;
  const std::uint8_t switches = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto cut = text.find('\n');
  std::string route = text.substr(0, cut);
  auto query = mediaserver::LocalVideoHTTPServer::parseQuery(
      cut == std::string::npos ? std::nullopt : std::optional<std::string>(text.substr(cut + 1)));
  if (switches & 1) query["s"] = rig.store->current().token;
  {
    const std::scoped_lock lock(rig.settings.mutex);
    rig.settings.source = (switches & 2) ? std::optional<std::string>("localFiles") : std::nullopt;
    rig.settings.folder = (switches & 4) ? std::optional<std::string>((rig.root / "videos").string()) : std::nullopt;
  }

  const auto response = rig.run<api::ReceiverAPIResponse>(
      [service = rig.service, route, query]() -> runtime::Awaitable<api::ReceiverAPIResponse> {
        co_return co_await service->handle(route, query);
      });
  static const std::set<std::int64_t> statuses = {200, 400, 403, 404, 500, 502, 503};
  if (!statuses.contains(response.status)) std::abort();
  const auto body = nlohmann::json::parse(response.body.begin(), response.body.end(), nullptr, false);
  if (body.is_discarded() || !body.is_object()) std::abort();

  std::set<std::string> handedOut;
  collectPaths(body, handedOut);
  if (!handedOut.empty()) {
    const auto books = rig.run<api::Retention::Snapshot>(
        [retention = rig.service->retention()]() -> runtime::Awaitable<api::Retention::Snapshot> {
          co_return co_await retention->snapshot();
        });
    std::set<std::string> held;
    for (const auto& item : books.searches) held.insert(item.tokens.begin(), item.tokens.end());
    for (const auto& [deck, items] : books.resolves) {
      for (const auto& item : items) held.insert(item.tokens.begin(), item.tokens.end());
    }
    for (const auto& token : handedOut) {
      if (!held.contains(token)) std::abort();
    }
  }
  return 0;
}
