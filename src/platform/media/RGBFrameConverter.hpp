#pragma once

// Turns a VideoFrame into 8-bit RGB with an unused fourth byte, bytes in B, G, R, x order (what
// consumers call BGRx and Qt calls RGB32 on little-endian machines), with the matrix and range
// the frame names, into full-range RGB. FFmpeg stays inside.

#include "platform/media/VideoFrame.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pd::platform::media {

class RGBFrameConverter {
public:
  RGBFrameConverter();
  ~RGBFrameConverter();
  RGBFrameConverter(const RGBFrameConverter&) = delete;
  RGBFrameConverter& operator=(const RGBFrameConverter&) = delete;

  // Writes frame.height() rows of 4 * frame.width() bytes, `stride` bytes apart, to `out`.
  // False when the stride is too small or FFmpeg refuses. Not thread-safe.
  bool convert(const VideoFrame& frame, std::uint8_t* out, std::size_t stride);

private:
  struct State;
  std::unique_ptr<State> state_;
};

} // namespace pd::platform::media
