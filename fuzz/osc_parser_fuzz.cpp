// The OSC datagram parser on arbitrary bytes: it must never crash, read out of bounds or hit
// undefined behaviour, and what it accepts must hold together.

#include "deckinput/OSCParser.hpp"
#include "deckinput/OSCServerService.hpp"
#include "platform/log/Logger.hpp"
#include "platform/log/Utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    pd::platform::log::setStderrEnabled(false);
    return true;
  }();
  (void)quiet;

  const std::span<const std::uint8_t> bytes(data, size);
  auto result = pd::deckinput::OSCParser::parse(bytes);
  if (const auto* message = std::get_if<pd::deckinput::OSCMessage>(&result)) {
    check(pd::platform::log::isValidUtf8(message->address.string));
    check(message->address.string.size() < size);
    std::size_t payload = 0;
    for (const auto& argument : message->arguments) {
      if (const auto* text = argument.asString()) {
        check(pd::platform::log::isValidUtf8(*text));
        payload += text->size();
      } else if (const auto* blob = argument.asBlob()) {
        payload += blob->size();
      }
    }
    // Every argument came out of the datagram's own bytes.
    check(payload <= size);
    (void)message->argumentsDescription();
  } else {
    const auto& failure = std::get<pd::deckinput::OSCParseFailure>(result);
    check(!pd::deckinput::OSCParseFailure::reasonWord(failure.reason).empty());
  }

  // The server's entry point with its throttled log lines agrees with the parser.
  const auto logged = pd::deckinput::OSCServerService::parseMessage(bytes);
  check(logged.has_value() == std::holds_alternative<pd::deckinput::OSCMessage>(result));

  std::size_t offset = size > 0 ? data[0] % (size + 1) : 0;
  const std::size_t before = offset;
  if (!pd::deckinput::OSCParser::readPaddedString(bytes, offset)) {
    // Unmoved, or moved past text that is not UTF-8.
    check(offset == before || (offset > before && offset <= size && offset % 4 == 0));
  } else {
    check(offset > before && offset <= size && offset % 4 == 0);
  }
  return 0;
}
