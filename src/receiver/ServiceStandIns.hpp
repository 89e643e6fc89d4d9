#pragma once

// Stand-ins for services that are built by later issues, behind the interfaces the receiver
// and the shell call. Each lives in the namespace its real implementation will use, so
// that replacing one means deleting it here and linking the real library; none does more
// than the shell needs to start and end.

#include <memory>

namespace pd::link {
class NetworkManagerForMac;
}

namespace pd::sender {

// Stand-in for the broadcaster that owns the local HTTP server and sends videos to the tablet.
class LocalVideoBroadcaster {
public:
  explicit LocalVideoBroadcaster(const std::shared_ptr<link::NetworkManagerForMac>& networkManager);
  LocalVideoBroadcaster(const LocalVideoBroadcaster&) = delete;
  LocalVideoBroadcaster& operator=(const LocalVideoBroadcaster&) = delete;

private:
  std::weak_ptr<link::NetworkManagerForMac> networkManager_;
};

} // namespace pd::sender
