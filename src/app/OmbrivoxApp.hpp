#pragma once

// The application object: the Qt shell around one Receiver, which makes and owns the core
// services. It adds the delegate, the updater, the signals, the windows and menu commands, and
// routes every request to terminate to the delegate. Needs a QApplication.

#include "runtime/MainThread.hpp"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QAction;

namespace pd::platform::updater {
class UpdaterController;
struct UpdateCheckReport;
} // namespace pd::platform::updater
namespace pd::link {
class NetworkManagerForMac;
}
namespace pd::deckinput {
class OSCViewModel;
}
namespace pd::receiver {
class Receiver;
}
namespace pd::sender {
class LocalVideoBroadcaster;
}
namespace pd::ui {
class AppSettingsView;
class ContentView;
} // namespace pd::ui

namespace pd::app {

class AppDelegate;
class MainWindow;
class PalendrixUpdaterDelegate;
class TerminationSignals;

class OmbrivoxApp : public QObject {
  Q_OBJECT

public:
  static constexpr int kCurrentTermsVersion = 2;
  static constexpr int kLicensesWindowWidth = 420;
  static constexpr int kLicensesWindowHeight = 300;

  // The start-up wiring. A second instance ends inside (the single-instance guard).
  OmbrivoxApp();
  ~OmbrivoxApp() override;

  // Check for updates, as the version alert calls it; empty until an application made it.
  static std::function<void()>& checkForUpdatesAction();

  // Shows the main window and finishes launching once the event loop runs.
  void launch();
  // Runs the event loop. Should the loop ever end, the application ends through the
  // termination handler like any other request to terminate.
  int exec();

  // The main window with its content, made on first use.
  MainWindow& mainWindow();
  ui::ContentView& mainWindowContent();
  // Shows the main window again (also after it was closed) and brings it to the front.
  void reopenMainWindow();

  void showLicensesWindow();
  QWidget* licensesWindow() const noexcept { return licensesWindow_.data(); }
  void showSettingsWindow();
  QWidget* settingsWindow() const noexcept;

  // Quit, Ctrl+Q, SIGTERM, SIGINT and SIGHUP.
  void requestTermination();

  AppDelegate& appDelegate() noexcept { return *appDelegate_; }
  PalendrixUpdaterDelegate& updaterDelegate() noexcept { return *updaterDelegate_; }
  platform::updater::UpdaterController& updaterController() noexcept { return *updaterController_; }
  receiver::Receiver& receiver() noexcept { return *receiver_; }
  link::NetworkManagerForMac& connectionManager() noexcept;
  deckinput::OSCViewModel& oscViewModel() noexcept;
  // Made on first use.
  sender::LocalVideoBroadcaster& localVideoBroadcaster();

  QAction* checkForUpdatesMenuAction() const noexcept { return checkForUpdatesMenuAction_; }
  QAction* licensesMenuAction() const noexcept { return licensesMenuAction_; }
  QAction* settingsMenuAction() const noexcept { return settingsMenuAction_; }
  QAction* quitMenuAction() const noexcept { return quitMenuAction_; }

protected:
  // Passes Quit's shortcut on to the dialogs that a window carrying it raises itself.
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void makeMenuActions();
  void installMenuBar(MainWindow& window);
  void showUpdateCheckReport(const platform::updater::UpdateCheckReport& report);
  // Lets Quit's shortcut reach a window other than the main one (and the modal sheet), and
  // every dialog that window raises itself.
  void attachQuitShortcut(QWidget* window);

  runtime::MainThread::Installation mainThreadInstallation_;
  std::unique_ptr<AppDelegate> appDelegate_;
  std::unique_ptr<PalendrixUpdaterDelegate> updaterDelegate_;
  std::shared_ptr<platform::updater::UpdaterController> updaterController_;
  std::unique_ptr<receiver::Receiver> receiver_;

  std::unique_ptr<MainWindow> mainWindow_;
  QPointer<QWidget> licensesWindow_;
  std::unique_ptr<ui::AppSettingsView> settingsWindow_;
  QAction* checkForUpdatesMenuAction_ = nullptr;
  QAction* licensesMenuAction_ = nullptr;
  QAction* settingsMenuAction_ = nullptr;
  QAction* quitMenuAction_ = nullptr;

  std::unique_ptr<TerminationSignals> terminationSignals_;
};

} // namespace pd::app
