#include "platform/media/RGBFrameConverter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <climits>

namespace pd::platform::media {

namespace {

int swscaleMatrix(ColorMatrix matrix) {
  switch (matrix) {
  case ColorMatrix::bt601:
    return SWS_CS_ITU601;
  case ColorMatrix::bt2020NonConstant:
    return SWS_CS_BT2020;
  case ColorMatrix::bt709:
    break;
  }
  return SWS_CS_ITU709;
}

} // namespace

struct RGBFrameConverter::State {
  SwsContext* context = nullptr;
  int width = 0;
  int height = 0;
  ColorMatrix matrix = ColorMatrix::bt709;
  ColorRange range = ColorRange::full;
  ~State() {
    if (context != nullptr) sws_freeContext(context);
  }
};

RGBFrameConverter::RGBFrameConverter() : state_(std::make_unique<State>()) {}
RGBFrameConverter::~RGBFrameConverter() = default;

bool RGBFrameConverter::convert(const VideoFrame& frame, std::uint8_t* out, std::size_t stride) {
  if (stride < static_cast<std::size_t>(frame.width()) * 4 || stride > INT_MAX) return false;
  State& s = *state_;
  if (s.context == nullptr || s.width != frame.width() || s.height != frame.height() || s.matrix != frame.colorMatrix() ||
      s.range != frame.colorRange()) {
    // Made by hand rather than through sws_getCachedContext: that one compares the range set
    // below with the one it was made for and silently rebuilds the context without it.
    if (s.context != nullptr) sws_freeContext(s.context);
    s.context = sws_getContext(frame.width(), frame.height(), AV_PIX_FMT_NV12, frame.width(), frame.height(),
                               AV_PIX_FMT_BGR0, SWS_POINT, nullptr, nullptr, nullptr);
    if (s.context == nullptr) return false;
    s.width = frame.width();
    s.height = frame.height();
    s.matrix = frame.colorMatrix();
    s.range = frame.colorRange();
    const int* coefficients = sws_getCoefficients(swscaleMatrix(s.matrix));
    sws_setColorspaceDetails(s.context, coefficients, s.range == ColorRange::full ? 1 : 0, coefficients, 1, 0, 1 << 16,
                             1 << 16);
  }
  const std::uint8_t* sourcePlanes[4] = {frame.luma(), frame.chroma(), nullptr, nullptr};
  const int sourceStrides[4] = {static_cast<int>(frame.lumaStride()), static_cast<int>(frame.chromaStride()), 0, 0};
  std::uint8_t* targetPlanes[4] = {out, nullptr, nullptr, nullptr};
  const int targetStrides[4] = {static_cast<int>(stride), 0, 0, 0};
  return sws_scale(s.context, sourcePlanes, sourceStrides, 0, frame.height(), targetPlanes, targetStrides) ==
         frame.height();
}

} // namespace pd::platform::media
