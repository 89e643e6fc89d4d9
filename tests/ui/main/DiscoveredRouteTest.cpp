// Routes to a discovered tablet: address choice, classification, score and order.

#include "ui/main/ConnectionPresentation.hpp"
#include "ui/main/DiscoveredRoute.hpp"

#include <gtest/gtest.h>

#include <map>

namespace pd::ui {
namespace {

using platform::net::Interface;
using platform::net::InterfaceAddress;
using platform::net::InterfaceType;

InterfaceAddress v4(const std::string& text) { return {"en0", InterfaceAddress::Family::ipv4, text}; }
InterfaceAddress v6(const std::string& text) { return {"en0", InterfaceAddress::Family::ipv6, text}; }

TEST(RouteAddressTest, IPv4WinsAndTheLastOfAFamilyCounts) {
  EXPECT_EQ(DiscoveredRoute::pickAddress({v6("fe80::1%en0"), v4("192.168.1.2")}),
            (AddressLookup{"192.168.1.2", false}));
  EXPECT_EQ(DiscoveredRoute::pickAddress({v4("10.0.0.1"), v4("10.0.0.2")}), (AddressLookup{"10.0.0.2", false}));
  EXPECT_EQ(DiscoveredRoute::pickAddress({v6("2001:db8::1"), v6("fd00::1")}), AddressLookup{});
  // The text keeps the case it came in.
  EXPECT_EQ(DiscoveredRoute::pickAddress({v6("FE80::A%eth1"), v6("2001:db8::2")}),
            (AddressLookup{"FE80::A%eth1", true}));
  EXPECT_EQ(DiscoveredRoute::pickAddress({}), AddressLookup{});
}

TEST(RouteClassificationTest, LinkLocalPrivateAndEverythingElse) {
  const std::map<std::string, ConnectionType> cases = {
      {"169.254.3.7", ConnectionType::directLink},
      {"fe80::1", ConnectionType::directLink},
      {"FE80::1%en5", ConnectionType::directLink},
      {"192.168.1.20", ConnectionType::routerBased},
      {"10.1.2.3", ConnectionType::routerBased},
      {"172.16.0.1", ConnectionType::routerBased},
      {"172.31.255.254", ConnectionType::routerBased},
      {"172.15.0.1", ConnectionType::unknown},
      {"172.32.0.1", ConnectionType::unknown},
      {"169.253.1.1", ConnectionType::unknown},
      {"192.169.0.1", ConnectionType::unknown},
      {"10.0.0", ConnectionType::unknown},
      {"10.x.0.1", ConnectionType::unknown},
      {"10.0.x.y", ConnectionType::routerBased},
      {"+10.0.0.1", ConnectionType::routerBased},
      {".0.0.1", ConnectionType::unknown},
      {"10..0.1", ConnectionType::unknown},
      {"8.8.8.8", ConnectionType::unknown},
      {"99999999999999999999.0.0.1", ConnectionType::unknown},
      {"", ConnectionType::unknown},
  };
  for (const auto& [address, expected] : cases) EXPECT_EQ(classifyAddress(address), expected) << address;
  EXPECT_EQ(classifyAddress(std::nullopt), ConnectionType::unknown);
}

TEST(RouteScoreTest, DirectWiredFirstAndOtherInterfacesScoreNothing) {
  const auto route = [](InterfaceType type, const char* address) {
    return DiscoveredRoute::make(Interface{"if0", 2, type}, AddressLookup{address, false});
  };
  const auto wiredDirect = route(InterfaceType::wiredEthernet, "169.254.3.7");
  EXPECT_EQ(wiredDirect.routePriority(), 100);
  EXPECT_TRUE(wiredDirect.isRecommended);
  EXPECT_EQ(wiredDirect.displayName, "if0 (有線)");
  const auto wifiDirect = route(InterfaceType::wifi, "169.254.3.7");
  EXPECT_EQ(wifiDirect.routePriority(), 80);
  EXPECT_FALSE(wifiDirect.isRecommended);
  EXPECT_EQ(wifiDirect.displayName, "if0 (無線)");
  EXPECT_EQ(route(InterfaceType::wiredEthernet, "192.168.1.20").routePriority(), 60);
  EXPECT_FALSE(route(InterfaceType::wiredEthernet, "192.168.1.20").isRecommended);
  EXPECT_EQ(route(InterfaceType::wifi, "192.168.1.20").routePriority(), 40);
  EXPECT_EQ(route(InterfaceType::other, "169.254.1.1").routePriority(), 0);
  EXPECT_EQ(route(InterfaceType::other, "169.254.1.1").displayName, "if0 (other)");
  EXPECT_EQ(route(InterfaceType::loopback, "10.0.0.1").routePriority(), 0);
  EXPECT_EQ(route(InterfaceType::wiredEthernet, "8.8.8.8").routePriority(), 0);
}

TEST(RouteListTest, SortedByScoreStableForTies) {
  platform::bonjour::BrowseResult result;
  result.interfaces = {{"wl0", 3, InterfaceType::wifi},
                       {"en1", 4, InterfaceType::wiredEthernet},
                       {"wl1", 5, InterfaceType::wifi},
                       {"en2", 6, InterfaceType::wiredEthernet}};
  const std::map<std::string, std::string> addresses = {
      {"wl0", "192.168.0.5"}, {"en1", "169.254.9.9"}, {"wl1", "192.168.7.5"}};
  const auto routes = routesOf(result, [&](std::string_view name) {
    const auto found = addresses.find(std::string(name));
    return found == addresses.end() ? AddressLookup{} : AddressLookup{found->second, false};
  });
  ASSERT_EQ(routes.size(), 4u);
  EXPECT_EQ(routes[0].id(), "en1");
  EXPECT_EQ(routes[1].id(), "wl0");
  EXPECT_EQ(routes[2].id(), "wl1");
  EXPECT_EQ(routes[3].id(), "en2");
  EXPECT_FALSE(routes[3].ipAddress);

  // Without any address (getifaddrs failing), every route is unknown and the order stays.
  const auto none = routesOf(result, [](std::string_view) { return AddressLookup{}; });
  ASSERT_EQ(none.size(), 4u);
  for (std::size_t i = 0; i < none.size(); ++i) {
    EXPECT_EQ(none[i].id(), result.interfaces[i].name);
    EXPECT_EQ(none[i].connectionType, ConnectionType::unknown);
  }
  EXPECT_TRUE(routesOf(platform::bonjour::BrowseResult{}).empty());
}

TEST(RouteListTest, LoopbackHasItsOwnAddress) {
  // The real lookup over the machine's interfaces: loopback exists everywhere.
  const auto lookup = DiscoveredRoute::lookupAddress("lo");
  EXPECT_EQ(lookup.address, "127.0.0.1");
  EXPECT_FALSE(lookup.isIPv6);
  EXPECT_EQ(DiscoveredRoute::lookupAddress("no-such-if0"), AddressLookup{});
}

TEST(RouteBadgeTest, BadgeAndSymbolsByLinkKind) {
  const auto make = [](InterfaceType type, AddressLookup lookup) {
    return DiscoveredRoute::make(Interface{"x", 1, type}, lookup);
  };
  EXPECT_EQ(connectionBadge(make(InterfaceType::wiredEthernet, {"169.254.1.1", false})),
            (Chip{"link", "有線直結 (APIPA)", Tint::green}));
  EXPECT_EQ(connectionBadge(make(InterfaceType::other, {"fe80::2%x", true})),
            (Chip{"link", "USB-C/Thunderbolt直結", Tint::green}));
  EXPECT_EQ(connectionBadge(make(InterfaceType::wifi, {"192.168.1.1", false})),
            (Chip{"wifi.router", "ルーター経由", Tint::blue}));
  EXPECT_EQ(connectionBadge(make(InterfaceType::wifi, {})), (Chip{"questionmark.circle", "不明", Tint::gray}));
  EXPECT_EQ(discoveredRouteSymbol(InterfaceType::wifi), "wifi");
  EXPECT_EQ(discoveredRouteSymbol(InterfaceType::wiredEthernet), "cable.connector");
  EXPECT_EQ(discoveredRouteSymbol(InterfaceType::other), "network");
  EXPECT_EQ(linkedRouteSymbol(InterfaceType::wiredEthernet), "cable.connector");
  EXPECT_EQ(linkedRouteSymbol(InterfaceType::other), "wifi");
}

} // namespace
} // namespace pd::ui
