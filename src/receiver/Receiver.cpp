#include "receiver/Receiver.hpp"

#include "deckinput/OSCServerService.hpp"
#include "deckinput/OSCViewModel.hpp"
#include "diagnostics/LogRing.hpp"
#include "diagnostics/MainStallWatchdog.hpp"
#include "diagnostics/MetricKitObserver.hpp"
#include "diagnostics/SingleInstanceGuard.hpp"
#include "link/ManagerSenderLink.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/http/HttpClient.hpp"
#include "platform/instance/ActivationListener.hpp"
#include "platform/net/PathMonitor.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "receiver/LinkDeckStateSink.hpp"
#include "relay/RelayDiskCache.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Task.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "settings/AppSettings.hpp"

#include <netinet/in.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace pd::receiver {

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

// Test runs of the whole application may send every transfer to loopback:
// PALENDRIX_HTTP_CONNECT_TO holds comma-separated libcurl connect-to entries
// ("host:port:address:port", empty host and port for all), and with it set nothing but loopback
// is connected to; PALENDRIX_HTTP_EXTRA_CA names a PEM CA trusted beside the system's.
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

std::shared_ptr<remotesource::InvidiousInstanceManager>
makeInstanceManager(const std::shared_ptr<platform::http::Client>& session) {
  using Manager = remotesource::InvidiousInstanceManager;
  Manager::Dependencies dependencies;
  dependencies.storedUserInstances = [] {
    return platform::UserDefaults::standard().object(settings::SettingsKey::invidiousUserInstances);
  };
  dependencies.storedDefaultFallbackEnabled = [] {
    return platform::UserDefaults::standard().object(settings::SettingsKey::invidiousDefaultFallbackEnabled);
  };
  dependencies.session = session;
  dependencies.makePathMonitor = [] { return platform::net::makeNetlinkPathMonitor(); };
  return Manager::make(std::move(dependencies));
}

} // namespace

Receiver::Receiver(Dependencies dependencies) : dependencies_(std::move(dependencies)) {
  runtime::MainThread::assertMainThread();
  // The order is part of the behaviour: the guard runs before the log ring starts, so that a
  // second instance neither numbers a launch nor prunes the running one's ring (it records
  // its abort in a folder of its own), and before any service exists, so that it touches
  // none of them. Nothing logged meanwhile is lost: the ring collects from the first line.
  diagnostics::SingleInstanceGuard::acquireOrExit();
  diagnostics::LogRing::shared().start();
  // After the guard: a second instance that gives up there leaves the running one's files alone.
  platform::UserDefaults::standard().removeStaleTemporaryFiles();
  activationListener_ = diagnostics::SingleInstanceGuard::listenForLaterLaunches([this] {
    if (dependencies_.onLaterLaunch) dependencies_.onLaterLaunch();
  });
  if (dependencies_.afterInstanceGuard) dependencies_.afterInstanceGuard();
  // Start-up neither waits for these two nor sees how they end.
  relayDiskCache_ = relay::RelayDiskCache::makeDefault([] {
    return relay::RelayDiskCache::limitForSetting(
        platform::UserDefaults::standard().integer(settings::SettingsKey::relayCacheLimitGB));
  });
  runtime::spawnDetached(runtime::MainThread::executor(), [cache = relayDiskCache_]() -> runtime::Awaitable<void> {
    co_await cache->prepareIfNeeded();
  });
  httpClient_ = std::make_shared<platform::http::Client>(httpConfiguration());
  instanceManager_ = makeInstanceManager(httpClient_);
  runtime::spawnDetached(runtime::MainThread::executor(), [manager = instanceManager_]() -> runtime::Awaitable<void> {
    co_await manager->startMonitoring();
  });
  diagnostics::MetricKitObserver::shared().subscribe();
  diagnostics::MainStallWatchdog::shared().start();
  if (dependencies_.beforeModels) dependencies_.beforeModels();
  // The long-lived models; the broadcaster follows when the main window first needs it.
  auto linkDependencies = link::NetworkManagerForMac::systemDependencies();
  linkDependencies.networkPeerID = [] { return settings::AppSettings::networkPeerID(); };
  linkDependencies.syphonServerName = [] { return settings::AppSettings::syphonServerName(); };
  linkDependencies.appVersion = settings::AppInfo::appVersion();
  linkDependencies.launchID = settings::currentLaunchID();
  linkDependencies.supportedFeatures.assign(settings::supportedFeatures().begin(), settings::supportedFeatures().end());
  connectionManager_ = link::NetworkManagerForMac::create(std::move(linkDependencies));
  deckStateSink_ = std::make_shared<LinkDeckStateSink>(connectionManager_);
  oscServer_ = deckinput::OSCServerService::create();
  oscViewModel_ = std::make_shared<deckinput::OSCViewModel>(oscServer_, deckStateSink_);
}

Receiver::~Receiver() {
  stopListeningForLaterLaunches();
  localVideoBroadcaster_.reset();
  // A frame-sharing job may hold the manager's last reference for a moment; its destruction is
  // then queued on the main thread, which has to run it before the thread's loop goes, or the
  // manager's queues are never joined.
  const std::weak_ptr<const void> managerGone = connectionManager_->lifetime();
  connectionManager_.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!managerGone.expired() && std::chrono::steady_clock::now() < deadline) {
    if (dependencies_.drainMainThread) dependencies_.drainMainThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // It watched the whole stop; its thread must not outlive the program's own end.
  diagnostics::MainStallWatchdog::shared().stop();
  // Last, so that its final flush holds every line of the stop, the watchdog's included.
  diagnostics::LogRing::shared().stop();
}

void Receiver::stopListeningForLaterLaunches() { activationListener_.reset(); }

sender::LocalVideoBroadcaster& Receiver::localVideoBroadcaster() {
  if (!localVideoBroadcaster_) {
    sender::LocalVideoBroadcaster::Dependencies dependencies;
    dependencies.link = std::make_shared<link::ManagerSenderLink>(connectionManager_);
    dependencies.httpClient = httpClient_;
    dependencies.instanceManager = instanceManager_;
    dependencies.relayDiskCache = relayDiskCache_;
    dependencies.relayCacheEnabled = [] { return settings::AppSettings::relayCacheEnabled(); };
    dependencies.searchFolderSetting = [] {
      return platform::UserDefaults::standard().string(settings::SettingsKey::ipadSearchFolder);
    };
    dependencies.searchSourceSetting = [] {
      return platform::UserDefaults::standard().string(settings::SettingsKey::ipadSearchSource);
    };
    localVideoBroadcaster_ = sender::LocalVideoBroadcaster::create(std::move(dependencies));
  }
  return *localVideoBroadcaster_;
}

} // namespace pd::receiver
