#include "runtime/Error.hpp"

#include <cstring>

namespace pd {

namespace {
std::string describe(int errnum, const std::string& context) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = ::strerror_r(errnum, buffer, sizeof buffer);
  std::string detail = context.empty() ? std::string() : context + ": ";
  detail += text != nullptr ? text : "unknown error";
  return detail;
}
} // namespace

PosixError::PosixError(int errnum, const std::string& context)
    : Error("POSIX", errnum, describe(errnum, context)) {}

} // namespace pd
