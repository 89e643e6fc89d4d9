#include "diagnostics/LogExporter.hpp"

#include "diagnostics/FileAccess.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/json/Document.hpp"
#include "platform/json/JsonWriter.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/Callback.hpp"
#include "runtime/ThreadPools.hpp"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <unordered_set>

#ifndef PD_APP_DISPLAY_NAME
#define PD_APP_DISPLAY_NAME ""
#endif

namespace pd::diagnostics {

namespace fs = std::filesystem;
using WallTime = runtime::Clock::WallTime;

namespace {

// The ring's cap keeps segments far below this; it bounds what a damaged manifest can name.
constexpr std::size_t kMaxSegmentBytes = 64 * 1024 * 1024;
constexpr std::size_t kMaxPayloadBytes = 8 * 1024 * 1024;
constexpr auto kPayloadWindowSlack = std::chrono::seconds(60);

class OutputFile {
public:
  explicit OutputFile(const fs::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) throw PosixError(errno, "create " + path.string());
  }
  ~OutputFile() { ::close(fd_); } // a failure to close changes nothing for the caller
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        throw PosixError(errno, "write " + path_.string());
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

private:
  fs::path path_;
  int fd_ = -1;
};

// A name that stays inside the launch folder: one path component, not "." or "..".
bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// A manifest is read back from disk, so its counts may be anything: one that is negative adds
// nothing, and the total stops at the largest value instead of overflowing.
void addEntries(std::int64_t& total, std::int64_t entries) {
  if (entries <= 0) return;
  total = entries > std::numeric_limits<std::int64_t>::max() - total ? std::numeric_limits<std::int64_t>::max()
                                                                     : total + entries;
}

std::string line(const nlohmann::ordered_json& value) {
  return platform::json::write(value, {.escapeSlashes = true}) + "\n";
}
std::string line(const nlohmann::json& value) { return platform::json::write(value, {.escapeSlashes = true}) + "\n"; }

// --- time texts -------------------------------------------------------------------------------

class Cursor {
public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool atEnd() const noexcept { return text_.empty(); }
  bool literal(char c) {
    if (text_.empty() || text_.front() != c) return false;
    text_.remove_prefix(1);
    return true;
  }
  // Exactly `digits` decimal digits.
  std::optional<int> number(std::size_t digits) {
    if (text_.size() < digits) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      const char c = text_[i];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    text_.remove_prefix(digits);
    return value;
  }
  // One or more digits of a fraction, as nanoseconds (digits beyond the ninth are dropped).
  std::optional<std::int64_t> fraction() {
    std::size_t n = 0;
    std::int64_t nanos = 0;
    std::int64_t scale = 100'000'000;
    while (n < text_.size() && text_[n] >= '0' && text_[n] <= '9') {
      nanos += (text_[n] - '0') * scale;
      scale /= 10;
      ++n;
    }
    if (n == 0) return std::nullopt;
    text_.remove_prefix(n);
    return nanos;
  }
  char peek() const noexcept { return text_.empty() ? '\0' : text_.front(); }

private:
  std::string_view text_;
};

std::optional<WallTime> makeTime(int year, int month, int day, int hour, int minute, int second, std::int64_t nanos,
                                 int offsetMinutes) {
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::int64_t total = sys_days(date).time_since_epoch().count() * 86'400 + hour * 3600 + minute * 60 + second -
                             std::int64_t{offsetMinutes} * 60;
  // The clock counts nanoseconds in 64 bits: about the years 1678 to 2261.
  constexpr std::int64_t kLimit = 9'000'000'000;
  if (total <= -kLimit || total >= kLimit) return std::nullopt;
  return WallTime(duration_cast<WallTime::duration>(seconds(total) + nanoseconds(nanos)));
}

struct DateTime {
  int year, month, day, hour, minute, second;
};

// "YYYY-MM-DD<separator>HH:MM:SS"
std::optional<DateTime> readDateTime(Cursor& in, char separator) {
  DateTime t{};
  const auto year = in.number(4);
  if (!year || !in.literal('-')) return std::nullopt;
  const auto month = in.number(2);
  if (!month || !in.literal('-')) return std::nullopt;
  const auto day = in.number(2);
  if (!day || !in.literal(separator)) return std::nullopt;
  const auto hour = in.number(2);
  if (!hour || !in.literal(':')) return std::nullopt;
  const auto minute = in.number(2);
  if (!minute || !in.literal(':')) return std::nullopt;
  const auto second = in.number(2);
  if (!second) return std::nullopt;
  t = {*year, *month, *day, *hour, *minute, *second};
  return t;
}

// "Z" or "+HH:MM" / "-HH:MM" (with colon) as minutes east of UTC.
std::optional<int> readOffset(Cursor& in, bool colon) {
  if (colon && in.literal('Z')) return 0;
  const char sign = in.peek();
  if (!in.literal('+') && !in.literal('-')) return std::nullopt;
  const auto hours = in.number(2);
  if (!hours || (colon && !in.literal(':'))) return std::nullopt;
  const auto minutes = in.number(2);
  if (!minutes || *hours > 23 || *minutes > 59) return std::nullopt;
  const int offset = *hours * 60 + *minutes;
  return sign == '-' ? -offset : offset;
}

// ISO 8601 internet date-time; with `fractional` the fraction is required, else forbidden.
std::optional<WallTime> parseInternetDateTime(std::string_view text, bool fractional) {
  Cursor in(text);
  const auto t = readDateTime(in, 'T');
  if (!t) return std::nullopt;
  std::int64_t nanos = 0;
  if (fractional) {
    if (!in.literal('.')) return std::nullopt;
    const auto fraction = in.fraction();
    if (!fraction) return std::nullopt;
    nanos = *fraction;
  }
  const auto offset = readOffset(in, true);
  if (!offset || !in.atEnd()) return std::nullopt;
  return makeTime(t->year, t->month, t->day, t->hour, t->minute, t->second, nanos, *offset);
}

// "yyyy-MM-dd HH:mm:ss Z", as the payloads write it: "2024-05-01 10:00:00 +0000".
std::optional<WallTime> parsePayloadPattern(std::string_view text) {
  Cursor in(text);
  const auto t = readDateTime(in, ' ');
  if (!t || !in.literal(' ')) return std::nullopt;
  const auto offset = readOffset(in, false);
  if (!offset || !in.atEnd()) return std::nullopt;
  return makeTime(t->year, t->month, t->day, t->hour, t->minute, t->second, 0, *offset);
}

std::optional<WallTime> payloadTimeOf(const nlohmann::json& payload) {
  if (!payload.is_object()) return std::nullopt;
  const nlohmann::json* text = nullptr;
  for (const char* key : {"timeStampEnd", "timeStampBegin"}) {
    const auto found = payload.find(key);
    if (found != payload.end() && found->is_string()) {
      text = &*found;
      break;
    }
  }
  if (text == nullptr) return std::nullopt;
  const auto& value = text->get_ref<const std::string&>();
  if (auto parsed = parsePayloadPattern(value)) return parsed;
  return parseInternetDateTime(value, false);
}

std::string localFileTime(WallTime date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) return "00000000-000000";
  char buffer[32];
  const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &local);
  return std::string(buffer, length);
}

