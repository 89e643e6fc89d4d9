#include "receiver/ServiceStandIns.hpp"

namespace pd::sender {

LocalVideoBroadcaster::LocalVideoBroadcaster(const std::shared_ptr<link::NetworkManagerForMac>& networkManager)
    : networkManager_(networkManager) {}

} // namespace pd::sender
