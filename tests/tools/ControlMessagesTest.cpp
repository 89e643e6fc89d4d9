#include "tablet-emulator/ControlMessages.hpp"

#include <gtest/gtest.h>

#include <string>

namespace pd::tools::tablet {
namespace {

ByteSpan span(const std::string& text) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::optional<ParseError> parseError(const std::string& text) {
  const auto result = parseControlMessage(span(text));
  if (const auto* error = std::get_if<ParseError>(&result)) {
    return *error;
  }
  return std::nullopt;
}

std::chrono::system_clock::time_point unixMs(std::int64_t ms) {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

TEST(WireTime, CountsFrom2001AndTruncatesMillisecondsTowardZero) {
  EXPECT_DOUBLE_EQ(referenceSeconds(unixMs(978'307'200'000)), 0.0);
  EXPECT_DOUBLE_EQ(referenceSeconds(unixMs(978'307'201'500)), 1.5);
  EXPECT_EQ(unixMilliseconds(unixMs(1'700'000'000'123)), 1'700'000'000'123);
  const auto beforeEpoch = std::chrono::system_clock::time_point(std::chrono::microseconds(-1500));
  EXPECT_EQ(unixMilliseconds(beforeEpoch), -1);
}

TEST(ControlParsing, RefusesWhatIsNotAnObjectWithAStringType) {
  EXPECT_EQ(parseError("{"), ParseError::notJson);
  EXPECT_EQ(parseError("{\"type\":\"ping\"} trailing"), ParseError::notJson);
  EXPECT_EQ(parseError("{\"type\":\"\xC3\x28\"}"), ParseError::notJson) << "invalid UTF-8";
  EXPECT_EQ(parseError("[1,2]"), ParseError::notObject);
  EXPECT_EQ(parseError("{}"), ParseError::missingType);
  EXPECT_EQ(parseError("{\"type\":5}"), ParseError::missingType);
  EXPECT_EQ(parseError("{\"type\":\"hello\"}"), std::nullopt);
}

TEST(ControlParsing, BoundsNestingButNotBracketsInsideStrings) {
  const std::string deep = "{\"type\":\"x\",\"v\":" + std::string(40, '[') + std::string(40, ']') + "}";
  EXPECT_EQ(parseError(deep), ParseError::tooDeep);
  const std::string fine = "{\"type\":\"x\",\"v\":" + std::string(30, '[') + std::string(30, ']') + "}";
  EXPECT_EQ(parseError(fine), std::nullopt);
  const std::string quoted = "{\"type\":\"x\",\"v\":\"" + std::string(100, '[') + "\\\"[[\"}";
  EXPECT_EQ(parseError(quoted), std::nullopt);
}

TEST(ControlParsing, IntegerFieldsNeedIntegralNumbersInRange) {
  const Json object = Json::parse(R"({"a":3,"b":3.0,"c":3.5,"d":"3","e":1e300,"f":9223372036854775807,
        "g":18446744073709551615,"h":-9223372036854775808,"i":true,"j":-2.0,"k":9223372036854775808.0})");
  EXPECT_EQ(integerField(object, "a"), 3);
  EXPECT_EQ(integerField(object, "b"), 3);
  EXPECT_EQ(integerField(object, "c"), std::nullopt);
  EXPECT_EQ(integerField(object, "d"), std::nullopt);
  EXPECT_EQ(integerField(object, "e"), std::nullopt);
  EXPECT_EQ(integerField(object, "f"), INT64_MAX);
  EXPECT_EQ(integerField(object, "g"), std::nullopt);
  EXPECT_EQ(integerField(object, "h"), INT64_MIN);
  EXPECT_EQ(integerField(object, "i"), std::nullopt);
  EXPECT_EQ(integerField(object, "j"), -2);
  EXPECT_EQ(integerField(object, "k"), std::nullopt);
  EXPECT_EQ(integerField(object, "missing"), std::nullopt);
  EXPECT_EQ(integerField(Json::array(), "a"), std::nullopt);
}

TEST(ControlBuilding, HandshakeAckCarriesWhatIsSetAndLeavesOutWhatIsNot) {
  HandshakeAckFields fields;
  fields.device = "Stage Tablet";
  fields.seq = 12;
  fields.linkId = std::string(32, 'a');
  fields.peerId = "peer";
  fields.sessionId = "session";
  fields.interfaceName = "en0";
  fields.interfaceType = "wifi";
  fields.mode = StreamMode::raw;
  fields.appVersion = "2.1";
  fields.features = defaultFeatures();
  const Json ack = handshakeAck(fields);
  EXPECT_EQ(ack["type"], "handshake_ack");
  EXPECT_EQ(ack["seq"], 12);
  EXPECT_EQ(ack["linkID"], std::string(32, 'a'));
  EXPECT_EQ(ack["peerID"], "peer");
  EXPECT_EQ(ack["sessionID"], "session");
  EXPECT_EQ(ack["interface"], Json({{"name", "en0"}, {"type", "wifi"}}));
  EXPECT_EQ(ack["mode"], "raw");
  EXPECT_EQ(ack["protocolVersion"], 3);
  EXPECT_EQ(ack["features"], Json({"raw_mode", "load_video", "video_bpm", "session_takeover", "remote_source",
                                   "load_video_ack", "stream_stop"}));

  HandshakeAckFields legacy;
  legacy.device = "Old";
  legacy.protocolVersion.reset();
  const Json old = handshakeAck(legacy);
  for (const char* key : {"protocolVersion", "linkID", "peerID", "sessionID", "interface", "appVersion", "features"}) {
    EXPECT_FALSE(old.contains(key)) << key;
  }
  EXPECT_EQ(old["mode"], "mix");
}

TEST(ControlBuilding, HandshakeAckModeCanBeAnyWordOrMissing) {
  HandshakeAckFields fields;
  fields.mode = StreamMode::raw;
  EXPECT_EQ(handshakeAck(fields)["mode"], "raw");
  fields.modeWord = "stereo";
  EXPECT_EQ(handshakeAck(fields)["mode"], "stereo");
  fields.omitMode = true;
  EXPECT_FALSE(handshakeAck(fields).contains("mode"));
}

TEST(ControlBuilding, HeartbeatsCarryBothClocks) {
  const auto now = unixMs(978'307'210'250); // 10.25 s after the reference date
  const Json p = ping(4, now, StreamMode::raw);
  EXPECT_EQ(p.size(), 5u);
  EXPECT_EQ(p["type"], "ping");
  EXPECT_EQ(p["seq"], 4);
  EXPECT_DOUBLE_EQ(p["timestamp"].get<double>(), 10.25);
  EXPECT_EQ(p["timestampUnixMs"], 978'307'210'250);
  EXPECT_TRUE(p["timestampUnixMs"].is_number_integer());
  EXPECT_EQ(p["mode"], "raw");
  const Json q = pong(9, now);
  EXPECT_EQ(q.size(), 4u);
  EXPECT_EQ(q["type"], "pong");
  EXPECT_EQ(q["seq"], 9);
}

TEST(ControlBuilding, OptionalKeysOfRejectLoadAckAndStreamStop) {
  EXPECT_FALSE(handshakeReject(3, "occupied", "").contains("occupiedBy"));
  EXPECT_EQ(handshakeReject(3, "occupied", "Studio Mac")["occupiedBy"], "Studio Mac");
  EXPECT_FALSE(loadVideoAck("A", "http://h/v", LoadStatus::ready, std::nullopt).contains("reason"));
  const Json failed = loadVideoAck("B", "http://h/v", LoadStatus::failed, std::string("load_failed"));
  EXPECT_EQ(failed["status"], "failed");
  EXPECT_EQ(failed["reason"], "load_failed");
  const Json stop = streamStop({1, 2}, std::nullopt);
  EXPECT_EQ(stop["streams"], Json({1, 2}));
  EXPECT_TRUE(stop["streams"][0].is_number_integer());
  EXPECT_FALSE(stop.contains("reason"));
}

TEST(ControlBuilding, SerialisingInvalidUtf8ReplacesInsteadOfThrowing) {
  const Json value{{"name", std::string("bad \xFF text")}};
  std::string text;
  ASSERT_NO_THROW(text = serialize(value));
  EXPECT_NE(text.find("bad "), std::string::npos);
  EXPECT_TRUE(Json::accept(text));
}

TEST(Words, ModesAndStatusesMatchExactly) {
  EXPECT_EQ(streamModeFromText("raw"), StreamMode::raw);
  EXPECT_EQ(streamModeFromText("Raw"), std::nullopt);
  EXPECT_EQ(streamModeFromText("MIX"), std::nullopt);
  EXPECT_EQ(loadStatusFromText("replaced"), LoadStatus::replaced);
  EXPECT_EQ(loadStatusFromText("READY"), std::nullopt);
}

} // namespace
} // namespace pd::tools::tablet
