#pragma once

// A regular file held open for FFmpeg to read. A name found by a folder scan can be swapped for a
// FIFO, whose open in FFmpeg would block its thread for good, or for a link, before a job reads it:
// the file is opened here without blocking or following a link, checked, and FFmpeg is handed a
// name that reopens that very file.

#include <filesystem>
#include <string>

namespace pd::platform::media {

class HeldRegularFile {
public:
  explicit HeldRegularFile(const std::filesystem::path& file);
  ~HeldRegularFile();
  HeldRegularFile(const HeldRegularFile&) = delete;
  HeldRegularFile& operator=(const HeldRegularFile&) = delete;

  // Whether the name was a regular file, not a link, when opened.
  bool held() const noexcept { return fd_ >= 0; }
  // The held file's name under /proc/self/fd; empty when none is held.
  const std::string& name() const noexcept { return name_; }

private:
  int fd_ = -1;
  std::string name_;
};

} // namespace pd::platform::media
