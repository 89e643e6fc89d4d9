#pragma once

// One FFmpeg HEVC decoder, set up from a decoder configuration record ("hvcC") so that access
// units made of 4-byte length-prefixed NAL units go in byte for byte. A VAAPI device is used
// when one is present and works; software decoding otherwise. Pictures leave it as VideoFrames
// (NV12, full range), each with the context of the access unit it came from.
//
// Not thread-safe: one thread creates the session, feeds it and receives its output.

#include "platform/media/EncodedPacket.hpp"
#include "platform/media/VideoFrame.hpp"
#include "runtime/Clock.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace pd::platform::media {

class HEVCDecompressionSession {
public:
  enum class Threading : std::uint8_t {
    // Threads share the work of one picture, and each picture leaves the decoder as soon as it
    // is decoded: what a live stream needs.
    lowLatency,
    // Threads decode consecutive pictures: more pictures per second, but a picture leaves the
    // decoder only once threadCount - 1 further access units have gone in.
    throughput,
  };

  struct Options {
    int threadCount = 4; // 1...64
    bool allowHardware = true;
    Threading threading = Threading::lowLatency;
  };

  // Travels with an access unit through the decoder and comes back with its picture.
  struct SourceFrameContext {
    std::uint64_t value = 0;
    runtime::Clock::MonotonicTime presentationTime{};
  };

  // Once per picture that leaves the decoder, on the thread that feeds the session: status 0
  // with a frame, or a negative FFmpeg error code and no frame. The context is that of the
  // picture's access unit, nullopt when the decoder gave a picture no access unit accounts for.
  using OutputHandler = std::function<void(int status, VideoFramePtr frame, std::optional<SourceFrameContext> context)>;

  // nullptr with a negative FFmpeg error code in `status` when FFmpeg refuses the record.
  static std::unique_ptr<HEVCDecompressionSession> create(std::span<const std::uint8_t> configurationRecord,
                                                          const Options& options, OutputHandler output, int& status);

  // Frames still inside the decoder are discarded: call waitForAsynchronousFrames() first to
  // have them.
  ~HEVCDecompressionSession();
  HEVCDecompressionSession(const HEVCDecompressionSession&) = delete;
  HEVCDecompressionSession& operator=(const HEVCDecompressionSession&) = delete;

  bool usesHardware() const noexcept;
  int threadCount() const noexcept;

  // Submits one access unit. Pictures that are ready go to the output handler before this
  // returns. 0, or the negative FFmpeg error code with which the decoder refused the unit.
  int decodeFrame(EncodedPacket packet, const SourceFrameContext& context);

  // Hands every picture still inside the decoder to the output handler. The decoder forgets
  // its reference pictures: decoding goes on at the next random-access picture.
  void waitForAsynchronousFrames();

private:
  struct State;
  explicit HEVCDecompressionSession(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

} // namespace pd::platform::media
