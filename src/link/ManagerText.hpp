#pragma once

// Texts the link manager's files share for their log lines and status texts.

#include "diagnostics/ThrottledLog.hpp"
#include "platform/net/Interface.hpp"
#include "runtime/Error.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pd::link {

// The link's repeated lines: the first and every `every`-th occurrence, at most one per half second.
constexpr diagnostics::ThrottleRule lineRule(std::int64_t every) { return {every, std::chrono::milliseconds(500)}; }

// A failure report may come without its error; the log and the status text still need one.
inline std::string errorTextOrUnknown(const std::optional<Error>& error) {
  return error ? std::string(error->detail()) : std::string("unknown error");
}

inline Error errorOrUnknown(const std::optional<Error>& error) {
  return error ? *error : Error("unknown", 0, "unknown error");
}

inline std::string interfaceNames(const std::vector<platform::net::Interface>& interfaces) {
  std::string joined;
  for (const auto& interface : interfaces) {
    if (!joined.empty()) joined += '/';
    joined += interface.name;
  }
  return joined;
}

} // namespace pd::link
