#pragma once

// A decoded picture as every consumer of video sees it: 8-bit NV12 whose samples are read with the
// matrix and range the frame names. The decoder's frames are in full range (luma 0...255, chroma
// centred on 128) whatever the stream carried, and keep the matrix the stream signalled, since
// the samples cannot be turned into another matrix without losing precision. Frames are shared by
// reference between the decoder, the main thread, the window and the frame-sharing server; once
// handed out through a VideoFramePtr nobody writes into them again, so readers need no lock.

#include "runtime/Clock.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pd::platform::media {

// The Y'CbCr to R'G'B' matrices streams signal. A stream that names none, or one not listed
// here, is shown as BT.709.
enum class ColorMatrix : std::uint8_t { bt601, bt709, bt2020NonConstant };
// The weights of red and blue in luma under each matrix; every term of a conversion to RGB
// follows from them.
struct LumaWeights {
  double red;
  double blue;
};
constexpr LumaWeights lumaWeights(ColorMatrix matrix) noexcept {
  switch (matrix) {
  case ColorMatrix::bt601: return {0.299, 0.114};
  case ColorMatrix::bt2020NonConstant: return {0.2627, 0.0593};
  case ColorMatrix::bt709: break;
  }
  return {0.2126, 0.0722};
}
// Full: luma 0...255, chroma 0...255 around 128. Limited ("video"): luma 16...235, chroma
// 16...240 around 128.
enum class ColorRange : std::uint8_t { limited, full };

class VideoFrame;
using VideoFramePtr = std::shared_ptr<const VideoFrame>;

class VideoFrame {
public:
  // Larger than any picture side an HEVC level allows; with kMaxPixels a bound on memory for
  // hostile sizes.
  static constexpr int kMaxDimension = 16384;
  // The largest picture of any HEVC level (its MaxLumaPs): 53 MB as NV12, where the side limit
  // alone would allow 400 MB.
  static constexpr std::int64_t kMaxPixels = 35'651'584;
  // Whether a width x height frame lies within the bounds above.
  static constexpr bool sizeAllowed(std::int64_t width, std::int64_t height) noexcept {
    return width >= 1 && height >= 1 && width <= kMaxDimension && height <= kMaxDimension &&
           width * height <= kMaxPixels;
  }
  // Row starts are aligned for vector loads and GPU uploads.
  static constexpr std::size_t kRowAlignment = 64;

  // Storage for a width x height picture, pixels not yet written. nullptr when the size is not
  // allowed (sizeAllowed) or memory runs out. Only the producer holds the mutable frame; it
  // fills the planes and then hands the frame on as a VideoFramePtr.
  static std::shared_ptr<VideoFrame> allocate(int width, int height,
                                              runtime::Clock::MonotonicTime presentationTime = {});

  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  // The chroma plane holds chromaWidth() Cb,Cr pairs per row and chromaHeight() rows.
  int chromaWidth() const noexcept { return (width_ + 1) / 2; }
  int chromaHeight() const noexcept { return (height_ + 1) / 2; }
  std::size_t lumaStride() const noexcept { return lumaStride_; }
  std::size_t chromaStride() const noexcept { return chromaStride_; }

  const std::uint8_t* luma() const noexcept { return luma_; }
  const std::uint8_t* chroma() const noexcept { return chroma_; }
  std::uint8_t* mutableLuma() noexcept { return luma_; }
  std::uint8_t* mutableChroma() noexcept { return chroma_; }

  // When the access unit of this picture was handed to the decoder (monotonic clock).
  runtime::Clock::MonotonicTime presentationTime() const noexcept { return presentationTime_; }

  // BT.709 in full range unless the producer says otherwise, as it fills the planes.
  ColorMatrix colorMatrix() const noexcept { return matrix_; }
  ColorRange colorRange() const noexcept { return range_; }
  void setColorimetry(ColorMatrix matrix, ColorRange range) noexcept {
    matrix_ = matrix;
    range_ = range;
  }

  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;

private:
  struct Private {};

public:
  VideoFrame(Private, int width, int height, runtime::Clock::MonotonicTime presentationTime);

private:
  int width_;
  int height_;
  std::size_t lumaStride_;
  std::size_t chromaStride_;
  runtime::Clock::MonotonicTime presentationTime_;
  ColorMatrix matrix_ = ColorMatrix::bt709;
  ColorRange range_ = ColorRange::full;
  std::unique_ptr<std::uint8_t[]> storage_;
  std::uint8_t* luma_ = nullptr;
  std::uint8_t* chroma_ = nullptr;
};

} // namespace pd::platform::media
