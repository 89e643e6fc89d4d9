#pragma once

// Turns a VideoFrame into 8-bit RGB with a fourth byte of 255, bytes in B, G, R, x order (what
// consumers call BGRx and Qt calls RGB32 on little-endian machines), with the matrix and range
// the frame names, into full-range RGB. Chroma is taken as it lies, one pair for each 2x2 block.
// Our own loop rather than libswscale's: that one has no vector code for NV12 and cost two
// thirds of the QPainter view's whole paint.

#include "platform/media/VideoFrame.hpp"

#include <cstddef>
#include <cstdint>

namespace pd::platform::media {

class RGBFrameConverter {
public:
  // Writes frame.height() rows of 4 * frame.width() bytes, `stride` bytes apart, to `out`.
  // False when the stride is too small.
  bool convert(const VideoFrame& frame, std::uint8_t* out, std::size_t stride);
};

} // namespace pd::platform::media
