#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace pd::diagnostics {

// Turns any error into the fields a log line prints:
//   "err_domain=%{public}s err_code=%ld error=%s" (and "err_path=%{public}s" where wanted).
class LogErrorFields {
public:
  LogErrorFields() = delete;

  struct Fields {
    std::string domain;
    std::int64_t code = 0;
    std::string detail;
    std::string path = "-"; // the coding path of a JSON decoding error, else "-"
  };

  // With `flushRing` true it first asks the log ring for an early flush (which returns at once);
  // the ring's own code passes false so that its failures do not ask it to flush again.
  //   json::DecodingError     "DecodingError.<case word>", 0, its description, its joined path
  //   pd::Error               its domain, code and detail
  //   std::system_error       "POSIX" and the errno value for the generic and system categories,
  //                           else the category's name and the value; detail what()
  //   any other exception     its demangled type name, 0, what()
  static Fields fields(const std::exception& error, bool flushRing);
  // The same for a captured exception; a non-standard one gives domain "unknown", and an
  // empty pointer gives domain "-" (no error object).
  static Fields fields(const std::exception_ptr& error, bool flushRing);
};

} // namespace pd::diagnostics
