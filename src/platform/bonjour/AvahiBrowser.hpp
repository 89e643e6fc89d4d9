#pragma once

// The Bonjour browser on the system's Avahi daemon. It browses one service type in the default
// domain on every interface and protocol, resolves each instance for its TXT record, and
// gathers the instances into one result per service (see BrowseResultGatherer).
//
// States: ready once the daemon accepted the browse; waiting while no daemon runs (the client
// waits for one to appear); failed when the browse fails or the daemon goes away (a new browser
// then waits for the next daemon); cancelled after cancel().
// The library runs on the executor given to start(); no Avahi type appears here. The browser may
// be destroyed before or after that executor's queue is closed.

#include "platform/bonjour/ServiceBrowser.hpp"

#include <memory>
#include <string>

namespace pd::platform::bonjour {

class AvahiBrowser final : public ServiceBrowser {
public:
  explicit AvahiBrowser(std::string serviceType);
  // Cancels.
  ~AvahiBrowser() override;
  AvahiBrowser(const AvahiBrowser&) = delete;
  AvahiBrowser& operator=(const AvahiBrowser&) = delete;

  void setResultsChangedHandler(ResultsChangedHandler handler) override;
  void setStateUpdateHandler(StateUpdateHandler handler) override;
  void start(runtime::Executor queue) override;
  void cancel() override;

  struct Impl;

private:
  std::shared_ptr<Impl> impl_;
};

} // namespace pd::platform::bonjour
