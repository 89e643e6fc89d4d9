#pragma once

// Browsing for tablets: the one Bonjour browser, its failures and the back-off of its rebuilds,
// and the text forms of what it finds. The browser runs on the queue it is started on; this
// side, its events and its hooks belong to the main thread. Which browser is current is told by
// a serial, so a cancelled or replaced browser's late events change nothing.
//
// Make it with std::make_shared: the events it posts to the main thread hold it weakly.

#include "platform/bonjour/ServiceBrowser.hpp"
#include "runtime/Executor.hpp"
#include "runtime/MainThreadTimers.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::link {

// A discovered tablet's versions, from its TXT record.
struct PeerVersionInfo {
  std::optional<std::int64_t> protocolVersion;
  std::optional<std::string> appVersion;

  friend bool operator==(const PeerVersionInfo&, const PeerVersionInfo&) = default;
};

class Discovery : public std::enable_shared_from_this<Discovery> {
public:
  using BrowseResult = platform::bonjour::BrowseResult;
  using Seconds = std::chrono::duration<double>;

  struct Timing {
    Seconds rebuildDelay{2.0}; // the first rebuild after a browser failure
    Seconds rebuildDelayCap{30.0}; // doubling stops here
    Seconds waitingRebuildDelay{10.0};
  };

  // Called on the main thread, for the current browser only.
  struct Hooks {
    // Every result now seen; before the changes are reported one by one.
    std::function<void(const std::vector<BrowseResult>& results)> resultsChanged;
    // A tablet appeared or moved to other interfaces.
    std::function<void(const BrowseResult& result)> peerAppeared;
    // Browsing began or ended; `status` is the text to show, when the change has one.
    std::function<void(bool browsing, std::optional<std::string> status)> browsingChanged;
    // A scheduled rebuild is due.
    std::function<void(std::string_view reason)> rebuildDue;
  };

  struct Dependencies {
    std::function<std::unique_ptr<platform::bonjour::ServiceBrowser>(std::string_view serviceType)> makeBrowser;
    std::shared_ptr<runtime::MainThreadTimers> timers;
    std::string serviceType;
    Timing timing;
    Hooks hooks;
  };

  // `queue`: where the browser runs its handlers.
  Discovery(runtime::Executor queue, Dependencies dependencies);
  // Cancels the browser and any pending rebuild.
  ~Discovery();
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;

  // Main thread. Makes and starts a browser; the caller sees to it that none runs yet.
  void start();
  // Main thread. Cancels the browser and any pending rebuild; its late events change nothing.
  void stop();
  bool isRunning() const noexcept { return browser_ != nullptr; }
  // Main thread. Replaces any pending rebuild.
  void scheduleRebuild(std::string_view reason, Seconds after);
  // The wait before the next rebuild after a failure.
  Seconds rebuildDelay() const noexcept { return rebuildDelay_; }

  // "host:port", or the Bonjour service name.
  static std::string endpointText(const platform::net::Endpoint& endpoint);
  // A TXT "pv" value: optional "+" or "-", then ASCII digits only, within 64 bits; else none.
  static std::optional<std::int64_t> parseProtocolVersion(const std::optional<std::string>& text);
  static PeerVersionInfo peerVersionInfo(const BrowseResult& result);

private:
  void cancelBrowser();
  void handleResults(std::uint64_t serial, const std::vector<BrowseResult>& results,
                     const std::vector<platform::bonjour::BrowseChange>& changes);
  void handleState(std::uint64_t serial, const platform::bonjour::BrowserStateUpdate& update);

  runtime::Executor queue_;
  Dependencies dependencies_;
  std::unique_ptr<platform::bonjour::ServiceBrowser> browser_;
  std::uint64_t serial_ = 0;
  std::unique_ptr<runtime::MainThreadTimers::Timer> rebuildTask_;
  Seconds rebuildDelay_;
};

} // namespace pd::link
