#pragma once

// The fragmented MP4 fixtures of tools/fixtures, made at test time, and the ffmpeg tools' answers.

#include "remotesource/ResolvedStream.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace pd::relay::test {

// Makes a "video", "audio" or "plain" file of `seconds`; false when ffmpeg failed.
inline bool makeFixture(const std::string& kind, const std::filesystem::path& file, int seconds) {
  const std::string command = "'" PD_SOURCE_DIR "/tools/fixtures/make-fmp4-fixture.sh' " + kind + " '" + file.string() +
                              "' " + std::to_string(seconds);
  return std::system(command.c_str()) == 0;
}

// The command's standard output, and whether it exited with 0.
inline std::pair<std::string, bool> run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {out, false};
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  return {out, ::pclose(pipe) == 0};
}

// The tracks' attributes as a lookup would give them for the fixtures.
inline remotesource::ResolvedStream fixtureStream() {
  remotesource::ResolvedStream stream;
  stream.video.codec = "avc1.4d400d";
  stream.video.bitrate = 300'000;
  stream.audio.emplace();
  stream.audio->codec = "mp4a.40.2";
  stream.audio->bitrate = 96'000;
  stream.resolution = "320x180";
  return stream;
}

} // namespace pd::relay::test
