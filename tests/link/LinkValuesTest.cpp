#include "link/records/LoadVideoAck.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "link/records/StreamMode.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace pd::link {
namespace {

using Manager = NetworkManagerForMac;

TEST(StreamModeTest, OnlyTheExactLowerCaseWordsAreModes) {
  EXPECT_EQ(streamModeFromText("mix"), StreamMode::mix);
  EXPECT_EQ(streamModeFromText("raw"), StreamMode::raw);
  for (const char* text : {"Mix", "RAW", "", "mix ", " raw", "mixed"}) {
    EXPECT_EQ(streamModeFromText(text), std::nullopt) << text;
  }
  for (const auto mode : kAllStreamModes) EXPECT_EQ(streamModeFromText(toString(mode)), mode);
}

TEST(LoadVideoAckTest, ReasonsAreReducedOnlyForTheLog) {
  EXPECT_EQ(loggedLoadFailureReason(std::string("load_failed")), "load_failed");
  EXPECT_EQ(loggedLoadFailureReason(std::string("user")), "other"); // a stream-stop word is not a load reason
  EXPECT_EQ(loggedLoadFailureReason(std::nullopt), "-");
  EXPECT_EQ(loggedStreamStopReason(std::string("user")), "user");
  EXPECT_EQ(loggedStreamStopReason(std::string("timeout")), "other");
  EXPECT_EQ(loadVideoAckStatusFromText("replaced"), LoadVideoAck::Status::replaced);
  EXPECT_EQ(loadVideoAckStatusFromText("READY"), std::nullopt);

  const LoadVideoAck absent{"A", "http://h/x", LoadVideoAck::Status::failed, std::nullopt};
  LoadVideoAck empty = absent;
  empty.reason = "";
  EXPECT_NE(absent, empty);
}

TEST(PeerVersionTest, ProtocolVersionTakesAnOptionalSignAndDigitsWithin64Bits) {
  EXPECT_EQ(Manager::parseProtocolVersion("3"), 3);
  EXPECT_EQ(Manager::parseProtocolVersion("+3"), 3);
  EXPECT_EQ(Manager::parseProtocolVersion("-1"), -1);
  EXPECT_EQ(Manager::parseProtocolVersion("007"), 7);
  EXPECT_EQ(Manager::parseProtocolVersion("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Manager::parseProtocolVersion("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char* bad : {"", "+", "-", "3a", " 3", "3 ", "+-3", "--3", "0x3", "3.0", "99999999999999999999",
                          "9223372036854775808", "-9223372036854775809"}) {
    EXPECT_EQ(Manager::parseProtocolVersion(std::string(bad)), std::nullopt) << bad;
  }
  EXPECT_EQ(Manager::parseProtocolVersion(std::nullopt), std::nullopt);
}

TEST(PeerVersionTest, TxtRecordBecomesVersionInfo) {
  platform::bonjour::BrowseResult result;
  result.endpoint = platform::net::ServiceEndpoint{"Tab", "_velquatrin._udp", "local"};
  EXPECT_EQ(Manager::peerVersionInfo(result), (Manager::PeerVersionInfo{})); // no TXT record at all

  result.txtRecord = platform::bonjour::TxtRecord::fromStrings({"pv=x", "app="});
  EXPECT_EQ(Manager::peerVersionInfo(result), (Manager::PeerVersionInfo{std::nullopt, std::string()}));

  result.txtRecord = platform::bonjour::TxtRecord::fromStrings({"PV=2", "app"});
  EXPECT_EQ(Manager::peerVersionInfo(result), (Manager::PeerVersionInfo{2, std::nullopt}));

  // What the network sends becomes valid text before a label shows it.
  result.txtRecord = platform::bonjour::TxtRecord::fromStrings({"app=1.\xff"});
  EXPECT_EQ(Manager::peerVersionInfo(result).appVersion, std::string("1.\xEF\xBF\xBD"));
}

TEST(EndpointTextTest, HostPortOrServiceName) {
  EXPECT_EQ(Manager::endpointText(platform::net::HostPort{"192.168.1.20", 4242}), "192.168.1.20:4242");
  EXPECT_EQ(Manager::endpointText(platform::net::HostPort{"fe80::1%en0", 7}), "fe80::1%en0:7");
  EXPECT_EQ(Manager::endpointText(platform::net::ServiceEndpoint{"Studio iPad", "_velquatrin._udp", "local"}),
            "Studio iPad");
}

TEST(StaleEpochKeyTest, OrderedByTheSourceText) {
  using Key = Manager::StaleEpochKey;
  using Source = Manager::StaleEpochSource;
  // "display" < "json" < "recv" < "syphon" < "syphon_late", whatever the declaration order.
  EXPECT_LT((Key{Source::json, std::nullopt}), (Key{Source::recv, std::nullopt}));
  EXPECT_LT((Key{Source::display, 1}), (Key{Source::json, std::nullopt}));
  EXPECT_LT((Key{Source::syphon, 2}), (Key{Source::syphonLate, 0}));
  EXPECT_LT((Key{Source::recv, std::nullopt}), (Key{Source::recv, 0}));
}

} // namespace
} // namespace pd::link
