#include "platform/media/ThumbnailMaker.hpp"

#include "platform/media/FFmpegLog.hpp"
#include "platform/media/HeldRegularFile.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace pd::platform::media {
namespace {

constexpr int kMaxSide = 16'384;

struct FormatCloser {
  void operator()(AVFormatContext* c) const noexcept { avformat_close_input(&c); }
};
struct CodecCloser {
  void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct ScaleFree {
  void operator()(SwsContext* s) const noexcept { sws_freeContext(s); }
};
struct JpegFree {
  void operator()(void* h) const noexcept { tjDestroy(h); }
};

// How the stored picture becomes the shown one, as the display matrix says.
enum class Turn { none, clockwise, counterClockwise, transpose, antiTranspose, halfTurn, mirror, flip };

Turn turnOf(const std::int32_t* matrix) {
  if (matrix == nullptr) {
    return Turn::none;
  }
  double theta = -std::round(av_display_rotation_get(matrix));
  if (!std::isfinite(theta)) {
    return Turn::none;
  }
  theta -= 360.0 * std::floor(theta / 360.0 + 0.9 / 360.0);
  if (std::fabs(theta - 90.0) < 1.0) {
    return matrix[3] > 0 ? Turn::transpose : Turn::clockwise;
  }
  if (std::fabs(theta - 180.0) < 1.0) {
    if (matrix[0] < 0 && matrix[4] < 0) {
      return Turn::halfTurn;
    }
    return matrix[0] < 0 ? Turn::mirror : (matrix[4] < 0 ? Turn::flip : Turn::none);
  }
  if (std::fabs(theta - 270.0) < 1.0) {
    return matrix[3] < 0 ? Turn::antiTranspose : Turn::counterClockwise;
  }
  return matrix[4] < 0 ? Turn::flip : Turn::none;
}

bool swapsSides(Turn turn) {
  return turn == Turn::clockwise || turn == Turn::counterClockwise || turn == Turn::transpose ||
         turn == Turn::antiTranspose;
}

// RGB pixels of a w x h picture turned into the shown picture.
std::vector<std::uint8_t> turned(const std::vector<std::uint8_t>& in, int w, int h, Turn turn) {
  if (turn == Turn::none) {
    return in;
  }
  const int ow = swapsSides(turn) ? h : w;
  const int oh = swapsSides(turn) ? w : h;
  std::vector<std::uint8_t> out(in.size());
  for (int y = 0; y < oh; ++y) {
    for (int x = 0; x < ow; ++x) {
      int sx = x;
      int sy = y;
      switch (turn) {
      case Turn::clockwise:
        sx = y;
        sy = h - 1 - x;
        break;
      case Turn::counterClockwise:
        sx = w - 1 - y;
        sy = x;
        break;
      case Turn::transpose:
        sx = y;
        sy = x;
        break;
      case Turn::antiTranspose:
        sx = w - 1 - y;
        sy = h - 1 - x;
        break;
      case Turn::halfTurn:
        sx = w - 1 - x;
        sy = h - 1 - y;
        break;
      case Turn::mirror: sx = w - 1 - x; break;
      case Turn::flip: sy = h - 1 - y; break;
      case Turn::none: break;
      }
      const auto source =
          (static_cast<std::size_t>(sy) * static_cast<std::size_t>(w) + static_cast<std::size_t>(sx)) * 3;
      const auto target =
          (static_cast<std::size_t>(y) * static_cast<std::size_t>(ow) + static_cast<std::size_t>(x)) * 3;
      std::copy(&in[source], &in[source] + 3, &out[target]);
    }
  }
  return out;
}

// The frame at `target` (stream time), or the last one before the end.
std::unique_ptr<AVFrame, FrameFree> frameAt(AVFormatContext* format, AVCodecContext* codec, int streamIndex,
                                            std::int64_t target) {
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVFrame, FrameFree> last;
  if (!packet || !frame) {
    return nullptr;
  }
  auto drain = [&]() -> bool {
    while (avcodec_receive_frame(codec, frame.get()) == 0) {
      const auto pts = frame->best_effort_timestamp;
      last.reset(av_frame_alloc());
      if (!last) {
        return true;
      }
      av_frame_move_ref(last.get(), frame.get());
      if (pts != AV_NOPTS_VALUE && pts >= target) {
        return true;
      }
    }
    return false;
  };
  bool sent = false;
  while (av_read_frame(format, packet.get()) >= 0) {
    const bool ours = packet->stream_index == streamIndex;
    if (ours && avcodec_send_packet(codec, packet.get()) >= 0) {
      sent = true;
    }
    av_packet_unref(packet.get());
    if (ours && drain()) {
      return last;
    }
  }
  if (sent) {
    avcodec_send_packet(codec, nullptr);
    drain();
  }
  return last;
}

} // namespace

std::optional<std::string> makeJPEGThumbnail(const std::filesystem::path& video, const ThumbnailOptions& options) {
  installFFmpegLog();
  const HeldRegularFile held(video);
  if (!held.held()) {
    return std::nullopt;
  }
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, held.name().c_str(), nullptr, nullptr) < 0) {
    return std::nullopt;
  }
  std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) {
    return std::nullopt;
  }
  const AVCodec* decoder = nullptr;
  const int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index < 0 || decoder == nullptr) {
    return std::nullopt;
  }
  AVStream* stream = format->streams[index];
  std::unique_ptr<AVCodecContext, CodecCloser> codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0) {
    return std::nullopt;
  }
  codec->thread_count = 0;
  if (avcodec_open2(codec.get(), decoder, nullptr) < 0) {
    return std::nullopt;
  }
  const std::int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  const std::int64_t offset =
      av_rescale_q(std::llround(options.atSeconds * AV_TIME_BASE), AVRational{1, AV_TIME_BASE}, stream->time_base);
  // The start time comes from the file: one near the end of the range would overflow the sum.
  std::int64_t target = start;
  if (__builtin_add_overflow(start, offset, &target)) {
    target = start;
  }
  if (av_seek_frame(format.get(), index, target, AVSEEK_FLAG_BACKWARD) < 0) {
    av_seek_frame(format.get(), index, start, AVSEEK_FLAG_BACKWARD);
  }
  avcodec_flush_buffers(codec.get());
  const auto frame = frameAt(format.get(), codec.get(), index, target);
  if (!frame || frame->width <= 0 || frame->height <= 0 || frame->width > kMaxSide || frame->height > kMaxSide) {
    return std::nullopt;
  }

  const std::int32_t* matrix =
      reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
  const auto turn = turnOf(matrix);
  auto aspect = frame->sample_aspect_ratio.num > 0 ? frame->sample_aspect_ratio : stream->sample_aspect_ratio;
  const double pixelAspect = aspect.num > 0 && aspect.den > 0 ? av_q2d(aspect) : 1.0;
  double shownW = frame->width * std::clamp(pixelAspect, 0.01, 100.0);
  double shownH = frame->height;
  if (swapsSides(turn)) {
    std::swap(shownW, shownH);
  }
  const double scale = std::min({1.0, options.maxWidth / shownW, options.maxHeight / shownH});
  const int outW = std::max(1, static_cast<int>(std::lround(shownW * scale)));
  const int outH = std::max(1, static_cast<int>(std::lround(shownH * scale)));
  const int storedW = swapsSides(turn) ? outH : outW;
  const int storedH = swapsSides(turn) ? outW : outH;

  std::unique_ptr<SwsContext, ScaleFree> scaler(
      sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), storedW, storedH,
                     AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(storedW) * static_cast<std::size_t>(storedH) * 3);
  std::uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
  int strides[4] = {storedW * 3, 0, 0, 0};
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides) != storedH) {
    return std::nullopt;
  }
  const auto shown = turned(rgb, storedW, storedH, turn);

  std::unique_ptr<void, JpegFree> encoder(tjInitCompress());
  if (!encoder) {
    return std::nullopt;
  }
  unsigned char* jpeg = nullptr;
  unsigned long jpegSize = 0;
  if (tjCompress2(encoder.get(), shown.data(), outW, outW * 3, outH, TJPF_RGB, &jpeg, &jpegSize, TJSAMP_420,
                  options.quality, 0) != 0) {
    tjFree(jpeg);
    return std::nullopt;
  }
  std::string bytes(reinterpret_cast<const char*>(jpeg), jpegSize);
  tjFree(jpeg);
  return bytes;
}

} // namespace pd::platform::media
