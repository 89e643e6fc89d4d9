#include "app/AppDelegate.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogRing.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "relay/RelayDiskCache.hpp"
#include "runtime/MainThread.hpp"
#include "settings/AppSettings.hpp"

#include <QTimer>

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace pd::app {

namespace {

AppDelegate::ProcessExit& installedExit() {
  static AppDelegate::ProcessExit exit;
  return exit;
}

std::string joinedFeatures() {
  std::string text;
  for (const auto word : settings::supportedFeatures()) {
    if (!text.empty()) {
      text += ',';
    }
    text += word;
  }
  return text;
}

} // namespace

AppDelegate::AppDelegate(std::filesystem::path thermalRoot, QObject* parent)
    : QObject(parent),
      thermalRoot_(std::move(thermalRoot)),
      thermalMonitor_(std::make_unique<platform::thermal::ThermalMonitor>(thermalRoot_)),
      lastThermalLabel_(platform::thermal::label(thermalMonitor_->state())) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() { configureAfterLaunch(); }

void AppDelegate::configureAfterLaunch() {
  runtime::MainThread::assertMainThread();
  // The kernel offers no change notification for thermal zones: poll on the main thread.
  // The connection ends with the delegate, so no late change can reach a delegate that is gone.
  thermalObserver_.emplace(thermalMonitor_->connectChanged(
      [this](platform::thermal::ThermalState, platform::thermal::ThermalState) { thermalStateDidChange(); }));
  if (thermalTimer_ == nullptr) {
    thermalTimer_ = new QTimer(this);
    thermalTimer_->setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(platform::thermal::kPollInterval));
    connect(thermalTimer_, &QTimer::timeout, this, [this] { thermalMonitor_->poll(); });
    thermalTimer_->start();
  }
  // Automatic and sudden termination have no counterpart on Linux: nothing ends us behind our
  // back while we receive video.

  diagnostics::Log::app().notice("app_ready background_mode=enabled");

  const std::int64_t rev = settings::nextConfigSnapshotRevision();
  const settings::ServerConfiguration osc = settings::AppSettings::oscConfiguration();
  diagnostics::Log::osc().notice("config_snapshot snapshot_rev=%ld host=%{public}s port=%hu", rev, osc.host, osc.port);
  diagnostics::Log::syphon().notice("config_snapshot snapshot_rev=%ld server_name=%{public}s", rev,
                                    settings::AppSettings::syphonServerName());
  const std::string thermal(platform::thermal::label(platform::thermal::readThermalState(thermalRoot_)));
  diagnostics::Log::network().notice("config_snapshot snapshot_rev=%ld pv=%ld features=%{public}s thermal=%{public}s",
                                     rev, link::NetworkManagerForMac::protocolVersion, joinedFeatures(), thermal);
}

void AppDelegate::thermalStateDidChange() {
  const std::string to(platform::thermal::label(thermalMonitor_->state()));
  diagnostics::Log::app().notice("thermal_state from=%{public}s to=%{public}s", lastThermalLabel_, to);
  lastThermalLabel_ = to;
}

void AppDelegate::applicationShouldTerminate() {
  runtime::MainThread::assertMainThread();
  relay::RelayDiskCache::purgeAtExit(relay::RelayDiskCache::defaultDirectory());
  diagnostics::LogRing::shared().markTerminal();
  exitProcess(0);
}

void AppDelegate::setProcessExit(ProcessExit exit) { installedExit() = std::move(exit); }

void AppDelegate::exitProcess(int status) {
  if (const auto& exit = installedExit()) {
    exit(status);
    return;
  }
  std::fflush(nullptr);
  ::_exit(status);
}

} // namespace pd::app
