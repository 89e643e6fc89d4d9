// Feeds arbitrary text to the relay's destination rules and redirect resolution: line 1 is a URL,
// line 2 a Location answered by it, the rest are rules; the raw bytes are also an address. No
// name is ever resolved here. The pieces must agree: a matched URL has a host, an exact match
// names a rule's host, a literal is 4 or 16 bytes, and no match allows no address.

#include "relay/DestinationRules.hpp"
#include "relay/RelayRedirectGuard.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace pd::relay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      lines.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const std::string_view url = lines[0];
  const std::string_view location = lines.size() > 1 ? lines[1] : std::string_view();
  const std::vector<std::string> rules(
      lines.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(2, lines.size())), lines.end());

  const Address raw(data, data + size);
  (void)classifyAddress(raw);
  for (const std::size_t width : {std::size_t{4}, std::size_t{16}}) {
    if (size >= width) (void)classifyAddress(Address(data, data + width));
  }

  for (const auto& rule : rules) {
    (void)parseHostPort(rule);
    if (const auto literal = ipLiteralAddress(rule); literal && literal->size() != 4 && literal->size() != 16) {
      __builtin_trap();
    }
  }

  const auto check = [&rules](std::string_view target) {
    const RuleMatch match = matchRule(target, rules);
    const auto host = destinationHost(target);
    if (match != RuleMatch::none && !host) __builtin_trap();
    if (match == RuleMatch::exact) {
      std::string_view bare = *host;
      if (bare.starts_with('[') && bare.ends_with(']')) bare = bare.substr(1, bare.size() - 2);
      bool named = false;
      for (const auto& rule : rules) {
        std::string lower(rule);
        for (auto& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        named = named || parseHostPort(lower).host == bare;
      }
      if (!named) __builtin_trap();
    }
    if (host && addressPasses(Address{8, 8, 8, 8}, RuleMatch::none, *host)) __builtin_trap();
  };
  check(url);
  if (const auto next = RelayRedirectGuard::resolveLocation(url, location)) check(*next);
  return 0;
}
