#pragma once

// The one UDP link to the tablet, on the main thread: opening it over the chosen interface on
// the network queue, closing it so that nothing of it reports again, the time limit of an
// attempt, and what the logs say about its path.

#include "platform/net/DatagramLink.hpp"
#include "runtime/Executor.hpp"
#include "runtime/MainThreadTimers.hpp"
#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace pd::link {

class LinkConnection {
public:
  using LinkPointer = std::shared_ptr<platform::net::DatagramLink>;
  using MakeLink = std::function<LinkPointer(const platform::net::Endpoint& endpoint,
                                             const platform::net::LinkParameters& parameters)>;

  // `queue`: where the link runs its handlers and receives.
  LinkConnection(runtime::Executor queue, MakeLink makeLink, std::shared_ptr<runtime::MainThreadTimers> timers);
  // Closes the link and drops the time limit.
  ~LinkConnection();
  LinkConnection(const LinkConnection&) = delete;
  LinkConnection& operator=(const LinkConnection&) = delete;

  // The parameters of a link over `interface`: that interface only, no peer-to-peer links,
  // interactive video.
  static platform::net::LinkParameters parameters(const platform::net::Interface& interface);
  // Makes and starts the link; its state updates reach `stateHandler` on the network queue. The
  // caller has closed any earlier link.
  void open(const platform::net::Endpoint& endpoint, const platform::net::LinkParameters& parameters,
            platform::net::DatagramLink::StateHandler stateHandler);
  // Removes the state handler, cancels and drops the link. True when there was one.
  bool close();
  // The current link; null when there is none.
  const LinkPointer& link() const noexcept { return link_; }
  bool isReady() const;
  // The path's endpoints, "host:port" each, "-" where the path has no numeric one.
  std::pair<std::string, std::string> readyEndpoints() const;
  // Writes the path's status, endpoints and interfaces (debug).
  void logPath() const;

  // The attempt's time limit: `fire` runs on the main thread after `duration` unless the limit
  // is replaced or invalidated first.
  void armTimeout(std::chrono::duration<double> duration, runtime::UniqueFunction<void()> fire);
  void invalidateTimeout() { timeout_.reset(); }

private:
  runtime::Executor queue_;
  MakeLink makeLink_;
  std::shared_ptr<runtime::MainThreadTimers> timers_;
  LinkPointer link_;
  std::unique_ptr<runtime::MainThreadTimers::Timer> timeout_;
};

} // namespace pd::link
