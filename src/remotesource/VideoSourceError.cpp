#include "remotesource/VideoSourceError.hpp"

#include <array>
#include <string_view>

namespace pd::remotesource {

namespace {

constexpr std::array<std::string_view, 9> kCaseNames = {
    "httpError",        "networkError",  "invalidQuery",       "invalidVideoID",   "invalidResponse",
    "responseMismatch", "decodingError", "allInstancesFailed", "noPlayableStream",
};

std::string describe(VideoSourceError::Case errorCase, int statusCode, const std::string& domain, std::int64_t code) {
  switch (errorCase) {
  case VideoSourceError::Case::httpError: return "httpError(statusCode: " + std::to_string(statusCode) + ")";
  case VideoSourceError::Case::networkError:
    return "networkError(domain: \"" + domain + "\", code: " + std::to_string(code) + ")";
  default: return std::string(kCaseNames[static_cast<std::size_t>(errorCase)]);
  }
}

} // namespace

VideoSourceError::VideoSourceError(Case errorCase, int statusCode, std::string domain, std::int64_t code)
    : Error("VideoSourceError", static_cast<std::int64_t>(errorCase), describe(errorCase, statusCode, domain, code)),
      case_(errorCase),
      statusCode_(statusCode),
      networkDomain_(std::move(domain)),
      networkCode_(code) {}

VideoSourceError::VideoSourceError(Case errorCase) : VideoSourceError(errorCase, 0, {}, 0) {}

VideoSourceError VideoSourceError::httpError(int statusCode) { return {Case::httpError, statusCode, {}, 0}; }

VideoSourceError VideoSourceError::networkError(std::string domain, std::int64_t code) {
  return {Case::networkError, 0, std::move(domain), code};
}

bool VideoSourceError::shouldTryNextInstance() const noexcept {
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
