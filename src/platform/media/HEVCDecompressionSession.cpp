#include "platform/media/HEVCDecompressionSession.hpp"

#include "platform/media/FFmpegLog.hpp"
#include "platform/media/VideoFrameConverter.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

namespace pd::platform::media {
namespace {

// Enough for the frame threads plus the deepest reordering HEVC allows; contexts of access units
// whose picture the decoder dropped age out beyond it.
constexpr std::size_t kMaxContextsInFlight = 128;
// A drain ends at EOF; the bound only guards against a decoder that never says so.
constexpr int kMaxDrainSteps = 1024;

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct BufferDeleter {
  void operator()(AVBufferRef* buffer) const noexcept { av_buffer_unref(&buffer); }
};
using BufferRef = std::unique_ptr<AVBufferRef, BufferDeleter>;

bool deviceSupportsNV12(AVBufferRef* device) {
  AVHWFramesConstraints* constraints = av_hwdevice_get_hwframe_constraints(device, nullptr);
  if (constraints == nullptr) return false;
  bool found = false;
  for (const AVPixelFormat* format = constraints->valid_sw_formats; format != nullptr && *format != AV_PIX_FMT_NONE;
       ++format)
    found = found || *format == AV_PIX_FMT_NV12;
  av_hwframe_constraints_free(&constraints);
  return found;
}

// The first render node whose VAAPI driver opens and offers NV12 surfaces, looked for once per
// process (opening a driver takes tens of milliseconds) and shared by every session.
AVBufferRef* sharedVaapiDevice() {
  static std::once_flag once;
  static AVBufferRef* device = nullptr;
  std::call_once(once, [] {
    std::vector<std::string> nodes;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/dev/dri", error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.starts_with("renderD")) nodes.push_back(it->path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    for (const std::string& node : nodes) {
      AVBufferRef* candidate = nullptr;
      if (av_hwdevice_ctx_create(&candidate, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) continue;
      if (deviceSupportsNV12(candidate)) {
        device = candidate;
        return;
      }
      av_buffer_unref(&candidate);
    }
  });
  return device;
}

} // namespace

struct HEVCDecompressionSession::State {
  std::unique_ptr<AVCodecContext, CodecContextDeleter> codec;
  std::unique_ptr<AVFrame, FrameDeleter> picture{av_frame_alloc()};
  VideoFrameConverter converter;
  OutputHandler output;
  bool hardware = false;
  int threads = 1;
  std::int64_t nextTag = 0;
  std::deque<std::pair<std::int64_t, SourceFrameContext>> contexts;

  std::optional<SourceFrameContext> takeContext(std::int64_t tag) {
    const auto found =
        std::find_if(contexts.begin(), contexts.end(), [tag](const auto& entry) { return entry.first == tag; });
    if (found == contexts.end()) return std::nullopt;
    const SourceFrameContext context = found->second;
    contexts.erase(found);
    return context;
  }

  void deliverPicture() {
    AVFrame& frame = *picture;
    const std::optional<SourceFrameContext> context = takeContext(frame.pts);
    int status = 0;
    std::shared_ptr<VideoFrame> converted =
        converter.convert(frame, context ? context->presentationTime : runtime::Clock::MonotonicTime{}, status);
    av_frame_unref(&frame);
    if (converted) output(0, std::move(converted), context);
    else output(status < 0 ? status : AVERROR_UNKNOWN, nullptr, context);
  }

