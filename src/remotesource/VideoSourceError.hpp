#pragma once

#include "runtime/Error.hpp"

#include <cstdint>
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

  Case errorCase() const noexcept { return case_; }
  int statusCode() const noexcept { return statusCode_; }
  const std::string& networkDomain() const noexcept { return networkDomain_; }
  std::int64_t networkCode() const noexcept { return networkCode_; }

  // Whether the failed attempt is worth repeating on another instance.
  bool shouldTryNextInstance() const noexcept;

  friend bool operator==(const VideoSourceError& a, const VideoSourceError& b) noexcept;

private:
  VideoSourceError(Case errorCase, int statusCode, std::string domain, std::int64_t code);

  Case case_;
  int statusCode_ = 0;
  std::string networkDomain_;
  std::int64_t networkCode_ = 0;
};

} // namespace pd::remotesource
