#include "ui/settings/SettingsDialogs.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QUrl>

namespace pd::ui {

namespace {

std::optional<std::filesystem::path> firstSelected(const QFileDialog& dialog) {
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
  return std::filesystem::path(QFile::encodeName(files.front()).toStdString());
}

} // namespace

std::optional<std::filesystem::path> chooseExportDestinationDialog(QWidget* parent, const QString& suggestedName,
                                                                   const std::function<void(QWidget*)>& onOpen) {
  QFileDialog dialog(parent, QStringLiteral("診断ログの書き出し"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("NDJSON (*.ndjson)"), QStringLiteral("JSON (*.json)")});
  dialog.setDefaultSuffix(QStringLiteral("ndjson"));
  dialog.selectFile(suggestedName);
  if (onOpen) onOpen(&dialog);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return firstSelected(dialog);
}

std::optional<std::filesystem::path> chooseSearchFolderDialog(QWidget* parent,
                                                              const std::function<void(QWidget*)>& onOpen) {
  QFileDialog dialog(parent);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setLabelText(QFileDialog::Accept, QStringLiteral("このフォルダを使う"));
  if (onOpen) onOpen(&dialog);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return firstSelected(dialog);
}

void revealInFileManager(const std::filesystem::path& file) {
  const QString name = QFile::decodeName(QByteArray::fromStdString(file.native()));
  const QUrl folder = QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(file.parent_path().native())));
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    QDesktopServices::openUrl(folder);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{QUrl::fromLocalFile(name).toString(QUrl::FullyEncoded)} << QString();
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [folder](QDBusPendingCallWatcher* done) {
    if (done->isError()) QDesktopServices::openUrl(folder);
    done->deleteLater();
  });
}

} // namespace pd::ui
