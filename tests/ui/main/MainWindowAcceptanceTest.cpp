// The receiver's main window against the real thing: a private avahi-daemon on loopback and the
// tablet emulator. A user's path through it: accept the terms, see the tablet in the sheet with
// its version badge, connect over its route, see the status turn to connected and the video
// arrive, answer the tablet's mode change and see both decks, disconnect. A screenshot of each
// step goes to the CI log folder (PD_CI_LOG_DIR, else the build tree).

#include "MainWindowTestSupport.hpp"
#include "PrivateAvahi.hpp"

#include "AppTestSupport.hpp" // ChildProcess, TempDirectory

#include "settings/AppSettings.hpp"
#include "app/MainWindow.hpp"
#include "app/QtMainThread.hpp"
#include "app/TermsSheet.hpp"
#include "ui/main/ConnectionEventAlerts.hpp"
#include "ui/main/ConnectionSetupView.hpp"
#include "ui/main/ConnectionSheetViews.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/main/StatusSection.hpp"
#include "ui/settings/TermsOfServiceView.hpp"

#include <QMessageBox>
#include <QTest>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#ifndef PD_TABLET_EMULATOR
#error "PD_TABLET_EMULATOR must name the emulator binary"
#endif

namespace pd::ui::test {
namespace {

using namespace std::chrono_literals;

// Under Xvfb the real window system, so that the video views draw with OpenGL.
const bool kPlatformChosen = pd::testing::preferTheDisplay();

std::filesystem::path screenshotFolder() {
  const char* configured = std::getenv("PD_CI_LOG_DIR");
  std::filesystem::path base = configured != nullptr && *configured != '\0' ? configured : PD_DEFAULT_CI_LOG_DIR;
  auto folder = base / "main-window-acceptance";
  std::filesystem::create_directories(folder);
  return folder;
}

class MainWindowAcceptanceTest : public ::testing::Test {
protected:
  void SetUp() override { PD_REQUIRE_PRIVATE_AVAHI(); }

  void shoot(const std::string& name, QWidget* widget) {
    // Layout requests posted by the step's own changes are handled before the picture is taken.
    QTest::qWait(100);
    const auto file = folder_ / (name + ".png");
    EXPECT_TRUE(widget->grab().save(QString::fromStdString(file.string()))) << file;
    std::fprintf(stderr, "acceptance: %s -> %s\n", name.c_str(), file.c_str());
  }
  void note(const std::string& step, const std::string& outcome) {
    std::fprintf(stderr, "acceptance: %s: %s\n", step.c_str(), outcome.c_str());
    RecordProperty(step, outcome);
  }
  static bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return QTest::qWaitFor(condition, static_cast<int>(limit.count()));
  }
  template <typename T = QPushButton>
  static T* visibleButton(QWidget* root, const QString& text) {
    if (root == nullptr) return nullptr;
    for (auto* button : root->findChildren<T*>()) {
      if (button->text() == text && button->isVisible()) return button;
    }
    return nullptr;
  }
  static bool hasVisibleText(QWidget* root, const QString& text) {
    if (root == nullptr) return false;
    for (auto* label : root->findChildren<QLabel*>()) {
      if (label->text() == text && label->isVisible()) return true;
    }
    return false;
  }

