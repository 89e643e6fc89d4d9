// Video liveness: which expected streams have gone silent, and which the tablet said it stopped.
#include "link/NetworkManagerForMac.hpp"

#include "runtime/MainThread.hpp"

namespace pd::link {

void NetworkManagerForMac::noteFrameDisplayed(std::uint8_t) { runtime::MainThread::assertMainThread(); }

void NetworkManagerForMac::clearStreamStop(std::uint8_t, double) {}

} // namespace pd::link
