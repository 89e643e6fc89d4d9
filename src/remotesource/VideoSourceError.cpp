#include "remotesource/VideoSourceError.hpp"

#include <array>
#include <string_view>

namespace pd::remotesource {

namespace {

constexpr std::array<std::string_view, 9> kCaseNames = {
    "httpError",        "networkError",  "invalidQuery",       "invalidVideoID",   "invalidResponse",
    "responseMismatch", "decodingError", "allInstancesFailed", "noPlayableStream",
};

std::string describe(VideoSourceError::Case errorCase, int statusCode, const std::string& domain, std::int64_t code,
                     const std::optional<std::string>& message) {
  switch (errorCase) {
  case VideoSourceError::Case::httpError:
    if (message) return "httpError(statusCode: " + std::to_string(statusCode) + ", error: \"" + *message + "\")";
    return "httpError(statusCode: " + std::to_string(statusCode) + ")";
  case VideoSourceError::Case::networkError:
    return "networkError(domain: \"" + domain + "\", code: " + std::to_string(code) + ")";
  default: return std::string(kCaseNames[static_cast<std::size_t>(errorCase)]);
  }
}

} // namespace

VideoSourceError::VideoSourceError(Case errorCase, int statusCode, std::string domain, std::int64_t code,
                                   std::optional<std::string> videoMessage)
    : Error("VideoSourceError", static_cast<std::int64_t>(errorCase),
            describe(errorCase, statusCode, domain, code, videoMessage)),
      case_(errorCase),
      statusCode_(statusCode),
      networkDomain_(std::move(domain)),
      networkCode_(code),
      videoMessage_(std::move(videoMessage)) {}

VideoSourceError::VideoSourceError(Case errorCase) : VideoSourceError(errorCase, 0, {}, 0) {}

VideoSourceError VideoSourceError::httpError(int statusCode) { return {Case::httpError, statusCode, {}, 0}; }

VideoSourceError VideoSourceError::networkError(std::string domain, std::int64_t code) {
  return {Case::networkError, 0, std::move(domain), code};
}

VideoSourceError VideoSourceError::videoRefused(int statusCode, std::string message) {
  return {Case::httpError, statusCode, {}, 0, std::move(message)};
}

VideoSourceError VideoSourceError::videoNotPlayable(std::string reason) {
  return {Case::noPlayableStream, 0, {}, 0, std::move(reason)};
}

bool VideoSourceError::shouldTryNextInstance() const noexcept {
  if (videoMessage_) return false;
  switch (case_) {
  case Case::httpError:
    switch (statusCode_) {
    case 400:
    case 403:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504: return true;
    default: return false;
    }
  case Case::networkError:
  case Case::invalidResponse:
  case Case::responseMismatch:
  case Case::noPlayableStream: return true;
  default: return false;
  }
}

bool operator==(const VideoSourceError& a, const VideoSourceError& b) noexcept {
  if (a.case_ != b.case_) return false;
  if (a.case_ == VideoSourceError::Case::httpError) return a.statusCode_ == b.statusCode_;
  if (a.case_ == VideoSourceError::Case::networkError) {
    return a.networkDomain_ == b.networkDomain_ && a.networkCode_ == b.networkCode_;
  }
  return true;
}

} // namespace pd::remotesource
