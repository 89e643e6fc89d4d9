#pragma once

#include <fcntl.h>

namespace pd::platform::net {

// Asio opens and accepts sockets without close-on-exec. A program this one starts (a browser or
// a file manager opened for a link) would otherwise keep them, a listening port included, after
// this process has closed them or ended.
inline void closeOnExec(int fd) noexcept {
  if (fd < 0) return;
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

} // namespace pd::platform::net
