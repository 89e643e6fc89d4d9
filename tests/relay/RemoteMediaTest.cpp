#include "relay/RemoteMedia.hpp"

#include <gtest/gtest.h>

namespace pd::relay {
namespace {

TEST(ContentRangeTest, ParsesExactlyTheAcceptedForms) {
  struct Case {
    std::optional<std::string_view> text;
    std::optional<ContentRange> expected;
  };
  const Case cases[] = {
      {"bytes 0-99/100", ContentRange{0, 99, 100}},
      {"BYTES 0-99/100", ContentRange{0, 99, 100}},
      {" \tBytes 0-99/100\t ", ContentRange{0, 99, 100}},
      {"bytes 0-99/*", ContentRange{0, 99, std::nullopt}},
      {"bytes 0-99/", ContentRange{0, 99, std::nullopt}},
      {"bytes 0-99/abc", ContentRange{0, 99, std::nullopt}},
      {"bytes 0-99/100/7", ContentRange{0, 99, std::nullopt}},
      {"bytes +5-+9/10", ContentRange{5, 9, 10}},
      {"bytes -5-10/100", ContentRange{5, 10, 100}}, // empty pieces are skipped
      {"bytes 7-7/1099511627776", ContentRange{7, 7, 1099511627776}},
      {std::nullopt, std::nullopt},
      {"", std::nullopt},
      {"bytes 99-0/100", std::nullopt},
      {"bytes */100", std::nullopt},
      {"bytes 5/100", std::nullopt},
      {"bytes 0-99", std::nullopt},
      {"bytes 5-/100", std::nullopt},
      {"bytes 5--10/100", std::nullopt}, // end -10 lies below start
      {"bytes  0-99/100", std::nullopt}, // " 0" is not a number
      {"bytes=0-99/100", std::nullopt},
      {"items 0-99/100", std::nullopt},
      {"bytes 0-1-2/100", std::nullopt},
      {"bytes 0-9223372036854775808/100", std::nullopt},
      {"bytes 0x1-2/100", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseContentRange(c.text), c.expected) << (c.text ? std::string(*c.text) : "(absent)");
  }
}

TEST(IdentityMatchesTest, OnlyTheSameBytesMatch) {
  using remotesource::MediaIdentity;
  const MediaIdentity old{22, 1000, "t1"};
  EXPECT_TRUE(identityMatches(old, {22, 1000, "t1"}, std::nullopt));
  EXPECT_TRUE(identityMatches(old, {22, 1000, "t1"}, 1000));
  EXPECT_FALSE(identityMatches(old, {22, 1000, "t1"}, 999));
  EXPECT_FALSE(identityMatches(old, {18, 1000, "t1"}, std::nullopt));
  EXPECT_FALSE(identityMatches(old, {22, 1001, "t1"}, std::nullopt));
  EXPECT_FALSE(identityMatches(old, {22, std::nullopt, "t1"}, std::nullopt));
  EXPECT_FALSE(identityMatches(old, {22, 1000, std::nullopt}, std::nullopt));
  EXPECT_FALSE(identityMatches(old, {22, 1000, "t2"}, std::nullopt));
  EXPECT_TRUE(identityMatches({22, 1000, std::nullopt}, {22, 1000, std::nullopt}, std::nullopt));
  // Without a known length the old identity can never be confirmed.
  EXPECT_FALSE(identityMatches({22, std::nullopt, std::nullopt}, {22, std::nullopt, std::nullopt}, std::nullopt));
}

TEST(IdentityMatchesTest, AcceptableTotalsAreOneByteToOneTebibyte) {
  EXPECT_FALSE(isAcceptableTotal(0));
  EXPECT_FALSE(isAcceptableTotal(-1));
  EXPECT_FALSE(isAcceptableTotal(INT64_MIN));
  EXPECT_TRUE(isAcceptableTotal(1));
  EXPECT_TRUE(isAcceptableTotal(1099511627776));
  EXPECT_FALSE(isAcceptableTotal(1099511627777));
}

} // namespace
} // namespace pd::relay
