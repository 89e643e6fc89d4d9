#include "remotesource/InvidiousInstanceManager.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/http/HttpClient.hpp"
#include "platform/net/PathMonitor.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

#include <atomic>
#include <map>

namespace pd::remotesource {

using diagnostics::Log;
using platform::net::PathStatus;

namespace {
// The probe only looks at the status; a little of the body is read before the transfer stops.
constexpr std::size_t kProbeBodyBytes = 16 * 1024;
} // namespace

struct InvidiousInstanceManager::State {
  std::vector<InvidiousInstance> userInstances;
  bool defaultFallbackEnabled = true;
  InvidiousInstance currentInstance;
  std::int64_t configGeneration = 0;
  std::atomic<bool> isMonitoring{false};
  // The effective list's length, for readers off the actor; written wherever the list may change.
  std::atomic<std::size_t> effectiveCount{0};
  std::optional<runtime::Clock::MonotonicTime> lastHealthCheckAt;
  std::optional<runtime::Task<void>> ongoingHealthCheckTask;
  std::optional<PathStatus> lastPathStatus;
  std::unique_ptr<platform::net::PathMonitor> networkMonitor;

  std::vector<InvidiousInstance> effective() const { return effectiveList(userInstances, defaultFallbackEnabled); }
};

std::shared_ptr<InvidiousInstanceManager> InvidiousInstanceManager::make(Dependencies dependencies) {
  return std::shared_ptr<InvidiousInstanceManager>(new InvidiousInstanceManager(std::move(dependencies)));
}

InvidiousInstanceManager::InvidiousInstanceManager(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), state_(std::make_unique<State>()) {
  if (dependencies_.storedUserInstances) {
    if (const auto stored = dependencies_.storedUserInstances()) state_->userInstances = decodeStoredInstances(*stored);
  }
  if (dependencies_.storedDefaultFallbackEnabled) {
    const auto stored = dependencies_.storedDefaultFallbackEnabled();
    state_->defaultFallbackEnabled = !(stored && stored->is_boolean()) || stored->get<bool>();
  }
  const auto list = state_->effective();
  state_->effectiveCount.store(list.size());
  state_->currentInstance = list.front();
}

InvidiousInstanceManager::~InvidiousInstanceManager() = default;

bool InvidiousInstanceManager::isMonitoring() const noexcept { return state_->isMonitoring.load(); }

std::size_t InvidiousInstanceManager::effectiveHostCount() const noexcept { return state_->effectiveCount.load(); }

runtime::Awaitable<std::vector<std::string>> InvidiousInstanceManager::effectiveHosts() const {
  return onActor([this] {
    std::vector<std::string> hosts;
    for (const auto& instance : state_->effective()) hosts.push_back(instance.host);
    return hosts;
  });
}

runtime::Awaitable<ProxyPolicy> InvidiousInstanceManager::policy(std::string host) const {
  return onActor([this, host = std::move(host)] {
    for (const auto& instance : state_->effective()) {
      if (instance.host == host) return instance.proxy;
    }
    return ProxyPolicy::automatic;
  });
}

runtime::Awaitable<InvidiousInstance> InvidiousInstanceManager::currentInstance() const {
  return onActor([this] { return state_->currentInstance; });
}

runtime::Awaitable<std::vector<InvidiousInstance>> InvidiousInstanceManager::userInstances() const {
  return onActor([this] { return state_->userInstances; });
}

runtime::Awaitable<bool> InvidiousInstanceManager::defaultFallbackEnabled() const {
  return onActor([this] { return state_->defaultFallbackEnabled; });
}

runtime::Awaitable<std::int64_t> InvidiousInstanceManager::configGeneration() const {
  return onActor([this] { return state_->configGeneration; });
}

void InvidiousInstanceManager::reconcileCurrentInstance() {
  const auto list = state_->effective();
  state_->effectiveCount.store(list.size());
  for (const auto& instance : list) {
    if (instance.host == state_->currentInstance.host) {
      state_->currentInstance = instance;
      return;
    }
  }
  state_->currentInstance = list.front();
}

runtime::Awaitable<void> InvidiousInstanceManager::setUserInstances(std::vector<InvidiousInstance> instances,
                                                                    platform::settings::UserDefaults& defaults) {
  return onActor([this, instances = std::move(instances), &defaults]() -> runtime::Awaitable<void> {
    state_->userInstances = sanitizeUserInstances(instances);
    defaults.setObject(kUserInstancesKey, encodeInstances(state_->userInstances));
    Log::source().notice("user_instances_update count=%ld", state_->userInstances.size());
    ++state_->configGeneration;
    reconcileCurrentInstance();
    co_await runHealthCheckOnActor(true);
  });
}

runtime::Awaitable<void>
InvidiousInstanceManager::setDefaultFallbackEnabled(bool enabled, platform::settings::UserDefaults& defaults) {
  return onActor([this, enabled, &defaults]() -> runtime::Awaitable<void> {
    if (enabled == state_->defaultFallbackEnabled) co_return;
    state_->defaultFallbackEnabled = enabled;
    defaults.set(kDefaultFallbackEnabledKey, enabled);
    Log::source().notice("default_fallback_set enabled=%{bool}d", enabled);
    ++state_->configGeneration;
    reconcileCurrentInstance();
    co_await runHealthCheckOnActor(true);
  });
}

runtime::Awaitable<void> InvidiousInstanceManager::startMonitoring() {
  return onActor([this] {
    if (state_->isMonitoring.exchange(true)) return;
    auto self = shared_from_this();
    if (dependencies_.makePathMonitor) {
      state_->networkMonitor = dependencies_.makePathMonitor();
      std::weak_ptr<InvidiousInstanceManager> weak = self;
      state_->networkMonitor->start([weak](PathStatus status) {
        auto manager = weak.lock();
        if (!manager) return;
        // Spawned in arrival order on the actor, so a loss is never handled after the recovery behind it.
        runtime::spawnDetached(manager->executor(), [manager, status]() -> runtime::Awaitable<void> {
          co_await manager->handlePathUpdate(status);
        });
      });
    }
    runtime::spawnDetached(executor(), [self]() -> runtime::Awaitable<void> { co_await self->runHealthCheck(false); });
  });
}

runtime::Awaitable<std::optional<std::string>> InvidiousInstanceManager::failover(std::set<std::string> excluding) {
  return onActor([this, excluding = std::move(excluding)]() -> std::optional<std::string> {
    const auto list = state_->effective();
    for (const auto& instance : list) {
      if (excluding.contains(instance.host)) continue;
      if (instance.host != state_->currentInstance.host) {
        Log::source().notice("instance_switch from=%{public}s to=%{public}s policy=%{public}s reason=failover",
                             state_->currentInstance.host, instance.host, rawValue(instance.proxy));
      }
      state_->currentInstance = instance;
      return "https://" + instance.host;
    }
    Log::source().error("all_instances_fail total=%ld tried=%ld", list.size(), excluding.size());
    return std::nullopt;
  });
}

runtime::Awaitable<void> InvidiousInstanceManager::runHealthCheck(bool force) {
  return onActor([this, force]() -> runtime::Awaitable<void> { co_await runHealthCheckOnActor(force); });
}

runtime::Awaitable<void> InvidiousInstanceManager::runHealthCheckOnActor(bool force) {
  auto self = shared_from_this(); // the check may outlive every other owner
  for (;;) {
    if (state_->ongoingHealthCheckTask) {
      const auto running = *state_->ongoingHealthCheckTask;
      try {
        co_await running.value();
      } catch (...) {
        // A check ends without a value only when the process is shutting its queues down.
      }
      if (state_->ongoingHealthCheckTask && state_->ongoingHealthCheckTask->state() == running.state()) {
        state_->ongoingHealthCheckTask.reset();
      }
      if (!force) co_return;
      continue;
    }
    if (!force && state_->lastHealthCheckAt) {
      const auto elapsed = runtime::Clock::current().monotonic() - *state_->lastHealthCheckAt;
      if (elapsed < dependencies_.timing.cooldown) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::seconds>(dependencies_.timing.cooldown - elapsed);
        Log::source().notice("health_check_skip reason=cooldown remaining_s=%ld", remaining.count());
        co_return;
      }
    }
    auto check =
        runtime::spawn(executor(), [self]() -> runtime::Awaitable<void> { co_await self->performHealthCheck(); });
    state_->ongoingHealthCheckTask = check;
    try {
      co_await check.value();
    } catch (...) {}
    if (state_->ongoingHealthCheckTask && state_->ongoingHealthCheckTask->state() == check.state()) {
      state_->ongoingHealthCheckTask.reset();
    }
    co_return;
  }
}

