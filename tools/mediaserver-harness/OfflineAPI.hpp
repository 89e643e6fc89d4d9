#pragma once

// The API service's references for programs that run it without the network (the harness's API
// mode, the API bench and fuzz target): every connection of its client is refused, so no video
// instance is ever reached; the library searches the given folder as the local search source.

#include "api/HTTPServerPort.hpp"
#include "api/ReceiverAPIService.hpp"
#include "api/SessionTokenStore.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "platform/http/HttpClient.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pd::tools {

struct OfflineSettings {
  // "ipadSearchFolder" and "ipadSearchSource", read at each use.
  std::function<std::optional<std::string>()> folder;
  std::function<std::optional<std::string>()> source = [] { return std::optional<std::string>("localFiles"); };
  std::optional<std::filesystem::path> caches;
};

inline std::shared_ptr<platform::http::Client> refusingClient() {
  platform::http::Client::Configuration refused;
  refused.connectTo = {"::127.0.0.1:1"};
  refused.connectFilter = [](const ::sockaddr&) { return false; };
  return std::make_shared<platform::http::Client>(refused);
}

inline api::ReceiverAPIService::Dependencies
offlineAPIDependencies(std::shared_ptr<mediaserver::LocalVideoHTTPServer> server,
                       std::shared_ptr<api::SessionTokenStore> store, OfflineSettings settings) {
  auto client = refusingClient();
  remotesource::InvidiousInstanceManager::Dependencies managerDependencies;
  managerDependencies.storedUserInstances = [] {
    return std::optional<nlohmann::json>(nlohmann::json::array({{{"host", "localhost"}, {"proxy", "auto"}}}));
  };
  managerDependencies.storedDefaultFallbackEnabled = [] { return std::optional<nlohmann::json>(false); };
  managerDependencies.session = client;
  auto manager = remotesource::InvidiousInstanceManager::make(std::move(managerDependencies));
  auto source = std::make_shared<remotesource::InvidiousVideoSource>(manager, client);
  api::ReceiverAPIService::Dependencies deps;
  deps.preparer =
      std::make_shared<relay::RemoteVideoPreparer>(std::make_shared<api::HTTPServerPort>(server), source, client);
  deps.server = std::move(server);
  deps.source = source;
  deps.instances = manager;
  deps.sessionTokens = std::move(store);
  deps.localLibrary = mediaserver::MacLocalVideoLibrary::create(
      {std::move(settings.folder), std::move(settings.source), std::move(settings.caches), {}, {}});
  return deps;
}

} // namespace pd::tools
