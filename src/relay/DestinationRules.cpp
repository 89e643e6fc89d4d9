#include "relay/DestinationRules.hpp"

#include "platform/text/Ascii.hpp"
#include "remotesource/DecimalText.hpp"
#include "remotesource/VideoCDN.hpp"
#include "runtime/Callback.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <memory>
#include <utility>

namespace pd::relay {

namespace {

using platform::text::asciiLowerCopy;

std::string_view trimBrackets(std::string_view text) {
  while (!text.empty() && (text.front() == '[' || text.front() == ']')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '[' || text.back() == ']')) text.remove_suffix(1);
  return text;
}

// At most two pieces, empty ones skipped; the second keeps the rest, separators included.
std::vector<std::string_view> splitOnce(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != separator) continue;
    if (i > start) pieces.push_back(text.substr(start, i - start));
    start = i + 1;
    if (!pieces.empty()) break;
  }
  if (start < text.size()) pieces.push_back(text.substr(start));
  return pieces;
}

// A Swift-style integer (sign, digits); a value beyond int is no port either, since it could
// never equal a real one.
std::optional<int> decimalPort(std::string_view text) {
  const auto value = remotesource::parseDecimalInt64(text);
  if (!value || *value < std::numeric_limits<int>::min() || *value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(*value);
}

bool isPlainHostCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

struct Destination {
  std::string scheme; // lower case
  std::string host; // lower case; an IPv6 literal keeps its brackets
  std::optional<int> explicitPort;
  int effectivePort = 0;
};

// Only http(s) URLs with a host of plain name characters or an IPv6 literal count as a
// destination at all: anything the resolver or libcurl might read differently from us is out.
std::optional<Destination> destinationOf(std::string_view url) {
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed) return std::nullopt;
  Destination destination;
  destination.scheme = asciiLowerCopy(parsed->scheme());
  if (destination.scheme != "https" && destination.scheme != "http") return std::nullopt;
  if (!parsed->has_authority()) return std::nullopt;
  const auto host = parsed->encoded_host();
  if (parsed->host_type() != boost::urls::host_type::ipv6 &&
      (host.empty() || !std::all_of(host.begin(), host.end(), isPlainHostCharacter))) {
    return std::nullopt;
  }
  destination.host = asciiLowerCopy(std::string_view(host.data(), host.size()));
  if (trimBrackets(destination.host).empty()) return std::nullopt;
  if (parsed->has_port() && !parsed->port().empty()) {
    const auto text = parsed->port();
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
    destination.explicitPort = static_cast<int>(value);
  }
  destination.effectivePort = destination.explicitPort.value_or(destination.scheme == "https" ? 443 : 80);
  return destination;
}

bool isDefaultPort(int port) { return port == 80 || port == 443; }

AddressClass classifyIPv4(const std::uint8_t* bytes) {
  const unsigned a = bytes[0];
  const unsigned b = bytes[1];
  const unsigned c = bytes[2];
  if (a == 0 || a == 127 || a >= 224) return AddressClass::forbidden;
  if (a == 169 && b == 254) return AddressClass::forbidden;
  if (a == 10) return AddressClass::privateLAN;
  if (a == 172 && b >= 16 && b <= 31) return AddressClass::privateLAN;
  if (a == 192 && b == 168) return AddressClass::privateLAN;
  if (a == 192 && b == 0 && (c == 0 || c == 2)) return AddressClass::forbidden;
  if (a == 192 && b == 88 && c == 99) return AddressClass::forbidden;
  if (a == 198 && (b == 18 || b == 19)) return AddressClass::forbidden;
  if (a == 198 && b == 51 && c == 100) return AddressClass::forbidden;
  if (a == 203 && b == 0 && c == 113) return AddressClass::forbidden;
  if (a == 100 && b >= 64 && b <= 127) return AddressClass::privateLAN;
  return AddressClass::global;
}

