#pragma once

// Where a link goes: a numeric host and port, or a Bonjour service that is resolved when the
// link starts. Plain values, ordered and comparable, so they can key maps of discovered peers.

#include <compare>
#include <cstdint>
#include <string>
#include <variant>

namespace pd::platform::net {

struct HostPort {
  std::string host; // numeric text; an IPv6 link-local address may carry its "%zone"
  std::uint16_t port = 0;

  friend auto operator<=>(const HostPort&, const HostPort&) = default;
  friend bool operator==(const HostPort&, const HostPort&) = default;
};

struct ServiceEndpoint {
  std::string name; // the instance name, as published
  std::string type; // "_velquatrin._udp"
  std::string domain; // "local."

  friend auto operator<=>(const ServiceEndpoint&, const ServiceEndpoint&) = default;
  friend bool operator==(const ServiceEndpoint&, const ServiceEndpoint&) = default;
};

using Endpoint = std::variant<HostPort, ServiceEndpoint>;

// The default textual description: "host:port" ("[v6]:port" for IPv6 hosts) or
// "name.type.domain" for a service.
std::string describe(const Endpoint& endpoint);

} // namespace pd::platform::net
