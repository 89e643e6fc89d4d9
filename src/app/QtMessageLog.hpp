#pragma once

namespace pd::app {

// Sends Qt's own messages (warnings of the platform plugin, accessibility bridge and so on)
// into the process log under the subsystem "org.qt-project.qt", their category being Qt's
// logging category. Call before the QApplication is made.
void installQtMessageLog();

} // namespace pd::app
