#include "app/OmbrivoxApp.hpp"

#include "AppTestSupport.hpp"
#include "QtTestEnvironment.hpp"
#include "app/AppDelegate.hpp"
#include "app/MainWindow.hpp"
#include "app/NotificationCenter.hpp"
#include "app/PalendrixUpdaterDelegate.hpp"
#include "app/TermsSheet.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogRing.hpp"
#include "diagnostics/MainStallWatchdog.hpp"
#include "diagnostics/MetricKitObserver.hpp"
#include "diagnostics/SingleInstanceGuard.hpp"
#include "platform/instance/RunningInstance.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "platform/thermal/ThermalMonitor.hpp"
#include "platform/updater/UpdaterController.hpp"
#include "receiver/Receiver.hpp"
#include "relay/RelayDiskCache.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "settings/AppSettings.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/main/VideoSections.hpp"
#include "ui/sender/DeckCard.hpp"
#include "ui/sender/LocalVideoSenderSection.hpp"
#include "ui/settings/AppSettingsView.hpp"
#include "ui/settings/LicensesView.hpp"
#include "ui/settings/TermsOfServiceView.hpp"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace pd::app {
namespace {

using namespace std::chrono_literals;
using pd::testing::LogCapture;
using pd::testing::XdgSandbox;

constexpr int kWaitMs = 2000;

// Start-up begins the instance health checks: here they go to a closed loopback port.
[[maybe_unused]] const bool kLoopbackOnly =
    ::setenv("PALENDRIX_HTTP_CONNECT_TO", ":443:127.0.0.1:9,:80:127.0.0.1:9", 1) == 0;

// Runs `act` from inside the modal loop of the next dialog of type D, once it is the active
// window. A dialog that never gets there is closed, so that its loop cannot hold up the test.
template <typename D>
void whenModalDialogIsActive(std::function<void(D&)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act = std::move(act), ticks = 0]() mutable {
    auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
    const bool ready = dialog != nullptr && dialog->isActiveWindow();
    if (!ready && ++ticks < kWaitMs / 10) return;
    timer->stop();
    timer->deleteLater();
    if (ready) {
      act(*dialog);
    } else {
      ADD_FAILURE() << "no active modal dialog";
      if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
    }
  });
  timer->start();
}

class AppShellTest : public ::testing::Test {
protected:
  void SetUp() override {
    AppDelegate::setProcessExit([this](int status) { exits.push_back(status); });
    diagnostics::SingleInstanceGuard::resetSettings();
    diagnostics::SingleInstanceGuard::settings().exitProcess = [this](int status) { guardExits.push_back(status); };
  }
  void TearDown() override {
    app.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    diagnostics::SingleInstanceGuard::releaseForTesting();
    diagnostics::SingleInstanceGuard::resetSettings();
    AppDelegate::setProcessExit(nullptr);
  }

  // A launch as main() makes it, with the accepted terms version stored first (none: absent).
  OmbrivoxApp& launch(std::optional<int> acceptedTerms) {
    if (acceptedTerms) {
      defaults.set(settings::SettingsKey::acceptedTermsVersion, *acceptedTerms);
    }
    app = std::make_unique<OmbrivoxApp>();
    app->launch();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !log.messagesContaining("app_ready").empty(); }, kWaitMs));
    QCoreApplication::processEvents();
    return *app;
  }

  TermsSheet& sheet() { return *app->mainWindow().termsSheet(); }

  // The settings window of a launched app whose tablet searches local files, where the folder
  // button is shown.
  ui::AppSettingsView& openSettingsOverLocalFiles() {
    defaults.set(settings::SettingsKey::ipadSearchSource, std::string("localFiles"));
    launch(2);
    app->mainWindowContent().setShowSetup(false);
    app->showSettingsWindow();
    return *static_cast<ui::AppSettingsView*>(app->settingsWindow());
  }

  XdgSandbox sandbox;
  platform::UserDefaults defaults; // in memory
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  LogCapture log;
  std::vector<int> exits;
  std::vector<int> guardExits;
  std::unique_ptr<OmbrivoxApp> app;
};

