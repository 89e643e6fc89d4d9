#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>

namespace pd::remotesource {
namespace {

using M = InvidiousInstanceManager;

TEST(InvidiousHostRulesTest, NormalizeHost) {
  EXPECT_EQ(M::normalizeHost("  HTTPS://Host.EXAMPLE/ \n"), "host.example");
  EXPECT_EQ(M::normalizeHost("http://Media.Example:8443//"), "media.example:8443");
  EXPECT_EQ(M::normalizeHost("https://Host.Example/Sub/Path/"), "host.example/Sub/Path");
  EXPECT_EQ(M::normalizeHost("https://http://x.example"), "x.example");
  EXPECT_EQ(M::normalizeHost("http://https://x.example"), "https://x.example"); // https:// is looked for first
  EXPECT_EQ(M::normalizeHost("\u3000 \t\n"), "");
  EXPECT_EQ(M::normalizeHost("FTP://X.example/"), "ftp://X.example");
  EXPECT_EQ(M::normalizeHost("\u3000HÖST.Example\u3000"), "höst.example");
  EXPECT_EQ(M::normalizeHost("Host.Example.:80 /A"), "host.example.:80 /A");
}

TEST(InvidiousHostRulesTest, IsValidHost) {
  for (const char* host : {"host.example", "host.example:8080", "host.example/base", "[::1]", "[::1]:8080",
                           "host.example:65535", "127.0.0.1:1"}) {
    EXPECT_TRUE(M::isValidHost(host)) << host;
  }
  for (const char* host :
       {"", "host .example", "user@host.example", "host.example?q", "host.example#f", "host\\example",
        "host%2e.example", "host.example:", "host.example:0", "host.example:65536", "host.example:\u0661\u0662", "[::1",
        "host.example\u3000", "[::1]x", "host.example:+80", "host.example:99999999999999999999"}) {
    EXPECT_FALSE(M::isValidHost(host)) << host;
  }
  EXPECT_TRUE(M::isValidHost("host.example/a%20b")); // a per-cent sign after the first slash is the path's
}

TEST(InvidiousHostRulesTest, SanitizeKeepsFirstOccurrenceAndDropsBuiltInsAndInvalidHosts) {
  const auto builtIn = M::defaultInstances().front().host;
  const auto sanitized = M::sanitizeUserInstances({{"A.example/", ProxyPolicy::proxyOnly},
                                                   {"a.example", ProxyPolicy::automatic},
                                                   {"  ", ProxyPolicy::automatic},
                                                   {"https://" + builtIn, ProxyPolicy::directOnly},
                                                   {"bad host", ProxyPolicy::automatic},
                                                   {"b.example", ProxyPolicy::directOnly}});
  EXPECT_THAT(sanitized, ::testing::ElementsAre(InvidiousInstance{"a.example", ProxyPolicy::proxyOnly},
                                                InvidiousInstance{"b.example", ProxyPolicy::directOnly}));
  ASSERT_EQ(M::defaultInstances().size(), 2u);
  std::set<std::string> hosts;
  for (const auto& instance : M::defaultInstances()) {
    EXPECT_EQ(instance.proxy, ProxyPolicy::automatic);
    EXPECT_EQ(M::normalizeHost(instance.host), instance.host);
    hosts.insert(instance.host);
  }
  EXPECT_EQ(M::builtInHosts(), hosts);
}

TEST(InvidiousHostRulesTest, EffectiveListIsNeverEmpty) {
  const InvidiousInstance x{"x.example", ProxyPolicy::automatic};
  const auto& builtIns = M::defaultInstances();
  EXPECT_EQ(M::effectiveList({}, false), builtIns);
  EXPECT_EQ(M::effectiveList({}, true), builtIns);
  EXPECT_THAT(M::effectiveList({x}, false), ::testing::ElementsAre(x));
  EXPECT_THAT(M::effectiveList({x}, true), ::testing::ElementsAre(x, builtIns[0], builtIns[1]));
}

TEST(InvidiousHostRulesTest, StoredListReadsWholeOrEmpty) {
  using nlohmann::json;
  const auto good =
      json::parse(R"([{"host":"A.example","proxy":"proxy"},{"host":"b.example","proxy":"direct","x":1}])");
  EXPECT_THAT(M::decodeStoredInstances(good),
              ::testing::ElementsAre(InvidiousInstance{"a.example", ProxyPolicy::proxyOnly},
                                     InvidiousInstance{"b.example", ProxyPolicy::directOnly}));
  for (const char* bad : {R"([{"host":"a.example","proxy":"Auto"}])", R"([{"host":"a.example"}])",
                          R"([{"host":"a.example","proxy":"auto"}, 3])", R"({"host":"a.example","proxy":"auto"})",
                          R"("[]")", R"([{"host":7,"proxy":"auto"}])"}) {
    EXPECT_TRUE(M::decodeStoredInstances(json::parse(bad)).empty()) << bad;
  }
  const std::vector<InvidiousInstance> list{{"a.example", ProxyPolicy::automatic},
                                            {"b.example:8443/x", ProxyPolicy::proxyOnly}};
  EXPECT_EQ(M::encodeInstances(list).dump(),
            R"([{"host":"a.example","proxy":"auto"},{"host":"b.example:8443/x","proxy":"proxy"}])");
  EXPECT_EQ(M::decodeStoredInstances(M::encodeInstances(list)), list);
}

TEST(VideoSourceErrorTest, RetryRuleDescriptionAndEquality) {
  using E = VideoSourceError;
  for (int status : {400, 403, 429, 500, 502, 503, 504})
    EXPECT_TRUE(E::httpError(status).shouldTryNextInstance()) << status;
  for (int status : {401, 404, 410, 501, 200}) EXPECT_FALSE(E::httpError(status).shouldTryNextInstance()) << status;
  EXPECT_TRUE(E::networkError("curl", 28).shouldTryNextInstance());
  EXPECT_TRUE(E(E::Case::invalidResponse).shouldTryNextInstance());
  EXPECT_TRUE(E(E::Case::responseMismatch).shouldTryNextInstance());
  EXPECT_TRUE(E(E::Case::noPlayableStream).shouldTryNextInstance());
  for (auto c : {E::Case::invalidQuery, E::Case::invalidVideoID, E::Case::decodingError, E::Case::allInstancesFailed}) {
    EXPECT_FALSE(E(c).shouldTryNextInstance());
  }
  EXPECT_EQ(E::httpError(404).detail(), "httpError(statusCode: 404)");
  EXPECT_EQ(E::networkError("curl", 7).detail(), "networkError(domain: \"curl\", code: 7)");
  EXPECT_EQ(E(E::Case::noPlayableStream).detail(), "noPlayableStream");
  EXPECT_EQ(E(E::Case::noPlayableStream).code(), 8);
  EXPECT_EQ(E::httpError(404).domain(), "VideoSourceError");
  EXPECT_FALSE(E::networkError("curl", 7) == E::networkError("curl", 28));
  EXPECT_FALSE(E::networkError("curl", 7) == E::networkError("POSIX", 7));
  EXPECT_TRUE(E::httpError(503) == E::httpError(503));
}

} // namespace
} // namespace pd::remotesource
