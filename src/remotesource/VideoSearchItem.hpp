#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pd::platform::json {
class Value;
}

namespace pd::remotesource {

// One video as a search result or a single-video lookup. Its JSON form carries the keys
// "videoID", "title", "author", "lengthSeconds", "thumbnailURL", absent fields left out.
struct VideoSearchItem {
  std::string videoID;
  std::string title;
  std::optional<std::string> author;
  std::optional<std::int64_t> lengthSeconds;
  std::optional<std::string> thumbnailURL; // absolute

  const std::string& id() const noexcept { return videoID; }
  friend bool operator==(const VideoSearchItem&, const VideoSearchItem&) = default;

  std::string toJSON() const;
  // Raises json::DecodingError when "videoID" or "title" is missing or not a string.
  static VideoSearchItem fromJSON(const platform::json::Value& value);
};

} // namespace pd::remotesource
