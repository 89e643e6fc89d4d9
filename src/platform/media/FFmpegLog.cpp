#include "platform/media/FFmpegLog.hpp"

#include "platform/log/LogStore.hpp"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace pd::platform::media {
namespace {

// FFmpeg writes one line in several calls; each thread gathers the parts up to the newline.
// A line that never ends is cut at this length.
constexpr std::size_t kMaxLineBytes = 4096;

log::Level levelOf(int level) {
  if (level <= AV_LOG_FATAL) return log::Level::fault;
  if (level <= AV_LOG_ERROR) return log::Level::error;
  if (level <= AV_LOG_INFO) return log::Level::notice;
  return log::Level::debug;
}

std::string categoryOf(void* component) {
  if (component == nullptr) return "default";
  const AVClass* avClass = *static_cast<AVClass**>(component);
  if (avClass == nullptr || avClass->item_name == nullptr) return "default";
  const char* name = avClass->item_name(component);
  return name != nullptr && name[0] != '\0' ? name : "default";
}

void forward(void* component, int level, const char* format, va_list arguments) {
  if (level > av_log_get_level()) return;
  thread_local std::string pending;
  char chunk[1024];
  va_list again;
  va_copy(again, arguments);
  const int written = std::vsnprintf(chunk, sizeof chunk, format, arguments);
  if (written >= 0 && static_cast<std::size_t>(written) < sizeof chunk) {
    pending.append(chunk, static_cast<std::size_t>(written));
  } else if (written >= 0) {
    // Cut to the buffer the message would lose its end, newline included, and the next message
    // would run on in the same line: it is formatted again, whole up to the longest line kept
    // (longer, the line is cut and ends there whatever its end).
    const std::size_t kept = std::min(static_cast<std::size_t>(written), kMaxLineBytes);
    std::string longer(kept + 1, '\0');
    std::vsnprintf(longer.data(), longer.size(), format, again);
    pending.append(longer.data(), kept);
  }
  va_end(again);
  if (written < 0) return;
  if (pending.size() > kMaxLineBytes) pending.resize(kMaxLineBytes);
  if (pending.empty() || (pending.back() != '\n' && pending.size() < kMaxLineBytes)) return;
  std::string_view line = pending;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (!line.empty()) log::recordExternal("org.ffmpeg", categoryOf(component), levelOf(level), line);
  pending.clear();
}

} // namespace

void installFFmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(&forward); });
}

} // namespace pd::platform::media
