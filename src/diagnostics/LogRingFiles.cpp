// The log ring as it lies on disk: the manifest format, the launch sequence, the launch
// folders and their order, pruning, the previous-exit verdict and the launch selection for
// export. Nothing here keeps state; the running ring (LogRing.cpp) calls it on its queue.

#include "diagnostics/FileAccess.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/json/Document.hpp"
#include "platform/json/JsonWriter.hpp"
#include "platform/paths/Paths.hpp"

#include <nlohmann/json.hpp>

#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <limits>

namespace pd::diagnostics {

namespace fs = std::filesystem;
using platform::json::Value;

namespace {

constexpr std::string_view kManifestFileName = "manifest.json";
constexpr std::string_view kSequenceFileName = "launch.seq";
// A manifest lists a few records per flush; this bounds a damaged or foreign file.
constexpr std::size_t kMaxManifestBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxSequenceFileBytes = 4096;

nlohmann::json encodeSegment(const LogRing::Segment& segment) {
  nlohmann::json out = {{"file", segment.file}, {"entries", segment.entries}, {"bytes", segment.bytes}};
  if (segment.firstTs) out["first_ts"] = *segment.firstTs;
  if (segment.lastTs) out["last_ts"] = *segment.lastTs;
  return out;
}

std::vector<LogRing::Segment> decodeSegments(const Value& list) {
  std::vector<LogRing::Segment> out;
  for (const Value& item : list.elements()) {
    LogRing::Segment segment;
    segment.file = item["file"].asString();
    segment.entries = item["entries"].asInt64();
    segment.bytes = item["bytes"].asInt64();
    if (auto first = item.optional("first_ts")) segment.firstTs = first->asString();
    if (auto last = item.optional("last_ts")) segment.lastTs = last->asString();
    out.push_back(std::move(segment));
  }
  return out;
}

bool isHex(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isAsciiSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A signed decimal: an optional "+" or "-", then digits only. None on anything else or overflow.
std::optional<std::int64_t> parseSignedDecimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (magnitude > kMax + 1) return std::nullopt;
    return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

// "YYYY-MM-DDTHH:MM:SSZ", UTC, whole seconds.
std::string formatWholeSeconds(runtime::Clock::WallTime time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss clock{seconds - day};
  char buffer[40];
  const int length = std::snprintf(
      buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
      static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
  return std::string(buffer, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof buffer) - 1)));
}

// ".<name>.XXXXXX", what an atomic write of one of the ring's own files leaves when it is cut
// short. Nothing else in the ring's folders is ours to remove.
bool isOwnTemporaryName(std::string_view name) {
  if (name.size() < 9 || name.front() != '.') return false;
  const std::string_view suffix = name.substr(name.size() - 7);
  if (suffix.front() != '.' || !std::all_of(suffix.begin() + 1, suffix.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      })) {
    return false;
  }
  const std::string_view file = name.substr(1, name.size() - 8);
  if (file == kManifestFileName || file == kSequenceFileName) return true;
  for (const std::string_view prefix : {std::string_view("seg-"), std::string_view("apple-")}) {
    if (!file.starts_with(prefix) || !file.ends_with(".ndjson")) continue;
    const std::string_view number = file.substr(prefix.size(), file.size() - prefix.size() - 7);
    return number.size() >= 6 && std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
  }
  return false;
}

void removeStaleTemporaryFilesIn(const fs::path& directory, fs::file_time_type olderThan) {
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code fileError;
    if (!isOwnTemporaryName(it->path().filename().string()) || !fs::is_regular_file(it->symlink_status(fileError)) ||
        fileError) {
      continue;
    }
    const auto written = fs::last_write_time(it->path(), fileError);
    if (!fileError && written < olderThan) fs::remove(it->path(), fileError);
  }
}

struct Launch {
  fs::path directory;
  std::optional<LogRing::Manifest> manifest;
  std::string key;
};

