#include "platform/media/RGBFrameConverter.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

// The row loop is written for the vectoriser (this file is built with -O3): 32-bit fixed point
// with 16 fractional bits, which keeps every result within half a level of the exact one.

namespace pd::platform::media {
namespace {

// The row loop is also built for AVX2, whose 32-bit multiplies make it several times faster, and
// picked at load time where the processor has it. Not under ThreadSanitizer, whose binaries the
// load-time choice crashes before the sanitizer is up.
#if defined(__SANITIZE_THREAD__)
#define PD_RGB_ROW_KERNEL
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PD_RGB_ROW_KERNEL
#endif
#endif
#ifndef PD_RGB_ROW_KERNEL
#define PD_RGB_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#endif

constexpr int kFractionBits = 16;
constexpr double kOne = 1 << kFractionBits;

// R = y + crToR Cr, G = y - cbToG Cb - crToG Cr, B = y + cbToB Cb, with y = Y * lumaScale +
// lumaOffset and chroma centred on zero, all scaled by 2^16 and rounded.
struct Terms {
  std::int32_t lumaScale;
  std::int32_t lumaOffset; // rounding included
  std::int32_t crToR;
  std::int32_t cbToG;
  std::int32_t crToG;
  std::int32_t cbToB;
};

// Every term follows from the matrix's weights of red and blue in luma; limited range stretches
// luma 16...235 and chroma 16...240 to the full scale.
Terms termsFor(ColorMatrix matrix, ColorRange range) {
  const double kr = lumaWeights(matrix).red;
  const double kb = lumaWeights(matrix).blue;
  const double kg = 1.0 - kr - kb;
  const bool limited = range == ColorRange::limited;
  const double lumaScale = limited ? 255.0 / 219.0 : 1.0;
  const double chromaScale = limited ? 255.0 / 224.0 : 1.0;
  const auto fixed = [](double value) { return static_cast<std::int32_t>(value * kOne + (value < 0 ? -0.5 : 0.5)); };
  return {fixed(lumaScale),
          fixed(limited ? -16.0 * lumaScale : 0.0) + (1 << (kFractionBits - 1)),
          fixed(2.0 * (1.0 - kr) * chromaScale),
          fixed(2.0 * kb * (1.0 - kb) / kg * chromaScale),
          fixed(2.0 * kr * (1.0 - kr) / kg * chromaScale),
          fixed(2.0 * (1.0 - kb) * chromaScale)};
}

inline std::uint32_t level(std::int32_t value) {
  return static_cast<std::uint32_t>(std::clamp(value >> kFractionBits, 0, 255));
}

// One output row from its luma row and the chroma row it shares with its neighbour: `pairs`
// pairs of pixels, each pair with one Cb,Cr.
PD_RGB_ROW_KERNEL void convertRow(const std::uint8_t* __restrict luma, const std::uint8_t* __restrict chroma,
                                  std::uint8_t* __restrict out, std::size_t pairs, const Terms terms) {
  for (std::size_t p = 0; p < pairs; ++p) {
    const std::int32_t cb = chroma[2 * p] - 128;
    const std::int32_t cr = chroma[2 * p + 1] - 128;
    const std::int32_t r = terms.crToR * cr;
    const std::int32_t g = -terms.cbToG * cb - terms.crToG * cr;
    const std::int32_t b = terms.cbToB * cb;
    for (std::size_t k = 0; k < 2; ++k) {
      const std::int32_t y = luma[2 * p + k] * terms.lumaScale + terms.lumaOffset;
      const std::uint32_t pixel = level(y + b) | level(y + g) << 8 | level(y + r) << 16 | 0xFF000000u;
      std::memcpy(out + 4 * (2 * p + k), &pixel, 4); // little-endian: B, G, R, x
    }
  }
}

} // namespace

bool RGBFrameConverter::convert(const VideoFrame& frame, std::uint8_t* out, std::size_t stride) {
  const auto width = static_cast<std::size_t>(frame.width());
  if (stride < width * 4) return false;
  const Terms terms = termsFor(frame.colorMatrix(), frame.colorRange());
  const std::size_t pairs = width / 2;
  for (int row = 0; row < frame.height(); ++row) {
    const std::uint8_t* luma = frame.luma() + static_cast<std::size_t>(row) * frame.lumaStride();
    const std::uint8_t* chroma = frame.chroma() + static_cast<std::size_t>(row / 2) * frame.chromaStride();
    std::uint8_t* pixels = out + static_cast<std::size_t>(row) * stride;
    convertRow(luma, chroma, pixels, pairs, terms);
    // An odd width leaves one pixel with a pair of its own.
    if (width % 2 != 0) {
      const std::uint8_t lastLuma[2] = {luma[width - 1], luma[width - 1]};
      std::uint8_t lastPixels[8];
      convertRow(lastLuma, chroma + 2 * pairs, lastPixels, 1, terms);
      std::memcpy(pixels + 4 * (width - 1), lastPixels, 4);
    }
  }
  return true;
}

} // namespace pd::platform::media