AddressClass classifyIPv6(const std::uint8_t* bytes) {
  const auto zeros = [bytes](int from, int to) {
    return std::all_of(bytes + from, bytes + to, [](std::uint8_t byte) { return byte == 0; });
  };
  if (zeros(0, 10) && bytes[10] == 0xff && bytes[11] == 0xff) return classifyIPv4(bytes + 12);
  if (bytes[0] == 0x00 && bytes[1] == 0x64 && bytes[2] == 0xff && bytes[3] == 0x9b && zeros(4, 12)) {
    return classifyIPv4(bytes + 12);
  }
  if (bytes[0] == 0xff) return AddressClass::forbidden;
  if (bytes[0] == 0xfe && bytes[1] >= 0x80) return AddressClass::forbidden;
  if (zeros(0, 12)) return AddressClass::forbidden;
  if (bytes[0] == 0x20 && bytes[1] == 0x02) return classifyIPv4(bytes + 2);
  if (bytes[0] == 0x20 && bytes[1] == 0x01 && bytes[2] == 0x0d && bytes[3] == 0xb8) return AddressClass::forbidden;
  if (bytes[0] == 0x20 && bytes[1] == 0x01 && bytes[2] == 0x00 && bytes[3] == 0x00) return AddressClass::forbidden;
  if (bytes[0] == 0xfc || bytes[0] == 0xfd) return AddressClass::privateLAN;
  if ((bytes[0] & 0xe0) == 0x20) return AddressClass::global;
  return AddressClass::forbidden;
}

bool namesLocalNetworkHost(std::string_view host) {
  if (host.find('.') == std::string_view::npos) return true;
  for (const std::string_view suffix : {".local", ".lan", ".home.arpa", ".internal"}) {
    if (host.ends_with(suffix)) return true;
  }
  return false;
}

// Lookups can hang for as long as the resolver likes; they get threads of their own so that a
// few stuck ones never starve the shared pool, and enough of them that the relay's usual burst
// (six chunk fetches, a probe, redirect hops, for a few videos) starts at once. Never destroyed:
// a stuck lookup is not joined.
constexpr std::size_t kLookupThreads = 16;

runtime::ThreadPool& resolverPool() {
  static auto* pool = new runtime::ThreadPool("pd-resolver", kLookupThreads);
  return *pool;
}

} // namespace

std::vector<std::string> defaultRules(std::string_view instanceHost) {
  const auto pieces = splitOnce(instanceHost, '/');
  const std::string_view host = pieces.empty() ? instanceHost : pieces.front();
  return {asciiLowerCopy(remotesource::videoCDNDomainSuffix()), asciiLowerCopy(host)};
}

RuleMatch matchRule(std::string_view url, const std::vector<std::string>& rules) {
  const auto destination = destinationOf(url);
  if (!destination || rules.empty()) return RuleMatch::none;
  const std::string_view host = trimBrackets(destination->host);
  const int port = destination->effectivePort;
  for (const auto& original : rules) {
    const std::string rule = asciiLowerCopy(original);
    if (rule.starts_with('.')) {
      if (host.ends_with(rule) && rule.size() < host.size() && isDefaultPort(port)) return RuleMatch::suffix;
      continue;
    }
    const auto ruleHostPort = parseHostPort(rule);
    if (host != ruleHostPort.host) continue;
    if (ruleHostPort.port ? *ruleHostPort.port == port : isDefaultPort(port)) return RuleMatch::exact;
  }
  return RuleMatch::none;
}

HostPort parseHostPort(std::string_view text) {
  HostPort result;
  if (text.starts_with('[')) {
    const auto rest = text.substr(1);
    const auto closing = rest.find(']');
    result.host = std::string(rest.substr(0, closing));
    if (closing != std::string_view::npos) {
      const auto after = rest.substr(closing + 1);
      if (after.starts_with(':')) result.port = decimalPort(after.substr(1));
    }
    return result;
  }
  const auto pieces = splitOnce(text, ':');
  if (!pieces.empty()) result.host = std::string(pieces[0]);
  if (pieces.size() == 2) result.port = decimalPort(pieces[1]);
  return result;
}

std::optional<Address> ipLiteralAddress(std::string_view text) {
  const std::string literal(trimBrackets(text));
  if (literal.find('\0') != std::string::npos) return std::nullopt;
  std::array<std::uint8_t, 16> bytes{};
  if (::inet_pton(AF_INET, literal.c_str(), bytes.data()) == 1) return Address(bytes.begin(), bytes.begin() + 4);
  if (::inet_pton(AF_INET6, literal.c_str(), bytes.data()) == 1) return Address(bytes.begin(), bytes.end());
  return std::nullopt;
}

