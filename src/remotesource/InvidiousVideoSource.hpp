#pragma once

#include "remotesource/InvidiousInstance.hpp"
#include "remotesource/ResolvedStream.hpp"
#include "remotesource/VideoSearchItem.hpp"
#include "runtime/Task.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pd::platform::http {
class Client;
}
namespace pd::platform::json {
class Value;
}

namespace pd::remotesource {

class InvidiousInstanceManager;

// The client of the Invidious API. Every call goes through request(): the current instance
// first, then failover across instances on the errors worth it. Holds no state of its own, so any
// number of calls may run at once; each runs in its caller's task.
class InvidiousVideoSource {
public:
  struct Thumbnail {
    std::string quality;
    std::string url;
  };

  // An element of the search answer. Decoding fails only for a value that is not an object.
  struct SearchItem {
    std::string type = "video";
    std::optional<std::string> title;
    std::optional<std::string> videoId;
    std::optional<std::string> author;
    std::optional<std::int64_t> lengthSeconds;
    std::optional<std::vector<Thumbnail>> videoThumbnails;

    static SearchItem decode(const platform::json::Value& value);
  };

  // An element of "formatStreams" or "adaptiveFormats". Only "url", "type", "qualityLabel" and
  // "resolution" can fail it; the numbers tolerate being written as strings.
  struct StreamFormat {
    std::string url;
    std::optional<std::string> mimeType; // "type"
    std::optional<std::string> qualityLabel;
    std::optional<std::int64_t> bitrate;
    std::optional<std::string> resolution;
    std::optional<std::string> size;
    std::optional<std::int64_t> itag;
    std::optional<std::int64_t> contentLength; // "clen"
    std::optional<std::string> lastModified; // "lmt"

    static StreamFormat decode(const platform::json::Value& value);
  };

  // The answer for one video, strict: any bad value or list element fails it whole.
  struct VideoResponse {
    std::string videoId;
    std::string title;
    std::optional<std::string> author;
    std::optional<std::int64_t> lengthSeconds;
    std::optional<std::vector<Thumbnail>> videoThumbnails;
    std::optional<std::vector<StreamFormat>> formatStreams;
    std::optional<std::vector<StreamFormat>> adaptiveFormats;
    // Only a JSON true sets these; any other value leaves them false and the answer decodes.
    bool liveNow = false;
    bool isUpcoming = false;

    static VideoResponse decode(const platform::json::Value& value);
  };

  struct VideoChoice {
    StreamFormat format;
    bool hasAudio = false;
    std::string kind; // "format_stream", "adaptive_format" or "format_fallback"
  };

  struct ErrorEnvelope {
    std::optional<std::string> error;
    // Raises json::DecodingError when the value is not an object or "error" is neither a string nor null.
    static ErrorEnvelope decode(const platform::json::Value& value);
  };

  struct Timing {
    std::chrono::milliseconds requestTimeout{5000};
    // A bound on a whole answer, beside the time-out between bytes.
    std::chrono::milliseconds requestTotalLimit{60000};
  };
  // Answers are read whole up to this size; a larger one fails its attempt.
  static constexpr std::size_t kMaxBodyBytes = 16 * 1024 * 1024;

  InvidiousVideoSource(std::shared_ptr<InvidiousInstanceManager> instances,
                       std::shared_ptr<platform::http::Client> session);
  InvidiousVideoSource(std::shared_ptr<InvidiousInstanceManager> instances,
                       std::shared_ptr<platform::http::Client> session, Timing timing);

  // What the decode step gets: the body, already parsed as JSON, the serving instance's base
  // address ("https://host") and the request's path.
  struct DecodeInput {
    std::string_view body;
    const platform::json::Value& root;
    std::string_view baseURL;
    std::string_view path;
  };
  template <typename T>
  using Decode = std::function<T(const DecodeInput&)>;
  using PathBuilder = std::function<std::string(ProxyPolicy)>;

  struct RequestOptions {
    std::optional<std::string> path;
    std::string endpoint;
    std::chrono::milliseconds timeout{5000};
    std::optional<std::string> startHost;
    std::string op;
    PathBuilder pathBuilder; // wins over path
    // Instances answer a video they cannot play (private, blocked, restricted) with a 500 whose
    // body is their error object: that answer is the video's, not a failing instance's.
    bool errorObjectIsTheVideosAnswer = false;
  };

