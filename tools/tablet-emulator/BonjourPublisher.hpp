#pragma once

// Publishes the tablet's Bonjour service through the Avahi daemon. Avahi runs its own thread; events
// are handed to the sink on that thread, so the owner must hop to its own before touching its state.

#include "tablet-emulator/ControlMessages.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pd::tools::tablet {

class BonjourPublisher {
public:
  struct Config {
    std::string name;
    std::string type;
    std::uint16_t port = 0;
    int interfaceIndex = -1; // -1: every interface
    // A socket bound to an IPv4 address answers nothing sent to an IPv6 one: announcing the service
    // over IPv6 too would hand browsers an address nobody listens on.
    bool ipv4Only = false;
    std::optional<std::string> pv;
    std::optional<std::string> app;
  };
  using EventSink = std::function<void(Json event)>;

  BonjourPublisher(Config config, EventSink sink);
  ~BonjourPublisher();
  BonjourPublisher(const BonjourPublisher&) = delete;
  BonjourPublisher& operator=(const BonjourPublisher&) = delete;

  // Connects to the daemon and publishes once it runs; keeps waiting when no daemon is there yet.
  // Throws std::runtime_error when the Avahi client cannot be set up at all.
  void start();
  void withdraw();
  void publish();
  // Changes one TXT key ("pv" or "app"; absent removes it) and publishes again.
  void setTxt(const std::string& key, std::optional<std::string> value);

private:
  struct State;
  std::unique_ptr<State> state_;
};

} // namespace pd::tools::tablet
