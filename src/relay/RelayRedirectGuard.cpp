#include "relay/RelayRedirectGuard.hpp"

#include "diagnostics/Log.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "remotesource/InvidiousVideoSource.hpp"

#include <boost/url/parse.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <utility>

namespace pd::relay {

namespace {

using platform::http::Response;

std::optional<Address> addressOf(const ::sockaddr& target) {
  if (target.sa_family == AF_INET) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const ::sockaddr_in&>(target).sin_addr);
    return Address(bytes, bytes + 4);
  }
  if (target.sa_family == AF_INET6) {
    const auto* bytes =
        reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const ::sockaddr_in6&>(target).sin6_addr);
    return Address(bytes, bytes + 16);
  }
  return std::nullopt;
}

// The check resolved the name once; libcurl resolves it again for the transfer, and the second
// answer may differ (DNS rebinding). Judging the very addresses it connects to closes that gap.
std::function<bool(const ::sockaddr&)> connectPolicy(const std::string& url, const std::vector<std::string>& rules,
                                                     const AddressClassifier& classify,
                                                     std::shared_ptr<std::atomic<bool>> refused) {
  const RuleMatch match = matchRule(url, rules);
  const std::string host = destinationHost(url).value_or("");
  return [match, host, classify, refused = std::move(refused)](const ::sockaddr& target) {
    const auto address = addressOf(target);
    if (address && addressPasses(*address, match, host, classify)) return true;
    refused->store(true);
    return false;
  };
}

bool isRedirectStatus(long status) { return status >= 300 && status <= 399; }

// A Location that names a URL of another scheme is a redirect refused, not an answer without one.
bool namesAnotherScheme(std::string_view location) {
  const auto parsed = boost::urls::parse_uri(location);
  if (!parsed) return false;
  const auto scheme = parsed->scheme_id();
  return scheme != boost::urls::scheme::http && scheme != boost::urls::scheme::https;
}

void logRedirectBlocked(long status, const std::optional<std::string>& token) {
  // Not throttled, unlike the fetch's own failure lines: a refused hop is rare enough to show
  // every time.
  if (token) {
    diagnostics::Log::localvideo().error(
        "relay_upstream_fail reason=redirect_blocked status=%ld token=%{private,mask.hash}s", status, *token);
  } else {
    diagnostics::Log::localvideo().error("relay_upstream_fail reason=redirect_blocked status=%ld token=-", status);
  }
}

// A coroutine of its own with the rules as values: an awaitable starts only when awaited, by which
// time the guard that made it may be gone.
runtime::Awaitable<Response> sendHops(std::vector<std::string> rules, AddressClassifier classify,
                                      std::optional<std::string> token, platform::http::Client& client,
                                      platform::http::Request request, platform::http::BodySink sink) {
  request.redirects = platform::http::Redirects::handOver;
  // The resource time-out is the whole chain's, checks between hops included.
  using Clock = std::chrono::steady_clock;
  const auto total = request.totalTimeout;
  const auto deadline = Clock::now() + total;
  for (int hop = 0;; ++hop) {
    if (total.count() > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) throw platform::http::timedOut("resource time-out of the redirect chain");
      request.totalTimeout = left;
    }
    auto refused = std::make_shared<std::atomic<bool>>(false);
    request.connectFilter = connectPolicy(request.url, rules, classify, refused);
    Response response;
    try {
      response = co_await client.stream(request, sink);
    } catch (const platform::http::ConnectRefusedError&) {
      if (refused->load()) throw RelayError::hostNotAllowed();
      throw;
    }
    if (!isRedirectStatus(response.status)) co_return response;
    const auto location = response.header("location");
    const auto target = location ? RelayRedirectGuard::resolveLocation(request.url, *location) : std::nullopt;
    if (!target) {
      if (location && namesAnotherScheme(*location)) logRedirectBlocked(response.status, token);
      co_return response;
    }
    if (hop == RelayRedirectGuard::kMaxRedirects)
      throw platform::http::tooManyRedirects(RelayRedirectGuard::kMaxRedirects);
    const bool allowed = co_await isAllowedDestinationWithTimeout(*target, rules, classify);
    runtime::checkCancellation();
    if (!allowed) {
      logRedirectBlocked(response.status, token);
      co_return response;
    }
    request.url = *target;
  }
}

} // namespace

RelayRedirectGuard::RelayRedirectGuard(std::vector<std::string> rules, AddressClassifier classify,
                                       std::optional<std::string> token)
    : rules_(std::move(rules)),
      classify_(classify ? std::move(classify) : AddressClassifier(classifyAddress)),
      token_(std::move(token)) {}

runtime::Awaitable<Response> RelayRedirectGuard::send(platform::http::Client& client, platform::http::Request request,
                                                      platform::http::BodySink sink) const {
  return sendHops(rules_, classify_, token_, client, std::move(request), std::move(sink));
}

std::optional<std::string> RelayRedirectGuard::resolveLocation(std::string_view currentURL, std::string_view location) {
  // The same reading as a stream address taken from an instance's answer.
  return remotesource::InvidiousVideoSource::validatedStreamURL(location, currentURL);
}

} // namespace pd::relay
