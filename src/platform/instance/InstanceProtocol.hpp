#pragma once

// The activation channel's wire format, shared by both ends and nothing else. One request a
// line, one answer a line, ASCII, each at most kMaxLineBytes including the newline:
//   "pid\n"       -> "pid <decimal process id>\n"
//   "activate\n"  -> "ok\n" once the running instance has taken the request
// Anything else is answered "error\n" and ends the connection.

#include "runtime/Clock.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace pd::platform::instance::protocol {

inline constexpr std::size_t kMaxLineBytes = 64;
inline constexpr std::string_view kAskProcessId = "pid";
inline constexpr std::string_view kAskActivate = "activate";
inline constexpr std::string_view kProcessIdPrefix = "pid ";
inline constexpr std::string_view kAcknowledged = "ok";
inline constexpr std::string_view kRefused = "error";

// Reads lines from a non-blocking stream socket, keeping what arrived past the newline.
class LineReader {
public:
  explicit LineReader(int fd) noexcept : fd_(fd) {}
  // The next line without its newline. Throws pd::PosixError: ETIMEDOUT when the deadline
  // passes, EMSGSIZE for a line longer than kMaxLineBytes, ECONNRESET when the peer closed.
  std::string readLine(runtime::Clock::MonotonicTime deadline);

private:
  int fd_;
  std::string buffer_;
};

// Writes the line and its newline. Throws pd::PosixError (ETIMEDOUT at the deadline).
void writeLine(int fd, std::string_view line, runtime::Clock::MonotonicTime deadline);

// "pid 1234" -> 1234; none for anything but a positive process id in range.
std::optional<pid_t> parseProcessIdAnswer(std::string_view line) noexcept;

// Waits until `fd` is ready for `events` or the deadline passes (then throws ETIMEDOUT).
void waitReady(int fd, short events, runtime::Clock::MonotonicTime deadline);

} // namespace pd::platform::instance::protocol
