#include "platform/settings/UserDefaults.hpp"

#include "platform/json/Document.hpp"
#include "platform/json/JsonWriter.hpp"
#include "platform/log/Logger.hpp"
#include "platform/paths/Paths.hpp"
#include "platform/text/Ascii.hpp"

#include <boost/signals2/signal.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <utility>

namespace pd::platform::settings {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// Larger than any settings file we write; a bigger file is treated as damaged (and kept).
constexpr std::size_t kMaxFileBytes = 8 * 1024 * 1024;

// `unreadable`: the file could not be opened or read (no access, no descriptor free, an I/O
// error), which says nothing about its contents.
enum class LoadOutcome { loaded, absent, damaged, unreadable };

struct LoadResult {
  LoadOutcome outcome;
  Json values;
  int error = 0; // errno, for `unreadable`
};

LoadResult loadFile(const fs::path& file) {
  // Non-blocking: a pipe left at the name would otherwise hold the first read, and with it the
  // start, until some writer came. Read at once it is empty, so damaged, and set aside.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return {LoadOutcome::absent, Json::object()};
    return {LoadOutcome::unreadable, Json::object(), errno};
  }
  std::string bytes;
  int readError = 0;
  bool tooLarge = false;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      readError = errno;
      break;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
    if (bytes.size() > kMaxFileBytes) {
      tooLarge = true;
      break;
    }
  }
  ::close(fd);
  if (readError != 0) return {LoadOutcome::unreadable, Json::object(), readError};
  if (tooLarge) return {LoadOutcome::damaged, Json::object()};
  try {
    auto document = json::Document::parse(bytes, kMaxFileBytes);
    if (!document.tree().is_object()) return {LoadOutcome::damaged, Json::object()};
    return {LoadOutcome::loaded, document.tree()};
  } catch (const json::DecodingError&) {
    return {LoadOutcome::damaged, Json::object()};
  }
}

bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view skipLeadingSpace(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isAsciiSpace(text[i])) ++i;
  return text.substr(i);
}

// Like the platform's string-to-integer reading: blanks, an optional sign, then as many
// digits as there are; saturated at the int64 limits; 0 when no digit follows.
std::int64_t leadingInteger(std::string_view text) {
  text = skipLeadingSpace(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0; // accumulated negatively, so that the minimum fits
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const int digit = c - '0';
    if (value < (kMin + digit) / 10) return negative ? kMin : kMax;
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == kMin ? kMax : -value;
}

double leadingDouble(std::string_view text) {
  text = skipLeadingSpace(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || std::isnan(value)) return 0.0;
  return value;
}

std::int64_t saturatingInteger(double value) {
  constexpr double kTwoPow63 = 9223372036854775808.0;
  if (std::isnan(value)) return 0;
  if (value >= kTwoPow63) return std::numeric_limits<std::int64_t>::max();
  if (value < -kTwoPow63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> numberAsInteger(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto u = value.get<std::uint64_t>();
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return u > kMax ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) return saturatingInteger(value.get<double>());
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  return std::nullopt;
}

std::string numberText(const Json& value) {
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
  if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
  // Shortest text that reads back: 0.5 -> "0.5", 2.0 -> "2", 1e16 -> "1e+16".
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value.get<double>());
  return std::string(buffer, result.ptr);
}

// A 1 stored over a 1.0 is a change: readers that check the stored type see it.
bool sameStoredValue(const Json& a, const Json& b) {
  if (a.is_number() && b.is_number()) {
    if (a.is_number_float() != b.is_number_float()) return false;
  } else if (a.type() != b.type()) {
    return false;
  }
  return a == b;
}

// Strings made valid UTF-8 and numbers checked finite, so that memory holds exactly what the
// file will hold.
Json canonical(const Json& value) {
  try {
    return Json::parse(json::write(value));
  } catch (const json::EncodingError& e) {
    throw std::invalid_argument(std::string("UserDefaults: ") + e.detail());
  }
}

std::atomic<UserDefaults*> installedStandard{nullptr};

} // namespace

struct UserDefaults::Impl {
  explicit Impl(std::optional<fs::path> path) : file(std::move(path)) {}

  const std::optional<fs::path> file;
  boost::signals2::signal<void(const std::string&)> changed;

