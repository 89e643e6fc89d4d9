#pragma once

// The application's updater. On Linux the system's package manager installs updates, so the
// updater never downloads or replaces anything: its check-for-updates action reports where
// updates come from, and the relaunch hook exists so that the application's delegate can
// prepare its windows before a relaunch into a newer version (a packaging that relaunches
// after an upgrade drives it through relaunchIntoInstalledUpdate).

#include <functional>
#include <string>

namespace pd::platform::updater {

// What a check for updates tells the user.
struct UpdateCheckReport {
  std::string title;
  std::string message;
};

class UpdaterDelegate {
public:
  virtual ~UpdaterDelegate() = default;
  // Asked before the relaunch into an installed update. Returning true postpones it: the
  // relaunch then happens when the delegate invokes `install`. Returning false lets the
  // updater invoke it at once.
  virtual bool shouldPostponeRelaunchForUpdate(std::function<void()> install) = 0;
};

class UpdaterController {
public:
  using ReportHandler = std::function<void(const UpdateCheckReport&)>;

  // `delegate` must outlive the controller; it may be null. `showReport` presents the
  // result of a check (a message box in the application).
  UpdaterController(bool startingUpdater, UpdaterDelegate* delegate, ReportHandler showReport);

  void startUpdater() noexcept { started_ = true; }
  bool canCheckForUpdates() const noexcept { return started_; }

  // Reports the running version and that updates come through the package manager.
  // Does nothing before the updater is started.
  void checkForUpdates();

  // Hands `install` to the delegate, which may postpone it; runs it now otherwise.
  // `install` runs at most once whatever the delegate does with it.
  void relaunchIntoInstalledUpdate(std::function<void()> install);

  // The text of the report, for the given version.
  static UpdateCheckReport packageManagerReport(const std::string& version);

private:
  bool started_ = false;
  UpdaterDelegate* delegate_;
  ReportHandler showReport_;
};

} // namespace pd::platform::updater
