#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoSourceError.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/text/Trim.hpp"
#include "runtime/Clock.hpp"

#include <algorithm>
#include <exception>

namespace pd::remotesource {

using diagnostics::Log;
using diagnostics::LogErrorFields;

namespace {

InvidiousVideoSource::VideoResponse decodeMatching(const InvidiousVideoSource::DecodeInput& input,
                                                   const std::string& videoID) {
  auto response = InvidiousVideoSource::VideoResponse::decode(input.root);
  if (response.videoId != videoID) throw VideoSourceError(VideoSourceError::Case::responseMismatch);
  return response;
}

} // namespace

std::string InvidiousVideoSource::validatedVideoID(std::string_view id) {
  std::string trimmed = platform::text::trimmingWhitespaceAndNewlines(id);
  // Bytes of non-ASCII scalars are all above 0x7F, so a byte test rejects every one of them.
  const bool valid = !trimmed.empty() && std::ranges::all_of(trimmed, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
  if (!valid) throw VideoSourceError(VideoSourceError::Case::invalidVideoID);
  return trimmed;
}

std::string InvidiousVideoSource::videoDataEndpoint(ProxyPolicy policy, bool escalate, std::string_view id) {
  const bool local = policy == ProxyPolicy::proxyOnly || (policy == ProxyPolicy::automatic && escalate);
  return "/api/v1/videos/" + std::string(id) + (local ? "?local=true" : "?local=false");
}

runtime::Awaitable<VideoSearchItem> InvidiousVideoSource::fetchVideoItem(std::string id, std::string op) const {
  const std::string videoID = validatedVideoID(id);
  RequestOptions options;
  options.path = "/api/v1/videos/" + videoID + "?local=false";
  options.endpoint = "videos";
  options.timeout = timing_.requestTimeout;
  options.op = op;
  options.errorObjectIsTheVideosAnswer = true;
  Decode<VideoSearchItem> decode = [videoID](const DecodeInput& input) {
    auto response = decodeMatching(input, videoID);
    auto thumbnail = pickThumbnail(response.videoThumbnails, {"medium"}, input.baseURL);
    return VideoSearchItem{std::move(response.videoId), std::move(response.title), std::move(response.author),
                           response.lengthSeconds, std::move(thumbnail)};
  };
  auto [item, host] = co_await request<VideoSearchItem>(std::move(options), std::move(decode));
  Log::source().notice("video_item_fetch video=%{public}s host=%{public}s op=%{public}s", item.videoID, host, op);
  co_return std::move(item);
}

runtime::Awaitable<ResolvedStream> InvidiousVideoSource::fetchVideoData(std::string id, bool escalate,
                                                                        std::optional<std::string> preferredHost,
                                                                        std::string op) const {
  const std::string videoID = validatedVideoID(id);
  const auto started = runtime::Clock::current().monotonic();
  RequestOptions options;
  options.endpoint = "videos";
  options.timeout = timing_.requestTimeout;
  options.startHost = std::move(preferredHost);
  options.op = op;
  options.errorObjectIsTheVideosAnswer = true;
  options.pathBuilder = [videoID, escalate](ProxyPolicy policy) {
    return videoDataEndpoint(policy, escalate, videoID);
  };
  Decode<ResolvedStream> decode = [videoID, op](const DecodeInput& input) {
    const auto response = decodeMatching(input, videoID);
    const bool keepProxy = input.path.ends_with("local=true");
    return selectStreams(response, input.baseURL, keepProxy, op);
  };

  std::optional<std::pair<ResolvedStream, std::string>> answer;
  try {
    answer.emplace(co_await request<ResolvedStream>(std::move(options), std::move(decode)));
  } catch (...) {
    const auto fields = LogErrorFields::fields(std::current_exception(), true);
    Log::source().error("video_data_fetch_fail video=%{public}s mode=%{public}s err_domain=%{public}s err_code=%ld "
                        "error=%s op=%{public}s",
                        videoID, escalate ? "escalate_auto" : "policy", fields.domain, fields.code, fields.detail, op);
    throw;
  }
  auto& [stream, host] = *answer;
  const ProxyPolicy policy = co_await instances_->policy(host);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(runtime::Clock::current().monotonic() - started);
  Log::source().notice("video_data_fetch_complete video=%{public}s has_audio=%{bool}d vcodec=%{public}s "
                       "res=%{public}s meta_ms=0 dur_ms=%ld host=%{public}s policy=%{public}s local=%{bool}d "
                       "op=%{public}s",
                       videoID, stream.videoHasAudio || stream.audio.has_value(), stream.video.codec.value_or("nil"),
                       stream.resolution.value_or("nil"), static_cast<std::int64_t>(elapsed.count()), host,
                       rawValue(policy), stream.usedProxy, op);
  co_return std::move(stream);
}

} // namespace pd::remotesource