class TermsGateTest : public AppShellTest, public ::testing::WithParamInterface<std::optional<int>> {};

TEST_P(TermsGateTest, SheetCoversTheMainWindowUntilVersionTwoIsAccepted) {
  launch(GetParam());
  const bool expected = GetParam().value_or(0) < 2;
  EXPECT_TRUE(app->mainWindow().isVisible());
  if (expected) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return sheet().isVisible(); }, kWaitMs));
    EXPECT_EQ(sheet().windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet().parentWidget(), &app->mainWindow());
  } else {
    QTest::qWait(50);
    EXPECT_FALSE(sheet().isVisible());
  }
}

// Stored versions 0 and 1 open the sheet in the cases below, each its first step.
INSTANTIATE_TEST_SUITE_P(StoredVersions, TermsGateTest,
                         ::testing::Values(std::nullopt, std::optional<int>(2), std::optional<int>(3)));

TEST_F(AppShellTest, TermsSheetIgnoresEveryDismissalAndReturnAccepts) {
  launch(0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return sheet().isVisible(); }, kWaitMs));
  EXPECT_EQ(sheet().windowModality(), Qt::WindowModal);
  EXPECT_EQ(sheet().parentWidget(), &app->mainWindow());

  QTest::keyClick(&sheet(), Qt::Key_Escape);
  sheet().reject();
  sheet().done(QDialog::Accepted);
  EXPECT_FALSE(sheet().close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(sheet().isVisible());
  EXPECT_EQ(defaults.integer(settings::SettingsKey::acceptedTermsVersion), 0);

  QTest::keyClick(&sheet(), Qt::Key_Return);
  EXPECT_EQ(defaults.integer(settings::SettingsKey::acceptedTermsVersion), 2);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet().isVisible(); }, kWaitMs));
  EXPECT_TRUE(app->mainWindow().isVisible());
  EXPECT_TRUE(exits.empty());
}

TEST_F(AppShellTest, SheetComesBackWithTheWindowAndLeavesWhenAcceptedElsewhere) {
  launch(1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return sheet().isVisible(); }, kWaitMs));
  app->mainWindow().hide();
  EXPECT_FALSE(sheet().isVisible());
  app->reopenMainWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return sheet().isVisible(); }, kWaitMs));
  // A write from another thread reaches the sheet on the main thread.
  std::thread([this] { defaults.set(settings::SettingsKey::acceptedTermsVersion, 2); }).join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet().isVisible(); }, kWaitMs));
}

TEST_F(AppShellTest, LaunchLinesComeInOrderWithOneSnapshotRevision) {
  defaults.set(settings::SettingsKey::oscPort, 9000);
  defaults.set(settings::SettingsKey::oscHost, "0.0.0.0");
  defaults.set(settings::SettingsKey::syphonServerName, "  Stage\n");
  const std::int64_t before = settings::configSnapshotRevision();
  launch(2);
  const std::string rev = std::to_string(before + 1);
  const std::string thermal(platform::thermal::label(platform::thermal::readThermalState()));

  std::vector<std::pair<std::string, std::string>> lines;
  for (const auto& entry : log.entries()) {
    if (entry.message.starts_with("app_ready") || entry.message.starts_with("config_snapshot")) {
      lines.emplace_back(entry.category, entry.message);
    }
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"app", "app_ready background_mode=enabled"},
      {"osc", "config_snapshot snapshot_rev=" + rev + " host=0.0.0.0 port=9000"},
      {"syphon", "config_snapshot snapshot_rev=" + rev + " server_name=Stage"},
      {"network", "config_snapshot snapshot_rev=" + rev +
                      " pv=3 features=raw_mode,load_video,video_bpm,session_takeover,remote_source,load_video_ack,"
                      "stream_stop thermal=" +
                      thermal},
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(settings::configSnapshotRevision(), before + 1);
}

