#pragma once

// A route to a discovered tablet: one network interface it was seen on, described for the user
// and ranked so that a direct wired link comes first. Routes are made afresh, addresses looked up
// again, whenever a view builds its list; nothing here is cached.

#include "platform/bonjour/ServiceBrowser.hpp"
#include "platform/net/Interface.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::ui {

enum class ConnectionType : std::uint8_t { directLink, routerBased, unknown };

// Link-local (fe80… in any case, or 169.254/16) is a direct link; the IPv4 private ranges go
// through a router; anything else, and no address, is unknown.
ConnectionType classifyAddress(const std::optional<std::string>& address);

// The Mac's own address on an interface, as the route shows it.
struct AddressLookup {
  std::optional<std::string> address;
  bool isIPv6 = false; // the address is an IPv6 link-local text

  friend bool operator==(const AddressLookup&, const AddressLookup&) = default;
};

struct DiscoveredRoute {
  platform::net::Interface interface;
  std::string displayName;
  platform::net::InterfaceType interfaceType = platform::net::InterfaceType::other;
  std::optional<std::string> ipAddress;
  bool isIPv6 = false;
  ConnectionType connectionType = ConnectionType::unknown;
  bool isRecommended = false;

  // The row identity: the interface's name.
  const std::string& id() const noexcept { return interface.name; }
  int routePriority() const noexcept;

  // Looks the interface's address up in the machine's interface list.
  static DiscoveredRoute make(const platform::net::Interface& interface);
  static DiscoveredRoute make(const platform::net::Interface& interface, const AddressLookup& lookup);

  // The last IPv4 address wins; without one, the last link-local IPv6 address; global and
  // unique-local IPv6 addresses never count.
  static AddressLookup pickAddress(const std::vector<platform::net::InterfaceAddress>& addresses);
  static AddressLookup lookupAddress(std::string_view interfaceName);
};

// "en0 (無線)", "eth0 (有線)", otherwise the kind's case name in the brackets.
std::string routeDisplayName(const platform::net::Interface& interface);

using AddressLookupFunction = std::function<AddressLookup(std::string_view interfaceName)>;

// One route per interface of the result, best first; equal scores keep the browse order.
std::vector<DiscoveredRoute> routesOf(const platform::bonjour::BrowseResult& result);
std::vector<DiscoveredRoute> routesOf(const platform::bonjour::BrowseResult& result,
                                      const AddressLookupFunction& lookup);

} // namespace pd::ui
