#pragma once

#include "runtime/Error.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace pd::remotesource {

// The error of every video-source operation. Domain "VideoSourceError", code the case's
// position, detail the case as log lines show it ("httpError(statusCode: 404)").
class VideoSourceError : public Error {
public:
  enum class Case : std::int64_t {
    httpError,
    networkError,
    invalidQuery,
    invalidVideoID,
    invalidResponse,
    responseMismatch,
    decodingError,
    allInstancesFailed,
    noPlayableStream,
  };

  static VideoSourceError httpError(int statusCode);
  static VideoSourceError networkError(std::string domain, std::int64_t code);
  explicit VideoSourceError(Case errorCase); // the cases without payload
  // The video's own answer, the same on every instance, so no other instance is asked: an
  // instance's error text for a video it cannot play (with the status it came with), or why the
  // video has nothing playable yet ("live", "upcoming").
  static VideoSourceError videoRefused(int statusCode, std::string message);
  static VideoSourceError videoNotPlayable(std::string reason);

  Case errorCase() const noexcept { return case_; }
  int statusCode() const noexcept { return statusCode_; }
  const std::string& networkDomain() const noexcept { return networkDomain_; }
  std::int64_t networkCode() const noexcept { return networkCode_; }
  // The instance's text or the reason word of a video's own answer; none for every other error.
  const std::optional<std::string>& videoMessage() const noexcept { return videoMessage_; }

  // Whether the failed attempt is worth repeating on another instance.
  bool shouldTryNextInstance() const noexcept;

  friend bool operator==(const VideoSourceError& a, const VideoSourceError& b) noexcept;

private:
  VideoSourceError(Case errorCase, int statusCode, std::string domain, std::int64_t code,
                   std::optional<std::string> videoMessage = std::nullopt);

  Case case_;
  int statusCode_ = 0;
  std::string networkDomain_;
  std::int64_t networkCode_ = 0;
  std::optional<std::string> videoMessage_;
};

} // namespace pd::remotesource
