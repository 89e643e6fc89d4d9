// The destination rules against real name resolution: run through tools/testenv/netns-run.sh, in a
// network namespace whose resolv.conf points at the fake remote's DNS role on 127.0.0.1:53 and
// whose hosts file names "nas".

#include "relay/DestinationRules.hpp"
#include "relay/RelayRedirectGuard.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "platform/TestSupport.hpp"
#include "support/Blocking.hpp"
#include "support/ChildProcess.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <ifaddrs.h>

#include <memory>

namespace pd::relay {
namespace {

using namespace std::chrono_literals;

// netns-run.sh gives lo the address 3fff::10, which no ordinary machine has, and the hosts file
// of this test names "nas".
bool insideTestNamespace() {
  ::ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  const auto wanted = *ipLiteralAddress("3fff::10");
  bool found = false;
  for (const ::ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
    const auto& ipv6 = reinterpret_cast<const ::sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
    found = found || Address(ipv6.s6_addr, ipv6.s6_addr + 16) == wanted;
  }
  ::freeifaddrs(list);
  return found && resolveAddresses("nas") == std::vector<Address>{Address{10, 0, 0, 5}};
}

class RelayRulesNamespaceTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!insideTestNamespace()) return;
    state_ = std::make_unique<testing::TempDirectory>();
    fake_ = std::make_unique<testing::ChildProcess>(
        "/usr/bin/python3",
        std::vector<std::string>{std::string(PD_SOURCE_DIR) + "/tools/fake-remote/fake_remote.py", "--state-dir",
                                 state_->path(), "--dns", "127.0.0.1:53", "--dns-table",
                                 std::string(PD_SOURCE_DIR) + "/tests/relay/netns/names.json"});
    const auto ready = fake_->readLine(20s);
    if (ready) httpPort_ = nlohmann::json::parse(*ready)["http_port"].get<int>();
  }
  static void TearDownTestSuite() {
    fake_.reset();
    state_.reset();
  }
  void SetUp() override {
    if (!fake_) GTEST_SKIP() << "run through tools/testenv/netns-run.sh (ctest does)";
    ASSERT_NE(httpPort_, 0) << "the fake remote did not start";
  }

  static bool allowed(const std::string& url, const std::vector<std::string>& rules) {
    return testing::runBlocking(
        [url, rules]() -> runtime::Awaitable<bool> { co_return co_await isAllowedDestinationWithTimeout(url, rules); });
  }

  static inline std::unique_ptr<testing::TempDirectory> state_;
  static inline std::unique_ptr<testing::ChildProcess> fake_;
  static inline int httpPort_ = 0;
};

TEST_F(RelayRulesNamespaceTest, ResolvedAddressesAreJudgedByTheAddressPolicy) {
  struct Case {
    std::string url;
    std::vector<std::string> rules;
    bool expected;
  };
  const std::vector<Case> cases{
      {"https://loop4.test/v", {"loop4.test"}, false},
      {"https://loop6.test/v", {"loop6.test"}, false},
      {"https://localhost/v", {"localhost"}, false},
      {"https://linklocal.test/v", {"linklocal.test"}, false},
      {"https://global.test/v", {".test"}, true},
      {"https://mixed.test/v", {".test"}, false},
      {"https://missing.test/v", {".test"}, false},
      {"http://nas/v", {"nas"}, true},
      {"http://nas.local/v", {"nas.local"}, true},
      {"http://box.home.arpa/v", {"box.home.arpa"}, true},
      {"http://nas.example.com/v", {"nas.example.com"}, false},
      {"http://lan.test/v", {"lan.test"}, false},
      {"https://nas.local/v", {".local"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(allowed(c.url, c.rules), c.expected) << c.url;

  // Both addresses of the name are judged: one forbidden among them refuses it.
  auto mixed = resolveAddresses("mixed.test");
  std::sort(mixed.begin(), mixed.end());
  EXPECT_EQ(mixed, (std::vector<Address>{*ipLiteralAddress("3fff::20"), *ipLiteralAddress("127.0.0.1")}));
  EXPECT_TRUE(resolveAddresses("missing.test").empty());
}

TEST_F(RelayRulesNamespaceTest, ARebindingNamePassesItsCheckButItsConnectionIsRefused) {
  const std::string url = "http://rebind.test:" + std::to_string(httpPort_) + "/api/v1/stats";
  const std::vector<std::string> rules{"rebind.test:" + std::to_string(httpPort_)};
  // First asked, the name points at a global address; from then on at loopback.
  EXPECT_TRUE(allowed(url, rules));

  auto client = std::make_shared<platform::http::Client>();
  try {
    testing::runBlocking([client, url, rules]() -> runtime::Awaitable<platform::http::Response> {
      platform::http::Request request;
      request.url = url;
      request.headers = {"Range: bytes=0-9"};
      const RelayRedirectGuard guard(rules);
      co_return co_await guard.send(*client, request, [](std::string_view) { return true; });
    });
    FAIL() << "the transfer reached the rebound address";
  } catch (const RelayError& error) {
    EXPECT_EQ(error.errorCase(), RelayError::Case::hostNotAllowed);
  }

  // What the policy kept us from: a client without it reaches the listener on loopback.
  testing::ChildProcess curl("/usr/bin/curl", {"-s", "-o", "/dev/null", "-w", "%{http_code}\\n", url});
  EXPECT_EQ(curl.readLine(10s), "200");
  EXPECT_EQ(curl.wait(), 0);
}

} // namespace
} // namespace pd::relay
