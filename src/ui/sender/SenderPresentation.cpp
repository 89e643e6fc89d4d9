#include "ui/sender/SenderPresentation.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

namespace pd::ui {

std::string_view rawValue(SourceTab tab) noexcept { return tab == SourceTab::localFile ? "localFile" : "youtube"; }

SourceTab sourceTabFromStored(const std::optional<std::string>& stored) noexcept {
  return stored && *stored == rawValue(SourceTab::localFile) ? SourceTab::localFile : SourceTab::youtube;
}

std::string_view sourceTabTitle(SourceTab tab) noexcept {
  return tab == SourceTab::localFile ? "ローカルファイル" : "YouTube 検索";
}

SendGate SendGate::from(bool isIPadConnected, const link::NetworkManagerForMac::PeerVersionState& versionState,
                        const std::optional<std::vector<std::string>>& peerFeatures) {
  return {isIPadConnected, isAcceptable(versionState), isUnsupported(peerFeatures)};
}

bool SendGate::isAcceptable(const link::NetworkManagerForMac::PeerVersionState& versionState) noexcept {
  using Kind = link::NetworkManagerForMac::PeerVersionState::Kind;
  return versionState.kind() == Kind::unknown || versionState.kind() == Kind::matched;
}

bool SendGate::isUnsupported(const std::optional<std::vector<std::string>>& peerFeatures) {
  return peerFeatures && std::find(peerFeatures->begin(), peerFeatures->end(), "load_video") == peerFeatures->end();
}

std::optional<std::string> SendGate::headerWord() const {
  if (!isIPadConnected) return "iPad 未接続";
  if (!isVersionAcceptable) return "バージョン不一致";
  if (isLoadVideoUnsupported) return "iPad が未対応";
  return std::nullopt;
}

std::optional<std::string> SendGate::bannerText() const {
  if (!isIPadConnected || isSendingAllowed()) return std::nullopt;
  if (!isVersionAcceptable) {
    return "接続中のアプリとバージョンが一致しないため、この機能は使用できません。バージョン警告の案内に従って古い側"
           "のアプリをアップデートしてください。";
  }
  return "接続中の iPad はこの機能に対応していません。iPad 側のアプリをアップデートしてください。";
}

std::optional<std::string_view> SendGate::dropRejectReason() const noexcept {
  if (!isIPadConnected) return "not_connected";
  if (!isVersionAcceptable) return "version_mismatch";
  if (isLoadVideoUnsupported) return "load_video_unsupported";
  return std::nullopt;
}

std::string deckTitle(Deck deck) { return deck == Deck::a ? "Player A" : "Player B"; }

Tint deckTint(Deck deck) noexcept { return deck == Deck::a ? Tint::blue : Tint::orange; }

std::optional<std::string> tempoBadge(const std::optional<std::int64_t>& bpm) {
  if (!bpm) return std::nullopt;
  return std::to_string(*bpm) + " BPM";
}

std::string_view deckHint(SourceTab tab) noexcept {
  return tab == SourceTab::localFile ? "またはここにドラッグ&ドロップ" : "検索結果の A / B で送る";
}

std::string deckStatusText(const std::string& status) { return status.empty() ? "未選択" : status; }

std::string sendToolTip(Deck deck) { return deckTitle(deck) + " へ送る"; }

PlaybackLine playbackLine(PlaybackCase state, const std::optional<std::string>& reason) {
  switch (state) {
  case PlaybackCase::none: return {};
  case PlaybackCase::awaiting: return {true, true, "", "iPad の応答待ち...", std::nullopt, 0};
  case PlaybackCase::noResponse:
    return {true,
            false,
            "exclamationmark.triangle.fill",
            "iPad から応答がありません（iPad の表示を確認してください）",
            Tint::orange,
            2};
  case PlaybackCase::unconfirmed:
    return {true,
            false,
            "questionmark.circle",
            "再生できたかは iPad の表示で確認してください（この iPad は結果を返しません）",
            std::nullopt,
            2};
  case PlaybackCase::ready: return {true, false, "checkmark.circle.fill", "iPad で再生できます", Tint::green, 0};
  case PlaybackCase::replaced:
    return {true, false, "arrow.triangle.2.circlepath", "iPad 側で別の動画に替わりました", std::nullopt, 0};
  case PlaybackCase::failed: return {true, false, "xmark.octagon.fill", failureText(reason), Tint::red, 2};
  }
  return {};
}

std::string failureText(const std::optional<std::string>& reason) {
  if (reason && *reason == "invalid_url") return "iPad で再生できませんでした（URL を解釈できません）";
  if (reason && *reason == "playback_failed") return "iPad での再生が途中で止まりました";
  return "iPad で再生できませんでした（読み込みに失敗）";
}

std::optional<std::string> formatDuration(std::int64_t seconds) {
  if (seconds < 0) return std::nullopt;
  const std::int64_t minutes = seconds / 60;
  const std::int64_t rest = seconds - 60 * minutes;
  std::array<char, 48> buffer{};
  if (seconds < 3600) {
    std::snprintf(buffer.data(), buffer.size(), "%lld:%02lld", static_cast<long long>(minutes % 60),
                  static_cast<long long>(rest));
  } else {
    std::snprintf(buffer.data(), buffer.size(), "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(minutes % 60), static_cast<long long>(rest));
  }
  return std::string(buffer.data());
}

bool isSearchButtonEnabled(std::string_view query, bool isSearching) noexcept {
  if (isSearching) return false;
  const auto first = query.find_first_not_of(" \t");
  return first != std::string_view::npos;
}

} // namespace pd::ui
