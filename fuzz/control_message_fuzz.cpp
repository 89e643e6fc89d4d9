// Feeds arbitrary datagrams to the control message reader, as the link's dispatcher does, and
// reads every field kind the handlers read. Any crash or sanitizer report is a finding.

#include "link/ControlMessage.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto message = pd::link::ControlMessage::parse(std::span(data, size));
  if (!message) return 0;
  for (const char* key :
       {"type", "seq", "device", "streams", "features", "interface", "reason", "protocolVersion", "timestampUnixMs",
        "mode", "status", "target", "url", "occupiedBy", "peerID", "sessionID", "linkID", "appVersion"}) {
    (void)message->string(key);
    // The pong's clock reading is any number, truncated; an integral one reads the same either way.
    const auto integral = message->integer(key);
    if (integral && message->number(key) != integral) __builtin_trap();
    (void)message->boolean(key);
    (void)message->strings(key);
    if (const auto numbers = message->truncatedNumbers(key)) {
      for (const double value : numbers->values) {
        if (value >= 0 && value <= 255) (void)static_cast<std::uint8_t>(value);
      }
    }
    if (const auto nested = message->object(key)) {
      (void)nested->string("name");
      (void)nested->string("type");
    }
  }
  return 0;
}
