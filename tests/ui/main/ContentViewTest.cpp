// The main window's content against a link manager made of fakes, on Qt's offscreen platform.

#include "MainWindowTestSupport.hpp"

#include "platform/media/VideoFrame.hpp"
#include "runtime/Clock.hpp"
#include "ui/main/ConnectionEventAlerts.hpp"
#include "ui/main/ConnectionSetupView.hpp"
#include "ui/main/ContentView.hpp"
#include "ui/main/StatusSection.hpp"
#include "ui/main/VideoSections.hpp"
#include "ui/main/ViewKit.hpp"
#include "ui/video/VideoView.hpp"

#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <sched.h>

namespace pd::ui::test {
namespace {

using Manager = link::NetworkManagerForMac;

class ContentViewTest : public MainWindowFixture {
protected:
  std::unique_ptr<ContentView> makeView() {
    auto view = std::make_unique<ContentView>(*manager, *oscViewModel, *broadcaster, senderServices);
    view->resize(900, 700);
    return view;
  }
  void showAndSettle(ContentView& view) {
    view.show();
    pump();
    pump();
  }
};

TEST_F(ContentViewTest, StatusSectionFollowsTheLinkAndTheOSCServer) {
  auto view = makeView();
  StatusSection* status = view->statusSection();
  EXPECT_EQ(status->indicator(0)->model().accessibilityValue(), "オフ");
  manager->connectedPeers.set({linkedTablet()});
  EXPECT_EQ(status->indicator(0)->model().color(), Tint::green);
  manager->isLinkDegraded.set(true);
  EXPECT_EQ(status->indicator(0)->model().color(), Tint::yellow);
  EXPECT_EQ(status->indicator(0)->accessibleDescription(), "受信途絶中");
  oscServer->setState(deckinput::ServerState::starting());
  EXPECT_EQ(status->indicator(1)->model().color(), Tint::gray);
  oscServer->setState(deckinput::ServerState::running());
  EXPECT_EQ(status->indicator(1)->accessibleDescription(), "正常");
  manager->isSyphonRunning.set(true);
  manager->isVideoSilent.set(true);
  EXPECT_EQ(status->indicator(2)->model().color(), Tint::yellow);
}

TEST_F(ContentViewTest, ReconnectNoticeCountsDownOnlyWhileShown) {
  runtime::ManualClock clock;
  runtime::ScopedClock useClock(clock);
  auto view = makeView();
  ReconnectNoticeRow* row = view->statusSection()->reconnectRow();
  EXPECT_TRUE(row->isHidden());
  Manager::ReconnectNotice notice;
  notice.cause = Manager::ReconnectNotice::Cause::occupied;
  notice.nextAttemptAt = clock.wall() + std::chrono::milliseconds(2200);
  manager->reconnectNotice.set(notice);
  EXPECT_FALSE(row->isHidden());
  EXPECT_EQ(row->causeText(), "iPad は他の受信機と接続中です");
  EXPECT_EQ(row->retryText(), "自動で再試行します（3 秒後）");
  EXPECT_FALSE(row->isTicking()); // the window is not shown yet

  showAndSettle(*view);
  EXPECT_TRUE(row->isTicking());
  clock.stepWall(std::chrono::milliseconds(2000));
  row->tick();
  EXPECT_EQ(row->retryText(), "自動で再試行します（1 秒後）");
  clock.stepWall(std::chrono::milliseconds(300));
  row->tick();
  EXPECT_EQ(row->retryText(), "自動で再試行しています…");

  manager->reconnectNotice.set(std::nullopt);
  EXPECT_TRUE(row->isHidden());
  EXPECT_FALSE(row->isTicking());
}

TEST_F(ContentViewTest, RedDotOnTheConnectionButtonWhileThereIsAnIssue) {
  auto view = makeView();
  EXPECT_EQ(view->connectionButton()->text(), "接続設定");
  EXPECT_EQ(view->settingsAction()->text(), "アプリ設定");
  EXPECT_FALSE(view->showsConnectionIssueDot());
  manager->hasConnectionIssue.set(true);
  EXPECT_TRUE(view->showsConnectionIssueDot());
  manager->hasConnectionIssue.set(false);
  EXPECT_FALSE(view->showsConnectionIssueDot());
}

TEST_F(ContentViewTest, ServicesAndBrowsingFollowTheWindow) {
  defaults.set("oscPort", std::int64_t{9100});
  auto view = makeView();
  EXPECT_TRUE(oscServer->starts.empty());
  showAndSettle(*view);
  ASSERT_EQ(oscServer->starts.size(), 1u);
  EXPECT_EQ(oscServer->starts[0].port, 9100);
  EXPECT_FALSE(manager->browseSuspendedByUser);
  ASSERT_EQ(browsers.size(), 1u);

  view->hide();
  pump();
  EXPECT_EQ(oscServer->stops, 1);
  EXPECT_TRUE(manager->browseSuspendedByUser);
  EXPECT_TRUE(browser(0).cancelled());

  showAndSettle(*view);
  EXPECT_EQ(oscServer->starts.size(), 2u);
  EXPECT_EQ(browsers.size(), 2u);
  EXPECT_FALSE(manager->browseSuspendedByUser);
}

TEST_F(ContentViewTest, SheetOpensOnShowOnlyWithTheTermsAccepted) {
  defaults.set("acceptedTermsVersion", std::int64_t{2});
  auto view = makeView();
  EXPECT_FALSE(view->showSetup());
  showAndSettle(*view);
  EXPECT_TRUE(view->showSetup());
  ASSERT_NE(view->connectionSheet(), nullptr);
  EXPECT_TRUE(view->connectionSheet()->isVisible());

  view->closeSetupForTermination();
  pump();
  EXPECT_FALSE(view->showSetup());
  EXPECT_EQ(view->connectionSheet(), nullptr);
  view->closeSetupForTermination(); // already closed: nothing changes
  EXPECT_FALSE(view->showSetup());
}

TEST_F(ContentViewTest, AcceptingTheTermsLaterOpensTheSheet) {
  auto view = makeView();
  showAndSettle(*view);
  EXPECT_FALSE(view->showSetup());
  defaults.set("acceptedTermsVersion", std::int64_t{1});
  pump();
  EXPECT_FALSE(view->showSetup());
  defaults.set("acceptedTermsVersion", std::int64_t{3});
  pump();
  EXPECT_TRUE(view->showSetup());
}

// The keys the window follows, written on another thread while windows come and go: a window
// that is gone is never touched. The writer shares one processor with the main thread, so that it
// is often stopped inside a change's notification while a window is being destroyed.
TEST_F(ContentViewTest, SettingsWrittenOnAnotherThreadNeverReachAWindowThatIsGone) {
  cpu_set_t allowed;
  ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &allowed)) ++cpu;
  CPU_SET(cpu, &one);
  ::sched_setaffinity(0, sizeof one, &one); // this thread, and the writer made from it
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> writes{0};
  std::thread writer([&] {
    for (std::int64_t i = 0; !stop; writes = ++i) {
      defaults.set("acceptedTermsVersion", i % 2); // below the current version: no sheet
      defaults.set("sendToIPadTab", i % 2 == 0 ? "youtube" : "localFile");
    }
  });
  constexpr int kWindows = 80;
  for (int round = 0; round < kWindows; ++round) {
    auto view = makeView();
    QApplication::processEvents();
  }
  stop = true;
  writer.join();
  ::sched_setaffinity(0, sizeof allowed, &allowed);
  EXPECT_GT(writes, kWindows);
}