// --- waiting for the ring -------------------------------------------------------------------

runtime::Awaitable<void> flushRing(LogRing& ring) {
  co_await runtime::awaitCallback([&ring](auto done) { ring.requestFlush(std::move(done)); });
}

runtime::Awaitable<std::vector<fs::path>> ringLaunches(LogRing& ring, std::optional<std::int64_t> limit) {
  co_return co_await runtime::awaitCallback<std::vector<fs::path>>(
      [&ring, limit](auto done) { ring.launchesForExport(limit, std::move(done)); });
}

} // namespace

std::string_view LogExporter::rawValue(RingScope scope) noexcept {
  switch (scope) {
  case RingScope::currentLaunch: return "current";
  case RingScope::recent3: return "recent3";
  case RingScope::all: return "all";
  }
  return "all";
}

std::optional<std::int64_t> LogExporter::launchLimit(RingScope scope) noexcept {
  switch (scope) {
  case RingScope::currentLaunch: return 1;
  case RingScope::recent3: return 3;
  case RingScope::all: return std::nullopt;
  }
  return std::nullopt;
}

runtime::Awaitable<LogExporter::ExportResult> LogExporter::exportRing(RingScope scope, Environment environment) {
  LogRing& ring = environment.ring != nullptr ? *environment.ring : LogRing::shared();
  const std::string word(rawValue(scope));
  Log::app().notice("export_start scope=%{public}s", word);
  co_await flushRing(ring);
  std::vector<fs::path> launches = co_await ringLaunches(ring, launchLimit(scope));

  std::exception_ptr failure;
  ExportResult result;
  try {
    Context context;
    context.diagnosticsDirectory =
        environment.diagnosticsDirectory.empty() ? ring.root() / "diagnostics" : environment.diagnosticsDirectory;
    context.temporaryDirectory = environment.temporaryDirectory.empty() ? platform::paths::privateTemporaryDirectory()
                                                                        : environment.temporaryDirectory;
    context.currentLaunchID = ring.launchID();
    context.now = runtime::Clock::current().wall();
    context.appDisplayName = appDisplayName();
    context.appVersion = environment.appVersion;
    // Blocking file work belongs off the caller's thread.
    auto writing =
        runtime::spawn(runtime::sharedPool().executor(),
                       [word, launches = std::move(launches), context]() -> runtime::Awaitable<ExportResult> {
                         co_return writeExport(word, launches, context);
                       });
    result = co_await writing.value();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    const auto fields = LogErrorFields::fields(failure, true);
    Log::app().error("export_fail scope=%{public}s err_domain=%{public}s err_code=%ld error=%s", word, fields.domain,
                     fields.code, fields.detail);
    std::rethrow_exception(failure);
  }
  Log::app().notice("export_complete scope=%{public}s entries=%ld size_b=%ld", word, result.entryCount,
                    result.byteCount);
  co_return result;
}

