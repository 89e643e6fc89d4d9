#pragma once

#include "platform/net/DatagramLink.hpp" // PathStatus, shared with the datagram link's path

#include <functional>
#include <memory>

namespace pd::platform::net {

// Watches whether the machine has a usable network path: satisfied while an interface that is
// up, running and not loopback holds an address that is not link-local. The handler gets the
// first status once started, then one call per change, on the monitor's own thread. Stopping
// is destruction.
class PathMonitor {
public:
  using Handler = std::function<void(PathStatus)>;
  virtual ~PathMonitor() = default;
  virtual void start(Handler handler) = 0;
};

// The monitor over the kernel's route netlink socket.
std::unique_ptr<PathMonitor> makeNetlinkPathMonitor();

// The status of the interfaces right now.
PathStatus currentPathStatus();

} // namespace pd::platform::net
