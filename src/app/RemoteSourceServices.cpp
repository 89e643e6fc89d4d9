#include "app/RemoteSourceServices.hpp"

#include "platform/http/HttpClient.hpp"
#include "platform/net/PathMonitor.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"

#include <netinet/in.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>

namespace pd::app {

namespace {

bool isLoopback(const ::sockaddr& address) {
  if (address.sa_family == AF_INET) {
    return (ntohl(reinterpret_cast<const ::sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
  }
  if (address.sa_family == AF_INET6) {
    const auto& ip = reinterpret_cast<const ::sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&ip);
  }
  return false;
}

platform::http::Client::Configuration httpConfiguration() {
  platform::http::Client::Configuration configuration;
  if (const char* connectTo = std::getenv("PALENDRIX_HTTP_CONNECT_TO")) {
    std::istringstream entries(connectTo);
    for (std::string entry; std::getline(entries, entry, ',');) {
      if (!entry.empty()) configuration.connectTo.push_back(entry);
    }
    configuration.connectFilter = isLoopback;
  }
  if (const char* ca = std::getenv("PALENDRIX_HTTP_EXTRA_CA"); ca != nullptr && ca[0] != '\0') {
    configuration.extraCAFile = ca;
  }
  return configuration;
}

} // namespace

std::shared_ptr<platform::http::Client> sharedHttpClient() {
  static const auto client = std::make_shared<platform::http::Client>(httpConfiguration());
  return client;
}

std::shared_ptr<remotesource::InvidiousInstanceManager> sharedInstanceManager() {
  static const auto manager = [] {
    using Manager = remotesource::InvidiousInstanceManager;
    Manager::Dependencies dependencies;
    dependencies.storedUserInstances = [] {
      return platform::UserDefaults::standard().object(Manager::kUserInstancesKey);
    };
    dependencies.storedDefaultFallbackEnabled = [] {
      return platform::UserDefaults::standard().object(Manager::kDefaultFallbackEnabledKey);
    };
    dependencies.session = sharedHttpClient();
    dependencies.makePathMonitor = [] { return platform::net::makeNetlinkPathMonitor(); };
    return Manager::make(std::move(dependencies));
  }();
  return manager;
}

} // namespace pd::app
