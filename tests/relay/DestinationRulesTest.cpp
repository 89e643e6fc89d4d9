#include "relay/DestinationRules.hpp"

#include "remotesource/VideoCDN.hpp"
#include "runtime/ThreadPools.hpp"
#include "support/Blocking.hpp"
#include "runtime/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace pd::relay {
namespace {

using namespace std::chrono_literals;

struct MatchCase {
  std::string url;
  std::vector<std::string> rules;
  RuleMatch expected;
};

TEST(DestinationRulesTest, MatchRuleTable) {
  const std::vector<std::string> suffix{".example.net"};
  const std::vector<MatchCase> cases{
      {"https://a.example.net/v", suffix, RuleMatch::suffix},
      {"https://A.Example.NET/v", {".EXAMPLE.net"}, RuleMatch::suffix},
      {"https://a.example.net:8443/v", suffix, RuleMatch::none},
      {"http://a.example.net:443/v", suffix, RuleMatch::suffix},
      {"https://example.net/v", suffix, RuleMatch::none},
      {"https://b.a.example.net/v", suffix, RuleMatch::suffix},
      {"https://xexample.net/v", suffix, RuleMatch::none},
      {"ftp://a.example.net/v", suffix, RuleMatch::none},
      {"//a.example.net/v", suffix, RuleMatch::none},
      {"http:///v", {"host"}, RuleMatch::none},
      {"http:/v", {"host"}, RuleMatch::none},
      {"http://host:8080/v", {"host:8080"}, RuleMatch::exact},
      {"http://host/v", {"host:8080"}, RuleMatch::none},
      {"http://host:8080/v", {"host"}, RuleMatch::none},
      {"https://host/v", {"host"}, RuleMatch::exact},
      {"http://host/v", {"host"}, RuleMatch::exact},
      {"https://host:80/v", {"host"}, RuleMatch::exact},
      {"http://host:/v", {"host"}, RuleMatch::exact},
      {"http://[fd00::1]/v", {"[fd00::1]"}, RuleMatch::exact},
      {"http://[fd00::1]:8080/v", {"[fd00::1]:8080"}, RuleMatch::exact},
      {"http://127.0.0.1/v", {"127.0.0.1"}, RuleMatch::exact},
      {"https://host/v", {}, RuleMatch::none},
      // Rule order decides, and a rule that does not match passes on.
      {"https://a.example.net/v", {"other", "a.example.net:99", ".example.net"}, RuleMatch::suffix},
      {"https://a.example.net/v", {"a.example.net", ".example.net"}, RuleMatch::exact},
      // Hosts the resolver or libcurl could read otherwise match nothing.
      {"https://a%2eexample.net/v", suffix, RuleMatch::none},
      {"https://a_b.example.net/v", suffix, RuleMatch::none},
      {"https://[v1.x]/v", {"[v1.x]"}, RuleMatch::none},
      {"https://host:99999/v", {"host:99999"}, RuleMatch::none},
      {"not a url", {"host"}, RuleMatch::none},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(matchRule(c.url, c.rules), c.expected) << c.url;
  }
}

TEST(DestinationRulesTest, ParseHostPortTable) {
  const std::vector<std::tuple<std::string, std::string, std::optional<int>>> cases{
      {"host", "host", std::nullopt},
      {"host:8080", "host", 8080},
      {"host:", "host", std::nullopt},
      {":80", "80", std::nullopt},
      {"host:80:90", "host", std::nullopt},
      {"host::80", "host", std::nullopt},
      {"host:+80", "host", 80},
      {"host:-1", "host", -1},
      {"host:+-1", "host", std::nullopt},
      {"host:99999999999", "host", std::nullopt},
      {"host:8x", "host", std::nullopt},
      {"", "", std::nullopt},
      {"[fd00::1]", "fd00::1", std::nullopt},
      {"[fd00::1]:8080", "fd00::1", 8080},
      {"[fd00::1]:", "fd00::1", std::nullopt},
      {"[fd00::1]x80", "fd00::1", std::nullopt},
      {"[fd00::1", "fd00::1", std::nullopt},
  };
  for (const auto& [rule, host, port] : cases) {
    const auto parsed = parseHostPort(rule);
    EXPECT_EQ(parsed.host, host) << rule;
    EXPECT_EQ(parsed.port, port) << rule;
  }
}

TEST(DestinationRulesTest, AddressClassTable) {
  using enum AddressClass;
  const std::vector<std::pair<std::string, AddressClass>> cases{
      {"0.1.2.3", forbidden},
      {"127.0.0.1", forbidden},
      {"224.0.0.1", forbidden},
      {"255.255.255.255", forbidden},
      {"169.254.1.1", forbidden},
      {"10.0.0.5", privateLAN},
      {"172.16.0.1", privateLAN},
      {"172.31.255.255", privateLAN},
      {"172.32.0.1", global},
      {"192.168.1.2", privateLAN},
      {"192.0.0.8", forbidden},
      {"192.0.2.1", forbidden},
      {"192.0.1.1", global},
      {"192.88.99.1", forbidden},
      {"198.18.0.1", forbidden},
      {"198.19.0.1", forbidden},
      {"198.20.0.1", global},
      {"198.51.100.1", forbidden},
      {"203.0.113.9", forbidden},
      {"100.64.0.1", privateLAN},
      {"100.127.0.1", privateLAN},
      {"100.128.0.1", global},
      {"8.8.8.8", global},
      {"::ffff:192.168.1.2", privateLAN},
      {"::ffff:127.0.0.1", forbidden},
      {"64:ff9b::8.8.8.8", global},
      {"64:ff9b::10.0.0.1", privateLAN},
      {"ff02::1", forbidden},
      {"fe80::1", forbidden},
      {"febf::1", forbidden},
      {"fec0::1", forbidden},
      {"::", forbidden},
      {"::1", forbidden},
      {"::8.8.8.8", forbidden},
      {"2002:7f00:1::", forbidden},
      {"2002:808:808::", global},
      {"2001:db8::1", forbidden},
      {"2001::1", forbidden},
      {"2001:4860::1", global},
      {"2606:4700::1", global},
      {"fd12::1", privateLAN},
      {"fc00::1", privateLAN},
      {"3fff::1", global},
      {"4000::1", forbidden},
      {"1000::1", forbidden},
  };
  for (const auto& [text, expected] : cases) {
    const auto address = ipLiteralAddress(text);
    ASSERT_TRUE(address) << text;
    EXPECT_EQ(classifyAddress(*address), expected) << text;
  }
  EXPECT_EQ(classifyAddress(Address{}), forbidden);
  EXPECT_EQ(classifyAddress(Address(5, 8)), forbidden);
}

TEST(DestinationRulesTest, IpLiteralsTrimBracketsAndRefuseNames) {
  EXPECT_EQ(ipLiteralAddress("[10.1.2.3]"), (Address{10, 1, 2, 3}));
  EXPECT_EQ(ipLiteralAddress("[::1]")->size(), 16u);
  EXPECT_FALSE(ipLiteralAddress("host"));
  EXPECT_FALSE(ipLiteralAddress("10.1.2"));
  EXPECT_FALSE(ipLiteralAddress(std::string_view("10.1.2.3\0x", 10)));
  EXPECT_FALSE(ipLiteralAddress(""));
}

TEST(DestinationRulesTest, DefaultRulesAreTheCDNSuffixThenTheInstanceHost) {
  const remotesource::ScopedVideoCDNDomainSuffix cdn(".cdn.test");
  EXPECT_EQ(defaultRules("Inv.Example.org/api"), (std::vector<std::string>{".cdn.test", "inv.example.org"}));
  EXPECT_EQ(defaultRules("//inv.example.org:8443"), (std::vector<std::string>{".cdn.test", "inv.example.org:8443"}));
  EXPECT_EQ(defaultRules(""), (std::vector<std::string>{".cdn.test", ""}));
  EXPECT_EQ(defaultRules("//"), (std::vector<std::string>{".cdn.test", "//"}));
}

// Names resolve through the machine's own resolver here; the namespace test covers the rest with
// names of its own.
TEST(DestinationRulesTest, AddressPolicyLiteralsAndLocalNetworkNames) {
  EXPECT_TRUE(isAllowedDestination("http://[fd00::1]/v", {"[fd00::1]"}));
  EXPECT_TRUE(isAllowedDestination("http://10.0.0.5:8080/v", {"10.0.0.5:8080"}));
  EXPECT_FALSE(isAllowedDestination("http://127.0.0.1/v", {"127.0.0.1"}));
  EXPECT_FALSE(isAllowedDestination("http://[::ffff:127.0.0.1]/v", {"[::ffff:127.0.0.1]"}));
  EXPECT_FALSE(isAllowedDestination("http://10.0.0.5/v", {"other"}));
  EXPECT_FALSE(isAllowedDestination("https://localhost/v", {"localhost"}));

  // localhost resolves to loopback only: a policy that calls loopback the local network allows
  // the single-label name under an exact rule, never under a suffix rule.
  const AddressClassifier loopbackIsLAN = [](const Address& address) {
    const bool loopback = (address.size() == 4 && address[0] == 127) || address == *ipLiteralAddress("::1");
    return loopback ? AddressClass::privateLAN : classifyAddress(address);
  };
  EXPECT_TRUE(isAllowedDestination("https://localhost/v", {"localhost"}, loopbackIsLAN));

  const auto lan = *ipLiteralAddress("10.0.0.5");
  EXPECT_TRUE(addressPasses(lan, RuleMatch::exact, "nas"));
  EXPECT_TRUE(addressPasses(lan, RuleMatch::exact, "nas.local"));
  EXPECT_TRUE(addressPasses(lan, RuleMatch::exact, "box.home.arpa"));
  EXPECT_TRUE(addressPasses(lan, RuleMatch::exact, "nas.lan"));
  EXPECT_TRUE(addressPasses(lan, RuleMatch::exact, "nas.internal"));
  EXPECT_TRUE(addressPasses(lan, RuleMatch::exact, "10.0.0.5"));
  EXPECT_FALSE(addressPasses(lan, RuleMatch::exact, "nas.example.com"));
  EXPECT_FALSE(addressPasses(lan, RuleMatch::exact, "nas.localx"));
  EXPECT_FALSE(addressPasses(lan, RuleMatch::suffix, "nas.local"));
  EXPECT_FALSE(addressPasses(*ipLiteralAddress("127.0.0.1"), RuleMatch::exact, "nas"));
  EXPECT_TRUE(addressPasses(*ipLiteralAddress("3fff::10"), RuleMatch::suffix, "a.cdn.test"));
  EXPECT_FALSE(addressPasses(*ipLiteralAddress("3fff::10"), RuleMatch::none, "a.cdn.test"));
}

// A literal under an exact rule reaches the classifier without a lookup, so a slow classifier
// stands in for a slow resolver.
// The count is shared with the lookup, which may end after the test that made it.
AddressClassifier slowClassifier(std::chrono::milliseconds delay,
                                 std::shared_ptr<std::atomic<int>> finished = nullptr) {
  return [delay, finished](const Address&) {
    std::this_thread::sleep_for(delay);
    if (finished != nullptr) ++*finished;
    return AddressClass::global;
  };
}

TEST(DestinationRulesTest, TimeLimitedCheckAnswersWithinTheLimitOrFalse) {
  const std::vector<std::string> rules{"10.0.0.5"};
  EXPECT_TRUE(testing::runBlocking([rules]() -> runtime::Awaitable<bool> {
    co_return co_await isAllowedDestinationWithTimeout("http://10.0.0.5/v", rules, slowClassifier(10ms), 2s);
  }));

  auto finished = std::make_shared<std::atomic<int>>(0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(testing::runBlocking([rules, finished]() -> runtime::Awaitable<bool> {
    co_return co_await isAllowedDestinationWithTimeout("http://10.0.0.5/v", rules, slowClassifier(1500ms, finished),
                                                       200ms);
  }));
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 200ms);
  EXPECT_LT(elapsed, 1200ms); // the stuck lookup was not waited for
  EXPECT_EQ(finished->load(), 0);
}

// The relay's bursts: each check's limit counts from its own lookup, not from a wait for a thread.
TEST(DestinationRulesTest, ConcurrentSlowLookupsAreAllAllowedWithinTheirOwnLimit) {
  const std::vector<std::string> rules{"10.0.0.5"};
  std::vector<runtime::Task<bool>> checks;
  for (int i = 0; i < 24; ++i) {
    checks.push_back(runtime::spawn(runtime::sharedPool().executor(), [rules]() -> runtime::Awaitable<bool> {
      co_return co_await isAllowedDestinationWithTimeout("http://10.0.0.5/v", rules, slowClassifier(600ms), 1s);
    }));
  }
  for (auto& check : checks) {
    ASSERT_TRUE(runtime::test::waitUntilFinished(check, 10s));
    EXPECT_TRUE(check.state()->result());
  }
}

TEST(DestinationRulesTest, CancellingTheCallerAnswersFalseAtOnce) {
  const std::vector<std::string> rules{"10.0.0.5"};
  std::atomic<bool> entered{false};
  const AddressClassifier blocking = [&entered](const Address&) {
    entered = true;
    std::this_thread::sleep_for(1s);
    return AddressClass::global;
  };
  auto task = runtime::spawn(runtime::sharedPool().executor(), [rules, blocking]() -> runtime::Awaitable<bool> {
    co_return co_await isAllowedDestinationWithTimeout("http://10.0.0.5/v", rules, blocking, 10s);
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!entered && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(entered);
  const auto cancelled = std::chrono::steady_clock::now();
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 500ms);
  EXPECT_FALSE(task.state()->result());
}

TEST(DestinationRulesTest, OnceHandsOverTheFirstAnswerOnly) {
  Once once;
  std::vector<bool> answers;
  Once::Continuation first = [&answers](bool answer) { answers.push_back(answer); };
  ASSERT_TRUE(once.install(first));
  once.finish(true);
  once.finish(false);
  EXPECT_EQ(answers, std::vector<bool>{true});

  Once early;
  early.finish(false);
  Once::Continuation late = [&answers](bool answer) { answers.push_back(answer); };
  EXPECT_FALSE(early.install(late));
  EXPECT_TRUE(static_cast<bool>(late)); // left with the caller, who answers on its own
}

} // namespace
} // namespace pd::relay
