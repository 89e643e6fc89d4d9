#include "platform/updater/UpdaterController.hpp"

#include <atomic>
#include <memory>
#include <utility>

namespace pd::platform::updater {

UpdaterController::UpdaterController(bool startingUpdater, UpdaterDelegate* delegate, ReportHandler showReport)
    : started_(startingUpdater), delegate_(delegate), showReport_(std::move(showReport)) {}

UpdateCheckReport UpdaterController::packageManagerReport(const std::string& version) {
  return UpdateCheckReport{"アップデートを確認",
                           "Palendrix Display " + version +
                               " をお使いです。\nアップデートはシステムのパッケージマネージャーから配信されます。"
                               "パッケージマネージャーで最新版に更新してください。"};
}

void UpdaterController::checkForUpdates() {
  if (!started_ || !showReport_) {
    return;
  }
  showReport_(packageManagerReport(PD_APP_VERSION));
}

void UpdaterController::relaunchIntoInstalledUpdate(std::function<void()> install) {
  if (!install) {
    return;
  }
  // The delegate keeps a copy of the block and could invoke it more than once; an
  // installation must run once.
  auto once = std::make_shared<std::atomic<bool>>(false);
  auto guarded = [once, install = std::move(install)] {
    if (!once->exchange(true)) {
      install();
    }
  };
  if (delegate_ != nullptr && delegate_->shouldPostponeRelaunchForUpdate(guarded)) {
    return;
  }
  guarded();
}

} // namespace pd::platform::updater
