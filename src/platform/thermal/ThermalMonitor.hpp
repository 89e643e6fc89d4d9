#pragma once

// The machine's thermal state, read from the kernel's thermal zones
// (/sys/class/thermal/thermal_zone*/temp and trip_point_*_{type,temp}).
//
// Each zone with a readable temperature and at least one usable trip point is judged on its
// own; the state is the worst of them:
//   critical  at or above a "critical" or "hot" trip point
//   serious   at or above a "passive" trip point (the kernel starts throttling there)
//   fair      at or above an "active" trip point (fans), or within kFairMarginMilliC below
//             the lowest passive/hot/critical trip point
//   nominal   otherwise
// "unknown" when no zone can be judged (no thermal zones, as in most containers and VMs).
//
// There is no thread here: the owner calls poll() from its own timer (every
// kPollInterval), and poll() notifies when the state changed since the previous poll.

#include <boost/signals2/connection.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace pd::platform::thermal {

enum class ThermalState { nominal, fair, serious, critical, unknown };

// "nominal", "fair", "serious", "critical", "unknown"
std::string_view label(ThermalState state) noexcept;

inline constexpr std::chrono::seconds kPollInterval{5};
inline constexpr std::int64_t kFairMarginMilliC = 10'000;
inline constexpr std::string_view kDefaultRoot = "/sys/class/thermal";

// Reads the state once from a thermal class folder.
ThermalState readThermalState(const std::filesystem::path& root = kDefaultRoot);

struct ThermalChange {
  ThermalState from;
  ThermalState to;
};

class ThermalMonitor {
public:
  using ChangeSlot = std::function<void(ThermalState from, ThermalState to)>;

  // Reads the initial state at once, so the first poll() reports only a real change.
  explicit ThermalMonitor(std::filesystem::path root = std::filesystem::path(kDefaultRoot));
  ~ThermalMonitor();
  ThermalMonitor(const ThermalMonitor&) = delete;
  ThermalMonitor& operator=(const ThermalMonitor&) = delete;

  // The state of the last read (construction or poll).
  ThermalState state() const;

  // Reads the state again; when it differs, notifies (no lock held) and returns the change.
  std::optional<ThermalChange> poll();

  [[nodiscard]] boost::signals2::connection connectChanged(ChangeSlot slot);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::thermal