LogExporter::ExportResult LogExporter::writeExport(std::string_view scope, const std::vector<fs::path>& launches,
                                                   const Context& context) {
  removeStaleExports(context.temporaryDirectory);
  ExportResult result;
  result.suggestedFileName = suggestedFileName(context.now, context.appDisplayName);
  result.url = context.temporaryDirectory / result.suggestedFileName;
  // The folder is private to this user, so a name already there is an earlier export of
  // ours (one the clean-up could not delete); it is replaced, a link in its place is not followed.
  ::unlink(result.url.c_str());
  OutputFile file(result.url);
  const auto emit = [&](const std::string& text) {
    file.write(text);
    result.byteCount += static_cast<std::int64_t>(text.size());
  };

  nlohmann::ordered_json header;
  header["type"] = "export_meta";
  header["app"] = context.appDisplayName;
  header["version"] = context.appVersion;
  header["build"] = appBuild();
  header["os"] = osDescription();
  header["device"] = deviceModel();
  header["scope"] = std::string(scope);
  header["exported_at"] = platform::log::formatTimestamp(context.now);
  header["vocab_version"] = LogRing::kVocabVersion;
  emit(line(header));

  for (const fs::path& directory : launches) {
    const std::optional<LogRing::Manifest> manifest = LogRing::Manifest::read(directory);
    const std::string directoryName = directory.filename().string();
    if (!manifest) {
      nlohmann::ordered_json launch;
      launch["type"] = "launch";
      launch["launch_id"] = directoryName;
      launch["truncated"] = true;
      launch["in_progress"] = directoryName == context.currentLaunchID;
      emit(line(launch));
      continue;
    }
    nlohmann::ordered_json launch;
    launch["type"] = "launch";
    launch["launch_id"] = manifest->launchID;
    launch["started_at"] = manifest->startedAt;
    launch["clean"] = manifest->clean;
    launch["truncated"] = manifest->truncated;
    launch["entry_count"] = manifest->entryCount;
    launch["terminal_tracked"] = manifest->terminalTracked.value_or(false);
    launch["in_progress"] = manifest->launchID == context.currentLaunchID;
    if (manifest->terminal) {
      launch["terminal_reason"] = manifest->terminal->reason;
      launch["terminal_at"] = manifest->terminal->at;
    }
    emit(line(launch));

    std::vector<std::string> missing;
    // The ring names each file once; a damaged manifest may name one over and over, and
    // copying it at every mention could make the export grow without bound.
    std::unordered_set<std::string_view> named;
    for (const auto* list : {&manifest->segments, &manifest->appleSegments}) {
      for (const LogRing::Segment& segment : *list) {
        if (!named.insert(segment.file).second) continue;
        std::optional<std::string> bytes;
        if (isPlainFileName(segment.file)) bytes = readFileBounded(directory / segment.file, kMaxSegmentBytes);
        if (!bytes) {
          missing.push_back(segment.file);
          continue;
        }
        file.write(*bytes);
        result.byteCount += static_cast<std::int64_t>(bytes->size());
        addEntries(result.entryCount, segment.entries);
        // The ring ends every line it writes; a file cut short mid-line would otherwise swallow
        // the next line of the export, a launch's summary line included.
        if (!bytes->empty() && bytes->back() != '\n') emit("\n");
      }
    }
    if (!missing.empty()) {
      std::string note;
      try {
        note = line(
            nlohmann::json{{"type", "export_note"}, {"launch_id", manifest->launchID}, {"missing_segments", missing}});
      } catch (const std::exception&) {
        note.clear(); // no note rather than no export
      }
      if (!note.empty()) emit(note);
    }
  }

  // The payloads that belong to the exported span: from a minute before the earliest start.
  std::optional<WallTime> windowStart;
  for (const fs::path& directory : launches) {
    if (const auto manifest = LogRing::Manifest::read(directory)) {
      if (const auto started = parseTimestamp(manifest->startedAt)) {
        if (!windowStart || *started < *windowStart) windowStart = *started;
      }
    }
  }
  const bool filter = scope != "all" && windowStart.has_value();
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(context.diagnosticsDirectory, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) names.clear(); // a listing that fails half-way writes none rather than some
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const auto bytes = readFileBounded(context.diagnosticsDirectory / name, kMaxPayloadBytes);
    if (!bytes) continue;
    std::string text;
    try {
      const auto document = platform::json::Document::parse(*bytes, kMaxPayloadBytes);
      const nlohmann::json& payload = document.tree();
      if (!payload.is_object() && !payload.is_array()) continue;
      if (filter) {
        const auto time = payloadTimeOf(payload);
        if (!time || *time < *windowStart - kPayloadWindowSlack) continue;
      }
      text = line(nlohmann::json{{"type", "diagnostic"}, {"file", name}, {"payload", payload}});
    } catch (const std::exception&) {
      continue;
    }
    emit(text);
    addEntries(result.entryCount, 1);
  }
  return result;
}

