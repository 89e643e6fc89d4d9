#include "settings/AppSettings.hpp"

#include "platform/crypto/Random.hpp"
#include "platform/settings/UserDefaults.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <limits>

namespace pd::settings {

using platform::UserDefaults;

namespace {
std::int64_t gConfigSnapshotRevision = 0; // main thread only
} // namespace

std::string AppInfo::appVersion() {
#ifdef PD_APP_VERSION
  constexpr std::string_view version = PD_APP_VERSION;
  if (!version.empty()) return std::string(version);
#endif
  return "unknown";
}

std::string AppSettings::networkPeerID() {
  UserDefaults& defaults = UserDefaults::standard();
  if (auto stored = defaults.string(SettingsKey::networkPeerID)) return *stored;
  std::string made = platform::crypto::makeUUIDString();
  defaults.set(SettingsKey::networkPeerID, made);
  return made;
}

ServerConfiguration AppSettings::oscConfiguration() {
  const UserDefaults& defaults = UserDefaults::standard();
  const std::int64_t stored = defaults.integer(SettingsKey::oscPort);
  const std::uint16_t port = (stored >= 1 && stored <= 65535) ? static_cast<std::uint16_t>(stored) : kDefaultOSCPort;
  std::string host = defaults.string(SettingsKey::oscHost).value_or(std::string(kDefaultOSCHost));
  return ServerConfiguration{port, std::move(host)};
}

std::string AppSettings::syphonServerName() {
  if (auto stored = UserDefaults::standard().string(SettingsKey::syphonServerName)) {
    std::string trimmed = trimmingWhitespaceAndNewlines(*stored);
    if (!trimmed.empty()) return trimmed;
  }
  return std::string(kDefaultSyphonServerName);
}

bool AppSettings::relayCacheEnabled() {
  const auto stored = UserDefaults::standard().object(SettingsKey::relayCacheEnabled);
  if (stored && stored->is_boolean()) return stored->get<bool>();
  return true;
}

std::int64_t configSnapshotRevision() noexcept { return gConfigSnapshotRevision; }

std::int64_t nextConfigSnapshotRevision() noexcept { return ++gConfigSnapshotRevision; }

} // namespace pd::settings
