#pragma once

// FFmpeg's own messages go to the process's log store under the subsystem "org.ffmpeg", with
// the reporting component (for example "hevc") as the category, instead of straight to stderr.

namespace pd::platform::media {

// Routes FFmpeg's messages into the log store. Idempotent and thread-safe; every user of
// FFmpeg in the process calls it before its first FFmpeg call.
void installFFmpegLog();

} // namespace pd::platform::media
