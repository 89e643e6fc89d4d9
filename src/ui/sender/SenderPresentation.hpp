#pragma once

// What the sender section and its YouTube panel show, as plain values: the send gate and its
// texts, the deck cards' lines, the playback line of each load state and the duration text. The
// widgets only lay these out, so every rule here is tested without a display.

#include "link/NetworkManagerForMac.hpp"
#include "ui/main/ConnectionPresentation.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::ui {

// --- Source tab ---------------------------------------------------------------------------------
enum class SourceTab : std::uint8_t { youtube, localFile };
std::string_view rawValue(SourceTab tab) noexcept;
// A stored value that is neither raw value (or none at all) reads as youtube.
SourceTab sourceTabFromStored(const std::optional<std::string>& stored) noexcept;
std::string_view sourceTabTitle(SourceTab tab) noexcept;

// --- Send gate ----------------------------------------------------------------------------------
// Whether a send is offered, and why not. When several conditions fail, the version problem is the
// one reported.
struct SendGate {
  bool isIPadConnected = false;
  bool isVersionAcceptable = true;
  bool isLoadVideoUnsupported = false;

  static SendGate from(bool isIPadConnected, const link::NetworkManagerForMac::PeerVersionState& versionState,
                       const std::optional<std::vector<std::string>>& peerFeatures);
  // Unknown and matched are acceptable; a mismatch and a legacy tablet are not.
  static bool isAcceptable(const link::NetworkManagerForMac::PeerVersionState& versionState) noexcept;
  // A feature list that lacks "load_video"; a tablet that sent none counts as supporting it.
  static bool isUnsupported(const std::optional<std::vector<std::string>>& peerFeatures);

  bool isSendingAllowed() const noexcept { return isIPadConnected && isVersionAcceptable && !isLoadVideoUnsupported; }
  // The header's state word, in orange; none when sending is allowed.
  std::optional<std::string> headerWord() const;
  // The warning banner's text: only while linked and refused.
  std::optional<std::string> bannerText() const;
  // The reason word of a refused drop ("not_connected", "version_mismatch",
  // "load_video_unsupported"); none when drops are accepted.
  std::optional<std::string_view> dropRejectReason() const noexcept;

  friend bool operator==(const SendGate&, const SendGate&) = default;
};

// --- Texts ---------------------------------------------------------------------------------------
inline constexpr std::string_view kSectionTitle = "iPad へ送る";
inline constexpr std::string_view kSectionBadge = "Player A / B へ直接ロード";
inline constexpr std::string_view kChooseButton = "動画を選択...";
inline constexpr std::string_view kSearchPlaceholder = "曲名・アーティスト、または YouTube の URL";
inline constexpr std::string_view kSearchButton = "検索";

enum class Deck : std::uint8_t { a, b };
// "Player A" / "Player B".
std::string deckTitle(Deck deck);
// Blue for A, orange for B.
Tint deckTint(Deck deck) noexcept;
// "128 BPM"; none without a tempo.
std::optional<std::string> tempoBadge(const std::optional<std::int64_t>& bpm);
// The hint shown while a deck has no file name.
std::string_view deckHint(SourceTab tab) noexcept;
// The deck's status, or "未選択" when empty.
std::string deckStatusText(const std::string& status);
// Button tooltips of a result row: "Player A へ送る" / "Player B へ送る".
std::string sendToolTip(Deck deck);

// --- Playback line ---------------------------------------------------------------------------------
// The broadcaster's load states, in its order.
enum class PlaybackCase : std::uint8_t { failed, none, awaiting, noResponse, unconfirmed, ready, replaced };

struct PlaybackLine {
  bool shown = false;
  bool spinner = false; // awaiting: a small progress indicator before the text
  std::string symbol; // empty: no symbol
  std::string text;
  std::optional<Tint> tint; // none: the secondary text colour
  int lineLimit = 0; // 0: no limit

  friend bool operator==(const PlaybackLine&, const PlaybackLine&) = default;
};
PlaybackLine playbackLine(PlaybackCase state, const std::optional<std::string>& reason);

// The row text of a failed load, by exact comparison of the tablet's reason.
std::string failureText(const std::optional<std::string>& reason);

// --- YouTube panel -----------------------------------------------------------------------------------
// "0:59", "59:59", "1:00:00"; a negative length shows no duration.
std::optional<std::string> formatDuration(std::int64_t seconds);
// "検索" is offered for a query that is not blank after trimming spaces and tabs (line breaks are
// not trimmed here), and not while a search runs.
bool isSearchButtonEnabled(std::string_view query, bool isSearching) noexcept;

} // namespace pd::ui
