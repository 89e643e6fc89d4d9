#include "platform/media/AudioSampleReader.hpp"

#include "platform/media/FFmpegLog.hpp"
#include "platform/media/HeldRegularFile.hpp"
#include "platform/media/MediaError.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <exception>

namespace pd::platform::media {

namespace {

// FFmpeg's tagged error numbers are far outside errno's range; AVERROR(e) is just -e.
constexpr int kLargestErrno = 4095;

// About 1.5 s at 44.1 kHz. A stream whose header claims a rate far below the one asked for
// turns each decoded frame into hours of output; handed over whole, one frame would overshoot
// a caller's cap by gigabytes. Real rates and frame sizes stay well within one such buffer.
constexpr std::int64_t kMostSamplesPerBuffer = 65'536;

[[noreturn]] void throwMediaError(int averror, const std::string& context,
                                  const std::filesystem::path* opening = nullptr) {
  const int errnum = -averror;
  if (errnum <= 0 || errnum > kLargestErrno) throw MediaError(averror, context);
  try {
    try {
      throw PosixError(errnum, context);
    } catch (const PosixError&) {
      if (opening != nullptr && (errnum == EACCES || errnum == EPERM))
        std::throw_with_nested(FileReadError(FileReadError::Code::noPermission, opening->string()));
      if (opening != nullptr && errnum == ENOENT)
        std::throw_with_nested(FileReadError(FileReadError::Code::noSuchFile, opening->string()));
      throw;
    }
  } catch (const Error&) {
    std::throw_with_nested(MediaError(averror, context));
  }
}

// A decoder's failure on one packet's data, whatever code it picks for it (invalid data, a
// feature the damaged bits seem to ask for, a bare -1), costs that packet's samples: the decoder
// drops the data that failed. Running out of memory says nothing about the data.
bool isDamagedData(int error) noexcept {
  return error < 0 && error != AVERROR(ENOMEM) && error != AVERROR(EAGAIN) && error != AVERROR_EOF;
}

// A decoder that keeps failing without being given new data is not going to recover.
constexpr int kMostFailuresWithoutAPacket = 64;
// Nor is a demuxer that keeps asking to be called again without moving through the file.
constexpr int kMostRetriesInPlace = 64;

void check(int result, const char* context) {
  if (result < 0) throwMediaError(result, context);
}

} // namespace

struct AudioSampleReader::State {
  AVFormatContext* format = nullptr;
  AVCodecContext* decoder = nullptr;
  SwrContext* resampler = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  int streamIndex = -1;
  int outputRate = 0;
  // What the resampler was set up for; a stream may change its format midway.
  int inputFormat = -1;
  int inputRate = 0;
  AVChannelLayout inputLayout{};
  // The decoded frame is handed over in slices; these many of its samples are converted.
  bool frameHeld = false;
  int frameConsumed = 0;
  int failuresWithoutAPacket = 0;
  // Where the demuxer stood when it last asked to be called again, and how often since.
  std::int64_t retryPosition = -1;
  int retriesInPlace = 0;
  bool finished = false;

