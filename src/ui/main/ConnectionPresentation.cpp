#include "ui/main/ConnectionPresentation.hpp"

#include <cmath>
#include <set>

namespace pd::ui {

using Manager = link::NetworkManagerForMac;

std::uint32_t rgb(Tint tint) noexcept {
  switch (tint) {
  case Tint::green: return 0x34C759;
  case Tint::yellow: return 0xFFCC00;
  case Tint::red: return 0xFF3B30;
  case Tint::orange: return 0xFF9500;
  case Tint::blue: return 0x007AFF;
  case Tint::gray: return 0x8E8E93;
  case Tint::purple: return 0xAF52DE;
  }
  return 0x8E8E93;
}

namespace {

std::string appSuffix(const std::optional<std::string>& appVersion) {
  if (!appVersion || appVersion->empty()) return {};
  return "・アプリ v" + *appVersion;
}

} // namespace

std::optional<Chip> peerVersionChip(const Manager::PeerVersionState& state,
                                    const std::optional<std::string>& peerAppVersion) {
  using Kind = Manager::PeerVersionState::Kind;
  switch (state.kind()) {
  case Kind::unknown: return std::nullopt;
  case Kind::matched: return Chip{"checkmark.seal.fill", "バージョン一致" + appSuffix(peerAppVersion), Tint::green};
  case Kind::mismatch:
    return Chip{"exclamationmark.triangle.fill",
                "バージョン不一致（相手 v" + std::to_string(state.peerVersion().value_or(0)) + "）" +
                    appSuffix(peerAppVersion),
                Tint::red};
  case Kind::legacy: return Chip{"questionmark.circle.fill", "バージョン不明（古いアプリ）", Tint::orange};
  }
  return std::nullopt;
}

std::optional<Chip> discoveredPeerVersionChip(const std::optional<Manager::PeerVersionInfo>& info) {
  if (!info) return std::nullopt;
  if (!info->protocolVersion) return Chip{"questionmark.circle", "バージョン不明", Tint::orange};
  const std::string label = "v" + std::to_string(*info->protocolVersion) + appSuffix(info->appVersion);
  if (*info->protocolVersion == Manager::protocolVersion) return Chip{"checkmark.seal", label, Tint::green};
  return Chip{"exclamationmark.triangle", label, Tint::red};
}

std::vector<std::string> errorSuggestions(const ConnectionError& error) {
  std::vector<std::string> list;
  switch (error.kind) {
  case ConnectionError::Kind::networkUnavailable:
    list = {"Wi-Fiが有効か確認してください", "同じネットワークに接続されているか確認してください"};
    break;
  case ConnectionError::Kind::peerNotFound:
    list = {"iPadでアプリが起動しているか確認してください", "接続設定画面が開いているか確認してください"};
    break;
  case ConnectionError::Kind::timeout:
  case ConnectionError::Kind::connectionFailed:
    list = {"両方のデバイスを再起動してみてください", "アプリを再起動してみてください"};
    break;
  }
  if (list.size() > 3) list.resize(3);
  return list;
}

const std::vector<Tip>& connectionTips() {
  static const std::vector<Tip> tips = {
      {"ipad", "iPadでPalendrixアプリを起動し、接続設定を開いてください"},
      {"wifi", "両方のデバイスが同じネットワークにあることを確認してください"},
      {"hand.tap", "iPadが見つかったら「接続」ボタンをクリックしてください"},
  };
  return tips;
}

Chip connectionBadge(const DiscoveredRoute& route) {
  switch (route.connectionType) {
  case ConnectionType::directLink:
    return {"link", route.isIPv6 ? "USB-C/Thunderbolt直結" : "有線直結 (APIPA)", Tint::green};
  case ConnectionType::routerBased: return {"wifi.router", "ルーター経由", Tint::blue};
  case ConnectionType::unknown: return {"questionmark.circle", "不明", Tint::gray};
  }
  return {"questionmark.circle", "不明", Tint::gray};
}

std::string discoveredRouteSymbol(platform::net::InterfaceType type) {
  switch (type) {
  case platform::net::InterfaceType::wifi: return "wifi";
  case platform::net::InterfaceType::wiredEthernet: return "cable.connector";
  default: return "network";
  }
}

std::string linkedRouteSymbol(platform::net::InterfaceType type) {
  return type == platform::net::InterfaceType::wiredEthernet ? "cable.connector" : "wifi";
}

std::string endpointDisplayName(const platform::net::Endpoint& endpoint) {
  if (const auto* service = std::get_if<platform::net::ServiceEndpoint>(&endpoint)) return service->name;
  if (const auto* host = std::get_if<platform::net::HostPort>(&endpoint)) return host->host;
  return platform::net::describe(endpoint);
}

namespace {

std::set<std::string> connectedNames(const std::vector<platform::net::Endpoint>& connected) {
  std::set<std::string> names;
  for (const auto& endpoint : connected) names.insert(endpointDisplayName(endpoint));
  return names;
}

} // namespace

std::vector<platform::bonjour::BrowseResult>
visiblePeers(const std::vector<platform::bonjour::BrowseResult>& discovered,
             const std::vector<platform::net::Endpoint>& connected) {
  const auto names = connectedNames(connected);
  std::vector<platform::bonjour::BrowseResult> visible;
  for (const auto& peer : discovered) {
    if (!names.contains(endpointDisplayName(peer.endpoint))) visible.push_back(peer);
  }
  return visible;
}

bool hasUnconnectedPeers(const std::vector<platform::bonjour::BrowseResult>& discovered,
                         const std::vector<platform::net::Endpoint>& connected) {
  const auto names = connectedNames(connected);
  for (const auto& peer : discovered) {
    if (!names.contains(endpointDisplayName(peer.endpoint))) return true;
  }
  return false;
}

DevicesCardContent devicesCardContent(bool hasUnconnected, const ConnectionState& state, bool linked) {
  if (hasUnconnected) return DevicesCardContent::list;
  if (state.kind != ConnectionState::Kind::searching && !linked) return DevicesCardContent::noDevices;
  return DevicesCardContent::searching;
}

bool showsSearchingIndicator(const ConnectionState& state, bool linked) {
  return state.kind == ConnectionState::Kind::searching || linked;
}

LinkHealth linkHealth(bool isLinkDegraded, bool isVideoSilent) {
  LinkHealth health;
  health.color = isLinkDegraded || isVideoSilent ? Tint::yellow : Tint::green;
  if (isLinkDegraded) {
    health.warning = "受信が途絶しています";
  } else if (isVideoSilent) {
    health.warning = "映像が届いていません";
  }
  health.statusSymbol = health.warning ? "exclamationmark.triangle.fill" : "checkmark.circle.fill";
  return health;
}

std::string connectedPeerName(const std::vector<platform::net::Endpoint>& connected) {
  return connected.empty() ? std::string("iPad") : endpointDisplayName(connected.front());
}

bool sheetIsBusy(const ConnectionState& state, bool hasReconnectNotice) {
  return state.kind == ConnectionState::Kind::searching || state.kind == ConnectionState::Kind::connecting ||
         hasReconnectNotice;
}

bool sheetShowsCloseButton(const ConnectionState& state, bool hasReconnectNotice) {
  return hasReconnectNotice || !sheetIsBusy(state, hasReconnectNotice);
}

std::string sheetCloseButtonTitle(bool hasReconnectNotice) {
  return hasReconnectNotice ? "閉じる（再試行を続ける）" : "閉じる";
}

Tint StatusIndicatorModel::color() const noexcept {
  if (!isActive) return Tint::gray;
  return isDegraded ? Tint::yellow : Tint::green;
}

StatusIndicatorModel::Mark StatusIndicatorModel::mark() const noexcept {
  if (!isActive) return Mark::grayDot;
  return isDegraded ? Mark::warningTriangle : Mark::greenDot;
}

std::string StatusIndicatorModel::accessibilityValue() const {
  if (!isActive) return "オフ";
  return isDegraded ? degradedLabel : "正常";
}

std::array<StatusIndicatorModel, 3> statusIndicators(const StatusInputs& in) {
  return {{
      {"iPad接続", "ipad.and.iphone", in.isIPadConnected, in.isIPadLinkDegraded || in.isVideoSilent,
       in.isIPadLinkDegraded ? "受信途絶中" : "映像が途絶しています"},
      {"OSCサーバー", "antenna.radiowaves.left.and.right", in.isOSCRunning, false, "受信途絶中"},
      // The frame-sharing output is PipeWire on this platform.
      {"PipeWire", "arrow.up.forward.app", in.isSyphonRunning, in.isVideoSilent, "映像が途絶しています"},
  }};
}

std::string reconnectCauseText(Manager::ReconnectNotice::Cause cause) {
  using Cause = Manager::ReconnectNotice::Cause;
  switch (cause) {
  case Cause::connectionLost: return "iPad との接続が切れました";
  case Cause::timeout: return "接続がタイムアウトしました";
  case Cause::connectFailed: return "接続に失敗しました";
  case Cause::occupied: return "iPad は他の受信機と接続中です";
  case Cause::peerNotFound: return "iPad が見つかりません";
  }
  return {};
}

std::string reconnectRetryText(const Manager::ReconnectNotice& notice, std::chrono::system_clock::time_point now) {
  static const std::string kRetrying = "自動で再試行しています…";
  if (!notice.nextAttemptAt) return kRetrying;
  const double seconds = std::chrono::duration<double>(*notice.nextAttemptAt - now).count();
  if (!(seconds > 0)) return kRetrying;
  // A date far ahead is still shown, just not as an out-of-range conversion.
  const double rounded = std::ceil(std::min(seconds, 1e9));
  const auto count = static_cast<std::int64_t>(rounded);
  if (count < 1) return kRetrying;
  return "自動で再試行します（" + std::to_string(count) + " 秒後）";
}

LiveBadgeLook liveBadge(bool isVideoSilent) {
  if (isVideoSilent) return {"映像停止", Tint::yellow, "映像が途絶しています"};
  return {"LIVE", Tint::red, "受信中"};
}

VideoPlaceholderText videoPlaceholder(bool isVideoSilent) {
  if (isVideoSilent) return {"映像が届いていません", true, "受信はしていますが\n表示できるフレームがありません"};
  return {"映像待機中...", false, "iPadから配信が開始されると\n自動的に表示されます"};
}

std::string rawPreviewPlaceholder(bool isVideoSilent) {
  return isVideoSilent ? "映像が届いていません" : "映像待機中...";
}

std::string resolutionText(int width, int height) { return std::to_string(width) + "×" + std::to_string(height); }

AlertContent modeChangeAlert(const std::optional<link::StreamMode>& pending) {
  AlertContent alert;
  alert.title = "出力モードの変更";
  if (pending == link::StreamMode::mix) {
    alert.message = "iPadが合成モード（1系統出力）に切り替わりました。Palendrix Displayも合成モードに切り替えますか？"
                    "\n\n拒否するとiPadはRawモードに戻ります。";
  } else if (pending == link::StreamMode::raw) {
    alert.message =
        "iPadがRawモード（Player A/B 個別出力）に切り替わりました。Palendrix DisplayもRawモードに切り替えますか？"
        "\n\n切り替えるとPipeWire出力が2系統（\"… A\" / \"… B\"）になります。"
        "拒否するとiPadは合成モードに戻ります。";
  }
  alert.buttons = {{"切り替える", AlertButton::Action::approveMode, false},
                   {"拒否", AlertButton::Action::declineMode, true}};
  return alert;
}

AlertContent versionMismatchAlert(const std::optional<Manager::VersionMismatchAlert>& value) {
  AlertContent alert;
  const bool localIsOlder = value && value->localVersion < value->peerVersion;
  alert.title = localIsOlder ? "アップデートが必要です" : "接続先のアップデートが必要です";
  if (value) {
    alert.message =
        localIsOlder
            ? "このデバイスのアプリバージョンには互換性がありません。最新バージョンにアップデートしてください。"
              "\n\nこのデバイス（Palendrix Zuvudiv）: v"
            : "接続先のデバイスのアプリバージョンには互換性がありません。接続先のデバイスでアプリを"
              "アップデートすると解消します。\n\nこのデバイス（Palendrix Zuvudiv）: v";
    alert.message += value->localAppVersion;
    alert.message += "\n相手（iPad）: v";
    alert.message += value->peerAppVersion.value_or("不明");
  }
  if (localIsOlder) {
    alert.buttons = {{"アップデートを確認", AlertButton::Action::checkForUpdates, false},
                     {"ダウンロードページを開く", AlertButton::Action::openDownloadPage, false},
                     {"後で", AlertButton::Action::dismissMismatch, true}};
  } else {
    alert.buttons = {{"OK", AlertButton::Action::dismissMismatch, true}};
  }
  return alert;
}

AlertContent legacyPeerAlert() {
  return {"接続先のアップデートが必要です",
          "接続先のアプリ（Palendrix）のバージョンが古いため、映像は表示されません。接続先のiPadでアプリを最新版に"
          "アップデートすると解消します。\n\n接続とデッキ情報の送信は引き続き動作します。",
          {{"OK", AlertButton::Action::dismissLegacy, true}}};
}

} // namespace pd::ui