// A launch that ended at the single-instance guard: its manifest never got a sequence number.
// A folder without a manifest may be a launch that crashed early, and still counts.
bool endedAtTheGuard(const Launch& launch) { return launch.manifest && !launch.manifest->seq; }

// Every launch folder with its manifest and order key, oldest first. Equal keys are ordered by
// name so that every reader agrees.
std::vector<Launch> sortedLaunches(const fs::path& root) {
  std::vector<Launch> launches;
  for (fs::path& directory : LogRing::listLaunchDirectories(root)) {
    auto manifest = LogRing::Manifest::read(directory);
    std::string key = LogRing::launchSortKey(directory, manifest);
    launches.push_back(Launch{std::move(directory), std::move(manifest), std::move(key)});
  }
  std::sort(launches.begin(), launches.end(), [](const Launch& a, const Launch& b) {
    return a.key != b.key ? a.key < b.key : a.directory.filename() < b.directory.filename();
  });
  return launches;
}

} // namespace

std::string LogRing::Manifest::encode() const {
  nlohmann::json out;
  out["vocab_version"] = vocabVersion;
  out["launch_id"] = launchID;
  out["pid"] = pid;
  out["started_at"] = startedAt;
  if (seq) out["seq"] = *seq;
  out["clean"] = clean;
  out["truncated"] = truncated;
  out["entry_count"] = entryCount;
  out["segments"] = nlohmann::json::array();
  for (const Segment& segment : segments) out["segments"].push_back(encodeSegment(segment));
  out["apple_segments"] = nlohmann::json::array();
  for (const Segment& segment : appleSegments) out["apple_segments"].push_back(encodeSegment(segment));
  if (terminalTracked) out["terminal_tracked"] = *terminalTracked;
  if (terminal) out["terminal"] = {{"reason", terminal->reason}, {"at", terminal->at}};
  // nlohmann::json keeps object keys in a std::map: byte order, as the format wants.
  return platform::json::write(out, {.sortedKeys = true, .escapeSlashes = true});
}

LogRing::Manifest LogRing::Manifest::decode(std::string_view bytes) {
  const auto document = platform::json::Document::parse(bytes, kMaxManifestBytes);
  const Value root = document.root();
  Manifest manifest;
  manifest.vocabVersion = root["vocab_version"].asInt64();
  manifest.launchID = root["launch_id"].asString();
  manifest.pid = root["pid"].asInteger<std::int32_t>();
  manifest.startedAt = root["started_at"].asString();
  if (auto seq = root.optional("seq")) manifest.seq = seq->asInt64();
  manifest.clean = root["clean"].asBool();
  manifest.truncated = root["truncated"].asBool();
  manifest.entryCount = root["entry_count"].asInt64();
  manifest.segments = decodeSegments(root["segments"]);
  manifest.appleSegments = decodeSegments(root["apple_segments"]);
  if (auto tracked = root.optional("terminal_tracked")) manifest.terminalTracked = tracked->asBool();
  if (auto terminal = root.optional("terminal")) {
    manifest.terminal = Terminal{(*terminal)["reason"].asString(), (*terminal)["at"].asString()};
  }
  return manifest;
}

