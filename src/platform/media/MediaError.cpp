#include "platform/media/MediaError.hpp"

extern "C" {
#include <libavutil/error.h>
}

namespace pd::platform::media {

namespace {
std::string describe(int averror, const std::string& context) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(averror, text, sizeof text) < 0) return context + ": FFmpeg error " + std::to_string(averror);
  return context + ": " + text;
}
} // namespace

MediaError::MediaError(int averror, const std::string& context)
    : Error("MediaError", averror, describe(averror, context)) {}

} // namespace pd::platform::media
