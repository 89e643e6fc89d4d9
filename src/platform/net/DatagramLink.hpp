#pragma once

// One datagram link to one peer, with the life cycle the link manager drives:
//
//   setup --start()--> preparing --resolved, socket ready--> ready
//                          |                                   |
//                          +--> waiting (peer not resolvable)  +--> failed (fatal socket error)
//   any state --cancel()--> cancelled
//
// The state handler and every completion run on the executor given to start(). The operations
// may be called from any thread; they hand their work to that executor. The abstract class lets
// the link manager's state machines run against a fake link in tests.

#include "platform/net/Endpoint.hpp"
#include "platform/net/Interface.hpp"
#include "runtime/Error.hpp"
#include "runtime/Executor.hpp"
#include "runtime/UniqueFunction.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace pd::platform::net {

enum class LinkState : std::uint8_t { setup, waiting, preparing, ready, failed, cancelled };

// "setup", "waiting", "preparing", "ready", "failed", "cancelled".
std::string_view toString(LinkState state) noexcept;

struct LinkStateUpdate {
  LinkState state = LinkState::setup;
  std::optional<Error> error; // for waiting and failed
};

enum class ServiceClass : std::uint8_t { bestEffort, interactiveVideo };

struct LinkParameters {
  // The link uses this interface and no other; none lets the routing table choose.
  std::optional<Interface> requiredInterface;
  bool includePeerToPeer = false;
  ServiceClass serviceClass = ServiceClass::bestEffort;
};

enum class PathStatus : std::uint8_t { satisfied, unsatisfied, requiresConnection };
// "satisfied", "unsatisfied", "requiresConnection".
std::string_view toString(PathStatus status) noexcept;

struct LinkPath {
  PathStatus status = PathStatus::unsatisfied;
  std::optional<Endpoint> localEndpoint;
  std::optional<Endpoint> remoteEndpoint;
  std::vector<Interface> availableInterfaces;
};

class DatagramLink {
public:
  using StateHandler = std::function<void(const LinkStateUpdate&)>;
  // One call per datagram. `content` is valid only during the call; it is empty when the
  // datagram was empty or when `error` is set.
  using ReceiveCompletion =
      runtime::UniqueFunction<void(std::span<const std::uint8_t> content, const std::optional<Error>& error)>;
  using SendCompletion = runtime::UniqueFunction<void(const std::optional<Error>& error)>;

  virtual ~DatagramLink() = default;

  // Replaces the handler; an empty one removes it. A state change already on its way to the
  // old handler may still reach it.
  virtual void setStateHandler(StateHandler handler) = 0;
  // Begins preparing; every later callback runs on `queue`. Only the first call counts.
  virtual void start(runtime::Executor queue) = 0;
  // Ends the link for good: a pending receive completes with an error and the state becomes
  // cancelled (reported to a handler that is still installed).
  virtual void cancel() = 0;
  virtual LinkState state() const = 0;

  // Asks for the next datagram. At most one receive is outstanding at a time.
  virtual void receiveMessage(ReceiveCompletion completion) = 0;
  // Hands one datagram to the socket; the completion (which may be empty) tells whether it was
  // taken, not whether it arrived.
  virtual void send(std::vector<std::uint8_t> content, SendCompletion completion) = 0;

  // The route the link uses once ready; none before.
  virtual std::optional<LinkPath> currentPath() const = 0;
};

} // namespace pd::platform::net