std::optional<LogRing::Manifest> LogRing::Manifest::read(const fs::path& launchDirectory) {
  const auto bytes = readFileBounded(launchDirectory / kManifestFileName, kMaxManifestBytes);
  if (!bytes) return std::nullopt;
  try {
    return decode(*bytes);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string LogRing::EntryLine::encode() const {
  nlohmann::ordered_json out;
  out["ts"] = ts;
  out["level"] = level;
  out["cat"] = cat;
  out["msg"] = msg;
  out["pid"] = pid;
  out["tid"] = std::to_string(tid);
  if (subsystem) out["subsystem"] = *subsystem;
  // The writer replaces invalid UTF-8, so that one bad message cannot stop a launch's log.
  return platform::json::write(out, {.escapeSlashes = true});
}

const std::vector<std::string>& LogRing::platformSubsystems() {
  static const std::vector<std::string> names = {"org.ffmpeg", "se.curl", "org.avahi", "org.pipewire",
                                                 "org.qt-project.qt"};
  return names;
}

fs::path LogRing::rootDirectory() {
  if (const auto support = platform::paths::applicationSupportDirectory()) return *support / "LogRing";
  // Without a data folder the private temporary folder is the only place of our own; its
  // creation is its own safety check, and the ring then lasts until the folder is cleaned.
  try {
    return platform::paths::privateTemporaryDirectory() / "LogRing";
  } catch (const std::exception&) {
    // That folder's name was taken or cannot be made. Any other fixed name in the shared folder
    // could be taken too (a link or a folder of another user's, which would read our log and
    // plant launches for an export to copy), so the last resort is a folder made new for this
    // process alone; the ring then holds this launch only.
  }
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / (std::string(platform::paths::applicationID()) + "-LogRing-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) != nullptr) return pattern;
  // Nowhere of our own: a path under which no folder can ever be made, so that the ring reports
  // that it keeps nothing instead of writing where another user may read.
  return "/dev/null/LogRing";
}

bool LogRing::isLaunchDirectoryName(std::string_view name) noexcept {
  if (name.size() != 36) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? name[i] != '-' : !isHex(name[i])) return false;
  }
  return true;
}

std::int64_t LogRing::nextLaunchSequence(const fs::path& root) {
  std::int64_t stored = 0;
  if (const auto text = readFileBounded(root / kSequenceFileName, kMaxSequenceFileBytes)) {
    std::string_view view(*text);
    while (!view.empty() && isAsciiSpace(view.front())) view.remove_prefix(1);
    while (!view.empty() && isAsciiSpace(view.back())) view.remove_suffix(1);
    stored = parseSignedDecimal(view).value_or(0);
  }
  // The launches on disk carry their numbers too. A lost or damaged file must not restart the
  // count below theirs: every later launch would then sort as older than they are, be the first
  // one pruned and be passed over by the previous-exit verdict, for as many launches as there
  // were before.
  for (const fs::path& directory : listLaunchDirectories(root)) {
    const auto manifest = Manifest::read(directory);
    if (manifest && manifest->seq) stored = std::max(stored, *manifest->seq);
  }
  // The largest number has no successor: the count restarts as for a damaged file.
  const std::int64_t next = stored == std::numeric_limits<std::int64_t>::max() ? 1 : stored + 1;
  try {
    platform::paths::writeFileAtomically(root / kSequenceFileName, std::to_string(next), 0600);
  } catch (const std::exception&) {
    // The next launch may get the same number again; ordering then falls back to start times.
  }
  return next;
}

std::vector<fs::path> LogRing::listLaunchDirectories(const fs::path& root) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code statusError;
    const auto status = it->symlink_status(statusError);
    if (statusError || !fs::is_directory(status)) continue;
    if (!isLaunchDirectoryName(it->path().filename().string())) continue;
    out.push_back(it->path());
  }
  return out;
}

std::uint64_t LogRing::directorySize(const fs::path& directory) {
  std::uint64_t total = 0;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code statusError;
    if (!fs::is_regular_file(it->symlink_status(statusError)) || statusError) continue;
    std::error_code sizeError;
    const std::uintmax_t size = it->file_size(sizeError);
    if (!sizeError) total += size;
  }
  return total;
}

std::string LogRing::launchSortKey(const fs::path& directory, const std::optional<Manifest>& manifest) {
  std::int64_t number = 0;
  std::string text;
  if (manifest) {
    number = manifest->seq.value_or(0);
    text = manifest->startedAt;
  } else if (const auto created = fileCreationTime(directory)) {
    text = formatWholeSeconds(*created);
  }
  char prefix[32];
  const int length = std::snprintf(prefix, sizeof prefix, "%012" PRId64 "|", number);
  return std::string(prefix, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof prefix) - 1))) +
         text;
}

