#pragma once

// The machine's network interfaces as the link layer sees them: name, kernel index and a kind
// (Wi-Fi, wired, loopback, ...). Names and addresses come from getifaddrs; the kind from
// /sys/class/net, which tells a wireless or cellular device from a plain Ethernet one.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::net {

enum class InterfaceType : std::uint8_t { other, wifi, cellular, wiredEthernet, loopback };

// The kind's case name ("other", "wifi", "cellular", "wiredEthernet", "loopback"): the text
// that log lines and route labels print for it.
std::string_view toString(InterfaceType type) noexcept;

struct Interface {
  std::string name;
  std::uint32_t index = 0;
  InterfaceType type = InterfaceType::other;

  friend bool operator==(const Interface&, const Interface&) = default;
};

// One numeric address of an interface, as getnameinfo writes it (an IPv6 link-local text may
// carry its "%name" zone).
struct InterfaceAddress {
  enum class Family : std::uint8_t { ipv4, ipv6 };
  std::string interfaceName;
  Family family = Family::ipv4;
  std::string address;

  friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

// Where the kernel publishes its interfaces; tests point the classification at a copy.
inline const std::filesystem::path kSysClassNet = "/sys/class/net";

// True for a name the kernel could have given an interface: 1 to 15 bytes, no "/", no blank,
// not "." or "..". Anything else is never used to build a path.
bool isValidInterfaceName(std::string_view name) noexcept;

// The kind of the named interface, read from sysClassNet/<name>: DEVTYPE wlan (or a wireless
// or phy80211 entry) is Wi-Fi, DEVTYPE wwan is cellular, ARPHRD_LOOPBACK is loopback, and an
// Ethernet-type interface backed by a real device is wired. Virtual Ethernet (bridges, veth,
// tunnels) and anything unreadable is other. `isLoopbackFlag` is IFF_LOOPBACK from getifaddrs.
InterfaceType classifyInterface(std::string_view name, bool isLoopbackFlag,
                                const std::filesystem::path& sysClassNet = kSysClassNet);

// Every interface that getifaddrs lists, once each, in its order. Empty when it fails.
std::vector<Interface> listInterfaces();
std::optional<Interface> interfaceByIndex(std::uint32_t index);
std::optional<Interface> interfaceByName(std::string_view name);

// The numeric IPv4 and IPv6 addresses of the named interface, in getifaddrs order.
std::vector<InterfaceAddress> interfaceAddresses(std::string_view name);

// An address of an interface that is up, with the interface's kind.
struct ActiveAddress {
  InterfaceType type = InterfaceType::other;
  InterfaceAddress address;

  friend bool operator==(const ActiveAddress&, const ActiveAddress&) = default;
};

// The numeric addresses of every interface that is up and not loopback, in getifaddrs order.
std::vector<ActiveAddress> activeAddresses();

} // namespace pd::platform::net
