#pragma once

#include <cstdint>
#include <string>

namespace pd::settings {

// Where the OSC server listens: a UDP port and a local IPv4 address in dotted form.
struct ServerConfiguration {
  std::uint16_t port = 8000;
  std::string host = "127.0.0.1";

  // Port 8000 on "127.0.0.1".
  static ServerConfiguration defaultConfiguration() { return {}; }

  friend bool operator==(const ServerConfiguration&, const ServerConfiguration&) = default;
};

} // namespace pd::settings
