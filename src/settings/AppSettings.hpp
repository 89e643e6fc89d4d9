#pragma once

// Settings and values that several subsystems read: the peer identity and app version that
// the handshake announces, the OSC listening address, the video output name, whether the
// relay may cache on disk, the protocol feature words, this launch's id and the revision
// that ties configuration log lines together.
//
// Each accessor reads UserDefaults::standard() on every call and caches nothing, so a change
// made by the settings window is seen by the next call.

#include "platform/instance/LaunchID.hpp"
#include "platform/text/Trim.hpp"
#include "settings/ServerConfiguration.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pd::settings {

// Keys in the user defaults. Their spelling is stored on disk: never change it.
namespace SettingsKey {
inline constexpr std::string_view oscHost = "oscHost";
inline constexpr std::string_view oscPort = "oscPort";
inline constexpr std::string_view syphonServerName = "syphonServerName";
inline constexpr std::string_view relayCacheEnabled = "relayCacheEnabled";
inline constexpr std::string_view relayCacheLimitGB = "relayCacheLimitGB";
inline constexpr std::string_view networkPeerID = "networkPeerID";
inline constexpr std::string_view ipadSearchSource = "ipadSearchSource";
inline constexpr std::string_view ipadSearchFolder = "ipadSearchFolder";
inline constexpr std::string_view invidiousUserInstances = "invidiousUserInstances";
inline constexpr std::string_view invidiousDefaultFallbackEnabled = "invidiousDefaultFallbackEnabled";
inline constexpr std::string_view acceptedTermsVersion = "acceptedTermsVersion";
inline constexpr std::string_view sendToIPadTab = "sendToIPadTab";
} // namespace SettingsKey

struct AppInfo {
  // The build's version (PD_APP_VERSION), "unknown" when the build gave none.
  static std::string appVersion();
};

struct AppSettings {
  static constexpr std::uint16_t kDefaultOSCPort = 8000;
  static constexpr std::string_view kDefaultOSCHost = "127.0.0.1";
  static constexpr std::string_view kDefaultSyphonServerName = "Palendrix Zuvudiv";

  // The stored peer id; on first use a new UUID is made, stored and returned, so it stays
  // the same across launches.
  static std::string networkPeerID();
  // Port: the stored integer when in 1...65535, else 8000. Host: the stored string exactly
  // (an empty one stays empty), else "127.0.0.1".
  static ServerConfiguration oscConfiguration();
  // The stored name without leading and trailing Unicode white space and line breaks;
  // "Palendrix Zuvudiv" when nothing is stored or nothing is left.
  static std::string syphonServerName();
  // The stored value when it is a boolean; true otherwise (absent, or of another type).
  static bool relayCacheEnabled();
};

// The protocol feature words this build announces, in order.
inline constexpr std::array<std::string_view, 7> kSupportedFeatures = {
    "raw_mode", "load_video", "video_bpm", "session_takeover", "remote_source", "load_video_ack", "stream_stop"};
inline std::span<const std::string_view> supportedFeatures() noexcept { return kSupportedFeatures; }

// This launch's id, also handed to the handshake as its session id.
using platform::instance::currentLaunchID;

// The configuration snapshot revision: 0 at start. Main thread only (not synchronised).
std::int64_t configSnapshotRevision() noexcept;
// Adds 1 and returns the new value, to be printed as "snapshot_rev". Main thread only.
std::int64_t nextConfigSnapshotRevision() noexcept;

using platform::text::trimmingWhitespaceAndNewlines;

} // namespace pd::settings