  mutable std::mutex mutex;
  // Guarded by mutex; `values` is filled on first use.
  mutable bool loaded = false;
  mutable Json values = Json::object();
  // The file on disk could not be read as settings: set it aside before replacing it.
  mutable bool keepDamagedFile = false;
  bool dirty = false;
  // While the file cannot be read, `values` holds only this process's changes, and nothing is
  // written, since a write would replace keys we never saw. Each change is also kept here (a
  // removal as null) to be applied over the file once it reads again.
  mutable Json unappliedChanges = Json::object();
  // The error of the first failed read of a run of them, for the caller to log once unlocked.
  mutable int readErrorToReport = 0;
  mutable bool readFailing = false;
  // The name a damaged file was just set aside under, for the caller to log once unlocked.
  std::string setAsideToReport;

  void loadLocked() const {
    if (loaded) return;
    if (!file) {
      loaded = true;
      return;
    }
    LoadResult result = loadFile(*file);
    if (result.outcome == LoadOutcome::unreadable) {
      if (!readFailing) readErrorToReport = result.error;
      readFailing = true;
      return; // tried again at the next access
    }
    loaded = true;
    readFailing = false;
    values = std::move(result.values);
    for (const auto& [key, value] : unappliedChanges.items()) {
      if (value.is_null()) values.erase(key);
      else values[key] = value;
    }
    unappliedChanges = Json::object();
    keepDamagedFile = result.outcome == LoadOutcome::damaged;
  }

  // Called with no lock held.
  static void report(int readError, const std::string& setAside = {}) {
    if (readError == 0 && setAside.empty()) return;
    // Never destroyed: threads still running at exit may read settings.
    static const log::Logger* const logger = new log::Logger(std::string(paths::applicationID()), "app");
    if (readError != 0) logger->error("defaults_read_fail err_code=%d", readError);
    // Without a trace the user would only find every setting back at its default, and not
    // know that the old ones wait in the copy (until a later damage replaces it).
    if (!setAside.empty()) logger->error("defaults_damaged kept_as=%{public}s", setAside);
  }

  const Json* findLocked(std::string_view key) const {
    loadLocked();
    const auto it = values.find(key);
    return it == values.end() ? nullptr : &*it;
  }

  template <typename F>
  auto withValue(std::string_view key, F&& read) const {
    int readError = 0;
    auto result = [&] {
      std::scoped_lock lock(mutex);
      auto value = read(findLocked(key));
      readError = std::exchange(readErrorToReport, 0);
      return value;
    }();
    report(readError);
    return result;
  }

  bool writeLocked() {
    if (!file) {
      dirty = false;
      return true;
    }
    if (!loaded) return false;
    if (keepDamagedFile) {
      const fs::path aside = fs::path(file->string() + ".corrupt");
      if (::rename(file->c_str(), aside.c_str()) == 0) setAsideToReport = aside.filename().string();
      else if (errno != ENOENT) return false;
      keepDamagedFile = false;
    }
    try {
      std::error_code ec;
      paths::createPrivateDirectories(file->parent_path(), ec);
      paths::writeFileAtomically(*file, json::write(values), 0600);
    } catch (const Error&) {
      return false;
    }
    dirty = false;
    return true;
  }

  // Stores (or, with a null value, removes) and writes; notifies after the lock is released.
  bool store(std::string_view key, Json value) {
    bool ok = true;
    bool didChange = false;
    int readError = 0;
    std::string setAside;
    {
      std::scoped_lock lock(mutex);
      const Json* current = findLocked(key);
      if (!loaded) {
        // The file may hold the key even when memory does not: a removal is kept regardless.
        unappliedChanges[std::string(key)] = value;
        dirty = true;
      }
      if (value.is_null()) {
        if (current != nullptr) {
          values.erase(values.find(key));
          didChange = true;
        }
      } else if (current == nullptr || !sameStoredValue(*current, value)) {
        values[std::string(key)] = std::move(value);
        didChange = true;
      }
      if (didChange) dirty = true;
      if (dirty) ok = writeLocked();
      readError = std::exchange(readErrorToReport, 0);
      setAside = std::exchange(setAsideToReport, {});
    }
    report(readError, setAside);
    if (didChange) changed(std::string(key));
    return ok;
  }
};

