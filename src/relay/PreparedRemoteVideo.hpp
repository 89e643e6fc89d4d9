#pragma once

// What the broadcaster sends the tablet for a remote video, which tokens it releases later and
// which stream it fetches for tempo analysis. Whoever holds it owns the tokens it names.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::relay {

struct PreparedRemoteVideo {
  enum class Kind { hls, muxed, videoOnly };

  // The words of log lines and of the broadcaster's messages.
  static constexpr std::string_view rawValue(Kind kind) noexcept { return kRawValues[static_cast<std::size_t>(kind)]; }
  static constexpr std::optional<Kind> kindFromRaw(std::string_view raw) noexcept {
    for (std::size_t i = 0; i < kRawValues.size(); ++i) {
      if (kRawValues[i] == raw) return static_cast<Kind>(i);
    }
    return std::nullopt;
  }

  Kind kind = Kind::videoOnly;
  // A path on the own HTTP server without the leading "/": the video token, or for hls the
  // master playlist's token and ".m3u8".
  std::string entryPath;
  std::vector<std::string> tokens; // in registration order
  std::optional<std::string> analysisToken;
  bool analysisIsAudioOnly = false;
  std::optional<std::int64_t> analysisLength;
  std::string title;

private:
  static constexpr std::array<std::string_view, 3> kRawValues = {"hls", "muxed", "video_only"};
};

} // namespace pd::relay
