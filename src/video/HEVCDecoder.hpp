#pragma once

// The HEVC decoder of one video stream. The reassembly hands it complete access units (NAL
// units, each behind its length as a 4-byte big-endian number) on the link's network queue,
// each with the link epoch that was current there. The decoder keeps the stream's VPS, SPS and
// PPS, builds a decoder configuration from them and decodes on a worker thread of its own, so
// the network queue only splits, compares and copies. Each decoded picture goes to the
// installed callback, on the worker thread, together with the epoch of its access unit.
//
// After the decoder is made, reset or rebuilt for new parameter sets, and after it had to drop an
// access unit because its queue was full or the unit could not be copied, the pictures up to the
// next random-access picture would be decoded from missing references: they are held back for a
// short grace. There is no way to ask the tablet for a random-access picture, and an encoder may
// send them rarely or never (intra refresh), so once the grace is over every picture is decoded,
// references or not.

#include "platform/media/HEVCDecompressionSession.hpp"
#include "platform/media/VideoFrame.hpp"
#include "video/HEVCNALUnit.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pd::video {

class HEVCDecoder {
public:
  // Called on the decoder's worker thread. It must never wait for the thread that calls
  // decode() or reset(): those wait for the worker.
  using PixelBufferCallback = std::function<void(platform::media::VideoFramePtr frame, std::uint64_t epoch)>;
  using Threading = platform::media::HEVCDecompressionSession::Threading;

  struct Options {
    int threadCount = 4;
    bool allowHardware = true;
    Threading threading = Threading::lowLatency;
    // Access units waiting for the worker. Beyond it units are dropped, and the pictures after
    // the gap wait for a random-access picture as after a reset.
    std::size_t queueCapacity = 16;
  };

  // A refused decoder is tried again no sooner than this.
  static constexpr std::chrono::seconds kCreateRetryInterval{1};
  // The grace for a random-access picture ends with whichever bound comes first: the time since
  // the first picture held back, or the number of pictures held back.
  static constexpr std::chrono::seconds kRandomAccessGrace{1};
  static constexpr long kRandomAccessGracePictures = 60;

  using NALUnit = HEVCNALUnit;

  HEVCDecoder();
  explicit HEVCDecoder(Options options);
  // Waits for every queued access unit and hands on the pictures still in the decoder.
  ~HEVCDecoder();
  HEVCDecoder(const HEVCDecoder&) = delete;
  HEVCDecoder& operator=(const HEVCDecoder&) = delete;

  // Both are set right after creation, before the first access unit, and not changed after.
  // The tag names the stream in every log line and throttle key ("unknown" until set).
  void setStreamTag(std::string tag);
  const std::string& streamTag() const noexcept;
  void setOnDecodedPixelBuffer(PixelBufferCallback callback);

  // One complete access unit. Failures are logged, never raised.
  void decode(std::span<const std::uint8_t> accessUnit, std::uint64_t epoch);

  // Back to the empty state: every access unit handed in before is decoded and its picture
  // delivered before this returns; then the parameter sets are forgotten.
  void reset();

  // Returns once every access unit handed in before has been through the decoder. With
  // Threading::lowLatency their pictures have then been delivered; with Threading::throughput
  // up to threadCount - 1 of them may still be inside the decoder.
  void waitForAsynchronousFrames();

  // Any thread: the pictures given up because the worker fell behind or a unit could not be
  // copied: each one dropped there, and each one then held back waiting for a random-access
  // picture. Pictures held back after a reset or a new decoder are not counted.
  std::uint64_t picturesShedAfterGaps() const noexcept;

  // The NAL units of an access unit, in order (see video/HEVCNALUnit.hpp).
  static std::vector<NALUnit> splitNALUnits(std::span<const std::uint8_t> accessUnit) {
    return video::splitNALUnits(accessUnit);
  }

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::video
