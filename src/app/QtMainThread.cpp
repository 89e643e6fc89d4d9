#include "app/QtMainThread.hpp"

#include <QCoreApplication>

#include <memory>
#include <thread>

namespace pd::app {

runtime::MainThread::Installation installQtMainThread() {
  // Plain pointer: the installation ends before the application object does.
  QCoreApplication* application = QCoreApplication::instance();
  return runtime::MainThread::installPoster(
      [application](runtime::UniqueFunction<void()> work) {
        // Qt copies the functor it queues; the work itself may be move-only.
        auto shared = std::make_shared<runtime::UniqueFunction<void()>>(std::move(work));
        QMetaObject::invokeMethod(
            application, [shared] { (*shared)(); }, Qt::QueuedConnection);
      },
      std::this_thread::get_id());
}

} // namespace pd::app
