#include "platform/media/MediaDuration.hpp"

#include "platform/media/FFmpegLog.hpp"
#include "platform/media/HeldRegularFile.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cmath>

namespace pd::platform::media {

std::optional<double> mediaDuration(const std::filesystem::path& file) {
  installFFmpegLog();
  const HeldRegularFile held(file);
  if (!held.held()) {
    return std::nullopt;
  }
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, held.name().c_str(), nullptr, nullptr) < 0) {
    return std::nullopt;
  }
  std::optional<double> seconds;
  if (avformat_find_stream_info(format, nullptr) >= 0 && format->duration != AV_NOPTS_VALUE && format->duration >= 0) {
    const double value = static_cast<double>(format->duration) / AV_TIME_BASE;
    if (std::isfinite(value)) {
      seconds = value;
    }
  }
  avformat_close_input(&format);
  return seconds;
}

} // namespace pd::platform::media
