#include "platform/thermal/ThermalMonitor.hpp"

#include <boost/signals2/signal.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <string>

namespace pd::platform::thermal {

namespace fs = std::filesystem;

namespace {

// Bounds on what we read from the kernel's tree (or a fake one in a test).
constexpr std::size_t kMaxZones = 256;
constexpr int kMaxTripPoints = 64;
constexpr std::size_t kMaxValueBytes = 64;

std::optional<std::string> readSmallFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  char buffer[kMaxValueBytes];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  // A sensor that cannot be read (EIO, ENODATA while a device sleeps) has no value now.
  if (n <= 0) return std::nullopt;
  std::string text(buffer, static_cast<std::size_t>(n));
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.pop_back();
  }
  return text;
}

std::optional<std::int64_t> readMilliCelsius(const fs::path& file) {
  const auto text = readSmallFile(file);
  if (!text || text->empty()) return std::nullopt;
  std::int64_t value = 0;
  const char* end = text->data() + text->size();
  const auto result = std::from_chars(text->data(), end, value);
  if (result.ec != std::errc() || result.ptr != end) return std::nullopt;
  return value;
}

struct Thresholds {
  std::optional<std::int64_t> critical; // lowest "critical" or "hot" trip
  std::optional<std::int64_t> passive;
  std::optional<std::int64_t> active;
};

void lower(std::optional<std::int64_t>& slot, std::int64_t value) { slot = slot ? std::min(*slot, value) : value; }

Thresholds readTripPoints(const fs::path& zone) {
  Thresholds t;
  for (int i = 0; i < kMaxTripPoints; ++i) {
    const std::string prefix = "trip_point_" + std::to_string(i) + "_";
    const auto type = readSmallFile(zone / (prefix + "type"));
    if (!type) break;
    const auto temp = readMilliCelsius(zone / (prefix + "temp"));
    // Drivers fill unused trip points with 0 or negative values.
    if (!temp || *temp <= 0) continue;
    if (*type == "critical" || *type == "hot") {
      lower(t.critical, *temp);
    } else if (*type == "passive") {
      lower(t.passive, *temp);
    } else if (*type == "active") {
      lower(t.active, *temp);
    }
  }
  return t;
}

std::optional<ThermalState> judgeZone(const fs::path& zone) {
  const auto temp = readMilliCelsius(zone / "temp");
  if (!temp) return std::nullopt;
  const Thresholds t = readTripPoints(zone);
  if (!t.critical && !t.passive && !t.active) return std::nullopt;

  if (t.critical && *temp >= *t.critical) return ThermalState::critical;
  if (t.passive && *temp >= *t.passive) return ThermalState::serious;
  if (t.active && *temp >= *t.active) return ThermalState::fair;
  std::optional<std::int64_t> limit;
  if (t.passive) lower(limit, *t.passive);
  if (t.critical) lower(limit, *t.critical);
  if (limit && *temp >= *limit - kFairMarginMilliC) return ThermalState::fair;
  return ThermalState::nominal;
}

int severity(ThermalState state) {
  switch (state) {
  case ThermalState::nominal: return 1;
  case ThermalState::fair: return 2;
  case ThermalState::serious: return 3;
  case ThermalState::critical: return 4;
  case ThermalState::unknown: return 0;
  }
  return 0;
}

} // namespace

std::string_view label(ThermalState state) noexcept {
  switch (state) {
  case ThermalState::nominal: return "nominal";
  case ThermalState::fair: return "fair";
  case ThermalState::serious: return "serious";
  case ThermalState::critical: return "critical";
  case ThermalState::unknown: return "unknown";
  }
  return "unknown";
}

ThermalState readThermalState(const fs::path& root) {
  ThermalState worst = ThermalState::unknown;
  std::error_code ec;
  fs::directory_iterator it(root, ec);
  std::size_t zones = 0;
  for (; !ec && it != fs::directory_iterator() && zones < kMaxZones; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with("thermal_zone")) continue;
    ++zones;
    if (const auto state = judgeZone(it->path()); state && severity(*state) > severity(worst)) {
      worst = *state;
    }
  }
  return worst;
}

struct ThermalMonitor::Impl {
  explicit Impl(fs::path r) : root(std::move(r)), state(readThermalState(root)) {}

  const fs::path root;
  boost::signals2::signal<void(ThermalState, ThermalState)> changed;
  mutable std::mutex mutex;
  ThermalState state; // guarded by mutex
};

ThermalMonitor::ThermalMonitor(fs::path root) : impl_(std::make_unique<Impl>(std::move(root))) {}
ThermalMonitor::~ThermalMonitor() = default;

ThermalState ThermalMonitor::state() const {
  std::scoped_lock lock(impl_->mutex);
  return impl_->state;
}

std::optional<ThermalChange> ThermalMonitor::poll() {
  const ThermalState now = readThermalState(impl_->root);
  ThermalState before;
  {
    std::scoped_lock lock(impl_->mutex);
    before = impl_->state;
    impl_->state = now;
  }
  if (before == now) return std::nullopt;
  impl_->changed(before, now);
  return ThermalChange{before, now};
}

boost::signals2::connection ThermalMonitor::connectChanged(ChangeSlot slot) {
  return impl_->changed.connect(std::move(slot));
}

} // namespace pd::platform::thermal
