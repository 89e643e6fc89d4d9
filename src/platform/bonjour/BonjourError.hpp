#pragma once

#include "runtime/Error.hpp"

namespace pd::platform::bonjour {

// A failure of the Bonjour daemon or its client library. Code: the library's error number
// (negative); detail: its description.
class BonjourError : public Error {
public:
  explicit BonjourError(int code);
  BonjourError(int code, std::string detail) : Error("BonjourError", code, std::move(detail)) {}
};

} // namespace pd::platform::bonjour
