#include "relay/RelayDiskCacheFiles.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace pd::relay::cachefiles {

namespace fs = std::filesystem;

PosixError posixError(int errnum) {
  if (errnum == kEFTYPE) {
    return PosixError(errnum, "EFTYPE: not a regular file with one link");
  }
  const char* name = ::strerrorname_np(errnum);
  return PosixError(errnum, name != nullptr ? name : "EUNKNOWN");
}

int currentErrnoOrEIO() noexcept {
  const int error = errno;
  return error > 0 ? error : EIO;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  const int saved = errno; // callers read errno of the step before the close
  close();
  errno = saved;
}

int FileDescriptor::close() noexcept {
  if (fd_ < 0) return 0;
  const int rc = ::close(std::exchange(fd_, -1));
  return rc == 0 ? 0 : errno;
}

namespace {

fs::path absoluteWithoutTrailingSlash(const fs::path& path) {
  std::error_code error;
  fs::path absolute = path.is_absolute() ? path : fs::absolute(path, error);
  if (error) absolute = path;
  absolute = absolute.lexically_normal();
  if (!absolute.has_filename() && absolute.has_parent_path() && absolute != absolute.root_path()) {
    absolute = absolute.parent_path();
  }
  return absolute;
}

std::size_t componentCount(const fs::path& path) {
  return static_cast<std::size_t>(std::distance(path.begin(), path.end()));
}

} // namespace

std::string directoryKey(const fs::path& directory) { return absoluteWithoutTrailingSlash(directory).string(); }

bool isSafeDirectoryPath(const fs::path& directory) {
  for (fs::path current = absoluteWithoutTrailingSlash(directory); componentCount(current) >= 2;
       current = current.parent_path()) {
    struct stat status {};
    if (::lstat(current.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) return false;
  }
  return true;
}

FileDescriptor openDirectorySecurely(const fs::path& directory) {
  const fs::path absolute = absoluteWithoutTrailingSlash(directory);
  FileDescriptor current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current) return {};
  for (const auto& component : absolute.relative_path()) {
    if (component.empty() || component == ".") continue;
    FileDescriptor next(::openat(current.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!next) return {}; // the previous descriptor closes keeping this step's errno
    current = std::move(next);
  }
  return current;
}

namespace {

// The whole path in one call that refuses a symbolic link at every step, as the walk from "/"
// does one component at a time; errno ENOSYS (or what a filter answers for an unknown call) when
// the kernel cannot, and then the caller walks.
FileDescriptor openWithoutLinks(const fs::path& absolute, int flags) {
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.mode = (flags & O_CREAT) != 0 ? 0600 : 0;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, absolute.c_str(), &how, sizeof how);
  return FileDescriptor(fd >= 0 ? static_cast<int>(fd) : -1);
}

bool kernelLacksOpenat2(int error) { return error == ENOSYS || error == EPERM || error == EINVAL || error == E2BIG; }

} // namespace

OpenedFile openFileSecurely(const fs::path& file, int flags) {
  const fs::path absolute = absoluteWithoutTrailingSlash(file);
  const int openFlags = flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  FileDescriptor opened = openWithoutLinks(absolute, openFlags);
  if (!opened && kernelLacksOpenat2(errno)) {
    const FileDescriptor parent = openDirectorySecurely(absolute.parent_path());
    if (!parent) return {{}, currentErrnoOrEIO()};
    opened = FileDescriptor(::openat(parent.get(), absolute.filename().c_str(), openFlags, 0600));
  }
  if (!opened) return {{}, currentErrnoOrEIO()};
  struct stat status {};
  if (::fstat(opened.get(), &status) != 0) return {{}, currentErrnoOrEIO()};
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1) return {{}, kEFTYPE};
  // The videos a user watched are theirs alone, whatever an older build or the umask left.
  if ((status.st_mode & 077) != 0) (void)::fchmod(opened.get(), 0600);
  return {std::move(opened), 0};
}

bool makePrivateDirectory(const fs::path& directory, std::error_code& error) {
  fs::create_directories(directory, error);
  if (error) return false;
  const FileDescriptor opened = openDirectorySecurely(directory);
  struct stat status {};
  if (!opened || ::fstat(opened.get(), &status) != 0) {
    error = std::error_code(currentErrnoOrEIO(), std::generic_category());
    return false;
  }
  // ~/.cache need not be private on Linux: the folder itself keeps other users out.
  if ((status.st_mode & 077) != 0 && ::fchmod(opened.get(), 0700) != 0) {
    error = std::error_code(currentErrnoOrEIO(), std::generic_category());
    return false;
  }
  return true;
}

bool removeFileSafely(const fs::path& file) {
  const fs::path absolute = absoluteWithoutTrailingSlash(file);
  const FileDescriptor parent = openDirectorySecurely(absolute.parent_path());
  if (!parent) return errno == ENOENT;
  const std::string name = absolute.filename().string();
  struct stat status {};
  if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISLNK(status.st_mode) && !S_ISREG(status.st_mode)) {
    errno = kEFTYPE; // refused by us, not by a failed call
    return false;
  }
  if (::unlinkat(parent.get(), name.c_str(), 0) != 0) return errno == ENOENT;
  return true;
}

bool isSymbolicLink(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

std::int64_t fileSize(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || status.st_size < 0) return 0;
  return static_cast<std::int64_t>(status.st_size);
}

std::int64_t allocatedSize(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || status.st_blocks < 0) return 0;
  constexpr std::int64_t kBlock = 512;
  const auto blocks = static_cast<std::int64_t>(status.st_blocks);
  if (blocks > std::numeric_limits<std::int64_t>::max() / kBlock) return std::numeric_limits<std::int64_t>::max();
  return blocks * kBlock;
}

std::optional<bool> keepsHoles(const fs::path& directory) {
  const FileDescriptor parent = openDirectorySecurely(directory);
  if (!parent) return std::nullopt;
  // Without a name it meets neither the purges nor a cache file, and goes with its descriptor.
  const FileDescriptor probe(::openat(parent.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  // A file system without nameless files cannot say; a full disk or descriptor table may, later.
  if (!probe)
    return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? std::optional<bool>(false) : std::nullopt;
  constexpr std::int64_t kGap = 1 << 20;
  const char byte = 0;
  struct stat status {};
  if (::pwrite(probe.get(), &byte, 1, kGap) != 1 || ::fstat(probe.get(), &status) != 0) return std::nullopt;
  return static_cast<std::int64_t>(status.st_blocks) * 512 < kGap;
}

} // namespace pd::relay::cachefiles