TEST_F(ContentViewTest, ConnectionButtonOpensTheSheetOnce) {
  auto view = makeView();
  showAndSettle(*view);
  view->connectionButton()->click();
  pump();
  ConnectionSetupView* sheet = view->connectionSheet();
  ASSERT_NE(sheet, nullptr);
  view->connectionButton()->click();
  EXPECT_EQ(view->connectionSheet(), sheet);
  int sheets = 0;
  for (auto* widget : QApplication::topLevelWidgets()) {
    if (dynamic_cast<ConnectionSetupView*>(widget) != nullptr && widget->isVisible()) ++sheets;
  }
  EXPECT_EQ(sheets, 1);
}

TEST_F(ContentViewTest, MixedVideoShowsPlaceholderThenFrameWithBadges) {
  auto view = makeView();
  showAndSettle(*view);
  VideoDisplaySection* mix = view->videoSection();
  EXPECT_TRUE(mix->isVisible());
  EXPECT_NE(findLabel(mix, "映像待機中..."), nullptr);
  EXPECT_NE(findLabel(mix, "iPadから配信が開始されると\n自動的に表示されます"), nullptr);
  EXPECT_TRUE(mix->fullScreenButton()->isHidden());
  EXPECT_EQ(countVisible(mix, "liveBadge"), 0);

  manager->isVideoSilent.set(true);
  QLabel* silent = findLabel(mix, "映像が届いていません");
  ASSERT_NE(silent, nullptr);
  EXPECT_EQ(silent->palette().color(QPalette::WindowText), tintColor(Tint::orange));

  manager->isVideoSilent.set(false);
  manager->receivedPixelBuffer.set(platform::media::VideoFrame::allocate(1280, 720));
  pump();
  EXPECT_NE(findLabel(mix, "1280×720"), nullptr);
  EXPECT_NE(findLabel(mix, "H.265/HEVC"), nullptr);
  EXPECT_EQ(countVisible(mix, "liveBadge"), 2);
  EXPECT_FALSE(mix->fullScreenButton()->isHidden());

  manager->isVideoSilent.set(true);
  for (auto* frame : mix->findChildren<QFrame*>("liveBadge")) {
    auto* badge = dynamic_cast<LiveBadge*>(frame);
    ASSERT_NE(badge, nullptr);
    EXPECT_EQ(badge->word(), "映像停止");
    EXPECT_EQ(badge->dotColor(), tintColor(Tint::yellow));
  }
}

