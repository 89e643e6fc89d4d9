#pragma once

// The temporary files of sending: the per-drop folders ("PalendrixDrop-" and a UUID) that hold
// copies of dropped files, and the loopback downloads for tempo analysis. They are whole videos,
// so they live under the caches folder rather than on the runtime folder's tmpfs. Every function
// here blocks on the file system: call them off the main thread.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

namespace pd::sender {

inline constexpr std::string_view kDropFolderPrefix = "PalendrixDrop-";
inline constexpr std::string_view kRemoteBPMPrefix = "PalendrixRemoteBPM-";

// The largest video written whole into the temporary folder: a tempo analysis' download, and
// the copy of a dropped video.
inline constexpr std::int64_t kLargestTemporaryVideoBytes = 268'435'456;

// Why a dropped video is not copied: larger than kLargestTemporaryVideoBytes, or than the
// temporary folder has free.
enum class CopyRefusal : std::uint8_t { tooLarge, noSpace };

// <caches>/tmp, made 0700 and verified (the caches folder first); without a caches folder, the
// private temporary folder. Throws pd::PosixError when no safe folder can be had.
std::filesystem::path temporaryFolder(const std::optional<std::filesystem::path>& cachesDirectory);

// What removing a copy removes: its "PalendrixDrop-" folder when that lies directly in the
// temporary folder, else the file alone.
std::filesystem::path removalTarget(const std::filesystem::path& copy, const std::filesystem::path& folder);

// Removes the item (a folder with its contents; a link itself, never what it points to) and logs
// "temp_copy_delete", or "temp_copy_delete_fail" with the error when it could not be removed.
void removeTemporaryItem(const std::filesystem::path& item);

// Removes the copy (see removalTarget, with the temporary folder of cachesDirectory) on the
// background pool: a copy is dropped from the main thread.
void removeTemporaryCopyLater(const std::filesystem::path& copy,
                              const std::optional<std::filesystem::path>& cachesDirectory);

// Owns a temporary copy until it is handed on: dropped while it still owns the copy, on any way
// out of the work that made or sends it, it removes the copy.
class OwnedTemporaryCopy {
public:
  OwnedTemporaryCopy(std::filesystem::path copy, std::optional<std::filesystem::path> cachesDirectory)
      : copy_(std::move(copy)), caches_(std::move(cachesDirectory)) {}
  ~OwnedTemporaryCopy() {
    if (copy_) removeTemporaryCopyLater(*copy_, caches_);
  }
  OwnedTemporaryCopy(OwnedTemporaryCopy&& other) noexcept
      : copy_(std::exchange(other.copy_, std::nullopt)), caches_(std::move(other.caches_)) {}
  OwnedTemporaryCopy& operator=(OwnedTemporaryCopy&&) = delete;
  OwnedTemporaryCopy(const OwnedTemporaryCopy&) = delete;
  OwnedTemporaryCopy& operator=(const OwnedTemporaryCopy&) = delete;

  // Hands the copy on: its new owner removes it.
  std::filesystem::path release() { return *std::exchange(copy_, std::nullopt); }

private:
  std::optional<std::filesystem::path> copy_;
  std::optional<std::filesystem::path> caches_;
};

// Removes every "PalendrixDrop-" and "PalendrixRemoteBPM-" entry of the folder, and the hidden
// partial files of analysis downloads that never completed, except entries changed at or after
// keepSince (a drop or an analysis racing the sweep) and entries gone since the listing. An
// unreadable folder ends it silently.
void sweepLeftovers(const std::filesystem::path& folder, std::chrono::system_clock::time_point keepSince);

// When this process started, from /proc; the current time when that cannot be read.
std::chrono::system_clock::time_point processStartTime();

} // namespace pd::sender
