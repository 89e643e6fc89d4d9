#include "LinkTestSupport.hpp"

#include "link/Discovery.hpp"
#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

using platform::bonjour::BrowseChange;
using platform::bonjour::BrowserState;

// A discovery on its own: fake browsers on a queue of the test's, timers fired by hand, and the
// hooks' calls written down.
class DiscoveryTest : public MainLoopFixture {
protected:
  DiscoveryTest() {
    Discovery::Dependencies deps;
    deps.makeBrowser = [this](std::string_view type) {
      serviceTypes.emplace_back(type);
      browsers.push_back(std::make_shared<BrowserProbe>());
      return std::make_unique<FakeBrowser>(browsers.back());
    };
    deps.timers = timers;
    deps.serviceType = "_velquatrin._udp";
    deps.hooks.resultsChanged = [this](const std::vector<platform::bonjour::BrowseResult>& results) { seen = results; };
    deps.hooks.peerAppeared = [this](const platform::bonjour::BrowseResult& result) {
      appeared.push_back(Discovery::endpointText(result.endpoint));
    };
    deps.hooks.browsingChanged = [this](bool browsing, std::optional<std::string> text) {
      isBrowsing = browsing;
      if (text) status = *text;
    };
    deps.hooks.rebuildDue = [this](std::string_view reason) {
      rebuilds.emplace_back(reason);
      discovery->stop();
      discovery->start();
    };
    discovery = std::make_shared<Discovery>(queue_.executor(), std::move(deps));
  }

  void settle() { pump(); }
  BrowserProbe& latest() { return *browsers.back(); }

  runtime::SerialQueue queue_{"test.discovery"};
  std::shared_ptr<FakeTimers> timers = std::make_shared<FakeTimers>();
  std::vector<std::shared_ptr<BrowserProbe>> browsers;
  std::vector<std::string> serviceTypes;
  std::shared_ptr<Discovery> discovery;

  std::vector<platform::bonjour::BrowseResult> seen;
  std::vector<std::string> appeared;
  std::optional<bool> isBrowsing;
  std::string status;
  std::vector<std::string> rebuilds;
};

TEST_F(DiscoveryTest, FailuresBackOffDoublingToTheCapAndReadyResets) {
  discovery->start();
  for (const double expected : {2.0, 4.0, 8.0}) {
    latest().report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
    settle();
    ASSERT_EQ(timers->pending(), std::vector<double>{expected});
    EXPECT_EQ(status, "エラー: daemon failed");
    EXPECT_EQ(isBrowsing, false);
    // The rebuild makes a fresh browser.
    ASSERT_TRUE(timers->fireLast());
    EXPECT_TRUE(browsers[browsers.size() - 2]->cancelled());
  }
  EXPECT_DOUBLE_EQ(discovery->rebuildDelay().count(), 16.0);
  EXPECT_EQ(browsers.size(), 4u);
  EXPECT_EQ(rebuilds, (std::vector<std::string>{"failed", "failed", "failed"}));

  for (int i = 0; i < 3; ++i) {
    latest().report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
    settle();
    ASSERT_TRUE(timers->fireLast());
  }
  EXPECT_DOUBLE_EQ(discovery->rebuildDelay().count(), 30.0);
  EXPECT_EQ(timers->at(timers->count() - 1).seconds, 30.0); // 16 doubled is capped

  // A failure leaves a rebuild pending; ready cancels it and starts the next series at 2 s.
  latest().report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
  settle();
  ASSERT_EQ(timers->pending().size(), 1u);
  latest().report(BrowserState::ready);
  settle();
  EXPECT_TRUE(timers->pending().empty());
  EXPECT_DOUBLE_EQ(discovery->rebuildDelay().count(), 2.0);
  EXPECT_EQ(isBrowsing, true);
  EXPECT_EQ(status, "検索中...");
}

TEST_F(DiscoveryTest, WaitingSchedulesOneRebuildAfterTenSeconds) {
  discovery->start();
  latest().report(BrowserState::waiting, Error("BonjourError", -26, "Daemon not running"));
  settle();
  EXPECT_EQ(timers->pending(), std::vector<double>{10.0});
  latest().report(BrowserState::waiting, Error("BonjourError", -26, "Daemon not running"));
  settle();
  EXPECT_EQ(timers->pending(), std::vector<double>{10.0});
  EXPECT_DOUBLE_EQ(discovery->rebuildDelay().count(), 2.0);
  EXPECT_EQ(isBrowsing, false);
  EXPECT_TRUE(status.empty()); // waiting shows no text of its own
}

TEST_F(DiscoveryTest, LateEventsOfAReplacedOrStoppedBrowserChangeNothing) {
  discovery->start();
  discovery->stop();
  discovery->start();
  ASSERT_EQ(browsers.size(), 2u);
  EXPECT_TRUE(browsers[0]->cancelled());
  browsers[0]->deliver({tablet("Ghost", {wifi()})},
                       {BrowseChange{BrowseChange::Kind::added, tablet("Ghost", {wifi()}), {}}}, true);
  browsers[0]->report(BrowserState::ready);
  settle();
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(appeared.empty());
  EXPECT_FALSE(isBrowsing);

  // Stopping also drops a pending rebuild.
  latest().report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
  settle();
  discovery->stop();
  EXPECT_TRUE(latest().cancelled());
  EXPECT_TRUE(timers->pending().empty());
  EXPECT_FALSE(discovery->isRunning());
}

TEST_F(DiscoveryTest, AddedAndChangedTabletsAppearRemovedOnesDoNot) {
  LogWindow log;
  discovery->start();
  const auto a = tablet("A", {wifi()});
  const auto b = tablet("B", {loopback()});
  latest().deliver(
      {a, b}, {BrowseChange{BrowseChange::Kind::added, a, {}}, BrowseChange{BrowseChange::Kind::changed, b, a},
               BrowseChange{BrowseChange::Kind::removed, a, {}}, BrowseChange{BrowseChange::Kind::identical, b, {}}});
  settle();
  EXPECT_EQ(seen, (std::vector{a, b}));
  EXPECT_EQ(appeared, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(serviceTypes, std::vector<std::string>{"_velquatrin._udp"});
  EXPECT_TRUE(log.has("browse_start type=_velquatrin._udp"));
  EXPECT_TRUE(log.has("bonjour_lost name=<mask.hash:"));
}

TEST_F(DiscoveryTest, DestroyingTheDiscoveryCancelsTheBrowserAndTheRebuild) {
  discovery->start();
  latest().report(BrowserState::failed, Error("BonjourError", -14, "daemon failed"));
  settle();
  ASSERT_EQ(timers->pending().size(), 1u);
  discovery.reset();
  EXPECT_TRUE(latest().cancelled());
  EXPECT_TRUE(timers->pending().empty());
}

} // namespace
} // namespace pd::link::test