TEST_F(AppShellTest, StartUpWiresTheServicesAndListensForLaterLaunches) {
  const auto ringStarts = diagnostics::LogRing::shared().callCounts().start;
  launch(2);
  EXPECT_EQ(diagnostics::LogRing::shared().callCounts().start, ringStarts + 1);
  EXPECT_TRUE(std::filesystem::exists(sandbox.appSupport() / "instance.lock"));
  for (int i = 0; i < 250 && !app->receiver().sharedInstanceManager()->isMonitoring(); ++i) QTest::qWait(20);
  EXPECT_TRUE(app->receiver().sharedInstanceManager()->isMonitoring());
  EXPECT_TRUE(diagnostics::MetricKitObserver::shared().isSubscribed());
  EXPECT_TRUE(diagnostics::MainStallWatchdog::shared().isStarted());
  EXPECT_TRUE(static_cast<bool>(OmbrivoxApp::checkForUpdatesAction()));
  EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
  EXPECT_TRUE(guardExits.empty());
}

TEST_F(AppShellTest, ALaterLaunchBringsTheClosedMainWindowBack) {
  launch(2);
  app->mainWindow().close();
  QCoreApplication::processEvents();
  EXPECT_FALSE(app->mainWindow().isVisible());
  EXPECT_TRUE(exits.empty()); // closing the window does not quit

  auto incumbent = platform::instance::RunningInstance::find(sandbox.runtime() / "instance.sock",
                                                             runtime::Clock::current().monotonic() + 1s);
  ASSERT_TRUE(incumbent.has_value());
  EXPECT_EQ(incumbent->processIdentifier(), ::getpid());
  incumbent->activate();
  EXPECT_TRUE(QTest::qWaitFor([&] { return app->mainWindow().isVisible(); }, kWaitMs));
  EXPECT_TRUE(QTest::qWaitForWindowActive(&app->mainWindow(), kWaitMs));
}

TEST_F(AppShellTest, LicencesWindowIsReusedWhileOpenAndMadeAnewAfterClosing) {
  launch(2);
  app->licensesMenuAction()->trigger();
  QWidget* const window = app->licensesWindow();
  ASSERT_NE(window, nullptr);
  const QPointer<QWidget> first(window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("ライセンス"));
  EXPECT_EQ(window->size(), QSize(420, 300));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  const Qt::WindowFlags flags = window->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_NE(window->findChild<ui::LicensesView*>(), nullptr);

  app->licensesMenuAction()->trigger();
  EXPECT_EQ(app->licensesWindow(), window);

  window->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(first.isNull());
  app->showLicensesWindow();
  QWidget* const second = app->licensesWindow();
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(second->isVisible());
}

TEST_F(AppShellTest, SettingsWindowIsOneWindow) {
  launch(2);
  app->settingsMenuAction()->trigger();
  QWidget* window = app->settingsWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("設定"));
  EXPECT_EQ(window->width(), 480);
  window->close();
  app->showSettingsWindow();
  EXPECT_EQ(app->settingsWindow(), window);
  EXPECT_TRUE(window->isVisible());
}

TEST_F(AppShellTest, CheckForUpdatesReportsThePackageManager) {
  launch(2);
  OmbrivoxApp::checkForUpdatesAction()();
  QMessageBox* box = nullptr;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
          if (auto* candidate = qobject_cast<QMessageBox*>(w); candidate != nullptr && candidate->isVisible()) {
            box = candidate;
          }
        }
        return box != nullptr;
      },
      kWaitMs));
  EXPECT_EQ(box->windowTitle(), QStringLiteral("アップデートを確認"));
  EXPECT_TRUE(box->text().contains(QStringLiteral("パッケージマネージャー")));
  EXPECT_TRUE(box->text().contains(QStringLiteral(PD_APP_VERSION)));
  box->close();
}

