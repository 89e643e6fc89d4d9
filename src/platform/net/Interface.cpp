#include "platform/net/Interface.hpp"

#include <charconv>
#include <fstream>
#include <system_error>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace pd::platform::net {

namespace {

constexpr int kArphrdEther = 1;
constexpr int kArphrdLoopback = 772;
constexpr std::size_t kMaxSysfsRead = 4096;

std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxSysfsRead, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::optional<int> readArpType(const std::filesystem::path& dir) {
  const auto text = readSmallFile(dir / "type");
  if (!text) return std::nullopt;
  std::string_view digits(*text);
  while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) digits.remove_suffix(1);
  int value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> readDevType(const std::filesystem::path& dir) {
  const auto text = readSmallFile(dir / "uevent");
  if (!text) return std::nullopt;
  std::string_view rest(*text);
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    const std::string_view line = rest.substr(0, newline);
    if (line.starts_with("DEVTYPE=")) return std::string(line.substr(8));
    if (newline == std::string_view::npos) break;
    rest.remove_prefix(newline + 1);
  }
  return std::nullopt;
}

bool entryExists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec)) && !ec;
}

Interface makeInterface(std::string name, unsigned flags) {
  Interface interface;
  interface.index = ::if_nametoindex(name.c_str());
  interface.type = classifyInterface(name, (flags & IFF_LOOPBACK) != 0);
  interface.name = std::move(name);
  return interface;
}

struct IfaddrsList {
  ifaddrs* head = nullptr;
  IfaddrsList() {
    if (::getifaddrs(&head) != 0) head = nullptr;
  }
  ~IfaddrsList() {
    if (head != nullptr) ::freeifaddrs(head);
  }
  IfaddrsList(const IfaddrsList&) = delete;
  IfaddrsList& operator=(const IfaddrsList&) = delete;
};

} // namespace

std::string_view toString(InterfaceType type) noexcept {
  switch (type) {
  case InterfaceType::other: return "other";
  case InterfaceType::wifi: return "wifi";
  case InterfaceType::cellular: return "cellular";
  case InterfaceType::wiredEthernet: return "wiredEthernet";
  case InterfaceType::loopback: return "loopback";
  }
  return "other";
}

bool isValidInterfaceName(std::string_view name) noexcept {
  if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
  for (const char c : name) {
    if (c == '/' || c == ' ' || c == '\0' || c == '\n' || c == '\t') return false;
  }
  return true;
}

InterfaceType classifyInterface(std::string_view name, bool isLoopbackFlag, const std::filesystem::path& sysClassNet) {
  if (isLoopbackFlag) return InterfaceType::loopback;
  if (!isValidInterfaceName(name)) return InterfaceType::other;
  const std::filesystem::path dir = sysClassNet / std::string(name);
  const auto devType = readDevType(dir);
  if (devType == "wlan" || entryExists(dir / "wireless") || entryExists(dir / "phy80211")) return InterfaceType::wifi;
  if (devType == "wwan") return InterfaceType::cellular;
  const auto arpType = readArpType(dir);
  if (arpType == kArphrdLoopback) return InterfaceType::loopback;
  // Bridges, VLANs and other software Ethernet have a DEVTYPE of their own or no device behind them.
  if (arpType == kArphrdEther && !devType && entryExists(dir / "device")) return InterfaceType::wiredEthernet;
  return InterfaceType::other;
}

std::vector<Interface> listInterfaces() {
  std::vector<Interface> result;
  IfaddrsList list;
  for (const ifaddrs* entry = list.head; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr) continue;
    const std::string_view name(entry->ifa_name);
    bool seen = false;
    for (const auto& known : result) {
      if (known.name == name) {
        seen = true;
        break;
      }
    }
    if (!seen) result.push_back(makeInterface(std::string(name), entry->ifa_flags));
  }
  return result;
}

std::optional<Interface> interfaceByIndex(std::uint32_t index) {
  if (index == 0) return std::nullopt;
  char buffer[IF_NAMESIZE] = {};
  if (::if_indextoname(index, buffer) == nullptr) return std::nullopt;
  return interfaceByName(buffer);
}

std::optional<Interface> interfaceByName(std::string_view name) {
  if (!isValidInterfaceName(name)) return std::nullopt;
  for (auto& interface : listInterfaces()) {
    if (interface.name == name) return std::move(interface);
  }
  // An interface without any address is missing from getifaddrs on some kernels; the index
  // still identifies it.
  const std::string text(name);
  const unsigned index = ::if_nametoindex(text.c_str());
  if (index == 0) return std::nullopt;
  Interface interface;
  interface.name = text;
  interface.index = index;
  interface.type = classifyInterface(text, false);
  return interface;
}

namespace {

// The entry's address as numeric text, when it is IPv4 or IPv6 and getnameinfo can write it.
std::optional<InterfaceAddress> numericAddress(const ifaddrs& entry) {
  if (entry.ifa_name == nullptr || entry.ifa_addr == nullptr) return std::nullopt;
  const int family = entry.ifa_addr->sa_family;
  if (family != AF_INET && family != AF_INET6) return std::nullopt;
  const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  char host[NI_MAXHOST] = {};
  if (::getnameinfo(entry.ifa_addr, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return std::nullopt;
  return InterfaceAddress{entry.ifa_name,
                          family == AF_INET ? InterfaceAddress::Family::ipv4 : InterfaceAddress::Family::ipv6, host};
}

} // namespace

std::vector<InterfaceAddress> interfaceAddresses(std::string_view name) {
  std::vector<InterfaceAddress> result;
  IfaddrsList list;
  for (const ifaddrs* entry = list.head; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr || name != entry->ifa_name) continue;
    if (auto address = numericAddress(*entry)) result.push_back(std::move(*address));
  }
  return result;
}

std::vector<ActiveAddress> activeAddresses() {
  std::vector<ActiveAddress> result;
  IfaddrsList list;
  for (const ifaddrs* entry = list.head; entry != nullptr; entry = entry->ifa_next) {
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    auto address = numericAddress(*entry);
    if (!address) continue;
    const InterfaceType type = classifyInterface(address->interfaceName, false);
    result.push_back({type, std::move(*address)});
  }
  return result;
}

} // namespace pd::platform::net
