#include "remotesource/InvidiousVideoSource.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/http/HttpClient.hpp"
#include "platform/json/Document.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/text/Trim.hpp"
#include "remotesource/DecimalText.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <nlohmann/json.hpp>

#include <set>

namespace pd::remotesource {

using diagnostics::Log;
using diagnostics::LogErrorFields;
namespace json = platform::json;
namespace http = platform::http;

namespace {

template <typename T, typename Read>
std::optional<T> tolerant(const json::Value& object, std::string_view key, Read read) {
  try {
    if (auto value = object.optional(key)) return read(*value);
  } catch (const json::DecodingError&) {}
  return std::nullopt;
}

std::optional<std::vector<InvidiousVideoSource::Thumbnail>> decodeThumbnails(const json::Value& list) {
  std::vector<InvidiousVideoSource::Thumbnail> thumbnails;
  for (const auto& element : list.elements()) {
    thumbnails.push_back({element["quality"].asString(), element["url"].asString()});
  }
  return thumbnails;
}

std::string reasonWord(const VideoSourceError& error) {
  switch (error.errorCase()) {
  case VideoSourceError::Case::httpError: return "http_" + std::to_string(error.statusCode());
  case VideoSourceError::Case::networkError: return "network_error";
  case VideoSourceError::Case::invalidResponse: return "invalid_response";
  default: return "client_error";
  }
}

std::string localTag(std::string_view path) {
  if (path.find("local=true") != std::string_view::npos) return " local=true";
  if (path.find("local=false") != std::string_view::npos) return " local=false";
  return {};
}

// The "error" text of a body that is an instance's error object, clipped as log lines clip
// peer text; none for any other body.
std::optional<std::string> errorObjectText(std::string_view body) {
  static constexpr std::size_t kMaxTextBytes = 100;
  try {
    const auto document = json::Document::parse(body, InvidiousVideoSource::kMaxBodyBytes);
    if (document.root().type() != json::Value::Type::object) return std::nullopt;
    auto text = InvidiousVideoSource::ErrorEnvelope::decode(document.root()).error;
    if (!text) return std::nullopt;
    std::string clipped = platform::log::toValidUtf8(*text);
    platform::log::truncateUtf8(clipped, kMaxTextBytes);
    return clipped;
  } catch (const json::DecodingError&) {
    return std::nullopt;
  }
}

} // namespace

InvidiousVideoSource::SearchItem InvidiousVideoSource::SearchItem::decode(const json::Value& value) {
  if (value.type() != json::Value::Type::object) {
    value["type"]; // raises the reader's own typeMismatch with this element's path
  }
  const auto string = [](const json::Value& v) { return v.asString(); };
  SearchItem item;
  if (auto type = tolerant<std::string>(value, "type", string)) item.type = std::move(*type);
  item.title = tolerant<std::string>(value, "title", string);
  item.videoId = tolerant<std::string>(value, "videoId", string);
  item.author = tolerant<std::string>(value, "author", string);
  item.lengthSeconds = tolerant<std::int64_t>(value, "lengthSeconds", [](const json::Value& v) { return v.asInt64(); });
  item.videoThumbnails = tolerant<std::vector<Thumbnail>>(
      value, "videoThumbnails", [](const json::Value& v) { return decodeThumbnails(v).value(); });
  return item;
}

namespace {

std::optional<std::string> optionalString(const json::Value& object, std::string_view key) {
  if (auto value = object.optional(key)) return value->asString();
  return std::nullopt;
}

} // namespace

std::optional<std::int64_t> InvidiousVideoSource::decodeLenientInt64(const json::Value& object, std::string_view key) {
  try {
    const auto value = object.optional(key);
    if (!value) return std::nullopt;
    if (value->type() == json::Value::Type::number) return value->asInt64();
    if (value->type() == json::Value::Type::string) return parseDecimalInt64(value->asString());
  } catch (const json::DecodingError&) {}
  return std::nullopt;
}

InvidiousVideoSource::StreamFormat InvidiousVideoSource::StreamFormat::decode(const json::Value& value) {
  StreamFormat format;
  format.url = value["url"].asString();
  format.mimeType = optionalString(value, "type");
  format.qualityLabel = optionalString(value, "qualityLabel");
  format.resolution = optionalString(value, "resolution");
  format.size = tolerant<std::string>(value, "size", [](const json::Value& v) { return v.asString(); });
  format.bitrate = decodeLenientInt64(value, "bitrate");
  format.itag = decodeLenientInt64(value, "itag");
  format.contentLength = decodeLenientInt64(value, "clen");
  const auto lmt = value.optional("lmt");
  if (lmt && lmt->type() == json::Value::Type::string) {
    format.lastModified = lmt->asString();
  } else if (lmt && lmt->type() == json::Value::Type::number) {
    if (auto stamp = decodeLenientInt64(value, "lmt")) format.lastModified = std::to_string(*stamp);
  }
  return format;
}

InvidiousVideoSource::VideoResponse InvidiousVideoSource::VideoResponse::decode(const json::Value& value) {
  const auto formats = [&value](std::string_view key) -> std::optional<std::vector<StreamFormat>> {
    const auto list = value.optional(key);
    if (!list) return std::nullopt;
    std::vector<StreamFormat> decoded;
    for (const auto& element : list->elements()) decoded.push_back(StreamFormat::decode(element));
    return decoded;
  };
  VideoResponse response;
  response.videoId = value["videoId"].asString();
  response.title = value["title"].asString();
  response.author = optionalString(value, "author");
  if (auto length = value.optional("lengthSeconds")) response.lengthSeconds = length->asInt64();
  if (auto thumbnails = value.optional("videoThumbnails")) response.videoThumbnails = decodeThumbnails(*thumbnails);
  response.formatStreams = formats("formatStreams");
  response.adaptiveFormats = formats("adaptiveFormats");
  const auto flag = [&value](std::string_view key) {
    const auto member = value.optional(key);
    return member && member->type() == json::Value::Type::boolean && member->asBool();
  };
  response.liveNow = flag("liveNow");
  response.isUpcoming = flag("isUpcoming");
  return response;
}

InvidiousVideoSource::ErrorEnvelope InvidiousVideoSource::ErrorEnvelope::decode(const json::Value& value) {
  ErrorEnvelope envelope;
  if (auto error = value.optional("error")) envelope.error = error->asString();
  return envelope;
}

InvidiousVideoSource::InvidiousVideoSource(std::shared_ptr<InvidiousInstanceManager> instances,
                                           std::shared_ptr<http::Client> session)
    : InvidiousVideoSource(std::move(instances), std::move(session), Timing{}) {}

InvidiousVideoSource::InvidiousVideoSource(std::shared_ptr<InvidiousInstanceManager> instances,
                                           std::shared_ptr<http::Client> session, Timing timing)
    : instances_(std::move(instances)), session_(std::move(session)), timing_(timing) {}

std::chrono::milliseconds InvidiousVideoSource::attemptLimit(std::chrono::milliseconds timeout) const noexcept {
  return std::max(timeout, timing_.requestTotalLimit);
}

std::chrono::nanoseconds InvidiousVideoSource::longestCall() const noexcept {
  // Every call site asks with the one time-out of the timing.
  const std::chrono::nanoseconds attempt = attemptLimit(timing_.requestTimeout);
  const auto attempts = instances_->effectiveHostCount();
  if (attempt <= std::chrono::nanoseconds::zero()) return std::chrono::nanoseconds::zero();
  // Past the largest duration the bound is the largest one.
  if (attempts > static_cast<std::size_t>(std::chrono::nanoseconds::max() / attempt)) {
    return std::chrono::nanoseconds::max();
  }
  return attempt * static_cast<std::chrono::nanoseconds::rep>(attempts);
}

runtime::Awaitable<std::string> InvidiousVideoSource::requestErased(RequestOptions o, ErasedDecode decode) const {
  const auto& log = Log::source();
  std::string base;
  if (o.startHost) {
    base = "https://" + InvidiousInstanceManager::normalizeHost(*o.startHost);
  } else {
    base = "https://" + (co_await instances_->currentInstance()).host;
  }
  runtime::checkCancellation();

  std::int64_t attempt = 0;
  std::set<std::string> tried;
  std::optional<VideoSourceError> lastError;
  for (;;) {
    const auto hosts = co_await instances_->effectiveHosts();
    const std::set<std::string> known(hosts.begin(), hosts.end());
    const std::string attemptHost = InvidiousInstanceManager::normalizeHost(base);
    tried.insert(attemptHost);
    ++attempt;
    std::size_t total = known.size();
    for (const auto& host : tried) total += known.contains(host) ? 0 : 1;
    if (static_cast<std::int64_t>(total) < attempt) {
      log.error("all_instances_fail total=%ld tried=%ld reason=attempt_cap endpoint=%{public}s op=%{public}s",
                known.size(), tried.size(), o.endpoint, o.op);
      throw VideoSourceError(VideoSourceError::Case::allInstancesFailed);
    }
    const ProxyPolicy policy = co_await instances_->policy(attemptHost);
    const std::string path = o.pathBuilder ? o.pathBuilder(policy) : o.path.value_or("");
    const std::string tag = localTag(path);
    const std::string_view policyText = rawValue(policy);
    const std::size_t triedCount = tried.size();
    const std::size_t knownCount = known.size();

    std::optional<VideoSourceError> failure;
    try {
      if (!boost::urls::parse_uri(base) || !boost::urls::parse_uri(base + path)) {
        log.error("api_fail host=%{public}s endpoint=%{public}s status=0 attempt=%ld/%ld policy=%{public}s%{public}s "
                  "reason=invalid_host op=%{public}s",
                  attemptHost, o.endpoint, triedCount, knownCount, policyText, tag, o.op);
        throw VideoSourceError(VideoSourceError::Case::invalidResponse);
      }
      http::Request request;
      request.url = base + path;
      request.idleTimeout = o.timeout;
      request.totalTimeout = attemptLimit(o.timeout);
      log.debug("api_request host=%{public}s endpoint=%{public}s", attemptHost, o.endpoint);
      const auto started = runtime::Clock::current().monotonic();
      http::Response response;
      try {
        response = co_await session_->fetch(std::move(request), kMaxBodyBytes);
      } catch (const http::BodyTooLargeError&) {
        // An answer past the cap is no answer we can use: another instance may do better.
        failure = VideoSourceError(VideoSourceError::Case::invalidResponse);
      }
      if (failure) {
        log.error("api_fail host=%{public}s endpoint=%{public}s status=0 attempt=%ld/%ld policy=%{public}s%{public}s "
                  "reason=invalid_response op=%{public}s",
                  attemptHost, o.endpoint, triedCount, knownCount, policyText, tag, o.op);
        throw *failure;
      }
      const auto& body = response.body;
      if (log.isEnabled(platform::log::Level::debug)) {
        const auto elapsed = std::chrono::duration<double>(runtime::Clock::current().monotonic() - started).count();
        log.debug("api_response host=%{public}s endpoint=%{public}s dur_ms=%ld size_b=%ld", attemptHost, o.endpoint,
                  static_cast<std::int64_t>(elapsed * 1000.0), body.size());
      }
      if (response.status < 200 || response.status > 299) {
        const std::string excerpt = platform::log::toValidUtf8(std::string_view(body).substr(0, 100));
        log.error("api_fail host=%{public}s endpoint=%{public}s status=%ld attempt=%ld/%ld policy=%{public}s%{public}s "
                  "body_len=%ld body=%s op=%{public}s",
                  attemptHost, o.endpoint, response.status, triedCount, knownCount, policyText, tag, body.size(),
                  excerpt, o.op);
        if (o.errorObjectIsTheVideosAnswer && response.status == 500) {
          if (auto message = errorObjectText(body)) throw VideoSourceError::videoRefused(500, std::move(*message));
        }
        throw VideoSourceError::httpError(static_cast<int>(response.status));
      }
      if (body.empty()) {
        log.error("api_fail host=%{public}s endpoint=%{public}s status=%ld attempt=%ld/%ld policy=%{public}s%{public}s "
                  "reason=empty_body op=%{public}s",
                  attemptHost, o.endpoint, response.status, triedCount, knownCount, policyText, tag, o.op);
        throw VideoSourceError(VideoSourceError::Case::invalidResponse);
      }
      std::optional<json::Document> document;
      try {
        document.emplace(json::Document::parse(body, kMaxBodyBytes));
      } catch (const json::DecodingError&) {}
      if (!document) {
        log.error("api_fail host=%{public}s endpoint=%{public}s status=%ld attempt=%ld/%ld policy=%{public}s%{public}s "
                  "reason=non_json body_len=%ld op=%{public}s",
                  attemptHost, o.endpoint, response.status, triedCount, knownCount, policyText, tag, body.size(), o.op);
        throw VideoSourceError(VideoSourceError::Case::invalidResponse);
      }
      const auto root = document->root();
      std::optional<std::string> envelopeMessage;
      try {
        envelopeMessage = ErrorEnvelope::decode(root).error;
      } catch (const json::DecodingError&) {}
      if (envelopeMessage) {
        log.error("api_fail host=%{public}s endpoint=%{public}s status=500 attempt=%ld/%ld policy=%{public}s%{public}s "
                  "reason=invidious_error err_domain=%{public}s err_code=0 error=%s op=%{public}s",
                  attemptHost, o.endpoint, triedCount, knownCount, policyText, tag, "invidious_api", *envelopeMessage,
                  o.op);
        throw VideoSourceError::httpError(500);
      }
      decode(DecodeInput{body, root, base, path});
      co_return attemptHost;
    } catch (const VideoSourceError& error) {
      if (error.errorCase() == VideoSourceError::Case::responseMismatch) {
        log.error("api_fail host=%{public}s endpoint=%{public}s status=200 attempt=%ld/%ld policy=%{public}s%{public}s "
                  "reason=id_mismatch op=%{public}s",
                  attemptHost, o.endpoint, triedCount, knownCount, policyText, tag, o.op);
      }
      lastError = error;
    } catch (const json::DecodingError& error) {
      const auto fields = LogErrorFields::fields(error, true);
      log.error("api_decode_fail host=%{public}s endpoint=%{public}s err_domain=%{public}s err_path=%{public}s "
                "err_code=%ld error=%s op=%{public}s",
                attemptHost, o.endpoint, fields.domain, fields.path, fields.code, fields.detail, o.op);
      throw VideoSourceError(VideoSourceError::Case::decodingError);
    } catch (const runtime::CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      if (runtime::isCancelled()) throw runtime::CancellationError();
      const auto fields = LogErrorFields::fields(error, true);
      log.error("api_fail host=%{public}s endpoint=%{public}s status=0 attempt=%ld/%ld policy=%{public}s%{public}s "
                "reason=network_error err_domain=%{public}s err_code=%ld error=%s op=%{public}s",
                attemptHost, o.endpoint, triedCount, knownCount, policyText, tag, fields.domain, fields.code,
                fields.detail, o.op);
      lastError = VideoSourceError::networkError(fields.domain, fields.code);
    }

    if (runtime::isCancelled()) throw runtime::CancellationError();
    if (!lastError->shouldTryNextInstance()) throw *lastError;
    const auto next = co_await instances_->failover(tried);
    if (!next) {
      if (lastError->errorCase() == VideoSourceError::Case::noPlayableStream) throw *lastError;
      throw VideoSourceError(VideoSourceError::Case::allInstancesFailed);
    }
    const std::string newHost = InvidiousInstanceManager::normalizeHost(*next);
    const ProxyPolicy newPolicy = co_await instances_->policy(newHost);
    log.notice("instance_switch from=%{public}s to=%{public}s policy=%{public}s reason=%{public}s op=%{public}s",
               attemptHost, newHost, rawValue(newPolicy), reasonWord(*lastError), o.op);
    runtime::checkCancellation();
    base = *next;
  }
}

std::optional<std::string> InvidiousVideoSource::percentEncodeQuery(std::string_view query) {
  if (!platform::log::isValidUtf8(query)) return std::nullopt;
  static constexpr std::string_view kKept = "!$'()*,-./:;@_~";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(query.size() * 3);
  for (const char c : query) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alphanumeric = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alphanumeric || kKept.find(c) != std::string_view::npos) {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}

std::optional<std::string> InvidiousVideoSource::pickThumbnail(const std::optional<std::vector<Thumbnail>>& thumbnails,
                                                               const std::vector<std::string>& preferring,
                                                               std::string_view base) {
  if (!thumbnails || thumbnails->empty()) return std::nullopt;
  const Thumbnail* chosen = nullptr;
  for (const auto& quality : preferring) {
    for (const auto& thumbnail : *thumbnails) {
      if (thumbnail.quality == quality) {
        chosen = &thumbnail;
        break;
      }
    }
    if (chosen != nullptr) break;
  }
  if (chosen == nullptr) chosen = &thumbnails->front();
  // An empty text is a valid reference to the base itself, but no URL of an image.
  if (chosen->url.empty()) return std::nullopt;
  const auto reference = boost::urls::parse_uri_reference(chosen->url);
  const auto baseURL = boost::urls::parse_uri(base);
  if (!reference || !baseURL) return std::nullopt;
  boost::urls::url resolved;
  if (!boost::urls::resolve(*baseURL, *reference, resolved)) return std::nullopt;
  return std::string(resolved.buffer());
}

std::vector<VideoSearchItem> InvidiousVideoSource::decodeSearch(const json::Value& root, std::string_view base) {
  std::vector<VideoSearchItem> items;
  for (const auto& element : root.elements()) {
    auto decoded = SearchItem::decode(element);
    if (decoded.type != "video" || !decoded.videoId || !decoded.title) continue;
    items.push_back({std::move(*decoded.videoId), std::move(*decoded.title), std::move(decoded.author),
                     decoded.lengthSeconds, pickThumbnail(decoded.videoThumbnails, {"medium"}, base)});
  }
  return items;
}

runtime::Awaitable<std::vector<VideoSearchItem>> InvidiousVideoSource::search(std::string query, std::string op) const {
  const std::string trimmed = platform::text::trimmingWhitespaceAndNewlines(query);
  if (trimmed.empty()) co_return std::vector<VideoSearchItem>{};
  const auto encoded = percentEncodeQuery(trimmed);
  if (!encoded) throw VideoSourceError(VideoSourceError::Case::invalidQuery);
  RequestOptions options;
  options.path = "/api/v1/search?q=" + *encoded + "&type=video";
  options.endpoint = "search";
  options.timeout = timing_.requestTimeout;
  options.op = op;
  Decode<std::vector<VideoSearchItem>> decode = [](const DecodeInput& input) {
    return decodeSearch(input.root, input.baseURL);
  };
  auto [items, host] = co_await request<std::vector<VideoSearchItem>>(std::move(options), std::move(decode));
  Log::source().notice("search_complete count=%ld host=%{public}s op=%{public}s", items.size(), host, op);
  co_return std::move(items);
}

} // namespace pd::remotesource
