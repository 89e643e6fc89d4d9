#pragma once

// A still of a video for a list: the frame at a time (the last one of a shorter clip), turned as
// the stream's display matrix says, at display aspect, fitted into a box and encoded as JPEG.

#include <filesystem>
#include <optional>
#include <string>

namespace pd::platform::media {

struct ThumbnailOptions {
  double atSeconds = 1.0;
  int maxWidth = 320;
  int maxHeight = 180;
  int quality = 80;
};

// The JPEG bytes, or none when the file has no decodable picture.
std::optional<std::string> makeJPEGThumbnail(const std::filesystem::path& video, const ThumbnailOptions& options = {});

} // namespace pd::platform::media
