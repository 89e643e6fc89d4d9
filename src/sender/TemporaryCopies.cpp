#include "sender/TemporaryCopies.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/paths/Paths.hpp"
#include "relay/LoopbackFetch.hpp"
#include "runtime/ThreadPools.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <algorithm>
#include <cstdio>
#include <string>
#include <system_error>

namespace pd::sender {

namespace {

using diagnostics::Log;

bool hasPrefix(const std::filesystem::path& path, std::string_view prefix) {
  return path.filename().native().starts_with(prefix);
}

// The later of the entry's modification and status-change times, without following a link.
std::optional<std::chrono::system_clock::time_point> changeTime(const std::filesystem::path& entry) {
  struct ::stat info {};
  if (::lstat(entry.c_str(), &info) != 0) return std::nullopt;
  // A file's seconds may be any 64-bit value that someone set; the clock counts nanoseconds in 64
  // bits (about the years 1678 to 2261), so a time beyond that is held at the clock's edge.
  const auto at = [](const ::timespec& time) {
    using Clock = std::chrono::system_clock;
    constexpr decltype(time.tv_sec) kLimit = 9'000'000'000;
    if (time.tv_sec >= kLimit) return Clock::time_point::max();
    if (time.tv_sec <= -kLimit) return Clock::time_point::min();
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(time.tv_sec) +
                                                                         std::chrono::nanoseconds(time.tv_nsec)));
  };
  return std::max(at(info.st_mtim), at(info.st_ctim));
}

// The whole of a small file of /proc, empty when it cannot be read.
std::string readSmallFile(const char* path) {
  std::string text;
  if (std::FILE* file = std::fopen(path, "r")) {
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < 65'536;) {
      text.append(buffer, count);
    }
    std::fclose(file);
  }
  return text;
}

std::optional<long long> parseInteger(std::string_view text) {
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

} // namespace

std::filesystem::path temporaryFolder(const std::optional<std::filesystem::path>& cachesDirectory) {
  const auto caches = cachesDirectory ? cachesDirectory : platform::paths::cachesDirectory();
  if (!caches) return platform::paths::privateTemporaryDirectory();
  std::error_code error;
  platform::paths::createPrivateDirectories(*caches, error);
  auto folder = *caches / "tmp";
  platform::paths::ensurePrivateDirectory(folder);
  return folder;
}

std::filesystem::path removalTarget(const std::filesystem::path& copy, const std::filesystem::path& folder) {
  const auto parent = copy.parent_path();
  if (hasPrefix(parent, kDropFolderPrefix) && parent.parent_path() == folder) return parent;
  return copy;
}

void removeTemporaryCopyLater(const std::filesystem::path& copy,
                              const std::optional<std::filesystem::path>& cachesDirectory) {
  runtime::backgroundPool().post([copy, caches = cachesDirectory] {
    std::optional<std::filesystem::path> folder;
    try {
      folder = temporaryFolder(caches);
    } catch (const std::exception&) {}
    removeTemporaryItem(folder ? removalTarget(copy, *folder) : copy);
  });
}

void removeTemporaryItem(const std::filesystem::path& item) {
  const auto name = item.filename().string();
  try {
    std::filesystem::remove_all(item);
    Log::localvideo().notice("temp_copy_delete file=%s", name);
  } catch (const std::exception& error) {
    const auto fields = diagnostics::LogErrorFields::fields(error, true);
    Log::localvideo().error("temp_copy_delete_fail file=%s err_domain=%{public}s err_code=%ld error=%s", name,
                            fields.domain, fields.code, fields.detail);
  }
}

void sweepLeftovers(const std::filesystem::path& folder, std::chrono::system_clock::time_point keepSince) {
  std::vector<std::filesystem::path> entries;
  try {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) entries.push_back(entry.path());
  } catch (const std::exception&) {
    return;
  }
  // A tempo analysis' download is left behind when the process ended during the analysis; while
  // it still arrived it was a hidden partial file beside its final name.
  const std::string partialRemoteBPMPrefix = relay::partialNamePrefix(kRemoteBPMPrefix);
  for (const auto& entry : entries) {
    if (!hasPrefix(entry, kDropFolderPrefix) && !hasPrefix(entry, kRemoteBPMPrefix) &&
        !hasPrefix(entry, partialRemoteBPMPrefix)) {
      continue;
    }
    // An entry that cannot be read any more was most likely removed since the listing, by the
    // send that superseded its copy or the analysis that ended: it is no leftover of ours to
    // remove or to report.
    const auto changed = changeTime(entry);
    if (!changed || *changed >= keepSince) continue;
    removeTemporaryItem(entry);
  }
}

std::chrono::system_clock::time_point processStartTime() {
  const auto now = std::chrono::system_clock::now();
  const auto stat = readSmallFile("/proc/self/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return now;
  // After the command's closing parenthesis come fields 3 onwards; the start time is field 22,
  // in clock ticks since boot.
  std::optional<long long> ticks;
  std::string_view rest = std::string_view(stat).substr(close + 1);
  for (int index = 2; index < 22 && !rest.empty(); ++index) {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    const auto end = std::min(rest.find(' '), rest.size());
    if (index == 21) ticks = parseInteger(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  std::optional<long long> bootSeconds;
  const auto system = readSmallFile("/proc/stat");
  if (const auto at = system.find("\nbtime "); at != std::string::npos) {
    const auto from = at + 7;
    bootSeconds = parseInteger(std::string_view(system).substr(from, system.find('\n', from) - from));
  }
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (!ticks || !bootSeconds || ticksPerSecond <= 0) return now;
  // Whole seconds, rounded down: a start read early keeps a racing drop, never the reverse.
  const auto start =
      std::chrono::system_clock::time_point(std::chrono::seconds(*bootSeconds + *ticks / ticksPerSecond));
  return std::min(start, now);
}

} // namespace pd::sender
