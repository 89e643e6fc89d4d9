#include "tablet-emulator/LineReader.hpp"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace pd::tools::tablet {

LineReader::LineReader(int fd, Callbacks callbacks) : fd_(fd), callbacks_(std::move(callbacks)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot create the stdin reader's wake-up pipe");
  }
  wakeRead_ = fds[0];
  wakeWrite_ = fds[1];
  thread_ = std::thread([this] { run(); });
}

LineReader::~LineReader() {
  const char byte = 0;
  while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {}
  thread_.join();
  ::close(wakeRead_);
  ::close(wakeWrite_);
}

void LineReader::run() {
  std::string pending;
  bool discarding = false;
  std::array<char, 4096> buffer{};
  while (true) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      callbacks_.end();
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if (fds[0].revents == 0) {
      continue;
    }
    const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (got <= 0) {
      if (!pending.empty() && !discarding) {
        callbacks_.line(std::move(pending));
      }
      callbacks_.end();
      return;
    }
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buffer[static_cast<std::size_t>(i)];
      if (c == '\n') {
        if (!discarding) {
          callbacks_.line(std::move(pending));
        }
        pending.clear();
        discarding = false;
      } else if (!discarding) {
        if (pending.size() >= maxLine) {
          discarding = true;
          pending.clear();
          callbacks_.tooLong(maxLine);
        } else {
          pending += c;
        }
      }
    }
  }
}

} // namespace pd::tools::tablet
