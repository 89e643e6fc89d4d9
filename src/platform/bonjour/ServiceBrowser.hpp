#pragma once

// Browsing one Bonjour service type. Results are gathered per service: one result names the
// service and lists every interface it was seen on, with its TXT record. Each change of the
// set is reported with the whole new set and the list of what changed.
//
// Handlers run on the executor given to start(). The abstract class lets the link manager's
// browsing logic run against a fake browser in tests; AvahiBrowser is the real one.

#include "platform/bonjour/TxtRecord.hpp"
#include "platform/net/Endpoint.hpp"
#include "platform/net/Interface.hpp"
#include "runtime/Error.hpp"
#include "runtime/Executor.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace pd::platform::bonjour {

struct BrowseResult {
  net::Endpoint endpoint; // the service (a net::ServiceEndpoint)
  std::vector<net::Interface> interfaces; // where it was seen, in the order first seen
  std::optional<TxtRecord> txtRecord; // none when the service gave no TXT record

  friend bool operator==(const BrowseResult&, const BrowseResult&) = default;
};

struct BrowseChange {
  enum class Kind : std::uint8_t { added, removed, changed, identical };
  Kind kind = Kind::identical;
  BrowseResult result; // the new result; for removed, the one that went
  std::optional<BrowseResult> oldResult; // for changed: the result before the change

  friend bool operator==(const BrowseChange&, const BrowseChange&) = default;
};

enum class BrowserState : std::uint8_t { setup, ready, failed, waiting, cancelled };
// "setup", "ready", "failed", "waiting", "cancelled".
std::string_view toString(BrowserState state) noexcept;

struct BrowserStateUpdate {
  BrowserState state = BrowserState::setup;
  std::optional<Error> error; // for failed and waiting
};

class ServiceBrowser {
public:
  using ResultsChangedHandler =
      std::function<void(const std::vector<BrowseResult>& results, const std::vector<BrowseChange>& changes)>;
  using StateUpdateHandler = std::function<void(const BrowserStateUpdate&)>;

  virtual ~ServiceBrowser() = default;

  // An empty handler removes the installed one. An event already on its way may still reach
  // the old handler.
  virtual void setResultsChangedHandler(ResultsChangedHandler handler) = 0;
  virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
  // Only the first call counts.
  virtual void start(runtime::Executor queue) = 0;
  // Stops browsing for good; the state becomes cancelled.
  virtual void cancel() = 0;
};

} // namespace pd::platform::bonjour