TEST_F(ContentViewTest, FullScreenFollowsFramesAndClosesWithEscapeOrClose) {
  auto view = makeView();
  showAndSettle(*view);
  manager->receivedPixelBuffer.set(platform::media::VideoFrame::allocate(640, 360));
  VideoDisplaySection* mix = view->videoSection();
  mix->fullScreenButton()->click();
  pump();
  ASSERT_TRUE(mix->showingFullScreen());
  FullScreenVideoView* full = mix->fullScreenView();
  EXPECT_EQ(full->windowTitle(), "全画面表示");
  const auto next = platform::media::VideoFrame::allocate(1920, 1080);
  manager->receivedPixelBuffer.set(next);
  EXPECT_EQ(full->videoView()->frame(), next);
  manager->receivedPixelBuffer.set(nullptr);
  EXPECT_TRUE(full->videoView()->isHidden());

  QTest::keyClick(full, Qt::Key_Escape);
  pump();
  EXPECT_FALSE(mix->showingFullScreen());

  manager->receivedPixelBuffer.set(next);
  mix->fullScreenButton()->click();
  pump();
  ASSERT_TRUE(mix->showingFullScreen());
  mix->fullScreenView()->closeButton()->click();
  pump();
  EXPECT_FALSE(mix->showingFullScreen());

  // Leaving the mixed mode takes the full-screen view away.
  mix->fullScreenButton()->click();
  pump();
  ASSERT_TRUE(mix->showingFullScreen());
  manager->streamMode.set(link::StreamMode::raw);
  pump();
  EXPECT_FALSE(mix->showingFullScreen());
}

TEST_F(ContentViewTest, FullScreenCloseButtonShowsItsWhiteTextOnADarkGround) {
  auto view = makeView();
  showAndSettle(*view);
  manager->receivedPixelBuffer.set(platform::media::VideoFrame::allocate(640, 360));
  view->videoSection()->fullScreenButton()->click();
  pump();
  ASSERT_TRUE(view->videoSection()->showingFullScreen());
  QPushButton* close = view->videoSection()->fullScreenView()->closeButton();
  EXPECT_EQ(close->text(), "閉じる");
  // The text covers few of the button's pixels: the median grey is its ground.
  const QImage image = close->grab().toImage();
  std::vector<int> greys;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) greys.push_back(qGray(image.pixel(x, y)));
  }
  ASSERT_FALSE(greys.empty());
  std::nth_element(greys.begin(), greys.begin() + static_cast<std::ptrdiff_t>(greys.size() / 2), greys.end());
  EXPECT_LT(greys[greys.size() / 2], 100) << "white text on a ground of grey " << greys[greys.size() / 2];
}

