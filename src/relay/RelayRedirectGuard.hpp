#pragma once

// Sends one upstream request with its redirects in the relay's hands: each hop's target must
// satisfy the same destination rules as the first address, and every connection of every hop is
// vetted at connect time, so a name that resolves elsewhere after its check (DNS rebinding) is
// still refused.

#include "platform/http/HttpClient.hpp"
#include "relay/DestinationRules.hpp"
#include "runtime/Task.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::relay {

class RelayRedirectGuard {
public:
  static constexpr int kMaxRedirects = 16;

  // `token` names the relay token the request serves in the redirect_blocked line; without one
  // the line shows "-".
  explicit RelayRedirectGuard(std::vector<std::string> rules, AddressClassifier classify = classifyAddress,
                              std::optional<std::string> token = std::nullopt);

  // Sends `request` hop by hop. An allowed redirect is followed with the same GET and headers; a
  // refused one (another scheme included), or one whose check timed out, is the answer itself
  // (3xx status, with an error line "relay_upstream_fail reason=redirect_blocked"); a cancelled
  // check writes no line and throws runtime::CancellationError. More than kMaxRedirects hops fail
  // as too many redirects. The request's total time-out covers the whole chain, checks included:
  // a chain that outlasts it fails as a time-out (platform::http::TransferError).
  // A connection refused by the address policy throws RelayError::hostNotAllowed, which the
  // caller logs as a refused host (it knows the token); the client's own filter still throws
  // platform::http::ConnectRefusedError. An awaitable rather than a Task: it must see the
  // awaiting task's cancellation. The awaitable holds its own copy of the rules; `client` must
  // outlive it.
  runtime::Awaitable<platform::http::Response> send(platform::http::Client& client, platform::http::Request request,
                                                    platform::http::BodySink sink) const;

  // A Location value resolved against the URL that answered with it; nothing when either does
  // not parse or the result is not an http(s) URL with a host.
  static std::optional<std::string> resolveLocation(std::string_view currentURL, std::string_view location);

private:
  std::vector<std::string> rules_;
  AddressClassifier classify_;
  std::optional<std::string> token_;
};

} // namespace pd::relay