  // The decoded value and the host (without scheme) that served it.
  template <typename T>
  runtime::Awaitable<std::pair<T, std::string>> request(RequestOptions options, Decode<T> decode) const {
    std::optional<T> value;
    auto host = co_await requestErased(std::move(options),
                                       [&value, &decode](const DecodeInput& input) { value.emplace(decode(input)); });
    co_return std::pair<T, std::string>(std::move(*value), std::move(host));
  }

  // The longest one call of the three below may take when no start host is given: an attempt on
  // each instance of the effective list as it stands now, each up to its whole-answer bound.
  std::chrono::nanoseconds longestCall() const noexcept;

  runtime::Awaitable<std::vector<VideoSearchItem>> search(std::string query, std::string op) const;

  // Title, author, length and a thumbnail of one video; never asks for proxied addresses.
  runtime::Awaitable<VideoSearchItem> fetchVideoItem(std::string id, std::string op) const;
  // The video's streams, chosen for playback. `escalate` asks instances of policy auto for
  // proxied addresses; `preferredHost` is asked first when given.
  runtime::Awaitable<ResolvedStream> fetchVideoData(std::string id, bool escalate,
                                                    std::optional<std::string> preferredHost, std::string op) const;

  // The id trimmed; VideoSourceError invalidVideoID unless it is non-empty ASCII letters,
  // digits, "-" and "_".
  static std::string validatedVideoID(std::string_view id);
  static std::string videoDataEndpoint(ProxyPolicy policy, bool escalate, std::string_view id);

  // The text of a key as a 64-bit integer: a JSON integer, or a string of an optional sign and
  // ASCII digits read exactly. Anything else, a missing key included, is none.
  static std::optional<std::int64_t> decodeLenientInt64(const platform::json::Value& object, std::string_view key);

  // Stream selection over a decoded answer. The base is "https://" and the serving host.
  static ResolvedStream selectStreams(const VideoResponse& response, std::string_view baseURL, bool keepProxy,
                                      std::string_view op);
  static std::optional<VideoChoice> chooseVideoFormat(const VideoResponse& response, std::string_view baseURL);
  static std::optional<ResolvedTrack> selectAudio(const VideoResponse& response, std::string_view baseURL,
                                                  bool keepProxy, std::string_view op);
  static bool isUsableAudioFormat(const StreamFormat& format, std::string_view baseURL);
  static bool muxedOrder(const StreamFormat& a, const StreamFormat& b);
  static bool adaptiveOrder(const StreamFormat& a, const StreamFormat& b);

  // The text rules the selection rests on; each gives a value or none on any input.
  static std::optional<std::string> validatedStreamURL(std::string_view text, std::string_view baseURL);
  static std::optional<std::string> codecsParameter(std::string_view mimeType);
  static std::int64_t leadingInteger(const std::optional<std::string>& label);
  static std::string defaultVideoCodec(const std::optional<std::string>& mimeType);
  static std::optional<std::string> normalizedResolution(const std::optional<std::string>& text);

  // A sound address proxied through an instance ("/videoplayback?...&host=<cdn server>") as the
  // direct address on that CDN server; anything else comes back unchanged.
  static std::string directURL(std::string_view proxied);

  // The thumbnail of the first preferred quality present, else the first one, resolved against
  // the serving instance's base address. None when there is none or its url is no URL reference.
  static std::optional<std::string> pickThumbnail(const std::optional<std::vector<Thumbnail>>& thumbnails,
                                                  const std::vector<std::string>& preferring, std::string_view base);

  // The search answer's decoding, from a body to the kept items.
  static std::vector<VideoSearchItem> decodeSearch(const platform::json::Value& root, std::string_view base);

  // The query as a query value: unreserved characters and !$'()*,-./:;@_~ kept, the rest as
  // upper-case percent escapes of its UTF-8 bytes. None for invalid UTF-8.
  static std::optional<std::string> percentEncodeQuery(std::string_view query);

private:
  // The bound on one attempt's whole answer, for a request with this time-out between bytes.
  std::chrono::milliseconds attemptLimit(std::chrono::milliseconds timeout) const noexcept;

  using ErasedDecode = std::function<void(const DecodeInput&)>;
  runtime::Awaitable<std::string> requestErased(RequestOptions options, ErasedDecode decode) const;

  std::shared_ptr<InvidiousInstanceManager> instances_;
  std::shared_ptr<platform::http::Client> session_;
  Timing timing_;
};

} // namespace pd::remotesource
