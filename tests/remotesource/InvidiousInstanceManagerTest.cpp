#include "remotesource/InvidiousInstanceManager.hpp"

#include "RemoteSourceTestSupport.hpp"
#include "platform/net/PathMonitor.hpp"
#include "platform/settings/UserDefaults.hpp"

#include <gmock/gmock.h>

#include <mutex>

namespace pd::remotesource {
namespace {

using namespace std::chrono_literals;
using platform::net::PathStatus;
using ::testing::ElementsAre;
using testing::runBlocking;

// Stands in for the netlink monitor, which needs a network namespace of its own to be driven.
class ScriptedPathMonitor final : public platform::net::PathMonitor {
public:
  explicit ScriptedPathMonitor(std::shared_ptr<Handler> slot) : slot_(std::move(slot)) {}
  void start(Handler handler) override { *slot_ = std::move(handler); }

private:
  std::shared_ptr<Handler> slot_;
};

class InvidiousInstanceManagerTest : public test::FakeRemoteSuite {
protected:
  template <typename F>
  auto on(F body) {
    return runBlocking(std::move(body));
  }
  std::string current(const std::shared_ptr<InvidiousInstanceManager>& m) {
    return on([m]() -> runtime::Awaitable<std::string> { co_return (co_await m->currentInstance()).host; });
  }
  void check(const std::shared_ptr<InvidiousInstanceManager>& m, bool force) {
    on([m, force]() -> runtime::Awaitable<void> { co_await m->runHealthCheck(force); });
  }
  std::size_t statsRequests() {
    std::size_t count = 0;
    for (const auto& e : fake().requests()) count += e["path"] == "/api/v1/stats" ? 1 : 0;
    return count;
  }

