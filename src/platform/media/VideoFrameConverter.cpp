#include "platform/media/VideoFrameConverter.hpp"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The row loops below are written so that the compiler vectorises them (this file is built
// with -O3): fixed-point arithmetic in lanes as narrow as the values allow, no branches but
// min/max.

namespace pd::platform::media {
namespace {

// Each loop is also built for AVX2 and picked at load time where the processor has it. Not
// under ThreadSanitizer: the instrumented resolver runs during relocation, before the
// sanitizer's runtime is up, and the program dies at load.
#if defined(__SANITIZE_THREAD__)
#define PD_ROW_KERNEL
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PD_ROW_KERNEL
#endif
#endif
#ifndef PD_ROW_KERNEL
#define PD_ROW_KERNEL __attribute__((target_clones("avx2", "default")))
#endif

using Row8 = const std::uint8_t* __restrict;
using Row16 = const std::uint16_t* __restrict;
using Out = std::uint8_t* __restrict;

// Limited-range luma 16...235 to 0...255: (y - 16) * 255/219, here 149/128.
PD_ROW_KERNEL void expandLuma8(Row8 src, Out dst, std::size_t n) {
  for (std::size_t x = 0; x < n; ++x) {
    const auto t = static_cast<std::uint16_t>(std::max<std::uint8_t>(src[x], 16) - 16);
    const auto v = static_cast<std::uint16_t>(static_cast<std::uint16_t>(t * 149u + 64u) >> 7);
    dst[x] = static_cast<std::uint8_t>(std::min<std::uint16_t>(v, 255));
  }
}

// Limited-range chroma 16...240 around 128 to 0...255: (c - 128) * 255/224 + 128, here 146/128.
inline std::uint8_t expandChromaSample8(std::uint8_t c) {
  const auto d = static_cast<std::int16_t>(c - 128);
  const auto v = static_cast<std::int16_t>(((d * 146 + 64) >> 7) + 128);
  return static_cast<std::uint8_t>(std::clamp<std::int16_t>(v, 0, 255));
}

PD_ROW_KERNEL void expandChroma8(Row8 src, Out dst, std::size_t n) {
  for (std::size_t x = 0; x < n; ++x) dst[x] = expandChromaSample8(src[x]);
}

PD_ROW_KERNEL void interleaveChroma8(Row8 u, Row8 v, Out dst, std::size_t n, bool limited) {
  if (limited) {
    for (std::size_t x = 0; x < n; ++x) {
      dst[2 * x] = expandChromaSample8(u[x]);
      dst[2 * x + 1] = expandChromaSample8(v[x]);
    }
  } else {
    for (std::size_t x = 0; x < n; ++x) {
      dst[2 * x] = u[x];
      dst[2 * x + 1] = v[x];
    }
  }
}

// 10-bit samples, stored in the low bits (planar formats, shift 0) or the high bits (P010,
// shift 6) of 16-bit words.
inline std::uint32_t sample10(std::uint16_t word, int shift) {
  return std::min<std::uint32_t>(static_cast<std::uint32_t>(word) >> shift, 1023u);
}

inline std::uint8_t luma10(std::uint32_t y, bool limited) {
  if (!limited) return static_cast<std::uint8_t>(std::min<std::uint32_t>((y + 2) >> 2, 255u));
  // (y - 64) * 255/876
  const std::uint32_t t = std::max<std::uint32_t>(y, 64) - 64;
  return static_cast<std::uint8_t>(std::min<std::uint32_t>((t * 19077u + 32768u) >> 16, 255u));
}

inline std::uint8_t chroma10(std::uint32_t c, bool limited) {
  if (!limited) return static_cast<std::uint8_t>(std::min<std::uint32_t>((c + 2) >> 2, 255u));
  // (c - 512) * 255/896 + 128
  const auto d = static_cast<std::int32_t>(c) - 512;
  return static_cast<std::uint8_t>(std::clamp(((d * 18651 + 32768) >> 16) + 128, 0, 255));
}

PD_ROW_KERNEL void luma16(Row16 src, Out dst, std::size_t n, int shift, bool limited) {
  for (std::size_t x = 0; x < n; ++x) dst[x] = luma10(sample10(src[x], shift), limited);
}

PD_ROW_KERNEL void chroma16Planar(Row16 u, Row16 v, Out dst, std::size_t n, int shift, bool limited) {
  for (std::size_t x = 0; x < n; ++x) {
    dst[2 * x] = chroma10(sample10(u[x], shift), limited);
    dst[2 * x + 1] = chroma10(sample10(v[x], shift), limited);
  }
}

PD_ROW_KERNEL void chroma16Interleaved(Row16 src, Out dst, std::size_t samples, int shift, bool limited) {
  for (std::size_t x = 0; x < samples; ++x) dst[x] = chroma10(sample10(src[x], shift), limited);
}

template <typename T>
const T* row(const AVFrame& picture, int plane, int y) {
  return reinterpret_cast<const T*>(picture.data[plane] + static_cast<std::ptrdiff_t>(y) * picture.linesize[plane]);
}

bool isFullRange(const AVFrame& picture) {
  const auto format = static_cast<AVPixelFormat>(picture.format);
  return picture.color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

ColorMatrix matrixOf(const AVFrame& picture) {
  switch (picture.colorspace) {
  case AVCOL_SPC_BT470BG:
  case AVCOL_SPC_SMPTE170M:
  case AVCOL_SPC_FCC: // within a percent of BT.601's weights
    return ColorMatrix::bt601;
  case AVCOL_SPC_BT2020_NCL:
  case AVCOL_SPC_BT2020_CL: // not drawn exactly; the non-constant form is the nearest
    return ColorMatrix::bt2020NonConstant;
  default: return ColorMatrix::bt709;
  }
}

// Planes the own loops read, with their row counts, must be present with non-negative pitches
// (and 16-bit rows 2-byte aligned); anything else takes the general path.
bool planesUsable(const AVFrame& picture, int planes, int bytesPerSample) {
  for (int p = 0; p < planes; ++p) {
    if (picture.data[p] == nullptr || picture.linesize[p] < 0) return false;
    if (bytesPerSample == 2 &&
        (reinterpret_cast<std::uintptr_t>(picture.data[p]) % 2 != 0 || picture.linesize[p] % 2 != 0))
      return false;
  }
  return true;
}

enum class Layout { planar8, semiPlanar8, planar10, semiPlanar10, other };

Layout layoutOf(const AVFrame& picture) {
  switch (static_cast<AVPixelFormat>(picture.format)) {
  case AV_PIX_FMT_YUV420P:
  case AV_PIX_FMT_YUVJ420P: return planesUsable(picture, 3, 1) ? Layout::planar8 : Layout::other;
  case AV_PIX_FMT_NV12: return planesUsable(picture, 2, 1) ? Layout::semiPlanar8 : Layout::other;
  case AV_PIX_FMT_YUV420P10: return planesUsable(picture, 3, 2) ? Layout::planar10 : Layout::other;
  case AV_PIX_FMT_P010: return planesUsable(picture, 2, 2) ? Layout::semiPlanar10 : Layout::other;
  default: return Layout::other;
  }
}

struct SwsDeleter {
  void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};

} // namespace

struct VideoFrameConverter::State {
  // The general path's context, kept while pictures keep their shape.
  std::unique_ptr<SwsContext, SwsDeleter> scaler;
  int scalerWidth = 0;
  int scalerHeight = 0;
  int scalerFormat = -1;
  bool scalerFullRange = false;
  // Where hardware surfaces are copied back to.
  std::unique_ptr<AVFrame, FrameDeleter> download{av_frame_alloc()};

