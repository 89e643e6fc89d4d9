#include "ui/main/DiscoveredRoute.hpp"

#include "platform/text/Ascii.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace pd::ui {

namespace {

bool startsWithFe80(std::string_view text) { return platform::text::asciiStartsWithIgnoreCase(text, "fe80"); }

// An optional "+" or "-", then decimal digits only, within 64 bits.
std::optional<std::int64_t> parseSignedInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(INT64_MAX);
  if (!negative) {
    if (magnitude > kMaxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMaxPositive + 1) return std::nullopt;
  if (magnitude == kMaxPositive + 1) return INT64_MIN;
  return -static_cast<std::int64_t>(magnitude);
}

} // namespace

ConnectionType classifyAddress(const std::optional<std::string>& address) {
  if (!address) return ConnectionType::unknown;
  const std::string_view text = *address;
  if (startsWithFe80(text)) return ConnectionType::directLink;

  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    parts.push_back(text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 4) return ConnectionType::unknown;
  const auto a = parseSignedInteger(parts[0]);
  if (!a) return ConnectionType::unknown;
  const auto b = parseSignedInteger(parts[1]);
  if (!b) return ConnectionType::unknown;

  if (*a == 10) return ConnectionType::routerBased;
  if (*a == 169 && *b == 254) return ConnectionType::directLink;
  if (*a == 172 && *b >= 16 && *b <= 31) return ConnectionType::routerBased;
  if (*a == 192 && *b == 168) return ConnectionType::routerBased;
  return ConnectionType::unknown;
}

std::string routeDisplayName(const platform::net::Interface& interface) {
  std::string kind;
  switch (interface.type) {
  case platform::net::InterfaceType::wifi: kind = "無線"; break;
  case platform::net::InterfaceType::wiredEthernet: kind = "有線"; break;
  default: kind = std::string(platform::net::toString(interface.type)); break;
  }
  return interface.name + " (" + kind + ")";
}

AddressLookup DiscoveredRoute::pickAddress(const std::vector<platform::net::InterfaceAddress>& addresses) {
  std::optional<std::string> ipv4;
  std::optional<std::string> ipv6;
  for (const auto& entry : addresses) {
    if (entry.family == platform::net::InterfaceAddress::Family::ipv4) {
      ipv4 = entry.address;
    } else if (startsWithFe80(entry.address)) {
      ipv6 = entry.address;
    }
  }
  if (ipv4) return {std::move(ipv4), false};
  if (ipv6) return {std::move(ipv6), true};
  return {};
}

AddressLookup DiscoveredRoute::lookupAddress(std::string_view interfaceName) {
  return pickAddress(platform::net::interfaceAddresses(interfaceName));
}

DiscoveredRoute DiscoveredRoute::make(const platform::net::Interface& interface) {
  return make(interface, lookupAddress(interface.name));
}

DiscoveredRoute DiscoveredRoute::make(const platform::net::Interface& interface, const AddressLookup& lookup) {
  DiscoveredRoute route;
  route.interface = interface;
  route.interfaceType = interface.type;
  route.displayName = routeDisplayName(interface);
  route.ipAddress = lookup.address;
  route.isIPv6 = lookup.isIPv6;
  route.connectionType = classifyAddress(route.ipAddress);
  route.isRecommended = route.connectionType == ConnectionType::directLink &&
                        route.interfaceType == platform::net::InterfaceType::wiredEthernet;
  return route;
}

int DiscoveredRoute::routePriority() const noexcept {
  using platform::net::InterfaceType;
  const bool wired = interfaceType == InterfaceType::wiredEthernet;
  const bool wifi = interfaceType == InterfaceType::wifi;
  switch (connectionType) {
  case ConnectionType::directLink: return wired ? 100 : wifi ? 80 : 0;
  case ConnectionType::routerBased: return wired ? 60 : wifi ? 40 : 0;
  case ConnectionType::unknown: return 0;
  }
  return 0;
}

std::vector<DiscoveredRoute> routesOf(const platform::bonjour::BrowseResult& result) {
  return routesOf(result, [](std::string_view name) { return DiscoveredRoute::lookupAddress(name); });
}

std::vector<DiscoveredRoute> routesOf(const platform::bonjour::BrowseResult& result,
                                      const AddressLookupFunction& lookup) {
  std::vector<DiscoveredRoute> routes;
  routes.reserve(result.interfaces.size());
  for (const auto& interface : result.interfaces) {
    routes.push_back(DiscoveredRoute::make(interface, lookup(interface.name)));
  }
  std::stable_sort(routes.begin(), routes.end(), [](const DiscoveredRoute& a, const DiscoveredRoute& b) {
    return a.routePriority() > b.routePriority();
  });
  return routes;
}

} // namespace pd::ui
