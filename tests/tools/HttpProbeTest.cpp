#include "tablet-emulator/HttpProbe.hpp"

#include <gtest/gtest.h>

namespace pd::tools::tablet {
namespace {

TEST(HttpProbe, URLsAndQueryValuesAreReadAndWrittenAsTheReceiverHandsThemOut) {
  const auto plain = HttpProbe::parseURL("http://127.0.0.1:8080/ABC-DEF");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->host, "127.0.0.1");
  EXPECT_EQ(plain->port, "8080");
  EXPECT_EQ(plain->target, "/ABC-DEF");
  const auto v6 = HttpProbe::parseURL("http://[fe80::1]:9/t.m3u8?x=1");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "fe80::1");
  EXPECT_EQ(v6->port, "9");
  EXPECT_EQ(v6->target, "/t.m3u8?x=1");
  EXPECT_EQ(HttpProbe::parseURL("http://host")->target, "/");
  EXPECT_EQ(HttpProbe::parseURL("http://host/")->port, "80");
  EXPECT_FALSE(HttpProbe::parseURL("https://host/"));
  EXPECT_FALSE(HttpProbe::parseURL("http://[::1/x"));
  EXPECT_FALSE(HttpProbe::parseURL("http:///x"));

  EXPECT_EQ(HttpProbe::percentEncode("a b&c=d/é~"), "a%20b%26c%3Dd%2F%C3%A9~");
  EXPECT_EQ(HttpProbe::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(HttpProbe, AFetchWithoutAServerReportsStatusZeroAndTheReason) {
  const auto event = HttpProbe::fetchEvent("http://127.0.0.1:9/none", std::nullopt);
  EXPECT_EQ(event["event"], "fetch_done");
  EXPECT_EQ(event["status"], 0);
  EXPECT_FALSE(event["ok"].get<bool>());
  EXPECT_FALSE(event["error"].get<std::string>().empty());
  EXPECT_EQ(HttpProbe::fetchEvent("ftp://x/y", std::nullopt)["error"], "bad url");
}

} // namespace
} // namespace pd::tools::tablet