  runtime::ManualClock clock;
  runtime::ScopedClock installed{clock};
};

TEST_F(InvidiousInstanceManagerTest, LoadsStoredConfigurationAndChoosesTheFirstEffectiveEntry) {
  InvidiousInstanceManager::Dependencies nothing;
  auto fresh = InvidiousInstanceManager::make(nothing);
  EXPECT_EQ(current(fresh), InvidiousInstanceManager::defaultInstances().front().host);
  EXPECT_TRUE(on([fresh]() -> runtime::Awaitable<bool> { co_return co_await fresh->defaultFallbackEnabled(); }));

  InvidiousInstanceManager::Dependencies stored;
  stored.storedUserInstances = [] {
    return std::optional(nlohmann::json::parse(R"([{"host":"x.example","proxy":"direct"}])"));
  };
  stored.storedDefaultFallbackEnabled = [] { return std::optional(nlohmann::json("no")); }; // not a Boolean: true
  auto loaded = InvidiousInstanceManager::make(stored);
  EXPECT_EQ(current(loaded), "x.example");
  const auto hosts =
      on([loaded]() -> runtime::Awaitable<std::vector<std::string>> { co_return co_await loaded->effectiveHosts(); });
  std::vector<std::string> expected{"x.example"}; // then the built-in ones, as the fallback is on
  for (const auto& instance : InvidiousInstanceManager::defaultInstances()) expected.push_back(instance.host);
  EXPECT_EQ(hosts, expected);
  EXPECT_EQ(on([loaded]() -> runtime::Awaitable<ProxyPolicy> { co_return co_await loaded->policy("x.example"); }),
            ProxyPolicy::directOnly);
  EXPECT_EQ(on([loaded]() -> runtime::Awaitable<ProxyPolicy> { co_return co_await loaded->policy("X.example"); }),
            ProxyPolicy::automatic);
}

TEST_F(InvidiousInstanceManagerTest, HealthCheckSwitchesToTheFirstHealthyHostAndCoolsDown) {
  auto m = makeManager({"a.remote.test", "b.remote.test"});
  fake().fault("a.remote.test", "/api/v1/stats", {{"fault", "status"}, {"status", 500}});
  check(m, false);
  EXPECT_EQ(current(m), "b.remote.test");
  EXPECT_THAT(linesStartingWith("health_check"), ElementsAre("health_check healthy=1 total=2"));
  EXPECT_THAT(linesStartingWith("instance_switch"),
              ElementsAre("instance_switch from=a.remote.test to=b.remote.test policy=auto reason=health_check"));
  EXPECT_EQ(statsRequests(), 2u);

  // A recovery 10.4 s later is within the cooldown: 19.6 s remain, printed cut toward zero.
  clock.advance(10400ms);
  on([m]() -> runtime::Awaitable<void> {
    co_await m->handlePathUpdate(PathStatus::satisfied); // the first update says nothing
    co_await m->handlePathUpdate(PathStatus::unsatisfied);
    co_await m->handlePathUpdate(PathStatus::unsatisfied);
    co_await m->handlePathUpdate(PathStatus::satisfied);
  });
  EXPECT_THAT(linesStartingWith("path_"), ElementsAre("path_lost", "path_lost", "path_recovered"));
  EXPECT_THAT(linesStartingWith("health_check_skip"), ElementsAre("health_check_skip reason=cooldown remaining_s=19"));
  EXPECT_EQ(statsRequests(), 2u);

  clock.advance(20s);
  check(m, false);
  EXPECT_EQ(statsRequests(), 4u);
}

TEST_F(InvidiousInstanceManagerTest, NoHealthyInstanceKeepsTheCurrentOneAndTheCooldownOpen) {
  auto m = makeManager({"a.remote.test", "b.remote.test"});
  fake().fault("*", "/api/v1/stats", {{"fault", "status"}, {"status", 503}});
  check(m, false);
  EXPECT_EQ(current(m), "a.remote.test");
  EXPECT_THAT(linesStartingWith("all_instances_fail"), ElementsAre("all_instances_fail total=2"));
  check(m, false);
  EXPECT_EQ(statsRequests(), 4u);
}

TEST_F(InvidiousInstanceManagerTest, ConcurrentCallersShareOneCheckAndAForcedCallRunsItsOwnAfterIt) {
  auto m = makeManager({"a.remote.test", "b.remote.test"});
  fake().fault("a.remote.test", "/api/v1/stats",
               {{"fault", "slow_body"}, {"json", {{"ok", true}}}, {"delay", 0.1}, {"chunk", 4}});
  std::vector<runtime::Task<void>> callers;
  for (int i = 0; i < 5; ++i) {
    callers.push_back(runtime::spawn(runtime::sharedPool().executor(),
                                     [m]() -> runtime::Awaitable<void> { co_await m->runHealthCheck(false); }));
  }
  auto forced = runtime::spawn(runtime::sharedPool().executor(), [m]() -> runtime::Awaitable<void> {
    co_await runtime::sleep(100ms);
    co_await m->runHealthCheck(true);
  });
  for (auto& caller : callers) ASSERT_TRUE(runtime::test::waitUntilFinished(caller, 20s));
  ASSERT_TRUE(runtime::test::waitUntilFinished(forced, 20s));
  EXPECT_EQ(requestsTo("a.remote.test").size(), 2u);
  EXPECT_EQ(requestsTo("b.remote.test").size(), 2u);
  EXPECT_THAT(linesStartingWith("health_check "),
              ElementsAre("health_check healthy=2 total=2", "health_check healthy=2 total=2"));
}

TEST_F(InvidiousInstanceManagerTest, ConfigurationChangeDuringACheckMakesItStale) {
  auto m = makeManager({"a.remote.test", "b.remote.test"});
  platform::settings::UserDefaults defaults;
  fake().fault("a.remote.test", "/api/v1/stats", {{"fault", "stall"}, {"seconds", 1}, {"times", 1}});
  auto running = runtime::spawn(runtime::sharedPool().executor(),
                                [m]() -> runtime::Awaitable<void> { co_await m->runHealthCheck(false); });
  ASSERT_TRUE(fake().waitFor([](const auto& e) { return e["event"] == "request" && e["host"] == "a.remote.test"; }));
  const std::vector<InvidiousInstance> edited{{"c.remote.test", ProxyPolicy::proxyOnly},
                                              {"A.remote.test/", ProxyPolicy::automatic}};
  on([m, &defaults, edited]() -> runtime::Awaitable<void> { co_await m->setUserInstances(edited, defaults); });
  ASSERT_TRUE(runtime::test::waitUntilFinished(running, 5s));
  EXPECT_THAT(linesStartingWith("user_instances_update"), ElementsAre("user_instances_update count=2"));
  EXPECT_THAT(linesStartingWith("health_check"),
              ElementsAre("health_check healthy=1 total=2", "health_check_skip reason=stale_config remaining_s=0",
                          "health_check healthy=2 total=2"));
  EXPECT_EQ(current(m), "c.remote.test");
  EXPECT_EQ(defaults.object(InvidiousInstanceManager::kUserInstancesKey)->dump(),
            R"([{"host":"c.remote.test","proxy":"proxy"},{"host":"a.remote.test","proxy":"auto"}])");
  EXPECT_EQ(on([m]() -> runtime::Awaitable<std::int64_t> { co_return co_await m->configGeneration(); }), 1);

  // The same flag again changes nothing; another one is stored and checked at once.
  on([m, &defaults]() -> runtime::Awaitable<void> { co_await m->setDefaultFallbackEnabled(false, defaults); });
  EXPECT_EQ(on([m]() -> runtime::Awaitable<std::int64_t> { co_return co_await m->configGeneration(); }), 1);
  EXPECT_TRUE(linesStartingWith("default_fallback_set").empty());
  EXPECT_FALSE(defaults.contains(InvidiousInstanceManager::kDefaultFallbackEnabledKey));
}

TEST_F(InvidiousInstanceManagerTest, FailoverStartsFromTheHeadOfTheList) {
  auto m = makeManager({"a.remote.test", "b.remote.test", "c.remote.test"});
  auto failover = [&](std::set<std::string> tried) {
    return on(
        [m, tried]() -> runtime::Awaitable<std::optional<std::string>> { co_return co_await m->failover(tried); });
  };
  EXPECT_EQ(failover({}), "https://a.remote.test");
  EXPECT_TRUE(linesStartingWith("instance_switch").empty());
  EXPECT_EQ(failover({"a.remote.test", "b.remote.test"}), "https://c.remote.test");
  EXPECT_EQ(failover({"c.remote.test", "elsewhere.example"}), "https://a.remote.test");
  EXPECT_EQ(failover({"a.remote.test", "b.remote.test", "c.remote.test"}), std::nullopt);
  EXPECT_EQ(current(m), "a.remote.test");
  EXPECT_THAT(linesStartingWith("instance_switch"),
              ElementsAre("instance_switch from=a.remote.test to=c.remote.test policy=auto reason=failover",
                          "instance_switch from=c.remote.test to=a.remote.test policy=auto reason=failover"));
  EXPECT_THAT(linesStartingWith("all_instances_fail"), ElementsAre("all_instances_fail total=3 tried=3"));
}

TEST_F(InvidiousInstanceManagerTest, MonitoringStartsOnceWithACheckAndRechecksOnRecovery) {
  auto handler = std::make_shared<platform::net::PathMonitor::Handler>();
  int made = 0;
  InvidiousInstanceManager::Dependencies dependencies;
  dependencies.makePathMonitor = [handler, &made] {
    ++made;
    return std::make_unique<ScriptedPathMonitor>(handler);
  };
  auto m = makeManager({"a.remote.test"}, dependencies);
  on([m]() -> runtime::Awaitable<void> {
    co_await m->startMonitoring();
    co_await m->startMonitoring();
  });
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(m->isMonitoring());
  for (int i = 0; i < 250 && linesStartingWith("health_check ").empty(); ++i) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(*handler);

  clock.advance(31s);
  (*handler)(PathStatus::unsatisfied);
  (*handler)(PathStatus::requiresConnection);
  (*handler)(PathStatus::satisfied);
  for (int i = 0; i < 250 && linesStartingWith("health_check ").size() < 2; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(statsRequests(), 2u);
  EXPECT_THAT(linesStartingWith("path_"), ElementsAre("path_lost", "path_lost", "path_recovered"));
  EXPECT_THAT(linesStartingWith("health_check "),
              ElementsAre("health_check healthy=1 total=1", "health_check healthy=1 total=1"));
}

} // namespace
} // namespace pd::remotesource
