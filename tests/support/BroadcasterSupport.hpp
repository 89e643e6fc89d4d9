#pragma once

// A broadcaster as the composition root builds it, over a given link manager, for tests and
// benchmarks that need the real one: its own HTTP client and instance manager,
// no disk cache, and caches in a folder of the test's choosing.

#include "link/ManagerSenderLink.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/http/HttpClient.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "sender/LocalVideoBroadcaster.hpp"

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace pd::testing {

inline sender::LocalVideoBroadcaster::Dependencies
broadcasterDependencies(std::shared_ptr<link::SenderLink> link, std::filesystem::path caches,
                        platform::http::Client::Configuration client = {},
                        std::optional<std::string> onlyInstance = std::nullopt) {
  auto session = std::make_shared<platform::http::Client>(std::move(client));
  remotesource::InvidiousInstanceManager::Dependencies instances;
  // With onlyInstance: that host alone (policy auto), no built-in fallback.
  instances.storedUserInstances = [onlyInstance] {
    return onlyInstance ? std::optional(nlohmann::json::array({{{"host", *onlyInstance}, {"proxy", "auto"}}}))
                        : std::optional<nlohmann::json>();
  };
  instances.storedDefaultFallbackEnabled = [onlyInstance] {
    return onlyInstance ? std::optional<nlohmann::json>(false) : std::optional<nlohmann::json>();
  };
  instances.session = session;
  sender::LocalVideoBroadcaster::Dependencies dependencies;
  dependencies.link = std::move(link);
  dependencies.httpClient = session;
  dependencies.instanceManager = remotesource::InvidiousInstanceManager::make(std::move(instances));
  dependencies.relayCacheEnabled = [] { return false; };
  dependencies.searchFolderSetting = [] { return std::optional<std::string>(); };
  dependencies.searchSourceSetting = [] { return std::optional<std::string>(); };
  dependencies.cachesDirectory = std::move(caches);
  return dependencies;
}

// Caches under the system's temporary folder, one folder per process.
inline std::shared_ptr<sender::LocalVideoBroadcaster>
makeBroadcaster(const std::shared_ptr<link::NetworkManagerForMac>& manager) {
  const auto caches = std::filesystem::temp_directory_path() / ("pd-broadcaster-" + std::to_string(::getpid()));
  return sender::LocalVideoBroadcaster::create(
      broadcasterDependencies(std::make_shared<link::ManagerSenderLink>(manager), caches));
}

} // namespace pd::testing
