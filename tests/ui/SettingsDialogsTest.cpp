// The settings window's own file dialogs: what they ask and what they hand back. Each dialog is
// answered from inside its modal loop.

#include "QtTestEnvironment.hpp"
#include "TestSupport.hpp"

#include "ui/settings/SettingsDialogs.hpp"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace pd::ui {
namespace {

// Runs `answer` on the dialog once it is up.
void answerDialog(std::function<void(QFileDialog&)> answer) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, answer = std::move(answer)] {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      answer(*dialog);
    }
  });
  timer->start();
}

TEST(SettingsDialogs, TheSaveDialogSuggestsTheNameAndOffersNdjsonThenJson) {
  pd::testing::TempDirectory folder;
  QString title;
  QStringList filters;
  QStringList preset;
  bool ownDialog = false;
  answerDialog([&](QFileDialog& dialog) {
    title = dialog.windowTitle();
    filters = dialog.nameFilters();
    preset = dialog.selectedFiles();
    ownDialog = dialog.testOption(QFileDialog::DontUseNativeDialog) && dialog.acceptMode() == QFileDialog::AcceptSave;
    dialog.reject();
  });
  EXPECT_FALSE(chooseExportDestinationDialog(nullptr, QStringLiteral("PalendrixDisplay-Log-20261208-010000.ndjson")));
  EXPECT_EQ(title, QStringLiteral("診断ログの書き出し"));
  EXPECT_EQ(filters, (QStringList{QStringLiteral("NDJSON (*.ndjson)"), QStringLiteral("JSON (*.json)")}));
  ASSERT_EQ(preset.size(), 1);
  EXPECT_TRUE(preset.front().endsWith(QStringLiteral("/PalendrixDisplay-Log-20261208-010000.ndjson")));
  EXPECT_TRUE(ownDialog);

  const auto chosen = folder.path() / "saved.ndjson";
  answerDialog([&](QFileDialog& dialog) {
    // As a user does: go to the folder and type the name.
    dialog.setDirectory(QString::fromStdString(folder.path().string()));
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(QStringLiteral("saved.ndjson"));
    QMetaObject::invokeMethod(&dialog, "accept");
  });
  EXPECT_EQ(chooseExportDestinationDialog(nullptr, QStringLiteral("x.ndjson")), chosen);
}

TEST(SettingsDialogs, TheFolderDialogPicksOneFolderWithItsOwnButton) {
  pd::testing::TempDirectory folder;
  const auto clips = folder.path() / "Clips";
  std::filesystem::create_directories(clips);
  QString acceptLabel;
  bool foldersOnly = false;
  answerDialog([&](QFileDialog& dialog) {
    acceptLabel = dialog.labelText(QFileDialog::Accept);
    foldersOnly = dialog.fileMode() == QFileDialog::Directory && dialog.testOption(QFileDialog::ShowDirsOnly) &&
                  dialog.testOption(QFileDialog::DontUseNativeDialog);
    // As a user does: type the folder's path into the name line.
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(clips.string()));
    QMetaObject::invokeMethod(&dialog, "accept");
  });
  EXPECT_EQ(chooseSearchFolderDialog(nullptr), clips);
  EXPECT_EQ(acceptLabel, QStringLiteral("このフォルダを使う"));
  EXPECT_TRUE(foldersOnly);

  answerDialog([](QFileDialog& dialog) { dialog.reject(); });
  EXPECT_FALSE(chooseSearchFolderDialog(nullptr));
}

} // namespace
} // namespace pd::ui
