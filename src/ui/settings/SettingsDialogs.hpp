#pragma once

// The desktop's side of the settings window: Qt's own file dialogs (not the platform's, so the
// accessibility bus reaches them like every other window of ours) and the file manager.

#include <QString>

#include <filesystem>
#include <optional>

class QWidget;

namespace pd::ui {

// "診断ログの書き出し": a save dialog preset to the suggested name, NDJSON then JSON files;
// none when the user cancels.
std::optional<std::filesystem::path> chooseExportDestinationDialog(QWidget* parent, const QString& suggestedName);

// A folder-only dialog, one folder, accepted with "このフォルダを使う"; none when cancelled.
std::optional<std::filesystem::path> chooseSearchFolderDialog(QWidget* parent);

// Asks the file manager (org.freedesktop.FileManager1.ShowItems on the session bus) to show the
// file selected; where no file manager answers, opens the file's folder instead. Returns at once.
void revealInFileManager(const std::filesystem::path& file);

} // namespace pd::ui
