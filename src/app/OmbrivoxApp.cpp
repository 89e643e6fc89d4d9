#include "app/OmbrivoxApp.hpp"

#include "app/AppDelegate.hpp"
#include "app/MainWindow.hpp"
#include "app/PalendrixUpdaterDelegate.hpp"
#include "app/QtMainThread.hpp"
#include "app/TermsSheet.hpp"
#include "app/TerminationSignals.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/updater/UpdaterController.hpp"
#include "receiver/Receiver.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "runtime/MainThread.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/settings/AppSettingsView.hpp"
#include "ui/settings/LicensesView.hpp"

#include <QAction>
#include <QApplication>
#include <QChildEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QVBoxLayout>

#include <clocale>

namespace pd::app {

std::function<void()>& OmbrivoxApp::checkForUpdatesAction() {
  static std::function<void()> action;
  return action;
}

OmbrivoxApp::OmbrivoxApp() {
  // Making the application set every category of the C locale from the environment, the
  // numeric one included: under a comma locale, log lines, status texts and anything else
  // formatted with printf would carry a decimal comma. Qt's own texts do not read it.
  std::setlocale(LC_NUMERIC, "C");
  mainThreadInstallation_ = installQtMainThread();
  runtime::MainThread::assertMainThread();
  QApplication::setQuitOnLastWindowClosed(false);

  // The delegate comes before everything the Receiver makes; the shell's own services go in
  // where the Receiver's start-up order leaves room for them.
  appDelegate_ = std::make_unique<AppDelegate>();
  receiver::Receiver::Dependencies dependencies;
  dependencies.onLaterLaunch = [this] {
    // On the listener's thread: the window work belongs to the main thread.
    QMetaObject::invokeMethod(
        this, [this] { reopenMainWindow(); }, Qt::QueuedConnection);
  };
  dependencies.afterInstanceGuard = [this] {
    try {
      terminationSignals_ = std::make_unique<TerminationSignals>([this](int) { requestTermination(); });
    } catch (const std::exception& error) {
      const auto fields = diagnostics::LogErrorFields::fields(error, true);
      diagnostics::Log::app().error("signal_handler_fail err_domain=%{public}s err_code=%ld", fields.domain,
                                    fields.code);
    }
  };
  dependencies.beforeModels = [this] {
    // The check-for-updates action holds the controller, so the version alert can use it.
    updaterDelegate_ = std::make_unique<PalendrixUpdaterDelegate>();
    updaterController_ = std::make_shared<platform::updater::UpdaterController>(
        true, updaterDelegate_.get(),
        [this](const platform::updater::UpdateCheckReport& report) { showUpdateCheckReport(report); });
    checkForUpdatesAction() = [controller = updaterController_] { controller->checkForUpdates(); };
  };
  dependencies.drainMainThread = [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); };
  receiver_ = std::make_unique<receiver::Receiver>(std::move(dependencies));

  makeMenuActions();
}

OmbrivoxApp::~OmbrivoxApp() {
  receiver_->stopListeningForLaterLaunches();
  checkForUpdatesAction() = nullptr;
  delete licensesWindow_.data();
  // The views hold the connection manager by reference, so they go before the Receiver.
  settingsWindow_.reset();
  mainWindow_.reset();
  terminationSignals_.reset();
  receiver_.reset();
}

link::NetworkManagerForMac& OmbrivoxApp::connectionManager() noexcept { return receiver_->connectionManager(); }

deckinput::OSCViewModel& OmbrivoxApp::oscViewModel() noexcept { return receiver_->oscViewModel(); }

sender::LocalVideoBroadcaster& OmbrivoxApp::localVideoBroadcaster() { return receiver_->localVideoBroadcaster(); }

void OmbrivoxApp::makeMenuActions() {
  checkForUpdatesMenuAction_ = new QAction(QStringLiteral("アップデートを確認"), this);
  connect(checkForUpdatesMenuAction_, &QAction::triggered, this, [this] { updaterController_->checkForUpdates(); });

  licensesMenuAction_ = new QAction(QStringLiteral("ライセンス情報..."), this);
  connect(licensesMenuAction_, &QAction::triggered, this, [this] { showLicensesWindow(); });

  settingsMenuAction_ = new QAction(QStringLiteral("設定..."), this);
  settingsMenuAction_->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
  settingsMenuAction_->setShortcutContext(Qt::ApplicationShortcut);
  connect(settingsMenuAction_, &QAction::triggered, this, [this] { showSettingsWindow(); });

  quitMenuAction_ = new QAction(QStringLiteral("Palendrix Display を終了"), this);
  quitMenuAction_->setShortcut(QKeySequence::Quit);
  if (quitMenuAction_->shortcut().isEmpty()) {
    quitMenuAction_->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
  }
  quitMenuAction_->setShortcutContext(Qt::ApplicationShortcut);
  quitMenuAction_->setMenuRole(QAction::QuitRole);
  connect(quitMenuAction_, &QAction::triggered, this, [this] { requestTermination(); });
}

