#pragma once

// What the main window and the connection sheet show, as plain values: texts, colours, symbols
// and which element is visible. The widgets only lay these out, so every rule here is tested
// without a display.

#include "link/NetworkManagerForMac.hpp"
#include "ui/main/ConnectionState.hpp"
#include "ui/main/DiscoveredRoute.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pd::ui {

// The named system colours the views use.
enum class Tint : std::uint8_t { green, yellow, red, orange, blue, gray, purple };
// 0xRRGGBB.
std::uint32_t rgb(Tint tint) noexcept;

// A coloured chip: a symbol name (mapped to a theme icon by the widgets) and a text.
struct Chip {
  std::string symbol;
  std::string text;
  Tint tint = Tint::gray;

  friend bool operator==(const Chip&, const Chip&) = default;
};

// --- Version badges ---------------------------------------------------------------------------
// The linked tablet's badge; none while the version is unknown.
std::optional<Chip> peerVersionChip(const link::NetworkManagerForMac::PeerVersionState& state,
                                    const std::optional<std::string>& peerAppVersion);
// A discovered tablet's badge, from its announced versions; none without an entry.
std::optional<Chip> discoveredPeerVersionChip(const std::optional<link::NetworkManagerForMac::PeerVersionInfo>& info);

// --- Error help and tips ------------------------------------------------------------------------
// At most three suggestions, chosen by the kind of error.
std::vector<std::string> errorSuggestions(const ConnectionError& error);

struct Tip {
  std::string icon;
  std::string text;
};
const std::vector<Tip>& connectionTips();

// --- Routes ------------------------------------------------------------------------------------
// The connection badge of a route and its colour.
Chip connectionBadge(const DiscoveredRoute& route);
// The discovered list's interface symbol: "wifi", "cable.connector" or "network".
std::string discoveredRouteSymbol(platform::net::InterfaceType type);
// The connected panel's and route-change list's symbol: "cable.connector" for wired, else "wifi".
std::string linkedRouteSymbol(platform::net::InterfaceType type);

// --- Tablets -----------------------------------------------------------------------------------
// A service's name; a host's text without the port.
std::string endpointDisplayName(const platform::net::Endpoint& endpoint);
// Discovered tablets whose display name is not a linked tablet's, in published order.
std::vector<platform::bonjour::BrowseResult>
visiblePeers(const std::vector<platform::bonjour::BrowseResult>& discovered,
             const std::vector<platform::net::Endpoint>& connected);
bool hasUnconnectedPeers(const std::vector<platform::bonjour::BrowseResult>& discovered,
                         const std::vector<platform::net::Endpoint>& connected);

enum class DevicesCardContent : std::uint8_t { list, noDevices, searching };
DevicesCardContent devicesCardContent(bool hasUnconnected, const ConnectionState& state, bool linked);
// The heading's "検索中" indicator.
bool showsSearchingIndicator(const ConnectionState& state, bool linked);

// --- Connected device panel ----------------------------------------------------------------------
struct LinkHealth {
  Tint color = Tint::green;
  std::optional<std::string> warning;
  std::string statusSymbol; // "checkmark.circle.fill" or "exclamationmark.triangle.fill"

  friend bool operator==(const LinkHealth&, const LinkHealth&) = default;
};
LinkHealth linkHealth(bool isLinkDegraded, bool isVideoSilent);
// The linked tablet's name; "iPad" when none is listed.
std::string connectedPeerName(const std::vector<platform::net::Endpoint>& connected);

// --- Connection sheet's bottom bar -------------------------------------------------------------------
bool sheetIsBusy(const ConnectionState& state, bool hasReconnectNotice);
bool sheetShowsCloseButton(const ConnectionState& state, bool hasReconnectNotice);
std::string sheetCloseButtonTitle(bool hasReconnectNotice);

// --- Status section ----------------------------------------------------------------------------
struct StatusInputs {
  bool isIPadConnected = false;
  bool isIPadLinkDegraded = false;
  bool isOSCRunning = false;
  bool isSyphonRunning = false;
  bool isVideoSilent = false;
};

struct StatusIndicatorModel {
  enum class Mark : std::uint8_t { grayDot, warningTriangle, greenDot };

  std::string title;
  std::string icon;
  bool isActive = false;
  bool isDegraded = false;
  std::string degradedLabel;

  Tint color() const noexcept;
  Mark mark() const noexcept;
  std::string accessibilityValue() const;
};
std::array<StatusIndicatorModel, 3> statusIndicators(const StatusInputs& inputs);

std::string reconnectCauseText(link::NetworkManagerForMac::ReconnectNotice::Cause cause);
// The countdown to the next attempt, whole seconds rounded up; "…しています…" once it is due.
std::string reconnectRetryText(const link::NetworkManagerForMac::ReconnectNotice& notice,
                               std::chrono::system_clock::time_point now);

// --- Video sections ----------------------------------------------------------------------------
struct LiveBadgeLook {
  std::string word;
  Tint dot = Tint::red;
  std::string accessibilityLabel;
};
LiveBadgeLook liveBadge(bool isVideoSilent);

struct VideoPlaceholderText {
  std::string headline;
  bool headlineOrange = false;
  std::string caption; // two lines joined by "\n"
};
VideoPlaceholderText videoPlaceholder(bool isVideoSilent);
// The raw preview's placeholder has the headline only.
std::string rawPreviewPlaceholder(bool isVideoSilent);
// "1920×1080".
std::string resolutionText(int width, int height);

// --- Alerts --------------------------------------------------------------------------------------
struct AlertButton {
  enum class Action : std::uint8_t {
    approveMode,
    declineMode,
    checkForUpdates,
    openDownloadPage,
    dismissMismatch,
    dismissLegacy
  };
  std::string title;
  Action action = Action::dismissMismatch;
  bool cancelRole = false;
};

struct AlertContent {
  std::string title;
  std::string message;
  std::vector<AlertButton> buttons;
};

AlertContent modeChangeAlert(const std::optional<link::StreamMode>& pending);
AlertContent versionMismatchAlert(const std::optional<link::NetworkManagerForMac::VersionMismatchAlert>& alert);
AlertContent legacyPeerAlert();
// The product's download page, opened by "ダウンロードページを開く".
inline constexpr const char* kDownloadPageURL = "https://quelbo.tech/palendrix/download";

} // namespace pd::ui
