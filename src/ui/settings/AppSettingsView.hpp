#pragma once

// The settings window's content: a grouped form of sections, each a header, its rows and a
// footer, in a scroll area as tall as the form or the screen allows. The sections read and
// write the user defaults directly; what they change takes effect through the link manager and
// the OSC view model handed in by the application, and the running services read the rest
// through their getters the next time they need it.

#include "diagnostics/LogExporter.hpp"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <boost/signals2/connection.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QShowEvent;
class QSpinBox;

namespace pd::link {
class NetworkManagerForMac;
}
namespace pd::deckinput {
class OSCViewModel;
}
namespace pd::diagnostics {
class LogRing;
}
namespace pd::remotesource {
class InvidiousInstanceManager;
}

namespace pd::ui {

class InvidiousSettingsSection;
class MiddleElidedLabel;

// What the view asks of the desktop and the diagnostics; every empty member takes the
// application's own (Qt's dialogs, the file manager over D-Bus, the shared ring).
struct AppSettingsViewDependencies {
  // Where to save an export, asked with the suggested file name; none when cancelled.
  std::function<std::optional<std::filesystem::path>(QWidget* parent, const QString& suggestedName)>
      chooseExportDestination;
  // The local search folder; none when cancelled.
  std::function<std::optional<std::filesystem::path>(QWidget* parent)> chooseSearchFolder;
  // Shows a saved file selected in the file manager.
  std::function<void(const std::filesystem::path&)> reveal;
  diagnostics::LogRing* logRing = nullptr;
  // Passed to every export; an empty app version is filled with the build's.
  diagnostics::LogExporter::Environment exportEnvironment;
};

class AppSettingsView : public QWidget {
  Q_OBJECT

public:
  static constexpr int kWidth = 480;

  using Dependencies = AppSettingsViewDependencies;

  AppSettingsView(link::NetworkManagerForMac& connectionManager, deckinput::OSCViewModel& oscViewModel,
                  std::shared_ptr<remotesource::InvidiousInstanceManager> instanceManager,
                  Dependencies dependencies = {}, QWidget* parent = nullptr);
  ~AppSettingsView() override;

  QFormLayout* form() const noexcept { return form_; }
  // Holds the form; it scrolls when the screen is lower than the form.
  QScrollArea* scrollArea() const noexcept { return scrollArea_; }
  // Called with each dialog and alert this window opens, modal over it or over every window,
  // just before it opens.
  void setOnModalWindow(std::function<void(QWidget*)> hook) { onModalWindow_ = std::move(hook); }

  // --- OSC server ---
  // Validates the port field and stores it; a refused text shows the message and the stored
  // port again. Main thread only.
  void applyPortText();
  // Applies the port field, then restarts the server on the stored port and host.
  void applyAndRestartServer();
  const std::optional<QString>& portError() const noexcept { return portError_; }

  // --- frame sharing ---
  // Stores the frame-sharing name trimmed, logs the effective name with the next snapshot
  // revision and renames the running output nodes to it. Every Return and every press of
  // "適用" runs it, also when nothing changed. Main thread only.
  void applySyphonServerName();

  // --- search from the tablet ---
  // Asks for a folder and stores its path; a cancel changes nothing.
  void chooseSearchFolder();

  // --- diagnostics ---
  void loadPreviousExitState();
  // Starts an export of the scope and returns at once; the save follows when it is written.
  void startExport(diagnostics::LogExporter::RingScope scope);
  void saveExport(const diagnostics::LogExporter::ExportResult& result);
  void markCurrentProblem();
  bool isExporting() const noexcept { return isExporting_; }
  const std::optional<QString>& exportError() const noexcept { return exportError_; }
  bool previousExitWasUnclean() const noexcept { return previousExitWasUnclean_; }
  bool userMarkFeedback() const noexcept { return userMarkFeedback_; }