void OmbrivoxApp::installMenuBar(MainWindow& window) {
  QMenu* appMenu = window.menuBar()->addMenu(QStringLiteral("Palendrix Display"));
  appMenu->addAction(checkForUpdatesMenuAction_);
  appMenu->addAction(licensesMenuAction_);
  appMenu->addSeparator();
  appMenu->addAction(settingsMenuAction_);
  appMenu->addSeparator();
  appMenu->addAction(quitMenuAction_);
}

void OmbrivoxApp::attachQuitShortcut(QWidget* window) {
  window->addAction(quitMenuAction_);
  // Qt's own dialogs raise others that no code of ours makes (a file dialog's warnings), each
  // with a modal loop that blocks every window. They are polished before they show.
  window->installEventFilter(this);
}

bool OmbrivoxApp::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ChildPolished) {
    auto* dialog = qobject_cast<QDialog*>(static_cast<QChildEvent*>(event)->child());
    if (dialog != nullptr && dialog->isWindow()) attachQuitShortcut(dialog);
  }
  return QObject::eventFilter(watched, event);
}

MainWindow& OmbrivoxApp::mainWindow() {
  if (!mainWindow_) {
    // The sender's search goes through the process's instance manager and HTTP client, whose
    // test hooks reach the fake instance.
    ui::SenderServices senderServices;
    senderServices.instanceManager = receiver_->sharedInstanceManager();
    senderServices.httpClient = receiver_->httpClient();
    auto* content = new ui::ContentView(connectionManager(), oscViewModel(), localVideoBroadcaster(), senderServices);
    content->setOpenSettings([this] { showSettingsWindow(); });
    content->setCheckForUpdates([] {
      if (const auto& check = checkForUpdatesAction()) check();
    });
    // The connection sheet and the alerts are modal over the main window, like the terms sheet.
    content->setOnModalWindow([this](QWidget* window) { attachQuitShortcut(window); });
    mainWindow_ = std::make_unique<MainWindow>(content, kCurrentTermsVersion);
    installMenuBar(*mainWindow_);
    // The sheet is modal over the main window and would keep Quit's shortcut from it.
    attachQuitShortcut(mainWindow_->termsSheet());
    mainWindow_->resize(960, 680);
  }
  return *mainWindow_;
}

ui::ContentView& OmbrivoxApp::mainWindowContent() { return *mainWindow().contentView(); }

void OmbrivoxApp::launch() {
  runtime::MainThread::assertMainThread();
  mainWindow().show();
  QMetaObject::invokeMethod(
      this, [this] { appDelegate_->applicationDidFinishLaunching(); }, Qt::QueuedConnection);
}

int OmbrivoxApp::exec() {
  const int status = QApplication::exec();
  requestTermination();
  return status; // reached only when a test keeps the process alive
}

void OmbrivoxApp::reopenMainWindow() {
  runtime::MainThread::assertMainThread();
  MainWindow& window = mainWindow();
  if (window.isMinimized()) {
    window.showNormal();
  } else {
    window.show();
  }
  window.raise();
  window.activateWindow();
}

void OmbrivoxApp::showLicensesWindow() {
  runtime::MainThread::assertMainThread();
  if (QWidget* existing = licensesWindow_.data(); existing != nullptr) {
    if (existing->isVisible()) {
      existing->raise();
      existing->activateWindow();
      return;
    }
    existing->deleteLater();
  }
  auto* window =
      new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle(QStringLiteral("ライセンス"));
  auto* layout = new QVBoxLayout(window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new ui::LicensesView);
  window->setFixedSize(kLicensesWindowWidth, kLicensesWindowHeight);
  attachQuitShortcut(window);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect available = screen->availableGeometry();
    window->move(available.center() - QPoint(kLicensesWindowWidth / 2, kLicensesWindowHeight / 2));
  }
  window->show();
  window->raise();
  window->activateWindow();
  licensesWindow_ = window;
}

void OmbrivoxApp::showSettingsWindow() {
  runtime::MainThread::assertMainThread();
  if (!settingsWindow_) {
    settingsWindow_ =
        std::make_unique<ui::AppSettingsView>(connectionManager(), oscViewModel(), receiver_->sharedInstanceManager());
    settingsWindow_->setWindowFlags(Qt::Window);
    attachQuitShortcut(settingsWindow_.get());
    // Its file dialogs block every window while they run, and its alert blocks it.
    settingsWindow_->setOnModalWindow([this](QWidget* window) { attachQuitShortcut(window); });
  }
  settingsWindow_->show();
  settingsWindow_->raise();
  settingsWindow_->activateWindow();
}

QWidget* OmbrivoxApp::settingsWindow() const noexcept { return settingsWindow_.get(); }

void OmbrivoxApp::showUpdateCheckReport(const platform::updater::UpdateCheckReport& report) {
  QWidget* parent = (mainWindow_ && mainWindow_->isVisible()) ? mainWindow_.get() : nullptr;
  auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(report.title),
                              QString::fromStdString(report.message), QMessageBox::Ok, parent);
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  attachQuitShortcut(box);
  box->open();
}

void OmbrivoxApp::requestTermination() { appDelegate_->applicationShouldTerminate(); }

} // namespace pd::app
