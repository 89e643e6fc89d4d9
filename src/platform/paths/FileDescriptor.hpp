#pragma once

#include <unistd.h>

namespace pd::platform::paths {

// Closes the descriptor on every path out of a scope.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const noexcept { return fd_; }
  // Closes now and reports a failed close (which can lose written data on some file systems).
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }

private:
  int fd_;
};

} // namespace pd::platform::paths
