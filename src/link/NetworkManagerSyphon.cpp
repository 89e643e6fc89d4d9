// The frame-sharing side of the link manager: one video-out server per stream.
#include "link/NetworkManagerForMac.hpp"

#include "runtime/MainThread.hpp"

#include <mutex>
#include <set>
#include <utility>

namespace pd::link {

void NetworkManagerForMac::configureSyphonServers(std::vector<std::pair<std::uint8_t, std::string>>) {}

void NetworkManagerForMac::enqueueSyphonFrame(platform::media::VideoFramePtr, std::uint8_t, std::uint64_t) {
  runtime::MainThread::assertMainThread();
}

void NetworkManagerForMac::renameSyphonServers(std::string) { runtime::MainThread::assertMainThread(); }

void NetworkManagerForMac::stopSyphon() { runtime::MainThread::assertMainThread(); }

} // namespace pd::link
