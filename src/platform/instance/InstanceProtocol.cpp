#include "platform/instance/InstanceProtocol.hpp"

#include "runtime/Error.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <limits>
#include <poll.h>
#include <sys/socket.h>

namespace pd::platform::instance::protocol {

void waitReady(int fd, short events, runtime::Clock::MonotonicTime deadline) {
  for (;;) {
    const auto remaining = deadline - runtime::Clock::current().monotonic();
    if (remaining <= std::chrono::nanoseconds::zero()) {
      throw PosixError(ETIMEDOUT, "instance channel");
    }
    // Round up so that a wait never ends a hair before the deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
    const int timeout = static_cast<int>(std::min<decltype(ms)>(ms, 60'000));
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, timeout);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw PosixError(errno, "instance channel poll");
    }
    if (n > 0) {
      return; // readable, writable, or an error the next call reports
    }
  }
}

std::string LineReader::readLine(runtime::Clock::MonotonicTime deadline) {
  for (;;) {
    if (const auto end = buffer_.find('\n'); end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (buffer_.size() >= kMaxLineBytes) {
      throw PosixError(EMSGSIZE, "instance channel line");
    }
    char chunk[kMaxLineBytes];
    const std::size_t room = kMaxLineBytes - buffer_.size();
    const ssize_t n = ::recv(fd_, chunk, room, 0);
    if (n > 0) {
      buffer_.append(chunk, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      throw PosixError(ECONNRESET, "instance channel closed");
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw PosixError(errno, "instance channel recv");
    }
    waitReady(fd_, POLLIN, deadline);
  }
}

void writeLine(int fd, std::string_view line, runtime::Clock::MonotonicTime deadline) {
  std::string out(line);
  out.push_back('\n');
  std::size_t sent = 0;
  while (sent < out.size()) {
    // MSG_NOSIGNAL: a peer that went away must not kill us with SIGPIPE.
    const ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      throw PosixError(errno, "instance channel send");
    }
    waitReady(fd, POLLOUT, deadline);
  }
}

std::optional<pid_t> parseProcessIdAnswer(std::string_view line) noexcept {
  if (!line.starts_with(kProcessIdPrefix)) {
    return std::nullopt;
  }
  line.remove_prefix(kProcessIdPrefix.size());
  if (line.empty() || line.size() > 10) {
    return std::nullopt;
  }
  long long value = 0;
  const auto* first = line.data();
  const auto* last = line.data() + line.size();
  const auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last || value <= 0 ||
      value > static_cast<long long>(std::numeric_limits<pid_t>::max())) {
    return std::nullopt;
  }
  return static_cast<pid_t>(value);
}

} // namespace pd::platform::instance::protocol
