// The connection sheet: search, cancel, discovered tablets and their routes, the linked panel
// with its route change, and the error help, against a link manager made of fakes.

#include "MainWindowTestSupport.hpp"

#include "ui/main/ConnectionSetupView.hpp"
#include "ui/main/ConnectionSheetViews.hpp"
#include "ui/main/ViewKit.hpp"

#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <map>

namespace pd::ui::test {
namespace {

using platform::net::Interface;
using platform::net::InterfaceType;

const Interface kWired{"en7", 7, InterfaceType::wiredEthernet};
const Interface kWifi{"wlan0", 3, InterfaceType::wifi};

class ConnectionSetupViewTest : public MainWindowFixture {
protected:
  std::unique_ptr<ConnectionSetupView> makeSheet() {
    auto sheet = std::make_unique<ConnectionSetupView>(
        *manager, [this](bool show) { showSetupWrites.push_back(show); }, nullptr,
        [this](std::string_view name) {
          ++lookups;
          const auto found = addresses.find(std::string(name));
          return found == addresses.end() ? AddressLookup{} : found->second;
        });
    return sheet;
  }
  static void show(ConnectionSetupView& sheet) {
    sheet.show();
    pump();
  }
  static std::vector<QString> bar(const ConnectionSetupView& sheet) {
    std::vector<QString> texts;
    for (auto* button : sheet.barButtons()) texts.push_back(button->text());
    return texts;
  }

  std::map<std::string, AddressLookup> addresses = {
      {"en7", {"169.254.10.2", false}}, {"wlan0", {"192.168.1.20", false}}, {"lo", {"127.0.0.1", false}}};
  std::vector<bool> showSetupWrites;
  int lookups = 0;
};

TEST_F(ConnectionSetupViewTest, OpeningUnlinkedStartsTheSearch) {
  manager->browseSuspendedByUser = true;
  auto sheet = makeSheet();
  EXPECT_EQ(sheet->connectionState(), ConnectionState::idle());
  EXPECT_TRUE(browsers.empty());
  show(*sheet);
  EXPECT_EQ(sheet->statusLine()->text(), "iPadを検索中...");
  EXPECT_FALSE(manager->browseSuspendedByUser);
  EXPECT_EQ(browsers.size(), 1u);
  EXPECT_TRUE(sheet->isAnimating());
  EXPECT_EQ(bar(*sheet), std::vector<QString>{"キャンセル"});
  EXPECT_EQ(sheet->discoveredDevices()->content(), DevicesCardContent::searching);
  EXPECT_FALSE(sheet->tips()->isHidden());
  // No close button, so Escape does nothing.
  sheet->reject();
  EXPECT_TRUE(showSetupWrites.empty());

  findButton(sheet.get(), "キャンセル")->click();
  pump();
  EXPECT_EQ(sheet->statusLine()->text(), "待機中");
  EXPECT_TRUE(manager->browseSuspendedByUser);
  EXPECT_FALSE(sheet->isAnimating());
  EXPECT_EQ(sheet->animationPhase(), 0.0);
  EXPECT_EQ(bar(*sheet), (std::vector<QString>{"閉じる", "検索開始"}));
  EXPECT_EQ(sheet->discoveredDevices()->content(), DevicesCardContent::noDevices);
  EXPECT_NE(findLabel(sheet.get(), "デバイスが見つかりません"), nullptr);
  sheet->reject();
  EXPECT_EQ(showSetupWrites, std::vector<bool>{false});
}

TEST_F(ConnectionSetupViewTest, OpeningLinkedShowsThePanelAndNoSearch) {
  manager->connectedPeers.set({linkedTablet()});
  auto sheet = makeSheet();
  show(*sheet);
  EXPECT_EQ(sheet->statusLine()->text(), "接続完了");
  EXPECT_TRUE(browsers.empty());
  EXPECT_EQ(bar(*sheet), std::vector<QString>{"完了"});
  ASSERT_NE(sheet->connectedDeviceView(), nullptr);
  EXPECT_FALSE(sheet->connectedDeviceView()->isHidden());
  EXPECT_TRUE(sheet->tips()->isHidden());
  findButton(sheet.get(), "完了")->click();
  EXPECT_EQ(showSetupWrites, std::vector<bool>{false});
}

TEST_F(ConnectionSetupViewTest, DiscoveredTabletsWithBadgesRoutesAndConnect) {
  auto sheet = makeSheet();
  show(*sheet);
  auto first = link::test::tablet("<b>Stage</b>", {kWifi, kWired}, std::vector<std::string>{"pv=3", "app=2.1"});
  auto second = link::test::tablet("Booth", {}, std::vector<std::string>{"pv=4"});
  manager->discoveredPeerVersions.set({{first.endpoint, {3, "2.1"}}, {second.endpoint, {4, std::nullopt}}});
  manager->discoveredPeers.set({first, second});
  pump();
  EXPECT_EQ(sheet->discoveredDevices()->content(), DevicesCardContent::list);
  EXPECT_EQ(countVisible(sheet.get(), "peerRow"), 2);
  EXPECT_EQ(countVisible(sheet.get(), "divider"), 1);
  // Peer names are shown as they are, never as markup.
  QLabel* name = findLabel(sheet.get(), "<b>Stage</b>");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->textFormat(), Qt::PlainText);
  EXPECT_NE(findLabel(sheet.get(), "v3・アプリ v2.1"), nullptr);
  EXPECT_NE(findLabel(sheet.get(), "v4"), nullptr);
  EXPECT_NE(findLabel(sheet.get(), "⚠️ 利用可能な経路がありません"), nullptr);