void LogExporter::removeStaleExports(const fs::path& directory) {
  std::error_code ec;
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->path().extension() == ".ndjson" && name.find("-Log-") != std::string::npos) stale.push_back(it->path());
  }
  // unlink removes files and links (never what a link points to) and refuses folders.
  for (const fs::path& file : stale) ::unlink(file.c_str());
}

std::string LogExporter::suggestedFileName(WallTime date, std::string_view displayName) {
  std::string base;
  for (const char c : displayName) {
    if (c != ' ' && c != '/' && c != ':' && c != '\\') base.push_back(c);
  }
  if (base.empty()) base = "PalendrixDisplay";
  return base + "-Log-" + localFileTime(date) + ".ndjson";
}

std::string LogExporter::appDisplayName() {
  const std::string_view configured = PD_APP_DISPLAY_NAME;
  if (!configured.empty()) return std::string(configured);
  if (const auto comm = readFileBounded("/proc/self/comm", 256)) {
    std::string name = *comm;
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
    if (!name.empty()) return platform::log::toValidUtf8(name);
  }
  return "unknown";
}

std::string LogExporter::appBuild() {
#ifdef PD_APP_BUILD
  return PD_APP_BUILD;
#else
  return "unknown";
#endif
}

std::string LogExporter::osDescription() {
  utsname names{};
  if (::uname(&names) != 0) return osDescription("");
  return osDescription(std::string_view(names.release, ::strnlen(names.release, sizeof names.release)));
}

std::string LogExporter::osDescription(std::string_view kernelRelease) {
  std::uint32_t parts[3] = {0, 0, 0};
  for (std::size_t i = 0; i < 3; ++i) {
    std::size_t digits = 0;
    while (digits < kernelRelease.size() && kernelRelease[digits] >= '0' && kernelRelease[digits] <= '9') ++digits;
    if (digits == 0) break;
    std::uint32_t value = 0;
    const auto parsed = std::from_chars(kernelRelease.data(), kernelRelease.data() + digits, value);
    parts[i] = parsed.ec == std::errc() ? value : 0;
    kernelRelease.remove_prefix(digits);
    if (kernelRelease.empty() || kernelRelease.front() != '.') break;
    kernelRelease.remove_prefix(1);
  }
  return "Linux " + std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]);
}

std::string LogExporter::deviceModel() { return deviceModel("/sys/class/dmi/id/product_name"); }

std::string LogExporter::deviceModel(const fs::path& productNameFile) {
  auto text = readFileBounded(productNameFile, 4096);
  if (!text) return "unknown";
  std::string name = text->substr(0, text->find('\0'));
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ' || name.back() == '\t' || name.back() == '\r')) {
    name.pop_back();
  }
  if (name.empty()) return "unknown";
  return platform::log::toValidUtf8(name);
}

std::optional<WallTime> LogExporter::payloadTime(std::string_view payloadJson) {
  try {
    const auto document = platform::json::Document::parse(payloadJson, kMaxPayloadBytes);
    return payloadTimeOf(document.tree());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<WallTime> LogExporter::parseTimestamp(std::string_view text) { return parseInternetDateTime(text, true); }

} // namespace pd::diagnostics