TEST_F(AppShellTest, QuitFromTheSheetEmptiesTheRelayCacheMarksTheRingAndExitsZero) {
  const auto cache = sandbox.caches() / "RelayCache";
  pd::testing::writeText(cache / "chunk-0001.bin", "data");
  pd::testing::writeText(cache / "chunk-0002.bin", "data");
  launch(0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return sheet().isVisible(); }, kWaitMs));
  pd::testing::writeText(cache / "chunk-0003.bin", "written after the launch purge");
  const auto terminals = diagnostics::LogRing::shared().callCounts().terminal;

  ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet(), kWaitMs));
  QTest::keyClick(&sheet(), Qt::Key_Q, Qt::ControlModifier);

  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_FALSE(std::filesystem::exists(cache));
  EXPECT_EQ(diagnostics::LogRing::shared().callCounts().terminal, terminals + 1);
}

// A window modal over the main window shadows its shortcuts, so each one carries Quit's own.
TEST_F(AppShellTest, QuitShortcutReachesTheHandlerFromEachWindowModalOverTheMainWindow) {
  launch(2);
  ui::ContentView& content = app->mainWindowContent();
  content.setShowSetup(false);
  const auto quitFrom = [&](QWidget* window) {
    ASSERT_TRUE(window != nullptr && QTest::qWaitForWindowActive(window, kWaitMs));
    QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
    window->close();
  };
  content.videoSection()->openFullScreen();
  quitFrom(content.videoSection()->fullScreenView());
  QPushButton* choose = content.senderSection()->card(ui::Deck::a)->chooseButton();
  choose->setEnabled(true); // as a linked tablet makes it
  choose->click();
  quitFrom(content.senderSection()->importer());
  OmbrivoxApp::checkForUpdatesAction()();
  QMessageBox* report = nullptr;
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return (report = app->mainWindow().findChild<QMessageBox*>()) != nullptr; }, kWaitMs));
  quitFrom(report);
  EXPECT_EQ(exits, (std::vector<int>{0, 0, 0}));
}

// The settings window's file dialogs block every window while their loops run, and its alert
// blocks the window: Quit reaches the handler from each, and each loop still returns as on a cancel.
TEST_F(AppShellTest, QuitShortcutReachesTheHandlerFromTheSettingsWindowsDialogs) {
  auto& view = openSettingsOverLocalFiles();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view, kWaitMs));

  whenModalDialogIsActive<QFileDialog>([](QFileDialog& dialog) {
    QTest::keyClick(&dialog, Qt::Key_Q, Qt::ControlModifier);
    dialog.reject();
  });
  view.searchFolderButton()->click();
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_FALSE(defaults.contains(settings::SettingsKey::ipadSearchFolder));

  // With the main window closed only the settings window carries the shortcut, and its alert
  // blocks it. The export is missing, so the save fails and the alert opens.
  app->mainWindow().close();
  const auto folder = sandbox.root() / "exports";
  std::filesystem::create_directories(folder);
  whenModalDialogIsActive<QFileDialog>([&](QFileDialog& dialog) {
    QTest::keyClick(&dialog, Qt::Key_Q, Qt::ControlModifier);
    dialog.setDirectory(QString::fromStdString(folder.string()));
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(QStringLiteral("saved.ndjson"));
    QMetaObject::invokeMethod(&dialog, "accept");
  });
  view.saveExport({.url = sandbox.root() / "missing.ndjson", .suggestedFileName = "saved.ndjson"});
  QMessageBox* alert = view.exportAlert();
  ASSERT_TRUE(alert != nullptr && QTest::qWaitForWindowActive(alert, kWaitMs));
  QTest::keyClick(alert, Qt::Key_Q, Qt::ControlModifier);
  alert->close();
  EXPECT_EQ(exits, (std::vector<int>{0, 0, 0}));
}

