#pragma once

// The desktop's side of the settings window: Qt's own file dialogs (not the platform's, so the
// accessibility bus reaches them like every other window of ours) and the file manager.

#include <QString>

#include <filesystem>
#include <functional>
#include <optional>

class QWidget;

namespace pd::ui {

// Each dialog runs a modal loop of its own over every window; `onOpen`, when set, is called with
// the dialog just before it opens.

// "診断ログの書き出し": a save dialog preset to the suggested name, NDJSON then JSON files;
// none when the user cancels.
std::optional<std::filesystem::path> chooseExportDestinationDialog(QWidget* parent, const QString& suggestedName,
                                                                   const std::function<void(QWidget*)>& onOpen = {});

// A folder-only dialog, one folder, accepted with "このフォルダを使う"; none when cancelled.
std::optional<std::filesystem::path> chooseSearchFolderDialog(QWidget* parent,
                                                              const std::function<void(QWidget*)>& onOpen = {});

// Asks the file manager (org.freedesktop.FileManager1.ShowItems on the session bus) to show the
// file selected; where no file manager answers, opens the file's folder instead. Returns at once.
void revealInFileManager(const std::filesystem::path& file);

} // namespace pd::ui
