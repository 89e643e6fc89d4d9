#pragma once

// liblo's reading and writing of OSC datagrams, the independent side the parser is compared with.

#include "deckinput/OSCParser.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pd::deckinput::test {

struct LibloReading {
  bool ok = false;
  int error = 0;
  std::string address;
  std::string types;
  // One entry per liblo argument; empty for types this parser does not read.
  std::vector<std::optional<OSCArgumentValue>> arguments;
};

// liblo's reading of a datagram; one that liblo itself would read past the end of is refused
// with LO_ESIZE without asking it.
LibloReading libloRead(std::span<const std::uint8_t> bytes);

// liblo as an independent encoder of the canonical form.
std::vector<std::uint8_t> libloSerialise(const std::string& address, const std::vector<OSCArgumentValue>& arguments);

// Floats compare by their bits, so NaN payloads must come through unchanged as well.
bool sameValue(const OSCArgumentValue& a, const OSCArgumentValue& b);
bool sameValues(const std::vector<OSCArgumentValue>& a, const std::vector<OSCArgumentValue>& b);

} // namespace pd::deckinput::test