  // Takes every picture the decoder has ready. EAGAIN when it wants more input, EOF after a
  // drain, or the error it reported (already handed to the output).
  int receivePictures() {
    for (;;) {
      const int status = avcodec_receive_frame(codec.get(), picture.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return status;
      if (status < 0) {
        output(status, nullptr, std::nullopt);
        return status;
      }
      deliverPicture();
    }
  }
};

HEVCDecompressionSession::HEVCDecompressionSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
HEVCDecompressionSession::~HEVCDecompressionSession() = default;

bool HEVCDecompressionSession::usesHardware() const noexcept { return state_->hardware; }
int HEVCDecompressionSession::threadCount() const noexcept { return state_->threads; }

std::unique_ptr<HEVCDecompressionSession>
HEVCDecompressionSession::create(std::span<const std::uint8_t> configurationRecord, const Options& options,
                                 OutputHandler output, int& status) {
  installFFmpegLog();
  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_HEVC);
  if (decoder == nullptr) {
    status = AVERROR_DECODER_NOT_FOUND;
    return nullptr;
  }
  if (configurationRecord.empty() || configurationRecord.size() > (1u << 20)) {
    status = AVERROR(EINVAL);
    return nullptr;
  }

  auto open = [&](AVBufferRef* device, int& openStatus) -> std::unique_ptr<State> {
    auto state = std::make_unique<State>();
    state->codec.reset(avcodec_alloc_context3(decoder));
    if (!state->codec || !state->picture) {
      openStatus = AVERROR(ENOMEM);
      return nullptr;
    }
    AVCodecContext* context = state->codec.get();
    const auto size = configurationRecord.size();
    context->extradata = static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context->extradata == nullptr) {
      openStatus = AVERROR(ENOMEM);
      return nullptr;
    }
    std::memcpy(context->extradata, configurationRecord.data(), size);
    context->extradata_size = static_cast<int>(size);
    state->threads = std::clamp(options.threadCount, 1, 64);
    // The conformance window is cropped to the sample: by default FFmpeg keeps the data pointers
    // aligned and leaves up to 63 columns left of the window in the picture, shown as if they
    // belonged to it.
    context->flags |= AV_CODEC_FLAG_UNALIGNED;
    context->thread_count = state->threads;
    context->thread_type =
        options.threading == Threading::lowLatency ? FF_THREAD_SLICE : FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (device != nullptr) {
      context->hw_device_ctx = av_buffer_ref(device);
      if (context->hw_device_ctx == nullptr) {
        openStatus = AVERROR(ENOMEM);
        return nullptr;
      }
    }
    openStatus = avcodec_open2(context, decoder, nullptr);
    if (openStatus < 0) return nullptr;
    state->hardware = device != nullptr;
    return state;
  };

  AVBufferRef* device = options.allowHardware ? sharedVaapiDevice() : nullptr;
  std::unique_ptr<State> state = open(device, status);
  if (!state && device != nullptr) state = open(nullptr, status);
  if (!state) return nullptr;
  state->output = std::move(output);
  status = 0;
  return std::unique_ptr<HEVCDecompressionSession>(new HEVCDecompressionSession(std::move(state)));
}

int HEVCDecompressionSession::decodeFrame(EncodedPacket packet, const SourceFrameContext& context) {
  AVPacket* data = packet.get();
  if (data == nullptr) return AVERROR(EINVAL);
  State& state = *state_;
  const std::int64_t tag = state.nextTag++;
  data->pts = tag;
  state.contexts.emplace_back(tag, context);
  if (state.contexts.size() > kMaxContextsInFlight) state.contexts.pop_front();

  int status = avcodec_send_packet(state.codec.get(), data);
  if (status == AVERROR(EAGAIN)) {
    // Only when pictures are waiting to be taken; take them and offer the unit again.
    state.receivePictures();
    status = avcodec_send_packet(state.codec.get(), data);
  }
  if (status < 0) state.takeContext(tag);
  state.receivePictures();
  return status < 0 ? status : 0;
}

void HEVCDecompressionSession::waitForAsynchronousFrames() {
  State& state = *state_;
  if (avcodec_send_packet(state.codec.get(), nullptr) >= 0) {
    for (int step = 0; step < kMaxDrainSteps; ++step) {
      const int status = state.receivePictures();
      // An error is one picture's; the ones behind it still come.
      if (status == AVERROR_EOF || status == AVERROR(EAGAIN)) break;
    }
  }
  avcodec_flush_buffers(state.codec.get());
  state.contexts.clear();
}

} // namespace pd::platform::media
