#include "platform/bonjour/BrowseResultGatherer.hpp"
#include "platform/bonjour/TxtRecord.hpp"

#include <gtest/gtest.h>

namespace pd::platform::bonjour {
namespace {

using Kind = BrowseChange::Kind;
using Key = BrowseResultGatherer::InstanceKey;

constexpr std::int32_t kIPv4 = 0;
constexpr std::int32_t kIPv6 = 1;

net::Interface lo() { return {"lo", 1, net::InterfaceType::loopback}; }
net::Interface eth() { return {"eth0", 2, net::InterfaceType::wiredEthernet}; }
Key key(std::int32_t index, std::int32_t protocol, const std::string& name = "Tab") {
  return Key{index, protocol, name, "_velquatrin._udp", "local"};
}

TEST(TxtRecordTest, KeysIgnoreCaseFirstWinsAndBareKeysHaveNoValue) {
  const auto txt = TxtRecord::fromStrings({"PV=3", "pv=4", "app", "note=a=b", "=orphan", "empty="});
  EXPECT_EQ(txt.value("pv"), "3");
  EXPECT_TRUE(txt.contains("APP"));
  EXPECT_EQ(txt.value("app"), std::nullopt);
  EXPECT_EQ(txt.value("note"), "a=b");
  EXPECT_EQ(txt.value("empty"), "");
  EXPECT_FALSE(txt.contains(""));
  using Entry = TxtRecord::Entry;
  EXPECT_EQ(txt.entries(), (std::vector<Entry>{{"PV", "3"}, {"app", std::nullopt}, {"note", "a=b"}, {"empty", ""}}));
  EXPECT_EQ(txt.value("missing"), std::nullopt);
}

TEST(TxtRecordTest, EntryCountIsBounded) {
  std::vector<std::string> strings;
  for (int i = 0; i < 1000; ++i) strings.push_back("k" + std::to_string(i) + "=v");
  EXPECT_EQ(TxtRecord::fromStrings(strings).entries().size(), TxtRecord::kMaxEntries);
}

TEST(GathererTest, ServiceShowsOnceItsTxtRecordOrItsFailureIsKnown) {
  BrowseResultGatherer gatherer;
  EXPECT_TRUE(gatherer.add(key(1, kIPv4), lo()).empty());
  EXPECT_TRUE(gatherer.results().empty());

  const auto added = gatherer.setTxtRecord(key(1, kIPv4), TxtRecord::fromStrings({"pv=3"}));
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].kind, Kind::added);
  EXPECT_EQ(added[0].result.interfaces, std::vector<net::Interface>{lo()});
  ASSERT_TRUE(added[0].result.txtRecord);
  EXPECT_EQ(added[0].result.txtRecord->value("pv"), "3");
  EXPECT_EQ(std::get<net::ServiceEndpoint>(added[0].result.endpoint).name, "Tab");

  BrowseResultGatherer withoutTxt;
  withoutTxt.add(key(1, kIPv4), lo());
  const auto shown = withoutTxt.resolutionFailed(key(1, kIPv4));
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].kind, Kind::added);
  EXPECT_FALSE(shown[0].result.txtRecord);
}

TEST(GathererTest, InstancesOfOneServiceMakeOneResultWithEachInterfaceOnce) {
  BrowseResultGatherer gatherer;
  gatherer.add(key(1, kIPv4), lo());
  gatherer.setTxtRecord(key(1, kIPv4), TxtRecord::fromStrings({"pv=3"}));
  // The same interface over IPv6 adds nothing visible.
  EXPECT_TRUE(gatherer.add(key(1, kIPv6), lo()).empty());

  const auto changed = gatherer.add(key(2, kIPv4), eth());
  ASSERT_EQ(changed.size(), 1u);
  EXPECT_EQ(changed[0].kind, Kind::changed);
  EXPECT_EQ(changed[0].result.interfaces, (std::vector<net::Interface>{lo(), eth()}));
  ASSERT_TRUE(changed[0].oldResult);
  EXPECT_EQ(changed[0].oldResult->interfaces, std::vector<net::Interface>{lo()});
  ASSERT_EQ(gatherer.results().size(), 1u);

  // The TXT record resolved last is the one shown.
  const auto newer = gatherer.setTxtRecord(key(2, kIPv4), TxtRecord::fromStrings({"pv=4"}));
  ASSERT_EQ(newer.size(), 1u);
  EXPECT_EQ(newer[0].result.txtRecord->value("pv"), "4");
  // Resolving the same record again changes nothing.
  EXPECT_TRUE(gatherer.setTxtRecord(key(2, kIPv4), TxtRecord::fromStrings({"pv=4"})).empty());

  const auto shrunk = gatherer.remove(key(2, kIPv4));
  ASSERT_EQ(shrunk.size(), 1u);
  EXPECT_EQ(shrunk[0].kind, Kind::changed);
  EXPECT_EQ(shrunk[0].result.interfaces, std::vector<net::Interface>{lo()});
  EXPECT_EQ(shrunk[0].result.txtRecord->value("pv"), "3");

  EXPECT_TRUE(gatherer.remove(key(1, kIPv6)).empty());
  const auto gone = gatherer.remove(key(1, kIPv4));
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].kind, Kind::removed);
  EXPECT_TRUE(gatherer.results().empty());
  EXPECT_TRUE(gatherer.remove(key(1, kIPv4)).empty());
}

TEST(GathererTest, ServicesKeepTheOrderTheyWereFirstSeenIn) {
  BrowseResultGatherer gatherer;
  gatherer.add(key(1, kIPv4, "B"), lo());
  gatherer.add(key(1, kIPv4, "A"), lo());
  gatherer.resolutionFailed(key(1, kIPv4, "A"));
  gatherer.resolutionFailed(key(1, kIPv4, "B"));
  const auto results = gatherer.results();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(std::get<net::ServiceEndpoint>(results[0].endpoint).name, "B");
  EXPECT_EQ(std::get<net::ServiceEndpoint>(results[1].endpoint).name, "A");

  const auto cleared = gatherer.clear();
  ASSERT_EQ(cleared.size(), 2u);
  for (std::size_t i = 0; i < cleared.size(); ++i) {
    EXPECT_EQ(cleared[i].kind, Kind::removed);
    EXPECT_EQ(cleared[i].result.endpoint, results[i].endpoint);
  }
  EXPECT_TRUE(gatherer.results().empty());
}

TEST(GathererTest, InstancesBeyondTheBoundAreRefused) {
  BrowseResultGatherer gatherer;
  bool accepted = false;
  for (std::size_t i = 0; i < BrowseResultGatherer::kMaxInstances; ++i) {
    gatherer.add(key(1, kIPv4, "T" + std::to_string(i)), lo(), &accepted);
    ASSERT_TRUE(accepted);
  }
  gatherer.add(key(1, kIPv4, "one too many"), lo(), &accepted);
  EXPECT_FALSE(accepted);
  EXPECT_FALSE(gatherer.contains(key(1, kIPv4, "one too many")));
  // Removing one makes room again.
  gatherer.remove(key(1, kIPv4, "T0"));
  gatherer.add(key(1, kIPv4, "one too many"), lo(), &accepted);
  EXPECT_TRUE(accepted);
}

} // namespace
} // namespace pd::platform::bonjour
