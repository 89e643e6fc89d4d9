// The main window's and the connection sheet's texts, colours and rules, without a display.

#include "ui/main/ConnectionPresentation.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace pd::ui {
namespace {

using Manager = link::NetworkManagerForMac;
using namespace std::chrono_literals;

TEST(ConnectionStateTest, EveryStateAndErrorReadsItsStatusLine) {
  EXPECT_EQ(ConnectionState::idle().description(), "待機中");
  EXPECT_EQ(ConnectionState::searching().description(), "iPadを検索中...");
  EXPECT_EQ(ConnectionState::connecting().description(), "接続中...");
  EXPECT_EQ(ConnectionState::connected().description(), "接続完了");
  EXPECT_EQ(ConnectionState::disconnected().description(), "接続が切断されました");
  EXPECT_EQ(ConnectionState::timedOut().description(), "接続がタイムアウトしました");
  EXPECT_EQ(ConnectionState::failed(ConnectionError::timeout()).description(), "タイムアウト");
  EXPECT_EQ(ConnectionState::failed(ConnectionError::networkUnavailable()).description(),
            "ネットワークに接続できません");
  EXPECT_EQ(ConnectionState::failed(ConnectionError::peerNotFound()).description(), "iPadが見つかりません");
  EXPECT_EQ(ConnectionState::failed(ConnectionError::connectionFailed("port busy")).description(),
            "接続失敗: port busy");
  EXPECT_EQ(ConnectionError::connectionFailed("").description(), "接続失敗: ");
}

TEST(ConnectionStateTest, FailedErrorsAreEqualExactlyWhenTheirMessagesAre) {
  EXPECT_EQ(ConnectionError::connectionFailed("a"), ConnectionError::connectionFailed("a"));
  EXPECT_NE(ConnectionError::connectionFailed("a"), ConnectionError::connectionFailed("b"));
  EXPECT_NE(ConnectionState::failed(ConnectionError::timeout()), ConnectionState::timedOut());
  EXPECT_EQ(ConnectionState::failed(ConnectionError::connectionFailed("x")),
            ConnectionState::failed(ConnectionError::connectionFailed("x")));
}

TEST(VersionBadgeTest, LinkedTabletBadgeByState) {
  EXPECT_FALSE(peerVersionChip(Manager::PeerVersionState::unknown(), "1.2"));
  EXPECT_EQ(peerVersionChip(Manager::PeerVersionState::matched(), std::nullopt),
            (Chip{"checkmark.seal.fill", "バージョン一致", Tint::green}));
  EXPECT_EQ(peerVersionChip(Manager::PeerVersionState::matched(), std::string()),
            (Chip{"checkmark.seal.fill", "バージョン一致", Tint::green}));
  EXPECT_EQ(peerVersionChip(Manager::PeerVersionState::matched(), "2.1")->text, "バージョン一致・アプリ v2.1");
  EXPECT_EQ(peerVersionChip(Manager::PeerVersionState::mismatch(2), std::nullopt),
            (Chip{"exclamationmark.triangle.fill", "バージョン不一致（相手 v2）", Tint::red}));
  EXPECT_EQ(peerVersionChip(Manager::PeerVersionState::mismatch(-4), "9")->text,
            "バージョン不一致（相手 v-4）・アプリ v9");
  // A legacy tablet's app version is never shown.
  EXPECT_EQ(peerVersionChip(Manager::PeerVersionState::legacy(), "0.9"),
            (Chip{"questionmark.circle.fill", "バージョン不明（古いアプリ）", Tint::orange}));
}

TEST(VersionBadgeTest, DiscoveredTabletBadgeByAnnouncedVersions) {
  EXPECT_FALSE(discoveredPeerVersionChip(std::nullopt));
  EXPECT_EQ(discoveredPeerVersionChip(Manager::PeerVersionInfo{std::nullopt, "3.0"}),
            (Chip{"questionmark.circle", "バージョン不明", Tint::orange}));
  EXPECT_EQ(discoveredPeerVersionChip(Manager::PeerVersionInfo{3, std::nullopt}),
            (Chip{"checkmark.seal", "v3", Tint::green}));
  EXPECT_EQ(discoveredPeerVersionChip(Manager::PeerVersionInfo{3, ""})->text, "v3");
  EXPECT_EQ(discoveredPeerVersionChip(Manager::PeerVersionInfo{3, "1.4"})->text, "v3・アプリ v1.4");
  EXPECT_EQ(discoveredPeerVersionChip(Manager::PeerVersionInfo{4, "2.0"}),
            (Chip{"exclamationmark.triangle", "v4・アプリ v2.0", Tint::red}));
  EXPECT_EQ(discoveredPeerVersionChip(Manager::PeerVersionInfo{2, std::nullopt})->tint, Tint::red);
}

TEST(VersionBadgeTest, ColoursAreTheSystemColours) {
  EXPECT_EQ(rgb(Tint::green), 0x34C759u);
  EXPECT_EQ(rgb(Tint::red), 0xFF3B30u);
  EXPECT_EQ(rgb(Tint::orange), 0xFF9500u);
  EXPECT_EQ(rgb(Tint::yellow), 0xFFCC00u);
  EXPECT_EQ(rgb(Tint::blue), 0x007AFFu);
  EXPECT_EQ(rgb(Tint::gray), 0x8E8E93u);
}

TEST(ErrorHelpTest, SuggestionsFollowTheKindOfError) {
  const std::vector<std::string> restart = {"両方のデバイスを再起動してみてください", "アプリを再起動してみてください"};
  EXPECT_EQ(errorSuggestions(ConnectionError::timeout()), restart);
  EXPECT_EQ(errorSuggestions(ConnectionError::connectionFailed("anything")), restart);
  EXPECT_EQ(errorSuggestions(ConnectionError::networkUnavailable()),
            (std::vector<std::string>{"Wi-Fiが有効か確認してください",
                                      "同じネットワークに接続されているか確認してください"}));
  EXPECT_EQ(errorSuggestions(ConnectionError::peerNotFound()),
            (std::vector<std::string>{"iPadでアプリが起動しているか確認してください",
                                      "接続設定画面が開いているか確認してください"}));
  std::vector<std::pair<std::string, std::string>> tips;
  for (const auto& tip : connectionTips()) tips.emplace_back(tip.icon, tip.text);
  EXPECT_EQ(tips, (std::vector<std::pair<std::string, std::string>>{
                      {"ipad", "iPadでPalendrixアプリを起動し、接続設定を開いてください"},
                      {"wifi", "両方のデバイスが同じネットワークにあることを確認してください"},
                      {"hand.tap", "iPadが見つかったら「接続」ボタンをクリックしてください"}}));
}

platform::bonjour::BrowseResult tablet(const std::string& name) {
  platform::bonjour::BrowseResult result;
  result.endpoint = platform::net::ServiceEndpoint{name, "_velquatrin._udp", "local."};
  return result;
}

TEST(DiscoveredListTest, LinkedTabletIsHiddenByNameNotIdentity) {
  EXPECT_EQ(endpointDisplayName(platform::net::HostPort{"192.168.1.4", 9000}), "192.168.1.4");
  EXPECT_EQ(endpointDisplayName(platform::net::ServiceEndpoint{"Stage iPad", "_velquatrin._udp", "local."}),
            "Stage iPad");
  const std::vector<platform::bonjour::BrowseResult> found = {tablet("A"), tablet("B"), tablet("A")};
  // Another service type with the linked tablet's name counts as the same tablet.
  const std::vector<platform::net::Endpoint> linked = {platform::net::ServiceEndpoint{"A", "_other._udp", "local."}};
  const auto visible = visiblePeers(found, linked);
  ASSERT_EQ(visible.size(), 1u);
  EXPECT_EQ(endpointDisplayName(visible[0].endpoint), "B");
  EXPECT_TRUE(hasUnconnectedPeers(found, linked));
  EXPECT_FALSE(hasUnconnectedPeers({tablet("A")}, linked));
  EXPECT_FALSE(hasUnconnectedPeers({}, {}));
  EXPECT_EQ(visiblePeers(found, {}).size(), 3u);
}

TEST(DiscoveredListTest, CardShowsListNoDevicesOrSearching) {
  EXPECT_EQ(devicesCardContent(true, ConnectionState::idle(), false), DevicesCardContent::list);
  EXPECT_EQ(devicesCardContent(false, ConnectionState::idle(), false), DevicesCardContent::noDevices);
  EXPECT_EQ(devicesCardContent(false, ConnectionState::disconnected(), false), DevicesCardContent::noDevices);
  EXPECT_EQ(devicesCardContent(false, ConnectionState::searching(), false), DevicesCardContent::searching);
  EXPECT_EQ(devicesCardContent(false, ConnectionState::connected(), true), DevicesCardContent::searching);
  EXPECT_TRUE(showsSearchingIndicator(ConnectionState::searching(), false));
  EXPECT_TRUE(showsSearchingIndicator(ConnectionState::connected(), true));
  EXPECT_FALSE(showsSearchingIndicator(ConnectionState::idle(), false));
}

TEST(ConnectedPanelTest, HealthColourWarningAndSymbol) {
  const auto healthy = linkHealth(false, false);
  EXPECT_EQ(healthy.color, Tint::green);
  EXPECT_FALSE(healthy.warning);
  EXPECT_EQ(healthy.statusSymbol, "checkmark.circle.fill");
  const auto degraded = linkHealth(true, true);
  EXPECT_EQ(degraded.color, Tint::yellow);
  EXPECT_EQ(degraded.warning, "受信が途絶しています");
  EXPECT_EQ(degraded.statusSymbol, "exclamationmark.triangle.fill");
  EXPECT_EQ(linkHealth(false, true).warning, "映像が届いていません");
  EXPECT_EQ(linkHealth(false, true).color, Tint::yellow);
  EXPECT_EQ(connectedPeerName({}), "iPad");
  EXPECT_EQ(connectedPeerName({platform::net::ServiceEndpoint{"Deck", "_velquatrin._udp", "local."}}), "Deck");
}

TEST(ConnectionSheetBarTest, BusyAndCloseButtonRules) {
  // Searching without a notice: no close button, only "キャンセル".
  EXPECT_TRUE(sheetIsBusy(ConnectionState::searching(), false));
  EXPECT_FALSE(sheetShowsCloseButton(ConnectionState::searching(), false));
  EXPECT_TRUE(sheetIsBusy(ConnectionState::connecting(), false));
  // A pending reconnect: busy, yet closable.
  EXPECT_TRUE(sheetIsBusy(ConnectionState::idle(), true));
  EXPECT_TRUE(sheetShowsCloseButton(ConnectionState::searching(), true));
  EXPECT_FALSE(sheetIsBusy(ConnectionState::disconnected(), false));
  EXPECT_TRUE(sheetShowsCloseButton(ConnectionState::failed(ConnectionError::timeout()), false));
  EXPECT_EQ(sheetCloseButtonTitle(true), "閉じる（再試行を続ける）");
  EXPECT_EQ(sheetCloseButtonTitle(false), "閉じる");
}

TEST(StatusSectionTest, IndicatorsTitlesIconsAndColours) {
  const auto off = statusIndicators({});
  EXPECT_EQ(off[0].title, "iPad接続");
  EXPECT_EQ(off[0].icon, "ipad.and.iphone");
  EXPECT_EQ(off[1].title, "OSCサーバー");
  EXPECT_EQ(off[2].title, "PipeWire");
  for (const auto& indicator : off) {
    EXPECT_EQ(indicator.color(), Tint::gray);
    EXPECT_EQ(indicator.mark(), StatusIndicatorModel::Mark::grayDot);
    EXPECT_EQ(indicator.accessibilityValue(), "オフ");
  }
  // Not linked wins over degraded and silent.
  const auto unlinked = statusIndicators({false, true, false, false, true});
  EXPECT_EQ(unlinked[0].color(), Tint::gray);
  EXPECT_EQ(unlinked[0].accessibilityValue(), "オフ");

  const auto degraded = statusIndicators({true, true, true, false, false});
  EXPECT_EQ(degraded[0].color(), Tint::yellow);
  EXPECT_EQ(degraded[0].mark(), StatusIndicatorModel::Mark::warningTriangle);
  EXPECT_EQ(degraded[0].accessibilityValue(), "受信途絶中");
  EXPECT_EQ(degraded[1].color(), Tint::green);
  EXPECT_EQ(degraded[1].accessibilityValue(), "正常");

  const auto silent = statusIndicators({true, false, true, true, true});
  EXPECT_EQ(silent[0].accessibilityValue(), "映像が途絶しています");
  EXPECT_EQ(silent[2].color(), Tint::yellow);
  EXPECT_EQ(silent[2].accessibilityValue(), "映像が途絶しています");
  // The OSC indicator is never yellow.
  EXPECT_EQ(silent[1].color(), Tint::green);
  EXPECT_EQ(statusIndicators({true, false, false, false, true})[2].color(), Tint::gray);
}

TEST(ReconnectNoticeTest, CauseTexts) {
  using Cause = Manager::ReconnectNotice::Cause;
  EXPECT_EQ(reconnectCauseText(Cause::connectionLost), "iPad との接続が切れました");
  EXPECT_EQ(reconnectCauseText(Cause::timeout), "接続がタイムアウトしました");
  EXPECT_EQ(reconnectCauseText(Cause::connectFailed), "接続に失敗しました");
  EXPECT_EQ(reconnectCauseText(Cause::occupied), "iPad は他の受信機と接続中です");
  EXPECT_EQ(reconnectCauseText(Cause::peerNotFound), "iPad が見つかりません");
}

TEST(ReconnectNoticeTest, CountdownRoundsUpAndStopsAtTheAttempt) {
  const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
  const auto notice = [&](std::optional<std::chrono::system_clock::duration> ahead) {
    Manager::ReconnectNotice value;
    if (ahead) value.nextAttemptAt = now + *ahead;
    return value;
  };
  EXPECT_EQ(reconnectRetryText(notice(2200ms), now), "自動で再試行します（3 秒後）");
  EXPECT_EQ(reconnectRetryText(notice(400ms), now), "自動で再試行します（1 秒後）");
  EXPECT_EQ(reconnectRetryText(notice(3s), now), "自動で再試行します（3 秒後）");
  EXPECT_EQ(reconnectRetryText(notice(0s), now), "自動で再試行しています…");
  EXPECT_EQ(reconnectRetryText(notice(-5s), now), "自動で再試行しています…");
  EXPECT_EQ(reconnectRetryText(notice(std::nullopt), now), "自動で再試行しています…");
  // Far ahead is still a count, not an overflow.
  EXPECT_EQ(reconnectRetryText(notice(std::chrono::hours(24 * 365 * 100)), now).rfind("自動で再試行します（", 0), 0u);
}

TEST(VideoSectionTest, BadgesAndPlaceholders) {
  EXPECT_EQ(liveBadge(false).word, "LIVE");
  EXPECT_EQ(liveBadge(false).dot, Tint::red);
  EXPECT_EQ(liveBadge(false).accessibilityLabel, "受信中");
  EXPECT_EQ(liveBadge(true).word, "映像停止");
  EXPECT_EQ(liveBadge(true).dot, Tint::yellow);
  EXPECT_EQ(liveBadge(true).accessibilityLabel, "映像が途絶しています");
  EXPECT_EQ(videoPlaceholder(false).headline, "映像待機中...");
  EXPECT_FALSE(videoPlaceholder(false).headlineOrange);
  EXPECT_EQ(videoPlaceholder(false).caption, "iPadから配信が開始されると\n自動的に表示されます");
  EXPECT_EQ(videoPlaceholder(true).headline, "映像が届いていません");
  EXPECT_TRUE(videoPlaceholder(true).headlineOrange);
  EXPECT_EQ(videoPlaceholder(true).caption, "受信はしていますが\n表示できるフレームがありません");
  EXPECT_EQ(rawPreviewPlaceholder(true), "映像が届いていません");
  EXPECT_EQ(resolutionText(1280, 720), "1280×720");
}

TEST(AlertTextTest, ModeChangeByPendingMode) {
  const auto raw = modeChangeAlert(link::StreamMode::raw);
  EXPECT_EQ(raw.title, "出力モードの変更");
  EXPECT_NE(raw.message.find("（\"… A\" / \"… B\"）"), std::string::npos);
  EXPECT_NE(raw.message.find("切り替えるとPipeWire出力が2系統"), std::string::npos);
  EXPECT_EQ(raw.message.find("Syphon"), std::string::npos);
  const auto mix = modeChangeAlert(link::StreamMode::mix);
  EXPECT_EQ(mix.message.rfind("iPadが合成モード（1系統出力）に切り替わりました。", 0), 0u);
  EXPECT_NE(mix.message.find("\n\n拒否するとiPadはRawモードに戻ります。"), std::string::npos);
  EXPECT_TRUE(modeChangeAlert(std::nullopt).message.empty());
  ASSERT_EQ(raw.buttons.size(), 2u);
  EXPECT_EQ(raw.buttons[0].title, "切り替える");
  EXPECT_EQ(raw.buttons[0].action, AlertButton::Action::approveMode);
  EXPECT_EQ(raw.buttons[1].title, "拒否");
  EXPECT_TRUE(raw.buttons[1].cancelRole);
}

TEST(AlertTextTest, VersionMismatchDependsOnWhichSideIsOlder) {
  const auto older = versionMismatchAlert(Manager::VersionMismatchAlert{3, 4, "1.0.0", std::nullopt});
  EXPECT_EQ(older.title, "アップデートが必要です");
  EXPECT_EQ(older.message,
            "このデバイスのアプリバージョンには互換性がありません。最新バージョンにアップデートしてください。"
            "\n\nこのデバイス（Palendrix Zuvudiv）: v1.0.0\n相手（iPad）: v不明");
  ASSERT_EQ(older.buttons.size(), 3u);
  EXPECT_EQ(older.buttons[0].title, "アップデートを確認");
  EXPECT_EQ(older.buttons[1].title, "ダウンロードページを開く");
  EXPECT_EQ(older.buttons[2].title, "後で");
  EXPECT_TRUE(older.buttons[2].cancelRole);

  const auto newer = versionMismatchAlert(Manager::VersionMismatchAlert{3, 2, "1.0.0", ""});
  EXPECT_EQ(newer.title, "接続先のアップデートが必要です");
  // An empty peer version adds nothing.
  EXPECT_EQ(newer.message.substr(newer.message.size() - std::string("相手（iPad）: v").size()), "相手（iPad）: v");
  ASSERT_EQ(newer.buttons.size(), 1u);
  EXPECT_EQ(newer.buttons[0].title, "OK");
  EXPECT_TRUE(newer.buttons[0].cancelRole);

  const auto gone = versionMismatchAlert(std::nullopt);
  EXPECT_EQ(gone.title, "接続先のアップデートが必要です");
  EXPECT_TRUE(gone.message.empty());

  const auto legacy = legacyPeerAlert();
  EXPECT_EQ(legacy.title, "接続先のアップデートが必要です");
  EXPECT_NE(legacy.message.find("\n\n接続とデッキ情報の送信は引き続き動作します。"), std::string::npos);
  ASSERT_EQ(legacy.buttons.size(), 1u);
  EXPECT_EQ(legacy.buttons[0].action, AlertButton::Action::dismissLegacy);
}

} // namespace
} // namespace pd::ui
