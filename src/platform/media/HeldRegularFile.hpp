#pragma once

// A regular file held open for FFmpeg to read. A name found by a folder scan can be swapped for a
// FIFO, whose open in FFmpeg would block its thread for good, or for a link, before a job reads it:
// the file is opened here without blocking and checked, and FFmpeg is handed a name that reopens
// that very file.

#include <cerrno>
#include <filesystem>
#include <string>

namespace pd::platform::media {

class HeldRegularFile {
public:
  // A scanned name is refused when it is a link; a file a person chose may well be one.
  enum class Links { refused, followed };

  // The errno error() gives for a name that is not a regular file: a FIFO or a device stays what it
  // is, so trying again would not help.
  static constexpr int kNotRegular = EINVAL;

  explicit HeldRegularFile(const std::filesystem::path& file, Links links = Links::refused);
  ~HeldRegularFile();
  HeldRegularFile(const HeldRegularFile&) = delete;
  HeldRegularFile& operator=(const HeldRegularFile&) = delete;

  // Whether the name was a regular file (not a link, where links are refused) when opened.
  bool held() const noexcept { return fd_ >= 0; }
  // Why none is held: the errno of opening the name, or kNotRegular. 0 when held.
  int error() const noexcept { return error_; }
  // The held file's name under /proc/self/fd; empty when none is held.
  const std::string& name() const noexcept { return name_; }

private:
  int fd_ = -1;
  int error_ = 0;
  std::string name_;
};

} // namespace pd::platform::media
