#pragma once

// Lets the main window prepare before the application relaunches into an installed update:
// the relaunch is postponed, "Palendrix.prepareForTermination" is posted at once, and the
// install runs on the main thread after a short delay.

#include "platform/updater/UpdaterController.hpp"

#include <chrono>
#include <functional>

namespace pd::app {

class PalendrixUpdaterDelegate final : public platform::updater::UpdaterDelegate {
public:
  static constexpr std::chrono::milliseconds kInstallDelay{500};

  explicit PalendrixUpdaterDelegate(std::chrono::milliseconds installDelay = kInstallDelay)
      : installDelay_(installDelay) {}

  // Main thread. Always postpones (returns true).
  bool shouldPostponeRelaunchForUpdate(std::function<void()> install) override;

  // Posts the notification, then schedules `install` on the main thread after the delay.
  void postponeRelaunch(std::function<void()> install);

private:
  std::chrono::milliseconds installDelay_;
};

} // namespace pd::app
