#include "platform/media/HeldRegularFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pd::platform::media {

HeldRegularFile::HeldRegularFile(const std::filesystem::path& file, Links links) {
  // Non-blocking so that opening a FIFO returns at once; it is then refused as not a regular file.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::refused ? O_NOFOLLOW : 0));
  if (fd < 0) {
    error_ = errno;
    return;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error_ = errno;
    ::close(fd);
    return;
  }
  if (!S_ISREG(info.st_mode)) {
    error_ = kNotRegular;
    ::close(fd);
    return;
  }
  fd_ = fd;
  name_ = "/proc/self/fd/" + std::to_string(fd);
}

HeldRegularFile::~HeldRegularFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

} // namespace pd::platform::media
