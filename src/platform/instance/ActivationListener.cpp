#include "platform/instance/ActivationListener.hpp"

#include "platform/instance/InstanceProtocol.hpp"
#include "runtime/Error.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace pd::platform::instance {

namespace {

// One connection may take this long in all; a silent or slow peer cannot keep the
// listener from answering the next launch for longer.
constexpr std::chrono::milliseconds kConnectionBudget{1000};
// More requests than the two a launch needs mean a confused peer.
constexpr int kMaxRequestsPerConnection = 4;
// Out of descriptors, the waiting connection keeps the socket readable and every accept fails
// at once; pausing this long between tries keeps the thread from spinning until one frees.
constexpr int kDescriptorShortageRestMs = 100;

class UniqueFd {
public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(std::exchange(other.fd_, -1));
    }
    return *this;
  }
  ~UniqueFd() { reset(); }
  int get() const noexcept { return fd_; }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

sockaddr_un socketAddress(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    throw PosixError(ENAMETOOLONG, "activation socket path");
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return address;
}

// A socket file at the path is ours to replace only when nobody answers on it any more.
void removeStaleSocket(const std::filesystem::path& path, const sockaddr_un& address) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) {
      return;
    }
    throw PosixError(errno, "activation socket lstat");
  }
  if (!S_ISSOCK(info.st_mode)) {
    throw PosixError(EEXIST, "activation socket path is not a socket");
  }
  // Non-blocking: a listener whose owner is stopped and whose backlog is full would otherwise
  // hold the connect, and start-up with it, until that owner accepted.
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (probe.get() < 0) {
    throw PosixError(errno, "activation socket probe");
  }
  if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN) {
    throw PosixError(EADDRINUSE, "activation socket has a live listener");
  }
  if (errno != ECONNREFUSED) {
    throw PosixError(errno, "activation socket probe");
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw PosixError(errno, "activation socket unlink");
  }
}

bool peerIsOurUser(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
    return false;
  }
  return credentials.uid == ::geteuid();
}

} // namespace

struct ActivationListener::Impl {
  std::filesystem::path path;
  ActivateHandler onActivate;
  UniqueFd listenFd;
  UniqueFd wakeFd;
  ino_t socketInode = 0;
  std::thread thread;

  void run() {
    for (;;) {
      pollfd fds[2] = {{listenFd.get(), POLLIN, 0}, {wakeFd.get(), POLLIN, 0}};
      const int n = ::poll(fds, 2, -1);
      if (n < 0) {
        // Only a descriptor limit lowered below two fails this poll. Ending the thread would leave
        // the socket taking connections that nobody answers, so it waits the limit out instead.
        if (errno != EINTR && !rest()) {
          return;
        }
        continue;
      }
      if (fds[1].revents != 0) {
        return;
      }
      if ((fds[0].revents & POLLIN) == 0) {
        continue;
      }
      UniqueFd connection(::accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (connection.get() < 0) {
        const int error = errno;
        if ((error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) && !rest()) {
          return;
        }
        continue; // the peer gave up already, or a transient shortage of descriptors
      }
      if (peerIsOurUser(connection.get())) {
        serve(connection.get());
      }
    }
  }

  // Waits out a resource shortage; false when teardown asked the thread to end meanwhile.
  bool rest() const {
    pollfd wake{wakeFd.get(), POLLIN, 0};
    while (::poll(&wake, 1, kDescriptorShortageRestMs) < 0) {
      if (errno != EINTR) {
        // Under a limit below one even this poll fails: pause all the same rather than spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(kDescriptorShortageRestMs));
        return true;
      }
    }
    return wake.revents == 0;
  }

  void serve(int fd) {
    const auto deadline = runtime::Clock::current().monotonic() + kConnectionBudget;
    protocol::LineReader reader(fd);
    try {
      for (int i = 0; i < kMaxRequestsPerConnection; ++i) {
        const std::string request = reader.readLine(deadline);
        if (request == protocol::kAskProcessId) {
          protocol::writeLine(fd, std::string(protocol::kProcessIdPrefix) + std::to_string(::getpid()), deadline);
        } else if (request == protocol::kAskActivate) {
          if (onActivate) {
            onActivate();
          }
          protocol::writeLine(fd, protocol::kAcknowledged, deadline);
        } else {
          protocol::writeLine(fd, protocol::kRefused, deadline);
          return;
        }
      }
    } catch (const std::exception&) {
      // The peer went away, spoke nonsense or was too slow; the next one gets a fresh try.
    }
  }
};

ActivationListener::ActivationListener(std::filesystem::path socketPath, ActivateHandler onActivate)
    : impl_(std::make_unique<Impl>()) {
  impl_->path = std::move(socketPath);
  impl_->onActivate = std::move(onActivate);
  const sockaddr_un address = socketAddress(impl_->path);

  removeStaleSocket(impl_->path, address);
  impl_->listenFd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (impl_->listenFd.get() < 0) {
    throw PosixError(errno, "activation socket");
  }
  if (::bind(impl_->listenFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw PosixError(errno, "activation socket bind");
  }
  // Remember which file we made, so that teardown never removes a successor's socket.
  struct stat info {};
  if (::lstat(impl_->path.c_str(), &info) == 0) {
    impl_->socketInode = info.st_ino;
  }
  if (::listen(impl_->listenFd.get(), 8) != 0) {
    const int error = errno;
    ::unlink(impl_->path.c_str());
    throw PosixError(error, "activation socket listen");
  }
  impl_->wakeFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (impl_->wakeFd.get() < 0) {
    const int error = errno;
    ::unlink(impl_->path.c_str());
    throw PosixError(error, "activation eventfd");
  }
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

ActivationListener::~ActivationListener() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(impl_->wakeFd.get(), &one, sizeof one);
  if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
  struct stat info {};
  if (::lstat(impl_->path.c_str(), &info) == 0 && info.st_ino == impl_->socketInode) {
    ::unlink(impl_->path.c_str());
  }
}

const std::filesystem::path& ActivationListener::socketPath() const noexcept { return impl_->path; }

} // namespace pd::platform::instance