  std::shared_ptr<VideoFrame> convertSoftware(const AVFrame& picture, runtime::Clock::MonotonicTime pts, int& status);
  bool scale(const AVFrame& picture, VideoFrame& frame, bool fullRange);
};

VideoFrameConverter::VideoFrameConverter() : state_(std::make_unique<State>()) {}
VideoFrameConverter::~VideoFrameConverter() = default;

std::shared_ptr<VideoFrame> VideoFrameConverter::convert(const AVFrame& picture,
                                                         runtime::Clock::MonotonicTime presentationTime, int& status) {
  const bool windowLeft =
      picture.crop_left != 0 || picture.crop_top != 0 || picture.crop_right != 0 || picture.crop_bottom != 0;
  if (picture.hw_frames_ctx == nullptr && !windowLeft)
    return state_->convertSoftware(picture, presentationTime, status);

  AVFrame* download = state_->download.get();
  if (download == nullptr) {
    status = AVERROR(ENOMEM);
    return nullptr;
  }
  av_frame_unref(download);
  if (picture.hw_frames_ctx != nullptr) {
    status = av_hwframe_transfer_data(download, &picture, 0);
    if (status >= 0) status = av_frame_copy_props(download, &picture);
  } else {
    status = av_frame_ref(download, &picture);
  }
  // The decoder crops a hardware surface only at its right and bottom: the left and top of the
  // conformance window are still to be taken off the copy.
  if (status >= 0) status = av_frame_apply_cropping(download, AV_FRAME_CROP_UNALIGNED);
  std::shared_ptr<VideoFrame> frame;
  if (status >= 0) frame = state_->convertSoftware(*download, presentationTime, status);
  av_frame_unref(download);
  return frame;
}

std::shared_ptr<VideoFrame>
VideoFrameConverter::State::convertSoftware(const AVFrame& picture, runtime::Clock::MonotonicTime pts, int& status) {
  auto frame = VideoFrame::allocate(picture.width, picture.height, pts);
  if (!frame) {
    status = VideoFrame::sizeAllowed(picture.width, picture.height) ? AVERROR(ENOMEM) : AVERROR(EINVAL);
    return nullptr;
  }
  frame->setColorimetry(matrixOf(picture), ColorRange::full);
  const bool fullRange = isFullRange(picture);
  const bool limited = !fullRange;
  const auto width = static_cast<std::size_t>(frame->width());
  const auto chromaWidth = static_cast<std::size_t>(frame->chromaWidth());
  std::uint8_t* luma = frame->mutableLuma();
  std::uint8_t* chroma = frame->mutableChroma();
  const std::size_t lumaStride = frame->lumaStride();
  const std::size_t chromaStride = frame->chromaStride();

  const Layout layout = layoutOf(picture);
  if (layout == Layout::other) {
    if (!scale(picture, *frame, fullRange)) {
      status = AVERROR_PATCHWELCOME;
      return nullptr;
    }
    status = 0;
    return frame;
  }

  for (int y = 0; y < frame->height(); ++y) {
    std::uint8_t* out = luma + static_cast<std::size_t>(y) * lumaStride;
    if (layout == Layout::planar10 || layout == Layout::semiPlanar10) {
      luma16(row<std::uint16_t>(picture, 0, y), out, width, layout == Layout::semiPlanar10 ? 6 : 0, limited);
    } else if (limited) {
      expandLuma8(row<std::uint8_t>(picture, 0, y), out, width);
    } else {
      std::memcpy(out, row<std::uint8_t>(picture, 0, y), width);
    }
  }
  for (int y = 0; y < frame->chromaHeight(); ++y) {
    std::uint8_t* out = chroma + static_cast<std::size_t>(y) * chromaStride;
    switch (layout) {
    case Layout::planar8:
      interleaveChroma8(row<std::uint8_t>(picture, 1, y), row<std::uint8_t>(picture, 2, y), out, chromaWidth, limited);
      break;
    case Layout::semiPlanar8:
      if (limited) expandChroma8(row<std::uint8_t>(picture, 1, y), out, 2 * chromaWidth);
      else std::memcpy(out, row<std::uint8_t>(picture, 1, y), 2 * chromaWidth);
      break;
    case Layout::planar10:
      chroma16Planar(row<std::uint16_t>(picture, 1, y), row<std::uint16_t>(picture, 2, y), out, chromaWidth, 0,
                     limited);
      break;
    case Layout::semiPlanar10:
      chroma16Interleaved(row<std::uint16_t>(picture, 1, y), out, 2 * chromaWidth, 6, limited);
      break;
    case Layout::other: break;
    }
  }
  status = 0;
  return frame;
}

bool VideoFrameConverter::State::scale(const AVFrame& picture, VideoFrame& frame, bool fullRange) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture.format));
  if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) return false;
  if (!scaler || scalerWidth != picture.width || scalerHeight != picture.height || scalerFormat != picture.format ||
      scalerFullRange != fullRange) {
    scaler.reset(sws_alloc_context());
    if (!scaler) return false;
    // Set through options: sws_getContext followed by sws_setColorspaceDetails leaves the
    // range unconverted on same-size YUV paths.
    SwsContext* context = scaler.get();
    const bool configured = av_opt_set_int(context, "srcw", picture.width, 0) >= 0 &&
                            av_opt_set_int(context, "srch", picture.height, 0) >= 0 &&
                            av_opt_set_int(context, "dstw", picture.width, 0) >= 0 &&
                            av_opt_set_int(context, "dsth", picture.height, 0) >= 0 &&
                            av_opt_set_int(context, "src_format", picture.format, 0) >= 0 &&
                            av_opt_set_int(context, "dst_format", AV_PIX_FMT_NV12, 0) >= 0 &&
                            av_opt_set_int(context, "src_range", fullRange ? 1 : 0, 0) >= 0 &&
                            av_opt_set_int(context, "dst_range", 1, 0) >= 0 &&
                            av_opt_set_int(context, "sws_flags", SWS_BILINEAR, 0) >= 0 &&
                            sws_init_context(context, nullptr, nullptr) >= 0;
    if (!configured) {
      scaler.reset();
      return false;
    }
    scalerWidth = picture.width;
    scalerHeight = picture.height;
    scalerFormat = picture.format;
    scalerFullRange = fullRange;
  }
  std::uint8_t* const planes[4] = {frame.mutableLuma(), frame.mutableChroma(), nullptr, nullptr};
  // Strides are bounded by twice kMaxDimension, rounded up: they fit an int.
  const int strides[4] = {static_cast<int>(frame.lumaStride()), static_cast<int>(frame.chromaStride()), 0, 0};
  if (sws_scale(scaler.get(), picture.data, picture.linesize, 0, picture.height, planes, strides) != frame.height())
    return false;
  // From a monochrome picture libswscale writes no chroma into NV12: the plane would keep
  // whatever the allocation held. Its grey is the neutral chroma.
  if (descriptor->nb_components < 3) {
    for (int y = 0; y < frame.chromaHeight(); ++y)
      std::memset(frame.mutableChroma() + static_cast<std::size_t>(y) * frame.chromaStride(), 128,
                  2 * static_cast<std::size_t>(frame.chromaWidth()));
  }
  return true;
}

} // namespace pd::platform::media
