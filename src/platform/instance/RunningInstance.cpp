#include "platform/instance/RunningInstance.hpp"

#include "platform/instance/InstanceProtocol.hpp"
#include "runtime/Error.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace pd::platform::instance {

namespace {

int connectBefore(const std::filesystem::path& path, runtime::Clock::MonotonicTime deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    throw PosixError(ENAMETOOLONG, "activation socket path");
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    throw PosixError(errno, "activation socket");
  }
  try {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      // A full backlog (EAGAIN) counts as no answer: the incumbent is too busy to be asked.
      if (errno != EINPROGRESS) {
        throw PosixError(errno, "activation connect");
      }
      protocol::waitReady(fd, POLLOUT, deadline);
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        throw PosixError(errno, "activation connect");
      }
      if (error != 0) {
        throw PosixError(error, "activation connect");
      }
    }
  } catch (...) {
    ::close(fd);
    throw;
  }
  return fd;
}

} // namespace

RunningInstance::RunningInstance(int fd, pid_t pid, runtime::Clock::MonotonicTime deadline) noexcept
    : fd_(fd), pid_(pid), deadline_(deadline) {}

RunningInstance::RunningInstance(RunningInstance&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pid_(other.pid_), deadline_(other.deadline_) {}

RunningInstance& RunningInstance::operator=(RunningInstance&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = std::exchange(other.fd_, -1);
    pid_ = other.pid_;
    deadline_ = other.deadline_;
  }
  return *this;
}

RunningInstance::~RunningInstance() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::optional<RunningInstance> RunningInstance::find(const std::filesystem::path& socketPath,
                                                     runtime::Clock::MonotonicTime deadline) {
  int fd = -1;
  try {
    fd = connectBefore(socketPath, deadline);
    protocol::writeLine(fd, protocol::kAskProcessId, deadline);
    protocol::LineReader reader(fd);
    const auto pid = protocol::parseProcessIdAnswer(reader.readLine(deadline));
    if (!pid) {
      ::close(fd);
      return std::nullopt;
    }
    return RunningInstance(fd, *pid, deadline);
  } catch (const std::exception&) {
    if (fd >= 0) {
      ::close(fd);
    }
    return std::nullopt;
  }
}

void RunningInstance::activate() {
  if (fd_ < 0) {
    throw PosixError(EBADF, "activation channel closed");
  }
  protocol::writeLine(fd_, protocol::kAskActivate, deadline_);
  protocol::LineReader reader(fd_);
  if (reader.readLine(deadline_) != protocol::kAcknowledged) {
    throw PosixError(EPROTO, "activation refused");
  }
}

} // namespace pd::platform::instance
