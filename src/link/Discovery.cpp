#include "link/Discovery.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "link/ManagerText.hpp"
#include "platform/log/Utf8.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"

#include <limits>
#include <utility>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using platform::bonjour::BrowseChange;
using platform::bonjour::BrowserState;
using platform::bonjour::BrowserStateUpdate;

Discovery::Discovery(runtime::Executor queue, Dependencies dependencies)
    : queue_(std::move(queue)),
      dependencies_(std::move(dependencies)),
      rebuildDelay_(dependencies_.timing.rebuildDelay) {}

Discovery::~Discovery() {
  rebuildTask_.reset();
  cancelBrowser();
}

void Discovery::cancelBrowser() {
  if (!browser_) return;
  browser_->setResultsChangedHandler(nullptr);
  browser_->setStateUpdateHandler(nullptr);
  browser_->cancel();
  browser_.reset();
}

void Discovery::start() {
  // The browse parameters: no peer-to-peer links, interactive video; the daemon browses every
  // interface.
  Log::network().debug("browse_params scope=all");
  auto browser = dependencies_.makeBrowser(dependencies_.serviceType);
  const std::uint64_t serial = ++serial_;
  std::weak_ptr<Discovery> weak = weak_from_this();
  browser->setResultsChangedHandler(
      [weak, serial](const std::vector<BrowseResult>& results, const std::vector<BrowseChange>& changes) {
        if (weak.expired()) return;
        runtime::MainThread::post(runtime::weakCallback(
            weak, [serial, results, changes](Discovery& self) { self.handleResults(serial, results, changes); }));
      });
  browser->setStateUpdateHandler([weak, serial](const BrowserStateUpdate& update) {
    if (weak.expired()) return;
    runtime::MainThread::post(
        runtime::weakCallback(weak, [serial, update](Discovery& self) { self.handleState(serial, update); }));
  });
  browser_ = std::move(browser);
  browser_->start(queue_);
  Log::network().notice("browse_start type=%{public}s", dependencies_.serviceType);
}

void Discovery::stop() {
  runtime::MainThread::assertMainThread();
  rebuildTask_.reset();
  cancelBrowser();
}

void Discovery::scheduleRebuild(std::string_view reason, Seconds after) {
  runtime::MainThread::assertMainThread();
  rebuildTask_.reset();
  rebuildTask_ = dependencies_.timers->schedule(
      after, runtime::weakCallback(weak_from_this(), [reason = std::string(reason)](Discovery& self) {
        self.rebuildTask_.reset();
        self.dependencies_.hooks.rebuildDue(reason);
      }));
}

void Discovery::handleResults(std::uint64_t serial, const std::vector<BrowseResult>& results,
                              const std::vector<BrowseChange>& changes) {
  if (!browser_ || serial != serial_) return;
  const auto& hooks = dependencies_.hooks;
  hooks.resultsChanged(results);
  for (const auto& change : changes) {
    switch (change.kind) {
    case BrowseChange::Kind::added:
      Log::network().notice("bonjour_found name=%{private,mask.hash}s", endpointText(change.result.endpoint));
      hooks.peerAppeared(change.result);
      break;
    case BrowseChange::Kind::removed:
      Log::network().notice("bonjour_lost name=%{private,mask.hash}s", endpointText(change.result.endpoint));
      break;
    case BrowseChange::Kind::changed: {
      const std::string oldInterfaces = change.oldResult ? interfaceNames(change.oldResult->interfaces) : std::string();
      Log::network().notice("route_change source=bonjour name=%{private,mask.hash}s old_ifaces=%{public}s",
                            endpointText(change.result.endpoint), oldInterfaces);
      hooks.peerAppeared(change.result);
      break;
    }
    case BrowseChange::Kind::identical: break;
    }
  }
}

void Discovery::handleState(std::uint64_t serial, const BrowserStateUpdate& update) {
  if (!browser_ || serial != serial_) return;
  const auto& timing = dependencies_.timing;
  const auto& hooks = dependencies_.hooks;
  switch (update.state) {
  case BrowserState::ready:
    Log::network().notice("browse_ready");
    hooks.browsingChanged(true, std::string("検索中..."));
    rebuildDelay_ = timing.rebuildDelay;
    rebuildTask_.reset();
    break;
  case BrowserState::failed: {
    const auto fields = LogErrorFields::fields(errorOrUnknown(update.error), true);
    Log::network().error("browse_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                         fields.detail);
    hooks.browsingChanged(false, "エラー: " + errorTextOrUnknown(update.error));
    const Seconds delay = rebuildDelay_;
    const Seconds doubled = 2 * delay;
    rebuildDelay_ = doubled > timing.rebuildDelayCap ? timing.rebuildDelayCap : doubled;
    scheduleRebuild("failed", delay);
    break;
  }
  case BrowserState::waiting: {
    const auto fields = LogErrorFields::fields(errorOrUnknown(update.error), true);
    Log::network().notice("browse_waiting err_domain=%{public}s err_code=%ld", fields.domain, fields.code);
    hooks.browsingChanged(false, std::nullopt);
    if (!rebuildTask_) scheduleRebuild("waiting", timing.waitingRebuildDelay);
    break;
  }
  case BrowserState::cancelled:
    Log::network().notice("browse_stop reason=cancelled");
    hooks.browsingChanged(false, std::nullopt);
    break;
  case BrowserState::setup: break;
  }
}

// --- Text forms ----------------------------------------------------------------------------------

std::string Discovery::endpointText(const platform::net::Endpoint& endpoint) {
  if (const auto* hostPort = std::get_if<platform::net::HostPort>(&endpoint)) {
    return hostPort->host + ":" + std::to_string(hostPort->port);
  }
  return std::get<platform::net::ServiceEndpoint>(endpoint).name;
}

std::optional<std::int64_t> Discovery::parseProtocolVersion(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string_view digits(*text);
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  // Accumulated as a negative number, which reaches the one value whose magnitude has no
  // positive counterpart.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == kMin) return std::nullopt;
  return -value;
}

PeerVersionInfo Discovery::peerVersionInfo(const BrowseResult& result) {
  PeerVersionInfo info;
  if (!result.txtRecord) return info;
  info.protocolVersion = parseProtocolVersion(result.txtRecord->value("pv"));
  if (auto app = result.txtRecord->value("app")) {
    // Shown in labels: whatever the network sent becomes valid text.
    info.appVersion = platform::log::toValidUtf8(*app);
  }
  return info;
}

} // namespace pd::link
