// FFmpeg's messages as they reach the log store.

#include "platform/log/LogStore.hpp"
#include "platform/media/FFmpegLog.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <string>
#include <vector>

namespace pd::platform::media {
namespace {

std::vector<std::string> ffmpegMessagesAfter(std::uint64_t mark) {
  std::vector<std::string> messages;
  for (const auto& entry : log::LogStore::shared().entriesAfter(mark, {.subsystems = {"org.ffmpeg"}})) {
    messages.push_back(entry.message);
  }
  return messages;
}

TEST(FFmpegLogTest, EachMessageEndsItsOwnLineAlsoPastTheFormattingBuffer) {
  installFFmpegLog();
  const std::uint64_t mark = log::LogStore::shared().lastSequence();
  const std::string longText(1500, 'x');
  av_log(nullptr, AV_LOG_ERROR, "%s\n", longText.c_str());
  av_log(nullptr, AV_LOG_ERROR, "short\n");
  // One line in two calls, as FFmpeg writes its prefixed lines.
  av_log(nullptr, AV_LOG_ERROR, "%s", longText.c_str());
  av_log(nullptr, AV_LOG_ERROR, " tail\n");
  // Past the longest line kept: cut there, and still a line of its own.
  const std::string overlong(5000, 'y');
  av_log(nullptr, AV_LOG_ERROR, "%s\n", overlong.c_str());
  av_log(nullptr, AV_LOG_ERROR, "after\n");
  EXPECT_EQ(ffmpegMessagesAfter(mark),
            (std::vector<std::string>{longText, "short", longText + " tail", overlong.substr(0, 4096), "after"}));
}

} // namespace
} // namespace pd::platform::media
