#include "app/QtMessageLog.hpp"

#include "platform/log/LogStore.hpp"

#include <QMessageLogContext>
#include <QString>
#include <QtGlobal>

namespace pd::app {

namespace {

platform::log::Level levelOf(QtMsgType type) {
  switch (type) {
  case QtDebugMsg: return platform::log::Level::debug;
  case QtInfoMsg:
  case QtWarningMsg: return platform::log::Level::notice;
  case QtCriticalMsg: return platform::log::Level::error;
  case QtFatalMsg: return platform::log::Level::fault;
  }
  return platform::log::Level::notice;
}

void handleQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const char* category = (context.category != nullptr && context.category[0] != '\0') ? context.category : "default";
  const QByteArray text = message.toUtf8();
  platform::log::recordExternal("org.qt-project.qt", category, levelOf(type),
                                std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
}

} // namespace

void installQtMessageLog() { qInstallMessageHandler(&handleQtMessage); }

} // namespace pd::app
