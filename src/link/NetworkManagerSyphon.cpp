// The link manager's side of frame sharing: the servers and their queue are video::FrameSharing's;
// the manager keeps the running flag the views observe and the link epoch the frames are judged by.
#include "link/NetworkManagerForMac.hpp"

#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"
#include "video/FrameSharing.hpp"

#include <utility>

namespace pd::link {

std::unique_ptr<video::FrameSharing> NetworkManagerForMac::makeFrameSharing() {
  video::FrameSharing::Dependencies dependencies;
  dependencies.makeVideoOut = dependencies_.makeVideoOut;
  dependencies.runningChanged = [weak = weak_from_this()](bool running) {
    runtime::MainThread::post(
        runtime::weakCallback(weak, [running](NetworkManagerForMac& self) { self.isSyphonRunning.set(running); }));
  };
  // The ingest's count, owned through the manager: a drop after the manager went is not counted.
  dependencies.staleEpochSink = std::shared_ptr<video::StaleEpochSink>(shared_from_this(), &ingest_);
  return std::make_unique<video::FrameSharing>(std::move(dependencies));
}

std::string NetworkManagerForMac::syphonServerName(std::string_view baseName, std::uint8_t stream) {
  return video::FrameSharing::serverName(baseName, stream);
}

void NetworkManagerForMac::configureSyphonServers(std::vector<std::pair<std::uint8_t, std::string>> servers) {
  frameSharing_->configureServers(std::move(servers));
}

void NetworkManagerForMac::enqueueSyphonFrame(platform::media::VideoFramePtr frame, std::uint8_t stream,
                                              std::uint64_t epoch) {
  frameSharing_->enqueue(std::move(frame), stream, epoch);
}

void NetworkManagerForMac::clearPendingSyphonFrames() { frameSharing_->clearPending(); }

void NetworkManagerForMac::renameSyphonServers(std::string baseName) {
  runtime::MainThread::assertMainThread();
  frameSharing_->rename(std::move(baseName));
}

void NetworkManagerForMac::stopSyphon() {
  runtime::MainThread::assertMainThread();
  isSyphonRunning.set(false);
  frameSharing_->stop();
}

} // namespace pd::link
