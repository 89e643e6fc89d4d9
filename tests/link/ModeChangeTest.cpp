#include "LinkTestSupport.hpp"

#include "diagnostics/LogThrottle.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

class ModeChangeTest : public ReadyLinkFixture {
protected:
  void ask(std::string_view mode) { send(R"({"type":"mode_change_request","mode":")" + std::string(mode) + "\"}"); }
  std::vector<nlohmann::json> responses() { return sent("mode_change_response"); }
};

TEST_F(ModeChangeTest, TheUserDecidesAndTheTabletIsToldAfterwards) {
  acknowledge();
  LogWindow log;
  ask("raw");
  EXPECT_TRUE(log.has("mode_change_request from=mix to=raw source=peer"));
  EXPECT_EQ(manager->pendingModeRequest.get(), StreamMode::raw);
  EXPECT_TRUE(responses().empty());

  manager->resolvePendingModeRequest(true);
  EXPECT_TRUE(log.has("mode_change_response result=approved from=mix to=raw"));
  EXPECT_EQ(manager->streamMode.get(), StreamMode::raw);
  EXPECT_FALSE(manager->pendingModeRequest.get());
  ASSERT_EQ(responses().size(), 1u);
  EXPECT_EQ(responses()[0], (nlohmann::json{{"type", "mode_change_response"}, {"accepted", true}, {"mode", "raw"}}));

  ask("mix");
  manager->resolvePendingModeRequest(false);
  EXPECT_TRUE(log.has("mode_change_response result=rejected to=raw"));
  EXPECT_EQ(manager->streamMode.get(), StreamMode::raw);
  ASSERT_EQ(responses().size(), 2u);
  EXPECT_EQ(responses()[1]["accepted"], false);
  EXPECT_EQ(responses()[1]["mode"], "raw");

  // Nothing pending: no answer at all.
  manager->resolvePendingModeRequest(true);
  EXPECT_EQ(responses().size(), 2u);
}

TEST_F(ModeChangeTest, ARequestForTheCurrentModeIsAcceptedAtOnceAndClosesAnOpenQuestion) {
  acknowledge();
  ask("raw");
  ask("mix");
  EXPECT_FALSE(manager->pendingModeRequest.get());
  ASSERT_EQ(responses().size(), 1u);
  EXPECT_EQ(responses()[0]["accepted"], true);
  EXPECT_EQ(responses()[0]["mode"], "mix");
}

TEST_F(ModeChangeTest, AnOtherVersionsTabletIsRefusedAtOnce) {
  acknowledge(R"("protocolVersion":2,"mode":"mix")");
  LogWindow log;
  ask("raw");
  EXPECT_TRUE(log.has("mode_change_response result=rejected reason=peer_version_blocked"));
  EXPECT_FALSE(manager->pendingModeRequest.get());
  ASSERT_EQ(responses().size(), 1u);
  EXPECT_EQ(responses()[0]["accepted"], false);
  EXPECT_EQ(responses()[0]["mode"], "mix");
}

TEST_F(ModeChangeTest, BadModesAreLoggedSafelyAndNotAnswered) {
  ManualTime time; // the burst falls within one throttle interval, however slow the machine
  diagnostics::LogThrottle::shared().reset("mode_change_parse_fail");
  acknowledge();
  LogWindow log;
  ask("Raw");
  ask("ミックス");
  ask("abcdefghijklmnopqrstuvwxyz");
  send(R"({"type":"mode_change_request","mode":1})");
  // One line stands for the burst; the rest are counted for the next.
  EXPECT_TRUE(log.has("mode_change_parse_fail reason=invalid_mode got=Raw occurrences=1"));
  EXPECT_EQ(log.count("mode_change_parse_fail"), 1u);
  EXPECT_TRUE(responses().empty());
  EXPECT_FALSE(manager->pendingModeRequest.get());
  EXPECT_EQ(NetworkManagerForMac::sanitizedLogToken("ミックス"), "-");
  EXPECT_EQ(NetworkManagerForMac::sanitizedLogToken("abcdefghijklmnopqrstuvwxyz"), "abcdefghijklmnop");
  EXPECT_EQ(NetworkManagerForMac::sanitizedLogToken("a b\\n<c>"), "abnc");
  EXPECT_EQ(NetworkManagerForMac::sanitizedLogToken(""), "-");
  EXPECT_EQ(NetworkManagerForMac::sanitizedLogToken("_x_9"), "_x_9");
}

TEST_F(ModeChangeTest, ApprovingAfterTheLinkWentStillSwitchesTheMode) {
  acknowledge();
  ask("raw");
  manager->stop(false);
  manager->pendingModeRequest.set(StreamMode::raw); // the question was still on screen
  LogWindow log;
  manager->resolvePendingModeRequest(true);
  EXPECT_EQ(manager->streamMode.get(), StreamMode::raw);
  EXPECT_TRUE(log.has("mode_change_response_skip reason=no_connection"));
  EXPECT_TRUE(responses().empty());
}

} // namespace
} // namespace pd::link::test