UserDefaults::UserDefaults() : impl_(std::make_unique<Impl>(std::nullopt)) {}
UserDefaults::UserDefaults(fs::path file) : impl_(std::make_unique<Impl>(std::move(file))) {}
UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard() {
  if (UserDefaults* installed = installedStandard.load(std::memory_order_acquire)) return *installed;
  // Never destroyed: threads still running at exit may read settings.
  static UserDefaults* const builtIn = [] {
    const auto dir = paths::configDirectory();
    return dir ? new UserDefaults(*dir / std::string(kFileName)) : new UserDefaults();
  }();
  return *builtIn;
}

UserDefaults* UserDefaults::installStandard(UserDefaults* defaults) noexcept {
  return installedStandard.exchange(defaults, std::memory_order_acq_rel);
}

const std::optional<fs::path>& UserDefaults::file() const noexcept { return impl_->file; }

bool UserDefaults::contains(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) { return v != nullptr; });
}

std::optional<UserDefaults::Value> UserDefaults::object(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) -> std::optional<Json> {
    if (v == nullptr) return std::nullopt;
    return *v;
  });
}

bool UserDefaults::boolean(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) {
    if (v == nullptr) return false;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number_float()) return v->get<double>() != 0.0;
    if (auto n = numberAsInteger(*v)) return *n != 0;
    if (v->is_string()) {
      const auto& text = v->get_ref<const std::string&>();
      return platform::text::asciiEqualsIgnoreCase(text, "true") ||
             platform::text::asciiEqualsIgnoreCase(text, "yes") || leadingInteger(text) != 0;
    }
    return false;
  });
}

std::int64_t UserDefaults::integer(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) -> std::int64_t {
    if (v == nullptr) return 0;
    if (auto n = numberAsInteger(*v)) return *n;
    if (v->is_string()) return leadingInteger(v->get_ref<const std::string&>());
    return 0;
  });
}

double UserDefaults::real(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) -> double {
    if (v == nullptr) return 0.0;
    if (v->is_boolean()) return v->get<bool>() ? 1.0 : 0.0;
    if (v->is_number()) return v->get<double>();
    if (v->is_string()) return leadingDouble(v->get_ref<const std::string&>());
    return 0.0;
  });
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) -> std::optional<std::string> {
    if (v == nullptr) return std::nullopt;
    if (v->is_string()) return v->get<std::string>();
    if (v->is_number() || v->is_boolean()) return numberText(*v);
    return std::nullopt;
  });
}

std::optional<UserDefaults::Value> UserDefaults::array(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) -> std::optional<Json> {
    if (v == nullptr || !v->is_array()) return std::nullopt;
    return *v;
  });
}

std::optional<UserDefaults::Value> UserDefaults::dictionary(std::string_view key) const {
  return impl_->withValue(key, [](const Json* v) -> std::optional<Json> {
    if (v == nullptr || !v->is_object()) return std::nullopt;
    return *v;
  });
}

bool UserDefaults::set(std::string_view key, bool value) { return impl_->store(key, Json(value)); }

bool UserDefaults::set(std::string_view key, double value) {
  if (!std::isfinite(value)) throw std::invalid_argument("UserDefaults: a number must be finite");
  return impl_->store(key, Json(value));
}

bool UserDefaults::set(std::string_view key, std::string_view value) {
  return impl_->store(key, canonical(Json(std::string(value))));
}

bool UserDefaults::setInteger(std::string_view key, std::int64_t value) { return impl_->store(key, Json(value)); }

bool UserDefaults::setObject(std::string_view key, const Value& value) {
  if (value.is_null()) return remove(key);
  return impl_->store(key, canonical(value));
}

bool UserDefaults::remove(std::string_view key) { return impl_->store(key, Json()); }

bool UserDefaults::synchronize() {
  bool ok = false;
  int readError = 0;
  std::string setAside;
  {
    std::scoped_lock lock(impl_->mutex);
    impl_->loadLocked();
    ok = !impl_->dirty || impl_->writeLocked();
    readError = std::exchange(impl_->readErrorToReport, 0);
    setAside = std::exchange(impl_->setAsideToReport, {});
  }
  Impl::report(readError, setAside);
  return ok;
}

void UserDefaults::removeStaleTemporaryFiles() {
  if (!impl_->file) return;
  // Under the lock, so that no write of this process is in flight meanwhile.
  std::scoped_lock lock(impl_->mutex);
  paths::removeStaleTemporaryFiles(*impl_->file, std::chrono::minutes(1));
}

boost::signals2::connection UserDefaults::connectChanged(ChangeSlot slot) {
  return impl_->changed.connect(std::move(slot));
}

} // namespace pd::platform::settings