LogRing::PruneResult LogRing::prune(const fs::path& root, std::string_view currentLaunchID, const Limits& limits) {
  const std::vector<Launch> launches = sortedLaunches(root);
  std::vector<std::uint64_t> sizes;
  std::uint64_t total = 0;
  for (const Launch& launch : launches) {
    sizes.push_back(directorySize(launch.directory));
    total += sizes.back();
  }
  // The newest earlier launch that did not end cleanly explains why the user looks at the log.
  std::optional<std::size_t> protectedUnclean;
  for (std::size_t i = launches.size(); i-- > 0;) {
    const Launch& launch = launches[i];
    if (launch.directory.filename().string() == currentLaunchID || endedAtTheGuard(launch)) continue;
    if (!launch.manifest || !launch.manifest->clean) {
      protectedUnclean = i;
      break;
    }
  }

  PruneResult result;
  std::size_t count = launches.size();
  for (std::size_t i = 0; i < launches.size(); ++i) {
    if (launches[i].directory.filename().string() == currentLaunchID || protectedUnclean == i) continue;
    if (count <= limits.maxLaunches && total <= limits.maxRingBytes) continue;
    std::error_code ec;
    fs::remove_all(launches[i].directory, ec);
    if (ec) {
      // Whatever could not be removed still counts against the limits.
      std::error_code existsError;
      if (fs::exists(fs::symlink_status(launches[i].directory, existsError))) {
        const std::uint64_t left = directorySize(launches[i].directory);
        total = total - sizes[i] + left;
        continue;
      }
    }
    total -= sizes[i];
    --count;
    ++result.deleted;
  }
  result.kept = static_cast<std::int64_t>(count);
  result.sizeBytes = total;
  return result;
}

void LogRing::removeStaleTemporaryFiles(const fs::path& root, std::string_view currentLaunchID,
                                        std::chrono::nanoseconds age) {
  // Only old ones: a later launch that is giving up at the single-instance guard may be
  // writing its own folder at this moment.
  const auto olderThan =
      fs::file_time_type::clock::now() - std::chrono::duration_cast<fs::file_time_type::duration>(age);
  removeStaleTemporaryFilesIn(root, olderThan);
  for (const fs::path& directory : listLaunchDirectories(root)) {
    if (directory.filename().string() != currentLaunchID) removeStaleTemporaryFilesIn(directory, olderThan);
  }
}

std::string LogRing::previousExitStatus(const fs::path& root, std::string_view currentLaunchID) {
  std::vector<Launch> launches = sortedLaunches(root);
  std::erase_if(launches, [&](const Launch& launch) {
    return launch.directory.filename().string() == currentLaunchID || endedAtTheGuard(launch);
  });
  if (launches.empty()) return "unknown";
  const Launch& newest = launches.back();
  return newest.manifest && newest.manifest->clean ? "clean" : "unclean";
}

std::vector<fs::path> LogRing::exportLaunches(const fs::path& root, std::optional<std::int64_t> limit,
                                              std::string_view currentLaunchID) {
  std::vector<Launch> launches = sortedLaunches(root);
  std::vector<fs::path> out;
  for (auto it = launches.rbegin(); it != launches.rend(); ++it) out.push_back(std::move(it->directory));
  const auto current =
      std::find_if(out.begin(), out.end(), [&](const fs::path& p) { return p.filename().string() == currentLaunchID; });
  if (current != out.end()) std::rotate(out.begin(), current, current + 1);
  if (limit) {
    const auto keep = static_cast<std::uint64_t>(std::max<std::int64_t>(*limit, 0));
    if (keep < out.size()) out.resize(static_cast<std::size_t>(keep));
  }
  return out;
}

} // namespace pd::diagnostics
