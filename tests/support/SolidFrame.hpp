#pragma once

// A frame of one colour, for tests that compare what a consumer or a view shows.

#include "platform/media/VideoFrame.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pd::testing {

inline platform::media::VideoFramePtr solidFrame(int width, int height, std::uint8_t y, std::uint8_t cb,
                                                 std::uint8_t cr) {
  auto frame = platform::media::VideoFrame::allocate(width, height);
  for (int row = 0; row < height; ++row) {
    std::memset(frame->mutableLuma() + static_cast<std::size_t>(row) * frame->lumaStride(), y,
                static_cast<std::size_t>(width));
  }
  for (int row = 0; row < frame->chromaHeight(); ++row) {
    std::uint8_t* line = frame->mutableChroma() + static_cast<std::size_t>(row) * frame->chromaStride();
    for (int x = 0; x < frame->chromaWidth(); ++x) {
      line[2 * x] = cb;
      line[2 * x + 1] = cr;
    }
  }
  return frame;
}

} // namespace pd::testing