runtime::Awaitable<void> InvidiousInstanceManager::performHealthCheck() {
  const auto entries = state_->effective();
  const auto generation = state_->configGeneration;
  Log::source().debug("health_check_start hosts=%ld", entries.size());

  // Every probe at once, off the actor, so the network waits never hold it.
  std::vector<runtime::Task<bool>> probes;
  auto self = shared_from_this();
  for (const auto& entry : entries) {
    probes.push_back(
        runtime::spawn(runtime::sharedPool().executor(), [self, host = entry.host]() -> runtime::Awaitable<bool> {
          co_return co_await self->checkInstance(host);
        }));
  }
  std::map<std::string, bool> healthy;
  std::size_t healthyCount = 0;
  for (std::size_t i = 0; i < probes.size(); ++i) {
    bool ok = false;
    try {
      ok = co_await probes[i].value();
    } catch (...) {}
    healthy[entries[i].host] = ok;
    healthyCount += ok ? 1 : 0;
  }
  Log::source().notice("health_check healthy=%ld total=%ld", healthyCount, entries.size());

  if (state_->configGeneration != generation) {
    Log::source().notice("health_check_skip reason=stale_config remaining_s=0");
    co_return;
  }
  for (const auto& entry : entries) {
    if (!healthy[entry.host]) continue;
    if (entry.host != state_->currentInstance.host) {
      Log::source().notice("instance_switch from=%{public}s to=%{public}s policy=%{public}s reason=health_check",
                           state_->currentInstance.host, entry.host, rawValue(entry.proxy));
    }
    state_->currentInstance = entry;
    state_->lastHealthCheckAt = runtime::Clock::current().monotonic();
    co_return;
  }
  Log::source().error("all_instances_fail total=%ld", entries.size());
}

