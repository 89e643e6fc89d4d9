#include "link/ControlMessage.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace pd::link {
namespace {

std::optional<ControlMessage> parse(std::string_view text) {
  return ControlMessage::parse(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(ControlMessageTest, OnlyAnObjectWithAStringTypeIsAMessage) {
  EXPECT_FALSE(parse("{}"));
  EXPECT_FALSE(parse(R"({"type":5})"));
  EXPECT_FALSE(parse(R"(["type","ping"])"));
  EXPECT_FALSE(parse(R"({"type":"ping")"));
  EXPECT_FALSE(parse("{\"type\":\"\xff\"}")); // not UTF-8
  EXPECT_FALSE(parse(std::string(300, '[') + std::string(300, ']')));
  ASSERT_TRUE(parse(R"({"type":"hello"})"));
  EXPECT_EQ(parse(R"({"type":"hello"})")->type(), "hello");
}

TEST(ControlMessageTest, IntegerNeedsAnIntegralNumberInRange) {
  const auto message = parse(R"({"type":"t","a":7,"b":7.0,"c":7.5,"d":"7","e":true,
      "f":9223372036854775807,"g":9223372036854775808,"h":-9223372036854775808,"i":1e300,"j":-0.0})");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->integer("a"), 7);
  EXPECT_EQ(message->integer("b"), 7);
  EXPECT_EQ(message->integer("c"), std::nullopt);
  EXPECT_EQ(message->integer("d"), std::nullopt);
  EXPECT_EQ(message->integer("e"), std::nullopt);
  EXPECT_EQ(message->integer("f"), INT64_MAX);
  EXPECT_EQ(message->integer("g"), std::nullopt);
  EXPECT_EQ(message->integer("h"), INT64_MIN);
  EXPECT_EQ(message->integer("i"), std::nullopt);
  EXPECT_EQ(message->integer("j"), 0);
  EXPECT_EQ(message->integer("missing"), std::nullopt);
}

TEST(ControlMessageTest, WrongKindReadsAsAbsent) {
  const auto message = parse(R"({"type":"t","s":1,"l":["a",2],"ok":["a","b"],"o":{"name":"en0"},"b":1})");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->string("s"), std::nullopt);
  EXPECT_EQ(message->strings("l"), std::nullopt);
  EXPECT_EQ(message->strings("ok"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(message->boolean("b"), std::nullopt);
  ASSERT_TRUE(message->object("o"));
  EXPECT_EQ(message->object("o")->string("name"), "en0");
  EXPECT_FALSE(message->object("s"));
}

} // namespace
} // namespace pd::link
