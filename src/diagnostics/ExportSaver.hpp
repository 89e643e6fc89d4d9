#pragma once

// Places a finished export where the user chose to save it.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>

namespace pd::diagnostics {

class ExportSaver {
public:
  ExportSaver() = delete;

  // Copies `source` to a new file beside `destination` and renames it over the destination, so
  // a file already there is replaced in one step and stays whole when the copy fails (a full
  // disk, a vanished source); the copy reaches stable storage before the rename. The new file
  // takes the replaced file's permission bits, or 0644 less the process's umask. Throws
  // pd::PosixError with the errno of the step that failed; nothing is left behind then.
  static void saveReplacing(const std::filesystem::path& source, const std::filesystem::path& destination);

  // Copies up to `length` bytes between the two descriptors' offsets and advances both, as
  // copy_file_range(2) does: the count copied, or -1 with errno set. A test stands one in to make
  // the kernel's copy fail part way.
  using RangeCopy = std::function<ssize_t(int from, int to, std::size_t length)>;
  static void saveReplacing(const std::filesystem::path& source, const std::filesystem::path& destination,
                            const RangeCopy& copyRange);
};

} // namespace pd::diagnostics
