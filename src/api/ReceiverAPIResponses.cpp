// The answers and checks every route builds on.

#include "api/ReceiverAPIService.hpp"

#include "diagnostics/Log.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/json/JsonWriter.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/text/PercentEncoding.hpp"
#include "platform/text/Trim.hpp"
#include "remotesource/VideoID.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>

namespace pd::api {

using remotesource::VideoSourceError;

ReceiverAPIResponse ReceiverAPIService::jsonResponse(std::int64_t status, const nlohmann::json& body) {
  std::string text;
  try {
    text = platform::json::write(body, {.sortedKeys = true, .escapeSlashes = true});
  } catch (const std::exception& error) {
    // An empty object under the intended status would report a failure as success.
    diagnostics::Log::source().error("receiver_api_encode_fail status=%ld error=%{public}s", status, error.what());
    return {500, {'{', '}'}};
  }
  return {status, std::vector<std::uint8_t>(text.begin(), text.end())};
}

ReceiverAPIResponse ReceiverAPIService::errorResponse(std::int64_t status, std::string_view code,
                                                      std::optional<std::string_view> detail) {
  nlohmann::json body = {{"error", code}};
  if (detail) {
    body["detail"] = *detail;
  }
  return jsonResponse(status, body);
}

ReceiverAPIResponse ReceiverAPIService::errorResponse(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const VideoSourceError& sourceError) {
    using Case = VideoSourceError::Case;
    switch (sourceError.errorCase()) {
    case Case::httpError:
      return jsonResponse(502, {{"error", "upstream_http"}, {"upstreamStatus", sourceError.statusCode()}});
    case Case::networkError:
      return jsonResponse(
          502,
          {{"error", "network_error"}, {"domain", sourceError.networkDomain()}, {"code", sourceError.networkCode()}});
    case Case::invalidQuery: return errorResponse(400, "bad_request", "q");
    case Case::invalidVideoID: return errorResponse(400, "invalid_video_id");
    case Case::invalidResponse: return errorResponse(502, "invalid_response");
    case Case::responseMismatch: return errorResponse(502, "response_mismatch");
    case Case::decodingError: return errorResponse(502, "decoding_error");
    case Case::allInstancesFailed: return errorResponse(502, "all_instances_failed");
    case Case::noPlayableStream: return errorResponse(502, "no_playable_stream");
    }
    return errorResponse(502, "network_error");
  } catch (...) {
    return errorResponse(502, "network_error");
  }
}

bool ReceiverAPIService::constantTimeEquals(std::optional<std::string_view> presented,
                                            std::string_view current) noexcept {
  if (!presented || presented->size() != current.size()) {
    return false;
  }
  // Every byte pair is looked at, so the time never tells where the first difference lies.
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < current.size(); ++i) {
    difference = static_cast<std::uint8_t>(
        difference | (static_cast<std::uint8_t>((*presented)[i]) ^ static_cast<std::uint8_t>(current[i])));
  }
  return difference == 0;
}

bool ReceiverAPIService::isValidVideoID(std::string_view id) { return remotesource::isValidVideoID(id); }

std::string ReceiverAPIService::makeOperationID() { return platform::crypto::makeHexToken32().substr(0, 8); }

std::string ReceiverAPIService::imageContentType(std::string_view url) {
  // The path: after the authority, before any query or fragment.
  std::string_view path = url;
  if (const auto scheme = path.find("://"); scheme != std::string_view::npos) {
    path.remove_prefix(scheme + 3);
    const auto slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  }
  path = path.substr(0, path.find_first_of("?#"));
  // The extension is that of the name the escapes stand for: "a%2Epng" names "a.png". A path
  // that does not decode to UTF-8 is judged as written.
  const auto decoded = platform::text::percentDecoded(path);
  if (decoded && platform::log::isValidUtf8(*decoded)) {
    path = *decoded;
  }
  while (!path.empty() && path.back() == '/') {
    path.remove_suffix(1);
  }
  const auto name = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
    return "image/jpeg";
  }
  const auto extension = platform::text::lowercased(name.substr(dot + 1));
  if (extension == "webp") {
    return "image/webp";
  }
  if (extension == "png") {
    return "image/png";
  }
  return "image/jpeg";
}

std::string ReceiverAPIService::title(const std::string& fileName) {
  return std::filesystem::path(fileName).stem().string();
}

} // namespace pd::api
