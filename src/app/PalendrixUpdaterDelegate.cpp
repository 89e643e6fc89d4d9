#include "app/PalendrixUpdaterDelegate.hpp"

#include "app/NotificationCenter.hpp"
#include "runtime/MainThread.hpp"

#include <QCoreApplication>
#include <QTimer>

namespace pd::app {

bool PalendrixUpdaterDelegate::shouldPostponeRelaunchForUpdate(std::function<void()> install) {
  postponeRelaunch(std::move(install));
  return true;
}

void PalendrixUpdaterDelegate::postponeRelaunch(std::function<void()> install) {
  runtime::MainThread::assertMainThread();
  NotificationCenter::defaultCenter().post(kPrepareForTerminationNotification);
  // QTimer measures on the monotonic clock.
  QTimer::singleShot(installDelay_, QCoreApplication::instance(), [install = std::move(install)] {
    if (install) {
      install();
    }
  });
}

} // namespace pd::app