  std::filesystem::path folder_ = screenshotFolder();
  runtime::MainThread::Installation mainThread_ = app::installQtMainThread();
  platform::UserDefaults defaults_;
  platform::ScopedStandardUserDefaults useDefaults_{defaults_};
  pd::testing::TempDirectory temp_;
};

TEST_F(MainWindowAcceptanceTest, AUserConnectsWatchesSwitchesModeAndDisconnects) {
  const std::string name = "Acceptance iPad " + std::to_string(::getpid());
  auto dependencies = link::NetworkManagerForMac::systemDependencies();
  dependencies.networkPeerID = [] { return std::string("22222222-3333-4444-8555-666666666666"); };
  dependencies.syphonServerName = [] { return settings::AppSettings::syphonServerName(); };
  dependencies.deviceName = "Acceptance Mac";
  auto manager = link::NetworkManagerForMac::create(std::move(dependencies));
  auto oscServer = std::make_shared<RecordingOSCServer>();
  auto sink = std::make_shared<ManagerSink>(*manager);
  auto oscViewModel = std::make_shared<deckinput::OSCViewModel>(oscServer, sink);
  auto sender = testing::makeSenderSetup(manager);
  auto broadcaster = sender.broadcaster;

  auto* content = new ContentView(*manager, *oscViewModel, *broadcaster, sender.services);
  auto window = std::make_unique<app::MainWindow>(content, ContentView::kCurrentTermsVersion);
  window->resize(960, 900);
  window->show();

  // 1. The terms sheet covers the window; accepting it opens the connection sheet by itself.
  ASSERT_TRUE(waitFor([&] { return window->termsSheet()->isVisible(); }, 5s));
  shoot("01-terms", window->termsSheet());
  window->termsSheet()->view()->acceptButton()->click();
  ASSERT_TRUE(
      waitFor([&] { return content->connectionSheet() != nullptr && content->connectionSheet()->isVisible(); }, 5s));
  ConnectionSetupView* sheet = content->connectionSheet();
  EXPECT_EQ(sheet->statusLine()->text(), "iPadを検索中...");
  shoot("02-sheet-searching", sheet);

  // 2. The emulator appears in the sheet with its version badge.
  const std::string clipCommand = "'" + std::string(PD_SOURCE_DIR) + "/tools/fixtures/make-hevc-fixture.sh' '" +
                                  (temp_.path() / "clip.hevc").string() + "' 320 180 30 60 >/dev/null 2>&1";
  const bool haveClip = std::system(clipCommand.c_str()) == 0;
  if (testing::PrivateAvahi::requiredByCi()) {
    ASSERT_TRUE(haveClip) << "ffmpeg with libx265 could not make the clip";
  }
  std::vector<std::string> arguments = {"--interface", "lo", "--name", name, "--app-version", "9.8.7"};
  if (haveClip) {
    arguments.push_back("--video");
    arguments.push_back((temp_.path() / "clip.hevc").string());
  }
  pd::testing::ChildProcess emulator(PD_TABLET_EMULATOR, arguments);
  ASSERT_TRUE(waitFor([&] { return hasVisibleText(sheet, QString::fromStdString(name)); }, 10s));
  ASSERT_TRUE(waitFor([&] { return hasVisibleText(sheet, "v3・アプリ v9.8.7"); }, 5s));
  shoot("03-discovered", sheet);

  // 3. Connect over its loopback route; the sheet and the status section say so.
  QPushButton* connect = nullptr;
  for (auto* tablet : sheet->findChildren<QWidget*>("peerRow")) {
    if (tablet->accessibleName() != QString::fromStdString(name) || !tablet->isVisible()) continue;
    for (auto* row : tablet->findChildren<QFrame*>("routeRow")) {
      if (row->accessibleName() == "lo") connect = visibleButton(row, "接続");
    }
  }
  ASSERT_NE(connect, nullptr);
  connect->click();
  ASSERT_TRUE(waitFor([&] { return !manager->connectedPeers.get().empty(); }, 10s));
  ASSERT_TRUE(waitFor([&] { return sheet->statusLine()->text() == "接続完了"; }, 5s));
  EXPECT_EQ(content->statusSection()->indicator(0)->model().accessibilityValue(), "正常");
  shoot("04-connected-sheet", sheet);
  visibleButton(sheet, "完了")->click();
  ASSERT_TRUE(waitFor([&] { return content->connectionSheet() == nullptr; }, 5s));
  shoot("05-connected-window", window.get());

  // 4. The video in the mix section.
  if (haveClip) {
    emulator.writeLine("stream start mix 30");
    ASSERT_TRUE(waitFor([&] { return manager->receivedPixelBuffer.get() != nullptr; }, 8s))
        << "no frame reached the window";
    shoot("06-video", window.get());
    note("video", "shown");
    emulator.writeLine("stream stop");
  } else {
    note("video", "no clip");
  }

  // 5. The tablet switches to raw and asks the receiver to follow.
  emulator.writeLine("mode raw");
  ASSERT_TRUE(waitFor([&] { return content->alerts().alert(ConnectionEventAlerts::Kind::modeChange) != nullptr; }, 5s));
  QMessageBox* alert = content->alerts().alert(ConnectionEventAlerts::Kind::modeChange);
  shoot("07-mode-alert", alert);
  visibleButton(alert, "切り替える")->click();
  ASSERT_TRUE(waitFor([&] { return manager->streamMode.get() == link::StreamMode::raw; }, 5s));
  if (haveClip) {
    emulator.writeLine("stream start raw 30");
    ASSERT_TRUE(waitFor(
        [&] {
          return manager->receivedPixelBufferA.get() != nullptr && manager->receivedPixelBufferB.get() != nullptr;
        },
        8s))
        << "the raw decks did not reach the window";
  }
  shoot("08-raw", window.get());
  note("mode", "switched to raw");

  // 6. Disconnect from the connected panel.
  content->setShowSetup(true);
  ASSERT_TRUE(
      waitFor([&] { return content->connectionSheet() != nullptr && content->connectionSheet()->isVisible(); }, 5s));
  sheet = content->connectionSheet();
  ASSERT_TRUE(waitFor([&] { return visibleButton(sheet, "切断") != nullptr; }, 5s));
  shoot("09-before-disconnect", sheet);
  visibleButton(sheet, "切断")->click();
  ASSERT_TRUE(waitFor([&] { return manager->connectedPeers.get().empty(); }, 5s));
  EXPECT_EQ(manager->receivedPixelBufferA.get(), nullptr) << "a disconnect clears the shown frames";
  shoot("10-disconnected", sheet);
  note("disconnect", "done");

  emulator.writeLine("quit");
  content->setShowSetup(false);
  window.reset();
  QApplication::processEvents();
  EXPECT_TRUE(link::test::releaseManager(manager, [] { QApplication::processEvents(); }))
      << "the manager outlived its test";
}

} // namespace
} // namespace pd::ui::test
