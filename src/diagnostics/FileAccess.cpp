#include "diagnostics/FileAccess.hpp"

#include "platform/paths/FileDescriptor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace pd::diagnostics {

using platform::paths::FileDescriptor;

std::optional<runtime::Clock::WallTime> fileCreationTime(const std::filesystem::path& path) noexcept {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &info) != 0) return std::nullopt;
  const statx_timestamp* stamp = nullptr;
  if ((info.stx_mask & STATX_BTIME) != 0) {
    stamp = &info.stx_btime;
  } else if ((info.stx_mask & STATX_MTIME) != 0) {
    stamp = &info.stx_mtime;
  } else {
    return std::nullopt;
  }
  // The clock counts nanoseconds in 64 bits; a file system may hold times beyond that.
  if (stamp->tv_sec <= -9'000'000'000 || stamp->tv_sec >= 9'000'000'000) return std::nullopt;
  const auto since = std::chrono::seconds(stamp->tv_sec) + std::chrono::nanoseconds(stamp->tv_nsec);
  return runtime::Clock::WallTime(std::chrono::duration_cast<runtime::Clock::WallTime::duration>(since));
}

std::optional<std::string> readFileBounded(const std::filesystem::path& path, std::size_t maxBytes) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size > maxBytes) return std::nullopt;
  // The size is a hint: the file may grow or shrink while it is read.
  std::string out(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t done = 0;
  for (;;) {
    if (done == out.size()) {
      if (out.size() > maxBytes) return std::nullopt;
      out.resize(std::min(maxBytes + 1, out.size() * 2));
    }
    const ssize_t n = ::read(fd.get(), out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done > maxBytes) return std::nullopt;
  out.resize(done);
  return out;
}

} // namespace pd::diagnostics
