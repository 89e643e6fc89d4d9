#include "app/OmbrivoxApp.hpp"
#include "app/QtMessageLog.hpp"

#include <QApplication>

int main(int argc, char* argv[]) {
  pd::app::installQtMessageLog();
  QApplication::setApplicationName(QStringLiteral(PD_APP_DISPLAY_NAME));
  QApplication::setApplicationVersion(QStringLiteral(PD_APP_VERSION));
  QApplication::setOrganizationDomain(QStringLiteral("quelbo.tech"));
  QApplication::setDesktopFileName(QStringLiteral(PD_APP_ID));
  QApplication application(argc, argv);

  pd::app::OmbrivoxApp app;
  app.launch();
  return app.exec();
}
