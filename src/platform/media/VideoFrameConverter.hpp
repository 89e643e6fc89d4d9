#pragma once

// Turns the decoder's pictures into VideoFrames: 8-bit NV12, full range. Decoders hand out
// planar 4:2:0 (software), NV12 or P010 (VAAPI surfaces, copied back first), in limited
// ("video") or full range and at 8 or 10 bits; those have loops of their own, anything else goes
// through libswscale. Streams that do not say their range are taken as limited range, as
// video decoders do. The matrix is left as the stream signalled it and named on the frame.

#include "platform/media/VideoFrame.hpp"
#include "runtime/Clock.hpp"

#include <memory>

struct AVFrame;

namespace pd::platform::media {

class VideoFrameConverter {
public:
  VideoFrameConverter();
  ~VideoFrameConverter();
  VideoFrameConverter(const VideoFrameConverter&) = delete;
  VideoFrameConverter& operator=(const VideoFrameConverter&) = delete;

  // The picture as a new frame, or nullptr with a negative FFmpeg error code in `status` (a
  // size outside VideoFrame's bounds, a surface that cannot be read back, no memory). A window
  // the picture still carries (its crop fields) is cropped to the sample. Not thread-safe: one
  // converter per decoding thread.
  std::shared_ptr<VideoFrame> convert(const AVFrame& picture, runtime::Clock::MonotonicTime presentationTime,
                                      int& status);

private:
  struct State;
  std::unique_ptr<State> state_;
};

} // namespace pd::platform::media
