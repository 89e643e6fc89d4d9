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

PosixError::PosixError(int errnum, const std::string& context) : Error("POSIX", errnum, describe(errnum, context)) {}

namespace {
const char* fileReadCaseName(FileReadError::Code code) {
  switch (code) {
  case FileReadError::Code::unknown: return "fileReadUnknown";
  case FileReadError::Code::noPermission: return "fileReadNoPermission";
  case FileReadError::Code::noSuchFile: return "fileReadNoSuchFile";
  }
  return "fileReadUnknown";
}
} // namespace

FileReadError::FileReadError(Code code, const std::string& context)
    : Error("FileReadError", static_cast<std::int64_t>(code),
            context.empty() ? std::string(fileReadCaseName(code)) : context + ": " + fileReadCaseName(code)) {}

} // namespace pd
