#include "diagnostics/ExportSaver.hpp"

#include "platform/paths/FileDescriptor.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/Error.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <string>

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

void copyContents(int from, int to, const ExportSaver::RangeCopy& copyRange) {
  // The kernel copies (or shares extents) without the bytes passing through us; kernels and
  // file systems that cannot do it between these two files take the plain loop. A refusal may
  // come after an interrupted call or after a part was copied: both offsets then stand just past
  // what was copied, so the loop carries on from there. A count of 0 is not proof of the end:
  // some file systems report it for files whose size they cannot tell in advance, so reading
  // finishes the copy (and costs one read where the end was real).
  for (;;) {
    const ssize_t copied = copyRange(from, to, std::size_t{1} << 30);
    if (copied > 0) continue;
    if (copied == 0) {
      copyByReading(from, to);
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
      copyByReading(from, to);
      return;
    }
    throw PosixError(errno, "copy");
  }
}

// 0644 less what the user's file-creation mask takes away: a user whose mask keeps new files
// private gets a private export too. The mask is read rather than set and set back, which would
// change it for files other threads create meanwhile.
unsigned newFileMode() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (!line.starts_with("Umask:")) continue;
    const auto digits = line.find_first_not_of(" \t", 6);
    unsigned mask = 0;
    if (digits == std::string::npos) break;
    const auto [end, error] = std::from_chars(line.data() + digits, line.data() + line.size(), mask, 8);
    if (error != std::errc() || end != line.data() + line.size()) break;
    return 0644 & ~mask & 07777;
  }
  // Not knowing the mask, keep the file to its owner.
  return 0600;
}

} // namespace

void ExportSaver::saveReplacing(const std::filesystem::path& source, const std::filesystem::path& destination) {
  saveReplacing(source, destination, [](int from, int to, std::size_t length) {
    return ::copy_file_range(from, nullptr, to, nullptr, length, 0);
  });
}

void ExportSaver::saveReplacing(const std::filesystem::path& source, const std::filesystem::path& destination,
                                const RangeCopy& copyRange) {
  const platform::paths::FileDescriptor from(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.get() < 0) throw PosixError(errno, "open export");
  unsigned mode = newFileMode();
  struct stat existing {};
  if (::stat(destination.c_str(), &existing) == 0) mode = existing.st_mode & 07777;
  platform::paths::replaceFileAtomically(destination, mode, [&](int to) { copyContents(from.get(), to, copyRange); });
}

} // namespace pd::diagnostics
