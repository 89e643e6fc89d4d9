#pragma once

// Where the relay may fetch from. A rule beginning with "." is a domain suffix (allowed on the
// default ports only); any other rule is an exact host, IPv4 literal or bracketed IPv6 literal,
// optionally with ":port". Matching ignores letter case. On top of the rules an address policy
// keeps the relay off this machine, special-purpose ranges and, unless a rule names the host
// exactly, the local network: every address a host resolves to must pass.
//
//   if (!co_await isAllowedDestinationWithTimeout(url, rules)) throw RelayError::hostNotAllowed();

#include "runtime/Task.hpp"
#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::relay {

enum class RuleMatch : std::uint8_t { suffix, exact, none };
enum class AddressClass : std::uint8_t { forbidden, privateLAN, global };

// 4 or 16 bytes, network byte order.
using Address = std::vector<std::uint8_t>;
// Tests inject one that treats loopback as global, so that real loopback servers stand in for
// remote hosts.
using AddressClassifier = std::function<AddressClass(const Address&)>;

struct HostPort {
  std::string host;
  std::optional<int> port;
};

// The CDN suffix rule, then the instance's host (the text before any "/"), both lower case.
std::vector<std::string> defaultRules(std::string_view instanceHost);
// Pure. Hosts made of anything but letters, digits, "-" and ".", other than a bracketed IPv6
// literal, match no rule.
RuleMatch matchRule(std::string_view url, const std::vector<std::string>& rules);
// Of one exact rule; a port that does not parse as a decimal integer is absent.
HostPort parseHostPort(std::string_view text);
// Surrounding brackets are ignored.
std::optional<Address> ipLiteralAddress(std::string_view text);
// Blocks in the system resolver. Empty when the name does not resolve; repeats stay.
std::vector<Address> resolveAddresses(std::string_view host);
AddressClass classifyAddress(const Address& address);
// May block in the resolver: call it through isAllowedDestinationWithTimeout.
bool isAllowedDestination(std::string_view url, const std::vector<std::string>& rules,
                          const AddressClassifier& classify = classifyAddress);
// The host of a URL as the policy reads it: lower case, an IPv6 literal with its brackets;
// nothing for a URL that can match no rule.
std::optional<std::string> destinationHost(std::string_view url);
// Whether one address a connection is about to use passes the policy for a URL whose rule match
// is `match` and whose (lower-case) host is `host`. The same judgement isAllowedDestination makes
// of each resolved address.
bool addressPasses(const Address& address, RuleMatch match, std::string_view host,
                   const AddressClassifier& classify = classifyAddress);

inline constexpr std::chrono::milliseconds kDestinationCheckLimit{5000};

// The check on a resolver pool of its own, so a hung lookup never holds the caller's executor.
// False when the lookup has not answered within `limit` of its start or the calling task is
// cancelled; a lookup still running then is left to finish on its own and its answer is dropped.
// An awaitable rather than a Task: it must see the awaiting task's cancellation.
runtime::Awaitable<bool> isAllowedDestinationWithTimeout(std::string url, std::vector<std::string> rules,
                                                         AddressClassifier classify = classifyAddress,
                                                         std::chrono::nanoseconds limit = kDestinationCheckLimit);

// A one-shot Boolean hand-over from a blocking work item to one waiting caller: the first
// finish() wins, and a finish() before install() makes install() refuse the caller.
class Once {
public:
  using Continuation = runtime::UniqueFunction<void(bool)>;
  // False when already finished: the continuation is left with the caller, who answers on its own.
  bool install(Continuation& continuation);
  void finish(bool answer);
  bool finished();

private:
  std::mutex lock_;
  Continuation continuation_;
  bool finished_ = false;
};

} // namespace pd::relay
