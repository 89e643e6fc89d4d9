#pragma once

// File work of the relay's disk cache that must not be fooled by what else lives in the user's
// caches folder: nothing here follows a symbolic link, and a cache file is trusted only as a
// regular file with a single link, so a swapped-in link or hard link can neither redirect a write
// nor leak another file's bytes to the tablet.

#include "runtime/Error.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>

namespace pd::relay::cachefiles {

// Linux has no error number for "not a regular file with one link"; this one lies beyond every
// number the kernel hands out, so it is never mistaken for one of them.
inline constexpr int kEFTYPE = 0x10000;

// "POSIX" with the number and, as detail, the error's symbolic name and text ("ELOOP: ...").
PosixError posixError(int errnum);
// errno when it names an error, else EIO.
int currentErrnoOrEIO() noexcept;

// Owns one descriptor and closes it when released.
class FileDescriptor {
public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Closes now; the errno of a failed close, else 0.
  int close() noexcept;

private:
  int fd_ = -1;
};

// False when the path or one of its ancestors below the root is a symbolic link; a component
// that cannot be examined is passed over.
bool isSafeDirectoryPath(const std::filesystem::path& directory);
// The directory opened from "/" one component at a time, never through a link; an empty
// descriptor with errno set when a step failed.
FileDescriptor openDirectorySecurely(const std::filesystem::path& directory);

struct OpenedFile {
  FileDescriptor file;
  int error = 0; // 0 on success; an errno value or kEFTYPE
};
// Creates the directory and its parents as needed and makes the directory itself 0700 (through
// no link); false with the error otherwise.
bool makePrivateDirectory(const std::filesystem::path& directory, std::error_code& error);
// Opens the file with the flags plus O_NOFOLLOW, O_CLOEXEC and O_NONBLOCK, mode 0600 (a file found
// with wider permissions is narrowed to that); accepts only a regular file with exactly one link.
OpenedFile openFileSecurely(const std::filesystem::path& file, int flags);
// True when nothing is left at the name afterwards. Leaves anything but a link or a regular file
// alone (false). errno tells why on false.
bool removeFileSafely(const std::filesystem::path& file);
bool isSymbolicLink(const std::filesystem::path& path);
// The logical size and the space taken on the volume; 0 when they cannot be read.
std::int64_t fileSize(const std::filesystem::path& path);
std::int64_t allocatedSize(const std::filesystem::path& path);
// Whether a file written past its end in the directory leaves the gap unallocated: learned from a
// nameless file that lives only as long as this call. False where the file system cannot say or
// fills gaps; none when it could not be asked now (no folder, no room, no descriptor).
std::optional<bool> keepsHoles(const std::filesystem::path& directory);

// The path's text as the exit purge records it, so two spellings of one folder compare equal.
std::string directoryKey(const std::filesystem::path& directory);

} // namespace pd::relay::cachefiles
