#include "settings/AppSettings.hpp"

#include "platform/settings/UserDefaults.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace pd::settings {
namespace {

using platform::ScopedStandardUserDefaults;
using platform::UserDefaults;

// Every case runs on fresh, memory-only defaults installed as the standard ones.
class AppSettingsTest : public ::testing::Test {
protected:
  UserDefaults defaults;
  ScopedStandardUserDefaults scope{defaults};
};

TEST_F(AppSettingsTest, OscPortOutsideThePortRangeFallsBackTo8000) {
  EXPECT_EQ(AppSettings::oscConfiguration().port, 8000);
  for (std::int64_t stored : {0LL, 70000LL, -5LL, 65536LL, 4294967297LL}) {
    defaults.set(SettingsKey::oscPort, stored);
    EXPECT_EQ(AppSettings::oscConfiguration().port, 8000) << stored;
  }
  for (std::int64_t stored : {1LL, 65535LL, 9000LL}) {
    defaults.set(SettingsKey::oscPort, stored);
    EXPECT_EQ(AppSettings::oscConfiguration().port, stored);
  }
  defaults.set(SettingsKey::oscPort, "9001"); // the platform reads a numeric string as a number
  EXPECT_EQ(AppSettings::oscConfiguration().port, 9001);
  defaults.set(SettingsKey::oscPort, 1e10);
  EXPECT_EQ(AppSettings::oscConfiguration().port, 8000);
}

TEST_F(AppSettingsTest, OscHostIsTheStoredStringExactly) {
  EXPECT_EQ(AppSettings::oscConfiguration().host, "127.0.0.1");
  defaults.set(SettingsKey::oscHost, "");
  EXPECT_EQ(AppSettings::oscConfiguration().host, "");
  defaults.set(SettingsKey::oscHost, " 0.0.0.0 ");
  EXPECT_EQ(AppSettings::oscConfiguration(), (ServerConfiguration{8000, " 0.0.0.0 "}));
  defaults.setObject(SettingsKey::oscHost, nlohmann::json::array({"x"}));
  EXPECT_EQ(AppSettings::oscConfiguration().host, "127.0.0.1");
}

TEST_F(AppSettingsTest, SyphonServerNameIsTrimmedAndNeverBlank) {
  EXPECT_EQ(AppSettings::syphonServerName(), "Palendrix Zuvudiv");
  const std::pair<std::string, std::string> cases[] = {
      {"   \n", "Palendrix Zuvudiv"},
      {"\xE3\x80\x80\t\xC2\x85\xE2\x80\xA8", "Palendrix Zuvudiv"}, // U+3000, tab, NEL, U+2028
      {"  Stage Left \n", "Stage Left"},
      {"\xE3\x80\x80"
       "Deck \xE3\x80\x80 B\xE2\x80\x83",
       "Deck \xE3\x80\x80 B"}, // inner space kept
      {"\xE2\x80\x8B"
       "x",
       "\xE2\x80\x8B"
       "x"}, // a zero-width space is not white space
  };
  for (const auto& [stored, expected] : cases) {
    defaults.set(SettingsKey::syphonServerName, stored);
    EXPECT_EQ(AppSettings::syphonServerName(), expected) << stored;
  }
}

TEST_F(AppSettingsTest, TrimmingNeverCutsIntoInvalidText) {
  EXPECT_EQ(trimmingWhitespaceAndNewlines(" \xFF "), "\xFF");
  EXPECT_EQ(trimmingWhitespaceAndNewlines("\xE3\x80"), "\xE3\x80"); // truncated U+3000
  EXPECT_EQ(trimmingWhitespaceAndNewlines(""), "");
}

TEST_F(AppSettingsTest, RelayCacheIsEnabledUnlessABooleanSaysOtherwise) {
  EXPECT_TRUE(AppSettings::relayCacheEnabled());
  defaults.set(SettingsKey::relayCacheEnabled, false);
  EXPECT_FALSE(AppSettings::relayCacheEnabled());
  defaults.set(SettingsKey::relayCacheEnabled, true);
  EXPECT_TRUE(AppSettings::relayCacheEnabled());
  defaults.set(SettingsKey::relayCacheEnabled, "false");
  EXPECT_TRUE(AppSettings::relayCacheEnabled());
  defaults.set(SettingsKey::relayCacheEnabled, 0);
  EXPECT_TRUE(AppSettings::relayCacheEnabled());
}

TEST_F(AppSettingsTest, NetworkPeerIDIsMadeOnceAndKept) {
  const std::string first = AppSettings::networkPeerID();
  EXPECT_TRUE(
      std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  EXPECT_EQ(defaults.string(SettingsKey::networkPeerID), first);
  EXPECT_EQ(AppSettings::networkPeerID(), first);
  defaults.set(SettingsKey::networkPeerID, "peer-from-earlier-launch");
  EXPECT_EQ(AppSettings::networkPeerID(), "peer-from-earlier-launch");
}

TEST_F(AppSettingsTest, ReadsWhatEarlierVersionsStoredUnderTheirKeyNames) {
  // The names are in users' settings files: a renamed key would silently forget what they chose.
  defaults.set("oscHost", "0.0.0.0");
  defaults.set("oscPort", 9000);
  defaults.set("syphonServerName", "Stage Left");
  defaults.set("relayCacheEnabled", false);
  defaults.set("networkPeerID", "peer-from-earlier-version");
  EXPECT_EQ(AppSettings::oscConfiguration(), (ServerConfiguration{9000, "0.0.0.0"}));
  EXPECT_EQ(AppSettings::syphonServerName(), "Stage Left");
  EXPECT_FALSE(AppSettings::relayCacheEnabled());
  EXPECT_EQ(AppSettings::networkPeerID(), "peer-from-earlier-version");
  // Read by the sender view, which no test here reaches.
  EXPECT_EQ(SettingsKey::sendToIPadTab, "sendToIPadTab");
}

TEST_F(AppSettingsTest, AccessorsSeeEveryChangeAtOnce) {
  defaults.set(SettingsKey::oscPort, 9000);
  EXPECT_EQ(AppSettings::oscConfiguration().port, 9000);
  defaults.set(SettingsKey::oscPort, 9100);
  EXPECT_EQ(AppSettings::oscConfiguration().port, 9100);
  defaults.remove(SettingsKey::oscPort);
  EXPECT_EQ(AppSettings::oscConfiguration().port, 8000);
}

TEST(ProcessValues, LaunchIDIsOneUpperCaseUUIDForAllThreads) {
  std::string seen[2];
  std::thread a([&] { seen[0] = currentLaunchID(); });
  std::thread b([&] { seen[1] = currentLaunchID(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], currentLaunchID());
  EXPECT_TRUE(std::regex_match(seen[0], std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
}

TEST(ProcessValues, FeaturesVersionAndRevision) {
  const std::vector<std::string_view> features(supportedFeatures().begin(), supportedFeatures().end());
  EXPECT_EQ(features, (std::vector<std::string_view>{"raw_mode", "load_video", "video_bpm", "session_takeover",
                                                     "remote_source", "load_video_ack", "stream_stop"}));
  EXPECT_EQ(AppInfo::appVersion(), PD_APP_VERSION);
  const std::int64_t before = configSnapshotRevision();
  EXPECT_EQ(nextConfigSnapshotRevision(), before + 1);
  EXPECT_EQ(nextConfigSnapshotRevision(), before + 2);
  EXPECT_EQ(configSnapshotRevision(), before + 2);
}

} // namespace
} // namespace pd::settings