  // The wired direct route comes first and is recommended.
  auto rows = sheet->findChildren<QFrame*>("routeRow");
  ASSERT_EQ(rows.size(), 2);
  EXPECT_EQ(rows[0]->accessibleName(), "en7");
  EXPECT_NE(findLabel(rows[0], "推奨"), nullptr);
  EXPECT_NE(findLabel(rows[0], "有線直結 (APIPA)"), nullptr);
  EXPECT_NE(findLabel(rows[0], "169.254.10.2"), nullptr);
  EXPECT_EQ(findLabel(rows[1], "推奨"), nullptr);
  EXPECT_NE(findLabel(rows[1], "ルーター経由"), nullptr);

  // The second route connects over its own interface.
  findButton(rows[1], "接続")->click();
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(link(0).parameters.requiredInterface, kWifi);
  EXPECT_EQ(link(0).endpoint, first.endpoint);
}

TEST_F(ConnectionSetupViewTest, LinkingAndDroppingWhileOpen) {
  auto sheet = makeSheet();
  show(*sheet);
  manager->connectedPeers.set({linkedTablet()});
  pump();
  EXPECT_EQ(sheet->statusLine()->text(), "接続完了");
  EXPECT_FALSE(sheet->isAnimating());
  EXPECT_EQ(bar(*sheet), std::vector<QString>{"完了"});
  EXPECT_TRUE(sheet->tips()->isHidden());

  manager->connectedPeers.set({});
  pump();
  EXPECT_EQ(sheet->statusLine()->text(), "接続が切断されました");
  EXPECT_TRUE(sheet->connectedDeviceView()->isHidden());
  EXPECT_EQ(browsers.size(), 1u); // the sheet starts no new search
  EXPECT_EQ(bar(*sheet), (std::vector<QString>{"閉じる", "検索開始"}));

  link::NetworkManagerForMac::ReconnectNotice notice;
  notice.cause = link::NetworkManagerForMac::ReconnectNotice::Cause::connectionLost;
  manager->reconnectNotice.set(notice);
  pump();
  EXPECT_FALSE(sheet->reconnectBlock()->isHidden());
  EXPECT_EQ(bar(*sheet), (std::vector<QString>{"閉じる（再試行を続ける）", "キャンセル"}));
}

TEST_F(ConnectionSetupViewTest, ErrorHelpShowsItsTextAndRetries) {
  auto sheet = makeSheet();
  show(*sheet);
  sheet->setConnectionState(ConnectionState::failed(ConnectionError::connectionFailed("refused")));
  ASSERT_NE(sheet->errorHelp(), nullptr);
  EXPECT_EQ(sheet->statusLine()->text(), "接続失敗: refused");
  EXPECT_NE(findLabel(sheet->errorHelp(), "接続失敗: refused"), nullptr);
  QStringList suggestions;
  for (auto* label : sheet->errorHelp()->findChildren<QLabel*>("suggestion")) suggestions << label->text();
  EXPECT_EQ(suggestions, (QStringList{"• 両方のデバイスを再起動してみてください", "• アプリを再起動してみてください"}));
  auto* retry = findButton(sheet->errorHelp(), "再試行");
  ASSERT_NE(retry, nullptr);
  retry->click();
  pump();
  EXPECT_EQ(sheet->connectionState(), ConnectionState::searching());
  EXPECT_EQ(sheet->errorHelp(), nullptr);
}

class ConnectedPanelTest : public ConnectionSetupViewTest {
protected:
  void SetUp() override {
    peer = link::test::tablet("Stage", {kWifi, kWired});
    manager->discoveredPeers.set({peer});
    manager->connect(peer, kWifi);
    manager->connectedPeers.set({peer.endpoint});
  }
  platform::bonjour::BrowseResult peer;
};

TEST_F(ConnectedPanelTest, HealthFollowsTheLink) {
  auto sheet = makeSheet();
  show(*sheet);
  ConnectedDeviceView* panel = sheet->connectedDeviceView();
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(panel->property("linkTint").toInt(), static_cast<int>(Tint::green));
  EXPECT_NE(findLabel(panel, "Stage"), nullptr);
  EXPECT_NE(findLabel(panel, "wlan0 (無線)"), nullptr);
  EXPECT_NE(findLabel(panel, "ルーター経由 • 192.168.1.20"), nullptr);
  manager->isVideoSilent.set(true);
  EXPECT_NE(findLabel(panel, "映像が届いていません"), nullptr);
  manager->isLinkDegraded.set(true);
  EXPECT_NE(findLabel(panel, "受信が途絶しています"), nullptr);
  EXPECT_EQ(panel->property("linkTint").toInt(), static_cast<int>(Tint::yellow));
  manager->peerVersionState.set(link::NetworkManagerForMac::PeerVersionState::mismatch(2));
  pump();
  EXPECT_NE(findLabel(panel, "バージョン不一致（相手 v2）"), nullptr);
}

TEST_F(ConnectedPanelTest, RouteChangeListsFreshRoutesAndSwitches) {
  auto sheet = makeSheet();
  show(*sheet);
  ConnectedDeviceView* panel = sheet->connectedDeviceView();
  ASSERT_NE(panel, nullptr);
  EXPECT_FALSE(panel->showRouteOptions());
  panel->routeButton()->click();
  EXPECT_TRUE(panel->showRouteOptions());
  EXPECT_EQ(panel->routeButton()->property("chevron").toString(), "up");
  auto options = panel->findChildren<QFrame*>("routeOption");
  ASSERT_EQ(options.size(), 2);
  EXPECT_EQ(options[0]->accessibleName(), "en7");
  EXPECT_NE(findLabel(options[0], "推奨"), nullptr);
  EXPECT_NE(findLabel(options[1], "現在"), nullptr);
  EXPECT_EQ(findButton(options[1], "切替"), nullptr);

  const auto linksBefore = links.size();
  findButton(options[0], "切替")->click();
  EXPECT_FALSE(panel->showRouteOptions());
  ASSERT_EQ(links.size(), linksBefore + 1);
  EXPECT_EQ(links.back()->parameters.requiredInterface, kWired);
  // The switch ends the link: the panel steps aside folded until the new link is up.
  pump();
  ConnectedDeviceView* after = sheet->connectedDeviceView();
  ASSERT_NE(after, nullptr);
  EXPECT_TRUE(after->isHidden());
  EXPECT_FALSE(after->showRouteOptions());
}

TEST_F(ConnectedPanelTest, RouteChangeWithoutTheTabletInTheBrowseResults) {
  auto sheet = makeSheet();
  show(*sheet);
  manager->discoveredPeers.set({});
  ConnectedDeviceView* panel = sheet->connectedDeviceView();
  ASSERT_NE(panel, nullptr);
  panel->toggleRouteOptions();
  pump();
  EXPECT_NE(findLabel(panel, "経路情報を取得できません"), nullptr);
  panel->toggleRouteOptions();
  pump();
  EXPECT_EQ(panel->findChildren<QFrame*>("routeOption").size(), 0);
}

// On a poor link the health flips many times a second while the user works in the sheet.
class FlappingHealthTest : public ConnectionSetupViewTest {
protected:
  void SetUp() override {
    manager->discoveredPeers.set({stage, booth});
    QObject::connect(&flap, &QTimer::timeout, [this] { manager->isLinkDegraded.set(!manager->isLinkDegraded.get()); });
    flap.start(50);
  }
  static QPushButton* connectButtonOf(ConnectionSetupView& sheet, const QString& tablet) {
    for (auto* row : sheet.discoveredDevices()->findChildren<QWidget*>("peerRow")) {
      if (row->accessibleName() == tablet) return findButton<QPushButton>(row, "接続");
    }
    return nullptr;
  }
  platform::bonjour::BrowseResult stage = link::test::tablet("Stage", {kWifi});
  platform::bonjour::BrowseResult booth = link::test::tablet("Booth", {kWired});
  QTimer flap;
};

TEST_F(FlappingHealthTest, APressAcrossHealthChangesStillConnects) {
  auto sheet = makeSheet();
  show(*sheet);
  QWidget* section = sheet->discoveredDevices();
  QPushButton* connect = connectButtonOf(*sheet, "Booth");
  ASSERT_NE(connect, nullptr);
  const QPoint at = connect->mapTo(section, connect->rect().center());
  const int lookupsBefore = lookups;

  QTest::mousePress(connect, Qt::LeftButton);
  QTest::qWait(200);
  // The release goes to whatever is under the pointer by then, as a real one would.
  QWidget* under = section->childAt(at);
  ASSERT_NE(under, nullptr);
  QTest::mouseRelease(under, Qt::LeftButton, {}, under->mapFrom(section, at));
  ASSERT_EQ(links.size(), 1U);
  EXPECT_EQ(link(0).endpoint, booth.endpoint);
  EXPECT_EQ(lookups, lookupsBefore) << "interfaces looked up again for a health change";
}

TEST_F(FlappingHealthTest, FocusAndTheDefaultButtonStay) {
  manager->connectedPeers.set({stage.endpoint});
  auto sheet = makeSheet();
  show(*sheet);
  QPointer<QPushButton> connect = connectButtonOf(*sheet, "Booth");
  QPointer<QPushButton> done = findButton<QPushButton>(sheet.get(), "完了");
  ASSERT_TRUE(connect && done);
  connect->setFocus();
  ASSERT_EQ(sheet->focusWidget(), connect.data());
  QTest::qWait(200);
  ASSERT_TRUE(connect && done);
  EXPECT_EQ(sheet->focusWidget(), connect.data());
  EXPECT_TRUE(done->isDefault());
}

} // namespace
} // namespace pd::ui::test
