#pragma once

#include "runtime/MainThread.hpp"

namespace pd::app {

// Makes Qt's GUI thread the runtime's main thread: main-thread work is queued on the Qt event
// loop. Call on the GUI thread with the QApplication alive, and keep the result no longer
// than the QApplication.
[[nodiscard]] runtime::MainThread::Installation installQtMainThread();

} // namespace pd::app