  // The widgets, for tests and the accessibility walk.
  QLineEdit* portField() const noexcept { return portField_; }
  QLabel* portErrorLabel() const noexcept { return portErrorLabel_; }
  QComboBox* hostPicker() const noexcept { return hostPicker_; }
  QPushButton* restartButton() const noexcept { return restartButton_; }
  QLabel* statusDot() const noexcept { return statusDot_; }
  QLabel* statusText() const noexcept { return statusText_; }
  QLineEdit* syphonServerNameField() const noexcept { return syphonServerNameField_; }
  QPushButton* syphonApplyButton() const noexcept { return syphonApplyButton_; }
  QComboBox* searchSourcePicker() const noexcept { return searchSourcePicker_; }
  QWidget* searchFolderRow() const noexcept { return searchFolderRow_; }
  QLabel* searchFolderLabel() const noexcept;
  QLabel* searchFolderError() const noexcept { return searchFolderError_; }
  QPushButton* searchFolderButton() const noexcept { return searchFolderButton_; }
  InvidiousSettingsSection* invidiousSection() const noexcept { return invidiousSection_; }
  QCheckBox* cacheToggle() const noexcept { return cacheToggle_; }
  QSpinBox* cacheLimitStepper() const noexcept { return cacheLimitStepper_; }
  QLabel* uncleanExitLabel() const noexcept { return uncleanExitLabel_; }
  QPushButton* exportMenuButton() const noexcept { return exportMenuButton_; }
  QMenu* exportMenu() const noexcept { return exportMenu_; }
  QProgressBar* exportProgress() const noexcept { return exportProgress_; }
  QLabel* collectingLabel() const noexcept { return collectingLabel_; }
  QPushButton* markButton() const noexcept { return markButton_; }
  // The export-failure alert while it is up; null otherwise.
  QMessageBox* exportAlert() const noexcept { return exportAlert_; }

protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

private:
  // A section's header, spaced off the section above it.
  void addSectionHeader(const QString& text);
  // The explanatory text under a section's rows.
  void addSectionFooter(const QString& text);

  // The window is as tall as its content at its fixed width, yet no taller, frame included,
  // than the screen's available height; the rest scrolls.
  void fitHeightToContent();
  // The window system has reported a size of its own for the window.
  void sizeReported();
  void addOSCSection();
  void addSyphonSection();
  void addSearchSection();
  void addCacheSection();
  void addDiagnosticsSection();

  void refillPortText();
  void hostPicked(int index);
  void updateServerStatus();
  // Shows the stored name, as the field's binding reads it.
  void reloadSyphonServerName();
  void searchSourcePicked(int index);
  void updateSearchRows();
  void reloadCacheRows();
  void cacheToggled(bool enabled);
  void cacheLimitStepped(int value);

  void setExporting(bool exporting);
  // The end of an export, once the view is known to be still there.
  static void finishExport(const QPointer<AppSettingsView>& self,
                           std::optional<diagnostics::LogExporter::ExportResult> result,
                           std::optional<QString> failure);
  void setExportError(std::optional<QString> error);
  void updateDiagnosticsRows();
  diagnostics::LogRing& logRing() const;

  link::NetworkManagerForMac& connectionManager_;
  deckinput::OSCViewModel& oscViewModel_;
  Dependencies dependencies_;
  std::function<void(QWidget*)> onModalWindow_;
  QScrollArea* scrollArea_ = nullptr;
  QFormLayout* form_ = nullptr;
  // The fitted height was asked for again after the window system reported another; cleared
  // when a report agrees or another height is fitted.
  bool heightAskedAgain_ = false;

  std::optional<QString> portError_;
  bool isExporting_ = false;
  std::optional<QString> exportError_;
  bool previousExitWasUnclean_ = false;
  bool userMarkFeedback_ = false;

  QLineEdit* portField_ = nullptr;
  QLabel* portErrorLabel_ = nullptr;
  QComboBox* hostPicker_ = nullptr;
  QPushButton* restartButton_ = nullptr;
  QLabel* statusDot_ = nullptr;
  QLabel* statusText_ = nullptr;
  QLineEdit* syphonServerNameField_ = nullptr;
  QPushButton* syphonApplyButton_ = nullptr;
  QComboBox* searchSourcePicker_ = nullptr;
  QWidget* searchFolderRow_ = nullptr;
  MiddleElidedLabel* searchFolderLabel_ = nullptr;
  QLabel* searchFolderError_ = nullptr;
  QPushButton* searchFolderButton_ = nullptr;
  InvidiousSettingsSection* invidiousSection_ = nullptr;
  QCheckBox* cacheToggle_ = nullptr;
  QSpinBox* cacheLimitStepper_ = nullptr;
  QLabel* uncleanExitLabel_ = nullptr;
  QPushButton* exportMenuButton_ = nullptr;
  QMenu* exportMenu_ = nullptr;
  QProgressBar* exportProgress_ = nullptr;
  QLabel* collectingLabel_ = nullptr;
  QPushButton* markButton_ = nullptr;
  QPointer<QMessageBox> exportAlert_;

  boost::signals2::scoped_connection serverStateSubscription_;
};

} // namespace pd::ui
