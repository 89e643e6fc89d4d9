#pragma once

// Where the application keeps its files, after the XDG base-directory conventions.
//
// The "user" folders are the un-suffixed bases ($XDG_DATA_HOME or ~/.local/share and so on),
// for code that appends the application id itself; the others already end in the
// application id. None of these functions creates a folder except the runtime and the
// private temporary folders, which must exist with the right owner and mode to be safe.
// Environment values that are empty or not absolute are ignored, as the XDG rules say.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>

namespace pd::platform::paths {

// The application id, "tech.quelbo.PalendrixDisplay" (the PD_APP_ID build constant).
std::string_view applicationID() noexcept;

// $HOME when it is an absolute path; none otherwise.
std::optional<std::filesystem::path> homeDirectory();

// $XDG_DATA_HOME, else ~/.local/share. None when neither can be found.
std::optional<std::filesystem::path> userApplicationSupportDirectory();
// $XDG_CACHE_HOME, else ~/.cache.
std::optional<std::filesystem::path> userCachesDirectory();
// $XDG_CONFIG_HOME, else ~/.config.
std::optional<std::filesystem::path> userConfigDirectory();
// $XDG_RUNTIME_DIR; none when unset (there is no default for it).
std::optional<std::filesystem::path> userRuntimeDirectory();

// The same folders with the application id appended.
std::optional<std::filesystem::path> applicationSupportDirectory();
std::optional<std::filesystem::path> cachesDirectory();
std::optional<std::filesystem::path> configDirectory();

// $XDG_RUNTIME_DIR/<app id>, created 0700 and verified (see ensurePrivateDirectory). Where
// $XDG_RUNTIME_DIR is unset, missing, owned by another user or writable by others, the private
// temporary folder below stands in. Throws pd::PosixError when no safe folder can be had.
std::filesystem::path runtimeDirectory();

// A per-user folder for temporary files, never a bare shared /tmp:
// $XDG_RUNTIME_DIR/<app id>/tmp when the runtime folder exists, else
// ${TMPDIR:-/tmp}/<app id>-<uid>. Created 0700 and verified on every call, so a folder that
// was removed meanwhile comes back. Throws pd::PosixError when the folder is unsafe.
std::filesystem::path privateTemporaryDirectory();

// Makes `dir` and every missing folder above it with mode 0700, as the XDG rules ask, so that
// an open umask cannot leave a folder of ours for other users to plant or swap files in. Links
// on the way are followed, as std::filesystem::create_directories does. A folder that exists is
// left as it is, except `dir` itself when it is the user's (not through a link), not sticky, and
// group or others may write to it, as an open umask left it before: that is tightened to 0700,
// where the file system lets us. Sets `ec` when a folder cannot be made or something else is in the way.
void createPrivateDirectories(const std::filesystem::path& dir, std::error_code& ec);

// Makes `dir` (one level: its parent must exist) with mode 0700, or verifies an existing one:
// a real directory (not a symbolic link), owned by the effective user, not writable by group
// or others. An existing folder of ours that is merely readable by others is tightened to
// 0700. Throws pd::PosixError (ELOOP for a link, ENOTDIR, EPERM for a foreign owner or a
// group/world-writable folder, or the failing call's errno).
void ensurePrivateDirectory(const std::filesystem::path& dir);

// Replaces `file` whole: the bytes go to a temporary file in the same folder, which is
// forced to stable storage and renamed over `file`; the folder is then synced so the rename
// survives a crash. Readers see the old or the new contents, never a mix. The new file gets
// `mode` (subject to nothing: it is set explicitly). Throws pd::PosixError; no temporary
// file is left behind on failure.
void writeFileAtomically(const std::filesystem::path& file, std::string_view contents, unsigned mode = 0600);
// The same with the contents written by `write` into the temporary file's descriptor; what it
// throws is passed on after the temporary file is removed.
void replaceFileAtomically(const std::filesystem::path& file, unsigned mode, const std::function<void(int fd)>& write);

// Removes the temporary files that replacements of `file` left behind when they were cut short
// (the process died between making one and renaming it): regular files in `file`'s folder,
// named as those temporary files are, last changed more than `age` ago. A younger one may be a
// write in progress; links and anything else at such a name are left alone. Errors are ignored.
void removeStaleTemporaryFiles(const std::filesystem::path& file, std::chrono::nanoseconds age);

} // namespace pd::platform::paths