// Qt's file dialog raises warnings of its own, modal over every window: a folder typed that does
// not exist is one. Quit reaches the handler from the warning too.
TEST_F(AppShellTest, QuitShortcutReachesTheHandlerFromAWarningOfAFileDialog) {
  auto& view = openSettingsOverLocalFiles();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view, kWaitMs));

  whenModalDialogIsActive<QFileDialog>([&](QFileDialog& dialog) {
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString((sandbox.root() / "no such folder").string()));
    whenModalDialogIsActive<QMessageBox>([](QMessageBox& warning) {
      QTest::keyClick(&warning, Qt::Key_Q, Qt::ControlModifier);
      warning.close();
    });
    QMetaObject::invokeMethod(&dialog, "accept"); // returns once the warning has gone
    dialog.reject();
  });
  view.searchFolderButton()->click();
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_FALSE(defaults.contains(settings::SettingsKey::ipadSearchFolder));
}

TEST_F(AppShellTest, RelayCachePurgeRefusesASymlinkedFolder) {
  const auto elsewhere = sandbox.root() / "precious";
  pd::testing::writeText(elsewhere / "keep.bin", "keep");
  std::filesystem::create_directories(sandbox.caches());
  std::filesystem::create_directory_symlink(elsewhere, sandbox.caches() / "RelayCache");
  relay::RelayDiskCache::purgeAtExit(relay::RelayDiskCache::defaultDirectory());
  EXPECT_TRUE(std::filesystem::exists(elsewhere / "keep.bin"));
}

// A locale that writes a decimal comma, made the process's numeric locale as the application's
// construction makes the user's.
class CommaLocale {
public:
  CommaLocale() : made_(compiled_.made() && std::setlocale(LC_NUMERIC, compiled_.name().c_str()) != nullptr) {}
  ~CommaLocale() { std::setlocale(LC_NUMERIC, "C"); }
  CommaLocale(const CommaLocale&) = delete;
  CommaLocale& operator=(const CommaLocale&) = delete;
  explicit operator bool() const { return made_; }

private:
  pd::testing::CompiledLocale compiled_{"de_DE", "UTF-8"};
  bool made_;
};

TEST_F(AppShellTest, LogLinesKeepTheDecimalPointUnderTheUsersCommaLocale) {
  const CommaLocale comma;
  ASSERT_TRUE(comma) << "localedef could not compile de_DE (package locales)";
  const auto printed = [] {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%.1f", 1.5);
    return std::string(text.data());
  };
  ASSERT_EQ(printed(), "1,5");
  launch(0);
  EXPECT_EQ(printed(), "1.5");
  diagnostics::Log::app().notice("number_probe value=%f", 1.5);
  EXPECT_EQ(log.messagesContaining("number_probe"), std::vector<std::string>{"number_probe value=1.500000"});
}

class TerminationSignalTest : public AppShellTest, public ::testing::WithParamInterface<int> {};

TEST_P(TerminationSignalTest, SignalReachesTheTerminationHandlerOnTheMainThread) {
  launch(0);
  const int number = GetParam();
  std::thread([number] { ::kill(::getpid(), number); }).join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !exits.empty(); }, kWaitMs));
  EXPECT_EQ(exits, std::vector<int>{0});
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminationSignalTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST_F(AppShellTest, ASignalIgnoredAtStartStaysIgnoredWhileTheOthersStillQuit) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before {};
  ::sigaction(SIGHUP, &ignore, &before);
  launch(0);
  std::thread([] { ::kill(::getpid(), SIGHUP); }).join();
  QTest::qWait(300);
  EXPECT_TRUE(exits.empty());
  std::thread([] { ::kill(::getpid(), SIGTERM); }).join();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !exits.empty(); }, kWaitMs));
  EXPECT_EQ(exits, std::vector<int>{0});
  app.reset();
  struct sigaction after {};
  ::sigaction(SIGHUP, &before, &after);
  EXPECT_EQ(after.sa_handler, SIG_IGN); // the shell's teardown put back what it found
}

