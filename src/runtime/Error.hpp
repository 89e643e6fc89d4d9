#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace pd {

// The one base of every error the system throws. Each subsystem's error enumeration derives
// from it, so that log lines can print domain, code and detail without knowing the type.
// Domain: the error type's name (for example "OSCServerError"); code: the case number.
class Error : public std::exception {
public:
  Error(std::string domain, std::int64_t code, std::string detail)
      : domain_(std::move(domain)), code_(code), detail_(std::move(detail)) {}

  const std::string& domain() const noexcept { return domain_; }
  std::int64_t code() const noexcept { return code_; }
  const std::string& detail() const noexcept { return detail_; }
  const char* what() const noexcept override { return detail_.c_str(); }

private:
  std::string domain_;
  std::int64_t code_;
  std::string detail_;
};

// An operating-system failure, code is the errno value, domain "POSIX".
class PosixError : public Error {
public:
  PosixError(int errnum, const std::string& context);
  int errnum() const noexcept { return static_cast<int>(code()); }
};

// A file could not be read as a whole: the reader's own verdict on a file, beside the errno of
// the call that failed. Codes are the stable numbers that log lines and callers compare.
class FileReadError : public Error {
public:
  enum class Code : std::int64_t { unknown = 256, noPermission = 257, noSuchFile = 260 };

  FileReadError(Code code, const std::string& context);
  Code fileReadCode() const noexcept { return static_cast<Code>(code()); }
};

namespace runtime {

// Raised where a task notices that it was cancelled. Distinct from any transfer or
// operation that reports its own cancellation.
class CancellationError : public Error {
public:
  CancellationError() : Error("CancellationError", 1, "CancellationError()") {}
};

} // namespace runtime
} // namespace pd
