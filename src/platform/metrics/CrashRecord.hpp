#pragma once

// Crash records: what a fatal signal leaves behind for the next launch.
//
// The handler runs in a process that is already broken, so it uses only async-signal-safe
// calls: no allocation, no locks, no stdio. It writes one small text record per process,
// "crash-<pid>.rec" in the record folder ("crash-<pid>-<n>.rec", n up to 9, when something is
// already at that name: it never writes over an existing file, such as an unread record of an
// earlier process that had the same pid), then hands the signal back to whatever handled it
// before (normally the default action, which ends the process). The next launch reads the
// records of earlier processes, deletes them and turns each into a diagnostic payload.
//
// Record format, one "key=value" per line after the header line "pdcrash 1":
//   version, signal, code, addr (hex), pid, tid, time_s, time_ns, base (hex), frame (hex,
//   repeated), and "end" once the handler finished. A record cut short (the handler itself
//   died) still counts as a crash; it is read without its missing tail.

#include "platform/metrics/Payloads.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace pd::platform::metrics {

inline constexpr std::size_t kMaxCrashRecordBytes = 64 * 1024;
inline constexpr std::size_t kMaxCrashFrames = 64;

// Creates the folder (0700) and installs the handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL and
// SIGABRT on an alternate signal stack of the calling thread. Throws pd::PosixError when the
// folder cannot be made or is not safe (a link, another user's, writable by others; see
// paths::ensurePrivateDirectory). Installing again only moves the folder.
void installCrashHandler(const std::filesystem::path& directory);
bool isCrashHandlerInstalled() noexcept;

// Parses a record; none when it is not one (wrong header, no signal or time, a value out of
// range, more than kMaxCrashRecordBytes).
std::optional<CrashDiagnostic> parseCrashRecord(std::string_view text);

// Reads, deletes and returns the records that other processes left in the folder. Files
// that are not records are deleted as well once read, so that a damaged record is not read
// at every launch; other entries of the folder are left alone.
std::vector<CrashDiagnostic> collectCrashRecords(const std::filesystem::path& directory);

} // namespace pd::platform::metrics