TEST_F(ContentViewTest, RawModeShowsTwoPreviews) {
  auto view = makeView();
  showAndSettle(*view);
  manager->streamMode.set(link::StreamMode::raw);
  RawVideoDisplaySection* raw = view->rawVideoSection();
  EXPECT_TRUE(raw->isVisible());
  EXPECT_FALSE(view->videoSection()->isVisible());
  EXPECT_TRUE(raw->headerBadge()->isHidden());
  EXPECT_EQ(raw->previewA()->dot()->color(), tintColor(Tint::gray));

  manager->receivedPixelBufferA.set(platform::media::VideoFrame::allocate(320, 180));
  EXPECT_FALSE(raw->headerBadge()->isHidden());
  EXPECT_EQ(raw->previewA()->dot()->color(), tintColor(Tint::blue));
  EXPECT_EQ(raw->previewA()->sizeLabel()->text(), "320×180");
  EXPECT_FALSE(raw->previewA()->badge()->isHidden());
  EXPECT_EQ(raw->previewB()->dot()->color(), tintColor(Tint::gray));
  EXPECT_TRUE(raw->previewB()->badge()->isHidden());
  EXPECT_EQ(raw->previewB()->placeholderText()->text(), "映像待機中...");
  ASSERT_NE(raw->previewA()->pane()->videoView(), nullptr);
  EXPECT_EQ(raw->previewA()->pane()->videoView()->streamTag(), "1");
  EXPECT_EQ(raw->previewB()->pane()->videoView(), nullptr);
}

TEST_F(ContentViewTest, VideoAndPlaceholdersKeepSixteenByNineAtTheWindowsWidth) {
  auto view = makeView();
  showAndSettle(*view);
  const auto heldToSixteenByNine = [](const QWidget* pane) {
    return pane->width() > 200 && std::abs(pane->height() - pane->width() * 9 / 16) <= 2;
  };
  manager->receivedPixelBuffer.set(platform::media::VideoFrame::allocate(320, 180));
  pump();
  pump();
  EXPECT_TRUE(heldToSixteenByNine(view->videoSection()->pane()))
      << view->videoSection()->pane()->width() << "x" << view->videoSection()->pane()->height();

  manager->streamMode.set(link::StreamMode::raw);
  pump();
  pump();
  RawVideoDisplaySection* raw = view->rawVideoSection();
  EXPECT_TRUE(heldToSixteenByNine(raw->previewA()->pane()))
      << raw->previewA()->pane()->width() << "x" << raw->previewA()->pane()->height();
  EXPECT_TRUE(heldToSixteenByNine(raw->previewB()->pane()));
}

TEST_F(ContentViewTest, ProgressIndicatorsTurnOnlyWhileShown) {
  // A hidden indicator that kept its timer would cost the idle receiver CPU for nothing.
  QWidget window;
  auto* spinner = new Spinner(14, &window);
  EXPECT_FALSE(spinner->isTurning());
  window.show();
  pump();
  EXPECT_TRUE(spinner->isTurning());
  spinner->hide();
  EXPECT_FALSE(spinner->isTurning());
  spinner->show();
  window.hide();
  pump();
  EXPECT_FALSE(spinner->isTurning());
}

// --- Alerts ---------------------------------------------------------------------------------------

class AlertsTest : public ContentViewTest {
protected:
  static QPushButton* button(QMessageBox* box, const QString& text) {
    for (auto* candidate : box->buttons()) {
      if (candidate->text() == text) return qobject_cast<QPushButton*>(candidate);
    }
    return nullptr;
  }
  // The buttons' titles in their order of creation (the box lays them out by role).
  static QStringList buttonTexts(QMessageBox* box) {
    QStringList texts;
    for (auto* candidate : box->buttons()) texts << candidate->text();
    return texts;
  }
  static int visibleBoxes() {
    int count = 0;
    for (auto* widget : QApplication::topLevelWidgets()) {
      if (qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible()) ++count;
    }
    return count;
  }
};

TEST_F(AlertsTest, LegacyWarningClosesThroughItsButtonOnly) {
  auto view = makeView();
  showAndSettle(*view);
  manager->showLegacyPeerWarning.set(true);
  pump();
  QMessageBox* box = view->alerts().alert(ConnectionEventAlerts::Kind::legacyPeer);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "接続先のアップデートが必要です");
  EXPECT_EQ(visibleBoxes(), 1);
  view->alerts().update(); // re-evaluation makes no second dialog
  EXPECT_EQ(visibleBoxes(), 1);
  button(box, "OK")->click();
  pump();
  EXPECT_FALSE(manager->showLegacyPeerWarning.get());
  EXPECT_EQ(visibleBoxes(), 0);
}

