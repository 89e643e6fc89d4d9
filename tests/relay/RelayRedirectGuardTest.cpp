#include "relay/RelayRedirectGuard.hpp"

#include "diagnostics/Log.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "support/Blocking.hpp"
#include "support/FakeRemote.hpp"
#include "support/LogWindow.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace pd::relay {
namespace {

using namespace std::chrono_literals;
using platform::http::Response;
using testing::FakeRemote;

// The fake listens on loopback, which the real policy forbids: here loopback stands in for the
// Internet.
AddressClass loopbackIsGlobal(const Address& address) {
  const bool loopback = (address.size() == 4 && address[0] == 127) || address == *ipLiteralAddress("::1");
  return loopback ? AddressClass::global : classifyAddress(address);
}

class RelayRedirectGuardTest : public ::testing::Test {
protected:
  FakeRemote fake;
  std::shared_ptr<platform::http::Client> client = std::make_shared<platform::http::Client>(fake.clientConfiguration());

  platform::http::Request get(std::string url) {
    platform::http::Request request;
    request.url = std::move(url);
    // The fake reports the User-Agent it saw: a header of our own shows the headers went along.
    request.headers = {"Range: bytes=0-9", "User-Agent: guard-probe"};
    return request;
  }

  Response send(const RelayRedirectGuard& guard, platform::http::Request request, std::string* body = nullptr) {
    auto c = client;
    return testing::runBlocking([c, &guard, request, body]() -> runtime::Awaitable<Response> {
      co_return co_await guard.send(*c, request, [body](std::string_view piece) {
        if (body != nullptr) body->append(piece);
        return true;
      });
    });
  }
};

TEST_F(RelayRedirectGuardTest, AllowedRedirectsAreFollowedWithTheSameHeadersAndWithoutTheirBodies) {
  fake.fault("localhost", "/old", {{"fault", "redirect"}, {"location", "https://127.0.0.1/hop"}, {"body", "moved!"}});
  fake.fault("127.0.0.1", "/hop", {{"fault", "redirect"}, {"location", "/api/v1/stats"}});
  const RelayRedirectGuard guard({"localhost", "127.0.0.1"}, loopbackIsGlobal);
  std::string body;
  const testing::LogWindow log;
  const auto response = send(guard, get("https://localhost/old"), &body);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(body.find("moved!"), std::string::npos);
  EXPECT_NE(body.find("software"), std::string::npos);
  const auto requests = fake.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2]["host"], "127.0.0.1");
  EXPECT_EQ(requests[2]["path"], "/api/v1/stats");
  for (const auto& request : requests) EXPECT_EQ(request["user_agent"], "guard-probe");
  EXPECT_FALSE(log.has("relay_upstream_fail"));
}

TEST_F(RelayRedirectGuardTest, RefusedRedirectIsTheAnswerWithOneUnthrottledLine) {
  fake.fault("localhost", "/old", {{"fault", "redirect"}, {"location", "https://elsewhere.remote.test/x"}});
  const RelayRedirectGuard guard({"localhost"}, loopbackIsGlobal);
  const testing::LogWindow log;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(send(guard, get("https://localhost/old")).status, 302);
  EXPECT_EQ(log.count("relay_upstream_fail reason=redirect_blocked status=302 token=-"), 2u);
  EXPECT_EQ(fake.requests().size(), 2u);

  // A guard that knows its token names it, masked as every other relay line masks it.
  const RelayRedirectGuard named({"localhost"}, loopbackIsGlobal, "tok-42");
  EXPECT_EQ(send(named, get("https://localhost/old")).status, 302);
  diagnostics::Log::localvideo().error("mark=%{private,mask.hash}s", std::string("tok-42"));
  const auto lines = log.lines();
  ASSERT_EQ(lines.back().rfind("mark=", 0), 0u);
  const auto mark = lines.back().substr(5);
  EXPECT_EQ(log.count("relay_upstream_fail reason=redirect_blocked status=302 token=" + mark), 1u);
  EXPECT_EQ(lines.back().find("tok-42"), std::string::npos);
}

TEST_F(RelayRedirectGuardTest, AnotherSchemeIsBlockedWithALineAndAnUnusableLocationIsTheAnswerWithout) {
  fake.fault("localhost", "/old", {{"fault", "redirect"}, {"location", "ftp://localhost/x"}, {"status", 301}});
  const RelayRedirectGuard guard({"localhost"}, loopbackIsGlobal);
  const testing::LogWindow log;
  EXPECT_EQ(send(guard, get("https://localhost/old")).status, 301);
  EXPECT_EQ(log.count("relay_upstream_fail reason=redirect_blocked status=301 token=-"), 1u);

  fake.fault("localhost", "/old", {{"fault", "redirect"}, {"location", "http://[::1/x"}, {"status", 301}});
  const testing::LogWindow quiet;
  EXPECT_EQ(send(guard, get("https://localhost/old")).status, 301);
  EXPECT_FALSE(quiet.has("relay_upstream_fail"));
}