std::vector<Address> resolveAddresses(std::string_view host) {
  std::vector<Address> addresses;
  const std::string name(host);
  if (name.empty() || name.find('\0') != std::string::npos) return addresses;
  ::addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ::addrinfo* answers = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &answers) != 0 || answers == nullptr) return addresses;
  const std::unique_ptr<::addrinfo, decltype(&::freeaddrinfo)> owner(answers, &::freeaddrinfo);
  for (const ::addrinfo* answer = answers; answer != nullptr; answer = answer->ai_next) {
    if (answer->ai_addr == nullptr) continue;
    if (answer->ai_family == AF_INET && answer->ai_addrlen >= sizeof(::sockaddr_in)) {
      const auto* ipv4 =
          reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const ::sockaddr_in*>(answer->ai_addr)->sin_addr);
      addresses.emplace_back(ipv4, ipv4 + 4);
    } else if (answer->ai_family == AF_INET6 && answer->ai_addrlen >= sizeof(::sockaddr_in6)) {
      const auto* ipv6 =
          reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const ::sockaddr_in6*>(answer->ai_addr)->sin6_addr);
      addresses.emplace_back(ipv6, ipv6 + 16);
    }
  }
  return addresses;
}

AddressClass classifyAddress(const Address& address) {
  if (address.size() == 4) return classifyIPv4(address.data());
  if (address.size() == 16) return classifyIPv6(address.data());
  return AddressClass::forbidden;
}

std::optional<std::string> destinationHost(std::string_view url) {
  auto destination = destinationOf(url);
  if (!destination) return std::nullopt;
  return std::move(destination->host);
}

bool addressPasses(const Address& address, RuleMatch match, std::string_view host, const AddressClassifier& classify) {
  if (match == RuleMatch::none) return false;
  const AddressClass addressClass = classify(address);
  if (addressClass == AddressClass::forbidden) return false;
  if (addressClass == AddressClass::global) return true;
  if (match != RuleMatch::exact) return false;
  // A literal names its address exactly, which is what an exact rule is for.
  return ipLiteralAddress(host).has_value() || namesLocalNetworkHost(host);
}

bool isAllowedDestination(std::string_view url, const std::vector<std::string>& rules,
                          const AddressClassifier& classify) {
  const RuleMatch match = matchRule(url, rules);
  if (match == RuleMatch::none) return false;
  const auto destination = destinationOf(url);
  if (!destination) return false;
  const std::string& host = destination->host;
  if (match == RuleMatch::exact) {
    if (const auto literal = ipLiteralAddress(host)) return classify(*literal) != AddressClass::forbidden;
  } else if (destination->explicitPort && !isDefaultPort(*destination->explicitPort)) {
    return false;
  }
  const auto addresses = resolveAddresses(host);
  if (addresses.empty()) return false;
  return std::all_of(addresses.begin(), addresses.end(),
                     [&](const Address& address) { return addressPasses(address, match, host, classify); });
}

bool Once::install(Continuation& continuation) {
  const std::scoped_lock hold(lock_);
  if (finished_) return false;
  continuation_ = std::move(continuation);
  return true;
}

void Once::finish(bool answer) {
  Continuation waiting;
  {
    const std::scoped_lock hold(lock_);
    waiting = std::move(continuation_);
    finished_ = true;
  }
  if (waiting) waiting(answer);
}

bool Once::finished() {
  const std::scoped_lock hold(lock_);
  return finished_;
}

runtime::Awaitable<bool> isAllowedDestinationWithTimeout(std::string url, std::vector<std::string> rules,
                                                         AddressClassifier classify, std::chrono::nanoseconds limit) {
  auto once = std::make_shared<Once>();
  const runtime::CancellationHandler onCancel([once] { once->finish(false); });
  auto start = [&](Once::Continuation done) {
    if (!once->install(done)) {
      done(false);
      return;
    }
    resolverPool().post([once, url = std::move(url), rules = std::move(rules), classify = std::move(classify), limit] {
      if (once->finished()) {
        return; // the caller left while this waited for a thread
      }
      // The limit is the lookup's own: its clock starts when the lookup does, so checks queued
      // behind slow ones are not refused for time they spent waiting.
      auto timer = runtime::spawn(runtime::sharedPool().executor(), [once, limit]() -> runtime::Awaitable<void> {
        co_await runtime::sleep(limit);
        once->finish(false);
      });
      bool allowed = false;
      try {
        allowed = isAllowedDestination(url, rules, classify);
      } catch (...) {
        allowed = false;
      }
      once->finish(allowed);
      timer.cancel();
    });
  };
  co_return co_await runtime::awaitCallback<bool>(std::move(start));
}

} // namespace pd::relay
