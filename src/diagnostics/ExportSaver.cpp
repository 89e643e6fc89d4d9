#include "diagnostics/ExportSaver.hpp"

#include "platform/paths/FileDescriptor.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/Error.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace pd::diagnostics {

namespace {

void copyByReading(int from, int to) {
  std::array<char, 1 << 16> buffer{};
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw PosixError(errno, "read export");
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        throw PosixError(errno, "write");
      }
      done += put;
    }
  }
}

void copyContents(int from, int to) {
  // The kernel copies (or shares extents) without the bytes passing through us; kernels and
  // file systems that cannot do it between these two files take the plain loop.
  for (bool first = true;; first = false) {
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (copied == 0) return;
    if (copied > 0) continue;
    if (errno == EINTR) continue;
    if (first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      copyByReading(from, to);
      return;
    }
    throw PosixError(errno, "copy");
  }
}

} // namespace

void ExportSaver::saveReplacing(const std::filesystem::path& source, const std::filesystem::path& destination) {
  const platform::paths::FileDescriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.get() < 0) throw PosixError(errno, "open export");
  unsigned mode = 0644;
  struct stat existing {};
  if (::stat(destination.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  platform::paths::replaceFileAtomically(destination, mode, [&from](int to) { copyContents(from.get(), to); });
}

} // namespace pd::diagnostics