TEST_F(AppShellTest, QuitMenuCommandEndsThroughTheSameHandler) {
  launch(2);
  app->quitMenuAction()->trigger();
  EXPECT_EQ(exits, std::vector<int>{0});
  EXPECT_EQ(app->quitMenuAction()->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
}

TEST_F(AppShellTest, UpdateRelaunchClosesTheConnectionSheetFirst) {
  launch(2);
  app->mainWindowContent().setShowSetup(true);
  bool installed = false;
  app->updaterController().relaunchIntoInstalledUpdate([&] { installed = true; });
  EXPECT_FALSE(app->mainWindowContent().showSetup());
  EXPECT_FALSE(installed);
  // The delayed install writes to this frame: it must have run before the test returns.
  EXPECT_TRUE(QTest::qWaitFor([&] { return installed; }, kWaitMs));
}

TEST(UpdaterDelegate, PostsTheNotificationFirstAndInstallsOnceAfterTheDelay) {
  EXPECT_EQ(PalendrixUpdaterDelegate::kInstallDelay, 500ms);
  PalendrixUpdaterDelegate delegate(60ms);
  platform::updater::UpdaterController controller(true, &delegate, {});
  std::vector<std::string> events;
  auto observation = NotificationCenter::defaultCenter().addObserver(kPrepareForTerminationNotification,
                                                                     [&] { events.emplace_back("notification"); });
  std::chrono::steady_clock::time_point installedAt;
  const auto started = std::chrono::steady_clock::now();
  controller.relaunchIntoInstalledUpdate([&] {
    events.emplace_back("install");
    installedAt = std::chrono::steady_clock::now();
  });
  EXPECT_EQ(events, std::vector<std::string>{"notification"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return events.size() == 2; }, kWaitMs));
  EXPECT_EQ(events, (std::vector<std::string>{"notification", "install"}));
  EXPECT_GE(installedAt - started, 60ms);
  QTest::qWait(100);
  EXPECT_EQ(events.size(), 2u);
}

TEST(UpdaterDelegate, WithoutADelegateTheInstallRunsAtOnceAndNeverTwice) {
  platform::updater::UpdaterController controller(true, nullptr, {});
  int runs = 0;
  controller.relaunchIntoInstalledUpdate([&] { ++runs; });
  EXPECT_EQ(runs, 1);

  struct Twice : platform::updater::UpdaterDelegate {
    bool shouldPostponeRelaunchForUpdate(std::function<void()> install) override {
      install();
      install();
      return false;
    }
  } twice;
  platform::updater::UpdaterController careless(true, &twice, {});
  runs = 0;
  careless.relaunchIntoInstalledUpdate([&] { ++runs; });
  EXPECT_EQ(runs, 1);
}

TEST(ThermalObservation, ChangesAreLoggedFromTheLastSeenState) {
  pd::testing::TempDirectory root;
  const auto zone = root / "thermal_zone0";
  pd::testing::writeText(zone / "temp", "50000\n");
  pd::testing::writeText(zone / "trip_point_0_type", "passive\n");
  pd::testing::writeText(zone / "trip_point_0_temp", "90000\n");
  LogCapture log;
  AppDelegate delegate(root.path());
  EXPECT_EQ(delegate.lastThermalLabel(), "nominal");
  delegate.configureAfterLaunch();
  EXPECT_EQ(log.messagesContaining("thermal=").size(), 1u);
  EXPECT_NE(log.messagesContaining("thermal=").at(0).find("thermal=nominal"), std::string::npos);

  pd::testing::writeText(zone / "temp", "95000\n");
  delegate.thermalMonitor().poll();
  EXPECT_EQ(log.messagesContaining("thermal_state"), std::vector<std::string>{"thermal_state from=nominal to=serious"});
  EXPECT_EQ(delegate.lastThermalLabel(), "serious");
  delegate.thermalMonitor().poll(); // no change, no line
  EXPECT_EQ(log.messagesContaining("thermal_state"), std::vector<std::string>{"thermal_state from=nominal to=serious"});
}

} // namespace
} // namespace pd::app
