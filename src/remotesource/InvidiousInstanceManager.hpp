#pragma once

#include "remotesource/InvidiousInstance.hpp"
#include "runtime/Actor.hpp"
#include "runtime/Clock.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::http {
class Client;
}
namespace pd::platform::net {
class PathMonitor;
enum class PathStatus : std::uint8_t;
} // namespace pd::platform::net
namespace pd::platform::settings {
class UserDefaults;
}

namespace pd::remotesource {

// Keeps the instance configuration and the live choice of instance: the current instance, health
// checks of all instances, a re-check when the network path returns, and failover for the
// request pipeline. Every method runs on the actor's strand.
class InvidiousInstanceManager final : public runtime::Actor,
                                       public std::enable_shared_from_this<InvidiousInstanceManager> {
public:
  static constexpr std::string_view kUserInstancesKey = "invidiousUserInstances";
  static constexpr std::string_view kDefaultFallbackEnabledKey = "invidiousDefaultFallbackEnabled";

  struct Timing {
    std::chrono::nanoseconds cooldown = std::chrono::seconds(30);
    std::chrono::milliseconds probeTimeout{3000};
  };

  using StoredValue = std::function<std::optional<nlohmann::json>()>;

  struct Dependencies {
    // The stored values under the two keys, read once when the manager is made.
    StoredValue storedUserInstances;
    StoredValue storedDefaultFallbackEnabled;
    // Carries the health probes.
    std::shared_ptr<platform::http::Client> session;
    // Made by startMonitoring(); none: no path monitoring.
    std::function<std::unique_ptr<platform::net::PathMonitor>()> makePathMonitor;
    Timing timing;
  };

  static std::shared_ptr<InvidiousInstanceManager> make(Dependencies dependencies);
  ~InvidiousInstanceManager();

  // --- the rules, usable without a manager and from any thread ---
  static std::string normalizeHost(std::string_view host);
  static bool isValidHost(std::string_view host);
  static std::vector<InvidiousInstance> normalizedUnique(const std::vector<InvidiousInstance>& instances);
  static std::vector<InvidiousInstance> sanitizeUserInstances(const std::vector<InvidiousInstance>& instances);
  static const std::vector<InvidiousInstance>& defaultInstances();
  static const std::set<std::string>& builtInHosts();
  // The stored user list: the JSON array itself; anything else, or one bad element, is empty.
  static std::vector<InvidiousInstance> decodeStoredInstances(const nlohmann::json& stored);
  static nlohmann::json encodeInstances(const std::vector<InvidiousInstance>& instances);
  static std::vector<InvidiousInstance> effectiveList(const std::vector<InvidiousInstance>& userInstances,
                                                      bool defaultFallbackEnabled);

  // --- on the actor ---
  runtime::Awaitable<std::vector<std::string>> effectiveHosts() const;
  runtime::Awaitable<ProxyPolicy> policy(std::string host) const;
  runtime::Awaitable<InvidiousInstance> currentInstance() const;
  runtime::Awaitable<std::vector<InvidiousInstance>> userInstances() const;
  runtime::Awaitable<bool> defaultFallbackEnabled() const;
  runtime::Awaitable<std::int64_t> configGeneration() const;

  runtime::Awaitable<void> setUserInstances(std::vector<InvidiousInstance> instances,
                                            platform::settings::UserDefaults& defaults);
  runtime::Awaitable<void> setDefaultFallbackEnabled(bool enabled, platform::settings::UserDefaults& defaults);
  runtime::Awaitable<void> startMonitoring();
  runtime::Awaitable<std::optional<std::string>> failover(std::set<std::string> excluding);
  runtime::Awaitable<void> runHealthCheck(bool force);
  runtime::Awaitable<void> handlePathUpdate(platform::net::PathStatus status);

  // One probe of one instance; touches nothing of the manager but its session.
  runtime::Awaitable<bool> checkInstance(std::string host) const;

  // Whether startMonitoring() has run; readable from any thread.
  bool isMonitoring() const noexcept;
  // How many entries the effective list holds now; readable from any thread. A call of the
  // request pipeline makes at most this many attempts (without a start host of its own).
  std::size_t effectiveHostCount() const noexcept;

  struct State;

private:
  explicit InvidiousInstanceManager(Dependencies dependencies);
  runtime::Awaitable<void> runHealthCheckOnActor(bool force);
  runtime::Awaitable<void> performHealthCheck();
  void reconcileCurrentInstance();

  Dependencies dependencies_;
  std::unique_ptr<State> state_;
};

} // namespace pd::remotesource
