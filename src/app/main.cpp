#include "app/OmbrivoxApp.hpp"
#include "app/QtMessageLog.hpp"
#include "relay/ChunkBuffers.hpp"
#include "runtime/ThreadPools.hpp"

#include <QApplication>

int main(int argc, char* argv[]) {
  pd::relay::ChunkBuffers::keepOnTheHeaps();
  pd::app::installQtMessageLog();
  QApplication::setApplicationName(QStringLiteral(PD_APP_DISPLAY_NAME));
  QApplication::setApplicationVersion(QStringLiteral(PD_APP_VERSION));
  QApplication::setOrganizationDomain(QStringLiteral("quelbo.tech"));
  QApplication::setDesktopFileName(QStringLiteral(PD_APP_ID));
  QApplication application(argc, argv);

  int status = 0;
  {
    pd::app::OmbrivoxApp app;
    app.launch();
    status = app.exec();
  }
  // No runtime thread may still run while static objects are destroyed.
  pd::runtime::endThreads();
  return status;
}
