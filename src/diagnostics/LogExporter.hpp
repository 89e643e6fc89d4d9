#pragma once

// Turns the log ring into one self-describing NDJSON file that a user can save and send: a
// header line, then per launch a summary line and its segment lines copied byte for byte (a
// note where segment files are missing), then the stored diagnostic payloads of the exported
// time span. The file is written in the private temporary folder; the caller copies it.

#include "runtime/Clock.hpp"
#include "runtime/Task.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::diagnostics {

class LogRing;

class LogExporter {
public:
  LogExporter() = delete;

  enum class RingScope { currentLaunch, recent3, all };

  struct ExportResult {
    std::filesystem::path url;
    std::int64_t entryCount = 0;
    std::int64_t byteCount = 0;
    std::string suggestedFileName;
  };

  // "current", "recent3", "all"
  static std::string_view rawValue(RingScope scope) noexcept;
  // 1, 3, or none for every launch.
  static std::optional<std::int64_t> launchLimit(RingScope scope) noexcept;

  // The ring an export reads, the folders it uses and what its header names.
  struct Environment {
    LogRing* ring = nullptr; // null: LogRing::shared()
    std::filesystem::path diagnosticsDirectory; // empty: "diagnostics" in the ring's root
    std::filesystem::path temporaryDirectory; // empty: the private temporary folder
    std::string appVersion; // the build's version, as the settings report it
  };
  // Flushes the ring, asks it for the scope's launches and writes the file on the shared
  // pool. Logs export_start and export_complete, or export_fail and rethrows the error.
  static runtime::Awaitable<ExportResult> exportRing(RingScope scope, Environment environment);

  // What the file is written from; everything an export reads or is told.
  struct Context {
    std::filesystem::path diagnosticsDirectory;
    std::filesystem::path temporaryDirectory;
    std::string currentLaunchID;
    runtime::Clock::WallTime now{};
    std::string appDisplayName;
    std::string appVersion;
  };
  // Writes the file for the scope word and the launch folders, in the given order. Throws
  // what opening, encoding or writing raised; the file is left as far as it was written.
  static ExportResult writeExport(std::string_view scope, const std::vector<std::filesystem::path>& launches,
                                  const Context& context);

  // Deletes earlier export files ("*-Log-*.ndjson", regular files only) from the folder.
  static void removeStaleExports(const std::filesystem::path& directory);
  // Display name without spaces, "/", ":" and "\" (or "PalendrixDisplay"), "-Log-", the local
  // time as yyyyMMdd-HHmmss, ".ndjson".
  static std::string suggestedFileName(runtime::Clock::WallTime date, std::string_view displayName);
  static std::string appDisplayName();
  static std::string appBuild();
  // "Linux 6.1.0": the kernel release as three numbers, missing ones as 0.
  static std::string osDescription();
  static std::string osDescription(std::string_view kernelRelease);
  // The machine's product name, or "unknown".
  static std::string deviceModel();
  static std::string deviceModel(const std::filesystem::path& productNameFile);

  // The time a payload covers: its "timeStampEnd", else its "timeStampBegin", read as
  // "yyyy-MM-dd HH:mm:ss Z" or as an internet date-time; none when it has no readable time.
  static std::optional<runtime::Clock::WallTime> payloadTime(std::string_view payloadJson);
  // "2024-05-01T10:00:00.123Z" (fractional seconds required); none when it does not parse.
  static std::optional<runtime::Clock::WallTime> parseTimestamp(std::string_view text);
};

} // namespace pd::diagnostics