TEST_F(RelayRedirectGuardTest, ALoopEndsAfterSixteenFollowedHops) {
  fake.fault("localhost", "/loop", {{"fault", "redirect"}, {"location", "/loop"}});
  const RelayRedirectGuard guard({"localhost"}, loopbackIsGlobal);
  try {
    send(guard, get("https://localhost/loop"));
    FAIL() << "a redirect loop ended";
  } catch (const platform::http::TransferError& error) {
    EXPECT_EQ(error.curlCode(), CURLE_TOO_MANY_REDIRECTS);
  }
  EXPECT_EQ(fake.requests().size(), std::size_t{RelayRedirectGuard::kMaxRedirects + 1});
}

TEST_F(RelayRedirectGuardTest, ConnectionsToAddressesThePolicyRefusesAreHostNotAllowed) {
  // Loopback under the real policy: the connection itself is refused, whatever the name said.
  const RelayRedirectGuard strict({"localhost"});
  try {
    send(strict, get("https://localhost/api/v1/stats"));
    FAIL() << "a forbidden address was connected to";
  } catch (const RelayError& error) {
    EXPECT_EQ(error.errorCase(), RelayError::Case::hostNotAllowed);
  }
  // A hop that passed its check is vetted at connect time too: its target names 127.0.0.3, but
  // the connection goes to 127.0.0.1 (as a rebinding name would), which is allowed only once.
  fake.fault("localhost", "/old", {{"fault", "redirect"}, {"location", "https://127.0.0.3/api/v1/stats"}});
  auto connections = std::make_shared<std::atomic<int>>(0);
  const RelayRedirectGuard hopVetted({"localhost", "127.0.0.3"}, [connections](const Address& address) {
    if (address == Address{127, 0, 0, 1}) return ++*connections == 1 ? AddressClass::global : AddressClass::forbidden;
    return AddressClass::global;
  });
  try {
    send(hopVetted, get("https://localhost/old"));
    FAIL() << "the second hop connected";
  } catch (const RelayError& error) {
    EXPECT_EQ(error.errorCase(), RelayError::Case::hostNotAllowed);
  }
  EXPECT_EQ(fake.requests().size(), 1u);

  // The client's own filter keeps its own error.
  auto configuration = fake.clientConfiguration();
  configuration.connectFilter = [](const ::sockaddr&) { return false; };
  client = std::make_shared<platform::http::Client>(configuration);
  const RelayRedirectGuard lenient({"localhost"}, loopbackIsGlobal);
  EXPECT_THROW(send(lenient, get("https://localhost/api/v1/stats")), platform::http::ConnectRefusedError);
}

TEST_F(RelayRedirectGuardTest, CancelledWhileARedirectIsCheckedEndsWithoutALine) {
  fake.fault("localhost", "/old", {{"fault", "redirect"}, {"location", "https://127.0.0.2/x"}});
  std::atomic<bool> checking{false};
  // Only the redirect target's literal is slow; the connection's own address is not.
  const RelayRedirectGuard guard({"localhost", "127.0.0.2"}, [&checking](const Address& address) {
    if (address == Address{127, 0, 0, 2}) {
      checking = true;
      std::this_thread::sleep_for(1s);
    }
    return AddressClass::global;
  });
  const testing::LogWindow log;
  auto c = client;
  auto request = get("https://localhost/old");
  auto task = runtime::spawn(runtime::sharedPool().executor(), [c, &guard, request]() -> runtime::Awaitable<Response> {
    co_return co_await guard.send(*c, request, [](std::string_view) { return true; });
  });
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!checking && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(checking);
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 5s));
  EXPECT_THROW(task.state()->result(), runtime::CancellationError);
  EXPECT_FALSE(log.has("relay_upstream_fail"));
  EXPECT_EQ(fake.requests().size(), 1u);
}

TEST(RelayRedirectGuardLocationTest, LocationsResolveAgainstTheAnsweringURL) {
  const std::string base = "https://a.cdn.test/videoplayback?id=1";
  EXPECT_EQ(RelayRedirectGuard::resolveLocation(base, "/x?y=2"), "https://a.cdn.test/x?y=2");
  EXPECT_EQ(RelayRedirectGuard::resolveLocation(base, "//b.cdn.test/z"), "https://b.cdn.test/z");
  EXPECT_EQ(RelayRedirectGuard::resolveLocation(base, "http://c.cdn.test:8080/"), "http://c.cdn.test:8080/");
  EXPECT_FALSE(RelayRedirectGuard::resolveLocation(base, "ftp://a.cdn.test/"));
  EXPECT_FALSE(RelayRedirectGuard::resolveLocation(base, ""));
  EXPECT_FALSE(RelayRedirectGuard::resolveLocation(base, "https://"));
  EXPECT_FALSE(RelayRedirectGuard::resolveLocation("not a url", "/x"));
}

} // namespace
} // namespace pd::relay