  void release() noexcept {
    frameHeld = false;
    av_channel_layout_uninit(&inputLayout);
    swr_free(&resampler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    avformat_close_input(&format);
    finished = true;
  }
  ~State() { release(); }

  void configureResampler(const AVFrame& input) {
    AVChannelLayout layout{};
    if (input.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || av_channel_layout_check(&input.ch_layout) == 0)
      av_channel_layout_default(&layout, input.ch_layout.nb_channels > 0 ? input.ch_layout.nb_channels : 1);
    else check(av_channel_layout_copy(&layout, &input.ch_layout), "copy channel layout");
    if (resampler != nullptr && input.format == inputFormat && input.sample_rate == inputRate &&
        av_channel_layout_compare(&layout, &inputLayout) == 0) {
      av_channel_layout_uninit(&layout);
      return;
    }
    swr_free(&resampler);
    av_channel_layout_uninit(&inputLayout);
    inputLayout = layout;
    inputFormat = input.format;
    inputRate = input.sample_rate;
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    check(swr_alloc_set_opts2(&resampler, &mono, AV_SAMPLE_FMT_FLT, outputRate, &inputLayout,
                              static_cast<AVSampleFormat>(inputFormat), inputRate, 0, nullptr),
          "set up sample conversion");
    check(swr_init(resampler), "start sample conversion");
  }

  // Converts the held frame's next slice; the frame is let go once all of it is converted.
  void convertSlice(std::vector<float>& samples) {
    try {
      const auto sampleFormat = static_cast<AVSampleFormat>(frame->format);
      const int bytes = av_get_bytes_per_sample(sampleFormat);
      const int channels = std::max(frame->ch_layout.nb_channels, 1);
      const bool planar = av_sample_fmt_is_planar(sampleFormat) != 0;
      const std::int64_t inputPerSlice =
          std::max<std::int64_t>(1, kMostSamplesPerBuffer * inputRate / std::max(outputRate, 1));
      const int count = static_cast<int>(std::min<std::int64_t>(frame->nb_samples - frameConsumed, inputPerSlice));
      const auto stride = static_cast<std::size_t>(bytes) * static_cast<std::size_t>(planar ? 1 : channels);
      const auto offset = static_cast<std::size_t>(frameConsumed) * stride;
      std::vector<const std::uint8_t*> planes(static_cast<std::size_t>(planar ? channels : 1));
      for (std::size_t p = 0; p < planes.size(); ++p) planes[p] = frame->extended_data[p] + offset;
      convert(planes.data(), count, samples);
      frameConsumed += count;
    } catch (...) {
      frameHeld = false;
      av_frame_unref(frame);
      throw;
    }
    if (frameConsumed >= frame->nb_samples) {
      frameHeld = false;
      av_frame_unref(frame);
    }
  }

  // input nullptr drains what the resampler holds back.
  void convert(const std::uint8_t** input, int inputCount, std::vector<float>& samples) {
    if (resampler == nullptr) return;
    const int room = swr_get_out_samples(resampler, inputCount);
    check(room, "size converted samples");
    if (room == 0) return;
    const std::size_t at = samples.size();
    samples.resize(at + static_cast<std::size_t>(room));
    auto* out = reinterpret_cast<std::uint8_t*>(samples.data() + at);
    const int converted = swr_convert(resampler, &out, room, input, inputCount);
    if (converted < 0) {
      samples.resize(at);
      throwMediaError(converted, "convert samples");
    }
    samples.resize(at + static_cast<std::size_t>(converted));
  }
};

AudioSampleReader::AudioSampleReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
AudioSampleReader::~AudioSampleReader() = default;

std::unique_ptr<AudioSampleReader> AudioSampleReader::open(const std::filesystem::path& path) {
  installFFmpegLog();
  // A FIFO put in a file's place would block FFmpeg's open for good. Links are followed: a file a
  // person chose to send may be one. Once FFmpeg has opened the held file, it no longer needs holding.
  auto state = std::make_unique<State>();
  {
    const HeldRegularFile held(path, HeldRegularFile::Links::followed);
    if (!held.held()) throwMediaError(AVERROR(held.error()), "open media file", &path);
    if (const int result = avformat_open_input(&state->format, held.name().c_str(), nullptr, nullptr); result < 0)
      throwMediaError(result, "open media file", &path);
  }
  check(avformat_find_stream_info(state->format, nullptr), "read stream information");
  // The first audio stream as the file orders them, not the one FFmpeg would rank best.
  for (unsigned i = 0; i < state->format->nb_streams; ++i) {
    AVStream* stream = state->format->streams[i];
    if (state->streamIndex < 0 && stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
      state->streamIndex = static_cast<int>(i);
    else stream->discard = AVDISCARD_ALL; // the demuxer then skips video packets instead of handing them over
  }
  return std::unique_ptr<AudioSampleReader>(new AudioSampleReader(std::move(state)));
}

bool AudioSampleReader::hasAudioTrack() const noexcept { return state_->streamIndex >= 0; }

void AudioSampleReader::createDecoder() {
  State& s = *state_;
  if (s.format == nullptr || s.streamIndex < 0) throw MediaError(AVERROR_STREAM_NOT_FOUND, "find audio stream");
  const AVCodecParameters* parameters = s.format->streams[s.streamIndex]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  if (codec == nullptr) throw MediaError(AVERROR_DECODER_NOT_FOUND, "find audio decoder");
  s.decoder = avcodec_alloc_context3(codec);
  if (s.decoder == nullptr) throwMediaError(AVERROR(ENOMEM), "allocate audio decoder");
  check(avcodec_parameters_to_context(s.decoder, parameters), "configure audio decoder");
  s.decoder->pkt_timebase = s.format->streams[s.streamIndex]->time_base;
  check(avcodec_open2(s.decoder, codec, nullptr), "open audio decoder");
}

void AudioSampleReader::startReading(int outputSampleRate) {
  State& s = *state_;
  if (s.decoder == nullptr) throw MediaError(AVERROR_DECODER_NOT_FOUND, "start reading");
  if (outputSampleRate < 1 || outputSampleRate > 768000) throw MediaError(AVERROR(EINVAL), "output sample rate");
  s.outputRate = outputSampleRate;
  s.packet = av_packet_alloc();
  s.frame = av_frame_alloc();
  if (s.packet == nullptr || s.frame == nullptr) throwMediaError(AVERROR(ENOMEM), "allocate reading buffers");
  // The decoder's own description of its output, so that a conversion failure shows before the
  // first packet is read; a frame that differs later sets it up anew.
  AVFrame shape{};
  shape.format = s.decoder->sample_fmt;
  shape.sample_rate = s.decoder->sample_rate;
  shape.ch_layout = s.decoder->ch_layout;
  if (shape.sample_rate > 0 && shape.format >= 0) s.configureResampler(shape);
}

bool AudioSampleReader::appendNextBuffer(std::vector<float>& samples) {
  State& s = *state_;
  if (s.finished || s.packet == nullptr) return false;
  if (s.frameHeld) {
    s.convertSlice(samples);
    return true;
  }
  while (true) {
    const int received = avcodec_receive_frame(s.decoder, s.frame);
    if (received == 0) {
      try {
        s.configureResampler(*s.frame);
      } catch (...) {
        av_frame_unref(s.frame);
        throw;
      }
      s.frameHeld = true;
      s.frameConsumed = 0;
      s.convertSlice(samples);
      return true;
    }
    if (received == AVERROR_EOF) {
      const std::size_t before = samples.size();
      s.convert(nullptr, 0, samples);
      s.release();
      return samples.size() > before;
    }
    if (received != AVERROR(EAGAIN)) {
      if (!isDamagedData(received) || ++s.failuresWithoutAPacket > kMostFailuresWithoutAPacket)
        throwMediaError(received, "decode audio");
      continue;
    }

    const int read = av_read_frame(s.format, s.packet);
    if (read == AVERROR_EOF) {
      check(avcodec_send_packet(s.decoder, nullptr), "flush audio decoder");
      continue;
    }
    if (read == AVERROR(EAGAIN)) {
      // Not a failure: a transport stream that lost its sync in a stretch of damage longer than
      // it searches at one go says so, and goes on searching from there when called again.
      const std::int64_t at = s.format->pb != nullptr ? avio_tell(s.format->pb) : -1;
      if (at > s.retryPosition) {
        s.retryPosition = at;
        s.retriesInPlace = 0;
      } else if (++s.retriesInPlace > kMostRetriesInPlace) {
        throwMediaError(read, "read media file");
      }
      continue;
    }
    if (read < 0) throwMediaError(read, "read media file");
    s.retriesInPlace = 0;
    if (s.packet->stream_index != s.streamIndex) {
      av_packet_unref(s.packet);
      continue;
    }
    const int sent = avcodec_send_packet(s.decoder, s.packet);
    av_packet_unref(s.packet);
    s.failuresWithoutAPacket = 0;
    // A damaged packet costs its own samples, not the rest of the track, whether the decoder
    // reports it here or when it is asked for the frames.
    if (sent < 0 && !isDamagedData(sent)) throwMediaError(sent, "decode audio");
  }
}

void AudioSampleReader::cancelReading() noexcept { state_->release(); }

} // namespace pd::platform::media
