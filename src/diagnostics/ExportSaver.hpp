#pragma once

// Places a finished export where the user chose to save it.

#include <filesystem>

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
};

} // namespace pd::diagnostics