runtime::Awaitable<bool> InvidiousInstanceManager::checkInstance(std::string host) const {
  const std::string address = "https://" + host + "/api/v1/stats";
  if (!boost::urls::parse_uri(address) || !dependencies_.session) co_return false;
  platform::http::Request request;
  request.url = address;
  request.totalTimeout = dependencies_.timing.probeTimeout;
  std::size_t received = 0;
  try {
    const auto response =
        co_await dependencies_.session->stream(std::move(request), [&received](std::string_view piece) {
          received += piece.size();
          return received < kProbeBodyBytes;
        });
    const bool ok = response.status >= 200 && response.status <= 299;
    Log::source().debug("instance_check host=%{public}s ok=%{bool}d", host, ok);
    co_return ok;
  } catch (const runtime::CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    const auto fields = diagnostics::LogErrorFields::fields(error, true);
    Log::source().debug("instance_check host=%{public}s ok=false err_domain=%{public}s err_code=%ld error=%s", host,
                        fields.domain, fields.code, fields.detail);
  }
  co_return false;
}

runtime::Awaitable<void> InvidiousInstanceManager::handlePathUpdate(PathStatus status) {
  return onActor([this, status]() -> runtime::Awaitable<void> {
    const auto previous = state_->lastPathStatus;
    state_->lastPathStatus = status;
    if (status != PathStatus::satisfied) {
      Log::source().notice("path_lost");
      co_return;
    }
    if (!previous || *previous == PathStatus::satisfied) co_return;
    Log::source().notice("path_recovered");
    co_await runHealthCheckOnActor(false);
  });
}

} // namespace pd::remotesource
