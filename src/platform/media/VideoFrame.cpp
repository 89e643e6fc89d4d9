#include "platform/media/VideoFrame.hpp"

#include <cstdint>
#include <new>

namespace pd::platform::media {
namespace {

std::size_t alignUp(std::size_t value) {
  return (value + VideoFrame::kRowAlignment - 1) / VideoFrame::kRowAlignment * VideoFrame::kRowAlignment;
}

} // namespace

VideoFrame::VideoFrame(Private, int width, int height, runtime::Clock::MonotonicTime presentationTime)
    : width_(width),
      height_(height),
      lumaStride_(alignUp(static_cast<std::size_t>(width))),
      chromaStride_(alignUp(2 * static_cast<std::size_t>(chromaWidth()))),
      presentationTime_(presentationTime) {
  const std::size_t lumaBytes = lumaStride_ * static_cast<std::size_t>(height_);
  const std::size_t chromaBytes = chromaStride_ * static_cast<std::size_t>(chromaHeight());
  storage_ = std::make_unique_for_overwrite<std::uint8_t[]>(lumaBytes + chromaBytes + kRowAlignment);
  const auto base = reinterpret_cast<std::uintptr_t>(storage_.get());
  const std::size_t skip = (kRowAlignment - base % kRowAlignment) % kRowAlignment;
  luma_ = storage_.get() + skip;
  chroma_ = luma_ + lumaBytes;
}

std::shared_ptr<VideoFrame> VideoFrame::allocate(int width, int height,
                                                 runtime::Clock::MonotonicTime presentationTime) {
  if (!sizeAllowed(width, height)) return nullptr;
  try {
    return std::make_shared<VideoFrame>(Private{}, width, height, presentationTime);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

} // namespace pd::platform::media