TEST_F(AlertsTest, ManagerClearingTheMismatchClosesItWithoutAnAction) {
  auto view = makeView();
  int checks = 0;
  view->setCheckForUpdates([&] { ++checks; });
  showAndSettle(*view);
  manager->versionMismatchAlert.set(Manager::VersionMismatchAlert{3, 4, "1.0.0", "2.0"});
  pump();
  QMessageBox* box = view->alerts().alert(ConnectionEventAlerts::Kind::versionMismatch);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "アップデートが必要です");
  EXPECT_EQ(buttonTexts(box), (QStringList{"アップデートを確認", "ダウンロードページを開く", "後で"}));
  manager->versionMismatchAlert.set(std::nullopt);
  pump();
  EXPECT_EQ(view->alerts().alert(ConnectionEventAlerts::Kind::versionMismatch), nullptr);
  EXPECT_EQ(checks, 0);

  manager->versionMismatchAlert.set(Manager::VersionMismatchAlert{3, 4, "1.0.0", std::nullopt});
  pump();
  box = view->alerts().alert(ConnectionEventAlerts::Kind::versionMismatch);
  ASSERT_NE(box, nullptr);
  button(box, "アップデートを確認")->click();
  pump();
  EXPECT_FALSE(manager->versionMismatchAlert.get());
  EXPECT_EQ(checks, 1);
  EXPECT_EQ(visibleBoxes(), 0);
}

TEST_F(AlertsTest, DownloadPageAndOlderPeerButtons) {
  auto view = makeView();
  std::vector<std::string> opened;
  view->alerts().setOpenURL([&](const std::string& url) { opened.push_back(url); });
  showAndSettle(*view);
  manager->versionMismatchAlert.set(Manager::VersionMismatchAlert{3, 4, "1.0.0", "2.0"});
  pump();
  button(view->alerts().alert(ConnectionEventAlerts::Kind::versionMismatch), "ダウンロードページを開く")->click();
  pump();
  EXPECT_EQ(opened, std::vector<std::string>{kDownloadPageURL});
  EXPECT_FALSE(manager->versionMismatchAlert.get());

  // The tablet's version text is shown as it came, never as markup.
  manager->versionMismatchAlert.set(Manager::VersionMismatchAlert{3, 2, "1.0.0", "<img src=x>"});
  pump();
  QMessageBox* box = view->alerts().alert(ConnectionEventAlerts::Kind::versionMismatch);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(buttonTexts(box), QStringList{"OK"});
  auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
  ASSERT_NE(informative, nullptr);
  EXPECT_EQ(informative->textFormat(), Qt::PlainText);
  EXPECT_TRUE(informative->text().endsWith("相手（iPad）: v<img src=x>"));
  QTest::keyClick(box, Qt::Key_Escape); // the cancel role answers Escape
  pump();
  EXPECT_FALSE(manager->versionMismatchAlert.get());
}

TEST_F(AlertsTest, ModeRequestAlertFollowsThePendingRequest) {
  auto view = makeView();
  showAndSettle(*view);
  manager->pendingModeRequest.set(link::StreamMode::raw);
  pump();
  QMessageBox* box = view->alerts().alert(ConnectionEventAlerts::Kind::modeChange);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->text(), "出力モードの変更");
  EXPECT_TRUE(box->informativeText().startsWith("iPadがRawモード"));
  // A closing that comes from no button leaves the request standing, so the alert returns.
  box->done(0);
  pump();
  pump();
  QMessageBox* again = view->alerts().alert(ConnectionEventAlerts::Kind::modeChange);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(manager->pendingModeRequest.get(), link::StreamMode::raw);
  manager->pendingModeRequest.set(std::nullopt); // the link dropped
  pump();
  EXPECT_EQ(view->alerts().alert(ConnectionEventAlerts::Kind::modeChange), nullptr);
  EXPECT_EQ(visibleBoxes(), 0);
}

TEST_F(AlertsTest, AlertsOpenOverTheSheetWhileItIsUp) {
  auto view = makeView();
  showAndSettle(*view);
  view->setShowSetup(true);
  pump();
  manager->showLegacyPeerWarning.set(true);
  pump();
  QMessageBox* box = view->alerts().alert(ConnectionEventAlerts::Kind::legacyPeer);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->parentWidget(), view->connectionSheet());

  // Closing the sheet takes the alert with it; while the warning stands it returns over the window.
  view->setShowSetup(false);
  pump();
  pump();
  box = view->alerts().alert(ConnectionEventAlerts::Kind::legacyPeer);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->parentWidget(), view->window());
  EXPECT_EQ(visibleBoxes(), 1);
}

} // namespace
} // namespace pd::ui::test
