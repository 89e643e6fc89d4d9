#pragma once

// The service as the broadcaster builds it: the real HTTP server, relay, preparer, library and
// Invidious client, the client pointed at the fake remote on loopback (whose addresses the
// injected classifier lets the relay reach). Requests go to the real server with curl, as the
// tablet sends them.

#include "api/HTTPServerPort.hpp"
#include "api/LocalBPMCache.hpp"
#include "api/ReceiverAPIService.hpp"
#include "api/Retention.hpp"
#include "api/SessionTokenStore.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "platform/TestSupport.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/RemoteSourceTestSupport.hpp"
#include "support/Blocking.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace pd::api::test {

// The command's standard output, bytes as they come, and whether it exited with 0.
inline std::pair<std::string, bool> run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {out, false};
  char buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  return {out, ::pclose(pipe) == 0};
}
inline std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

struct Answer {
  int status = 0;
  std::string body;
  nlohmann::json json() const { return nlohmann::json::parse(body); }
};

class APIRig : public remotesource::test::FakeRemoteSuite {
protected:
  void SetUp() override {
    FakeRemoteSuite::SetUp();
    build({});
  }

  // (Re)builds the service with the given timing and seam.
  void build(ReceiverAPIService::Timing timing, ReceiverAPIService::CommitSeam seam = {},
             std::shared_ptr<LocalBPMCache> localBPM = {}) {
    ReceiverAPIService::Dependencies deps;
    deps.server = server_;
    deps.source = source_;
    deps.preparer = preparer_;
    deps.instances = manager_;
    deps.sessionTokens = store_;
    deps.localLibrary = library_;
    deps.timing = timing;
    deps.commitSeam = std::move(seam);
    deps.localBPM = std::move(localBPM);
    service_ = ReceiverAPIService::create(std::move(deps));
    std::weak_ptr<ReceiverAPIService> weak = service_;
    // As the broadcaster does: the longest wait asked at each request.
    server_->setAPIHandler(hook(), [weak] {
      auto service = weak.lock();
      return service ? service->longestWait() : std::chrono::nanoseconds::zero();
    });
    if (port_ == 0) {
      port_ = testing::runBlocking(
          [this]() -> runtime::Awaitable<std::uint16_t> { co_return co_await server_->ensureReady(); });
    }
  }

  // The server's API hook over the current service.
  mediaserver::LocalVideoHTTPServer::APIHandler hook() const {
    return [weak = std::weak_ptr<ReceiverAPIService>(service_)](
               std::string route, std::map<std::string, std::string> query) -> runtime::Awaitable<ReceiverAPIResponse> {
      auto service = weak.lock();
      if (!service) co_return ReceiverAPIResponse{503, {}};
      co_return co_await service->handle(std::move(route), std::move(query));
    };
  }

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  std::string token() const { return store_->current().token; }

  // The route with the query text, "s" set to the current token unless the query has one.
  Answer get(const std::string& route, const std::string& query = "", bool withToken = true) const {
    std::string target = base() + route;
    std::string text = query;
    if (withToken) text = "s=" + token() + (text.empty() ? "" : "&" + text);
    if (!text.empty()) target += "?" + text;
    const auto [out, ok] = run("curl -s -g -w '\\n%{http_code}' " + shellQuoted(target));
    const auto cut = out.rfind('\n');
    Answer answer;
    if (cut == std::string::npos) return answer;
    answer.body = out.substr(0, cut);
    answer.status = std::stoi(out.substr(cut + 1));
    return answer;
  }
  // The bytes served at a path ("/" and a token), and the status.
  std::pair<int, std::string> fetch(const std::string& path) const {
    const auto [out, ok] = run("curl -s -w '\\n%{http_code}' " + shellQuoted(base() + path.substr(1)));
    const auto cut = out.rfind('\n');
    if (cut == std::string::npos) return {0, {}};
    return {std::stoi(out.substr(cut + 1)), out.substr(0, cut)};
  }
  ReceiverAPIResponse handleResponse(std::string route, std::map<std::string, std::string> query) const {
    return testing::runBlocking([service = service_, route, query]() -> runtime::Awaitable<ReceiverAPIResponse> {
      co_return co_await service->handle(route, query);
    });
  }
  Answer handle(std::string route, std::map<std::string, std::string> query) const {
    const auto response = handleResponse(std::move(route), std::move(query));
    return {static_cast<int>(response.status), std::string(response.body.begin(), response.body.end())};
  }
  Retention::Snapshot books() const {
    return testing::runBlocking([retention = service_->retention()]() -> runtime::Awaitable<Retention::Snapshot> {
      co_return co_await retention->snapshot();
    });
  }

  std::shared_ptr<relay::RemoteMediaRelay> relay_ = [this] {
    relay::RemoteMediaRelay::Configuration configuration;
    configuration.client = makeClient();
    configuration.classify = [](const relay::Address&) { return relay::AddressClass::global; };
    return relay::RemoteMediaRelay::create(std::move(configuration));
  }();
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server_ = mediaserver::LocalVideoHTTPServer::create(relay_);
  std::shared_ptr<remotesource::InvidiousInstanceManager> manager_ = makeManager({"localhost"});
  std::shared_ptr<remotesource::InvidiousVideoSource> source_ =
      std::make_shared<remotesource::InvidiousVideoSource>(manager_, makeClient());
  std::shared_ptr<relay::RemoteVideoPreparer> preparer_ = std::make_shared<relay::RemoteVideoPreparer>(
      std::make_shared<HTTPServerPort>(server_), source_, std::make_shared<platform::http::Client>());
  std::shared_ptr<SessionTokenStore> store_ = std::make_shared<SessionTokenStore>();
  testing::TempDirectory folder_;
  testing::TempDirectory caches_;
  std::mutex settingsMutex_;
  std::optional<std::string> searchSource_;
  std::optional<std::string> searchFolder_;
  // The library's next file operation takes this long, as on a slow mount.
  std::atomic<std::chrono::nanoseconds> nextFileWorkDelay_{std::chrono::nanoseconds::zero()};
  void beforeFileWork() { std::this_thread::sleep_for(nextFileWorkDelay_.exchange(std::chrono::nanoseconds::zero())); }
  std::shared_ptr<mediaserver::MacLocalVideoLibrary> library_ =
      mediaserver::MacLocalVideoLibrary::create({[this] {
                                                   const std::scoped_lock lock(settingsMutex_);
                                                   return searchFolder_;
                                                 },
                                                 [this] {
                                                   const std::scoped_lock lock(settingsMutex_);
                                                   return searchSource_;
                                                 },
                                                 caches_.path(),
                                                 {},
                                                 [this] { beforeFileWork(); }});
  std::shared_ptr<ReceiverAPIService> service_;
  std::uint16_t port_ = 0;

  void setSearchSource(std::optional<std::string> value) {
    const std::scoped_lock lock(settingsMutex_);
    searchSource_ = std::move(value);
  }
  void setSearchFolder(std::optional<std::string> value) {
    const std::scoped_lock lock(settingsMutex_);
    searchFolder_ = std::move(value);
  }
};

} // namespace pd::api::test
