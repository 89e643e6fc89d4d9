#pragma once

// The ffmpeg command-line tool as the reference decoder of the side-by-side benchmarks.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <tuple>

namespace pd::bench {

// The CLI's own measure of its decoding loop ("rtime=" of -benchmark) for `ffmpeg -threads N
// -i file -f null -`, best of three, so that process start-up does not count against it.
// sliceOnly adds `-thread_type slice` (no frame threads). nullopt when ffmpeg gives no timing.
inline std::optional<double> ffmpegSeconds(const std::string& file, int threads, bool sliceOnly = false) {
  static std::map<std::tuple<std::string, int, bool>, std::optional<double>> cache;
  if (const auto found = cache.find({file, threads, sliceOnly}); found != cache.end()) return found->second;
  std::optional<double> best;
  for (int run = 0; run < 3; ++run) {
    const std::string command = "ffmpeg -nostdin -hide_banner -benchmark -threads " + std::to_string(threads) +
                                (sliceOnly ? " -thread_type slice" : "") + " -i '" + file + "' -f null - 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) break;
    std::string output;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    ::pclose(pipe);
    const auto at = output.rfind("rtime=");
    if (at == std::string::npos) break;
    const double seconds = std::strtod(output.c_str() + at + 6, nullptr);
    if (seconds > 0 && (!best || seconds < *best)) best = seconds;
  }
  cache[{file, threads, sliceOnly}] = best;
  return best;
}

// Wall time of `command` (a shell command line), best of three; nullopt when it fails.
inline std::optional<double> bestWallSeconds(const std::string& command) {
  std::optional<double> best;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return std::nullopt;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!best || seconds < *best) best = seconds;
  }
  return best;
}

// The CLI's start-up alone: the shell, loading the program and its libraries, and their set-up
// (`ffmpeg -version`), best of three.
inline std::optional<double> ffmpegStartupSeconds() {
  return bestWallSeconds("ffmpeg -nostdin -v error -version >/dev/null 2>&1");
}

// Wall time of the CLI making one scaled still, best of three, less its start-up (best of three),
// which an in-process maker never pays. nullopt when the command fails.
inline std::optional<double> ffmpegStillSeconds(const std::string& file, double atSeconds, const std::string& scale,
                                                const std::string& output) {
  const auto still = bestWallSeconds("ffmpeg -nostdin -v error -y -ss " + std::to_string(atSeconds) + " -i '" + file +
                                     "' -frames:v 1 -vf " + scale + " '" + output + "' >/dev/null 2>&1");
  const auto startup = ffmpegStartupSeconds();
  if (!still || !startup) return std::nullopt;
  return *still - *startup;
}

} // namespace pd::bench
