// The link manager's side of the video pipeline: the version gate in front of the ingest, the
// pipeline's set-up for a stream mode, and the published pixel buffers the views show.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "link/ManagerText.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Weak.hpp"
#include "video/DecodedFrameHandOff.hpp"
#include "video/FrameSharing.hpp"
#include "video/HEVCDecoder.hpp"

#include <atomic>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pd::link {
namespace {

using diagnostics::Log;
using diagnostics::logThrottled;
using platform::log::Level;
using platform::media::VideoFramePtr;

// Counts every video datagram of the process; the ingest logs only the first few one by one.
std::atomic<std::uint64_t> processVideoDatagrams{0};

std::vector<std::uint8_t> streamIDs(StreamMode mode) {
  return mode == StreamMode::raw ? std::vector<std::uint8_t>{1, 2} : std::vector<std::uint8_t>{0};
}

std::string withStream(std::string_view prefix, std::uint8_t stream) {
  return std::string(prefix) + std::to_string(stream);
}

} // namespace

// --- Receive side (network queue) ------------------------------------------------------------------

void NetworkManagerForMac::handleVideoDatagram(std::span<const std::uint8_t> datagram) {
  videoDatagrams_.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t datagramNumber = processVideoDatagrams.fetch_add(1, std::memory_order_relaxed) + 1;
  if (dropVideoForVersionGate_) {
    logThrottled(Log::video(), Level::debug, "frag_drop_version", lineRule(300),
                 "frag_drop reason=version_gate occurrences=%ld");
    return;
  }
  const double now = runtime::monotonicSeconds();
  if (!versionResolvedForGate_ && now - lastHandshakeNudgeTime_ >= kHandshakeNudgeInterval) {
    lastHandshakeNudgeTime_ = now;
    runtime::MainThread::post(
        runtime::weakCallback(weak_from_this(), [](NetworkManagerForMac& self) { self.resendHandshakeIfNeeded(); }));
  }
  ingest_.handleDatagram(datagram, now, datagramNumber);
}

void NetworkManagerForMac::resetVideoDecoders() { ingest_.resetDecoders(); }

void NetworkManagerForMac::flushStreamStats() { ingest_.flushStreamStats(); }

void NetworkManagerForMac::recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream) {
  ingest_.recordStaleEpochDrop(source, stream);
}

// --- Pipeline configuration ------------------------------------------------------------------------

void NetworkManagerForMac::configurePipeline(StreamMode mode) {
  runtime::MainThread::assertMainThread();
  if (!handOff_) {
    handOff_ = std::make_shared<video::DecodedFrameHandOff>([weak = weak_from_this()] {
      runtime::MainThread::post(
          runtime::weakCallback(weak, [](NetworkManagerForMac& self) { self.flushDecodedFrames(); }));
    });
  }
  isSyphonRunning.set(false);
  clearPendingFrames();
  const std::string baseName = dependencies_.syphonServerName ? dependencies_.syphonServerName() : std::string();

  const std::vector<std::uint8_t> streams = streamIDs(mode);
  video::VideoIngest::DecoderTable decoders;
  std::vector<std::pair<std::uint8_t, std::string>> servers;
  std::string streamText;
  for (const std::uint8_t stream : streams) {
    auto decoder = std::make_shared<video::HEVCDecoder>();
    decoder->setStreamTag(std::to_string(stream));
    decoder->setOnDecodedPixelBuffer(
        [handOff = std::weak_ptr(handOff_), stream](VideoFramePtr frame, std::uint64_t epoch) {
          if (auto live = handOff.lock()) live->enqueue(std::move(frame), stream, epoch);
        });
    decoders.emplace(stream, std::move(decoder));
    servers.emplace_back(stream, syphonServerName(baseName, stream));
    if (!streamText.empty()) streamText += "/";
    streamText += std::to_string(stream);
  }

  frameSharing_->configure(std::move(servers));
  postToNetworkQueue([decoders = std::move(decoders), active = std::set<std::uint8_t>(streams.begin(), streams.end())](
                         NetworkManagerForMac& self) mutable {
    self.ingest_.installDecoders(std::move(decoders), std::move(active));
  });
  Log::video().notice("pipeline_configure mode=%{public}s streams=%{public}s", link::toString(mode), streamText);
}

// --- Decoded-frame hand-off -------------------------------------------------------------------------

// What the hand-off's drop rules read of the link, and where a shown frame goes.
class NetworkManagerForMac::DecodedFrameSink final : public video::DecodedFrameHandOff::Sink {
public:
  explicit DecodedFrameSink(NetworkManagerForMac& manager) : manager_(manager) {}

  video::DecodedFrameHandOff::Presentation presentation() const override {
    return {streamIDs(manager_.streamMode.get()), manager_.connectionGeneration_,
            !manager_.connectedPeers.get().empty() || manager_.connection_.link() != nullptr};
  }
  void show(const VideoFramePtr& frame, std::uint8_t stream, std::uint64_t epoch) override {
    manager_.noteFrameDisplayed(stream);
    if (stream == 2) manager_.receivedPixelBufferB.set(frame);
    else if (stream == 1) manager_.receivedPixelBufferA.set(frame);
    else manager_.receivedPixelBuffer.set(frame);
    logThrottled(Log::video(), Level::debug, withStream("frame_display_", stream), lineRule(30),
                 "frame_display stream=%hhu res=%ldx%ld occurrences=%ld", stream, static_cast<long>(frame->width()),
                 static_cast<long>(frame->height()));
    manager_.enqueueSyphonFrame(frame, stream, epoch);
  }
  void staleEpochDropped(std::uint8_t stream) override {
    manager_.recordStaleEpochDrop(StaleEpochSource::display, stream);
  }

private:
  NetworkManagerForMac& manager_;
};

std::uint64_t NetworkManagerForMac::decodedFrameCount(std::uint8_t stream) const noexcept {
  return handOff_->decodedFrameCount(stream);
}

void NetworkManagerForMac::flushDecodedFrames() {
  DecodedFrameSink sink(*this);
  handOff_->flush(sink);
}

void NetworkManagerForMac::clearPendingFrames() {
  runtime::MainThread::assertMainThread();
  receivedPixelBuffer.set(nullptr);
  receivedPixelBufferA.set(nullptr);
  receivedPixelBufferB.set(nullptr);
  handOff_->clear();
  clearPendingSyphonFrames();
}

} // namespace pd::link
