// The search and resolve routes: their checks, the switch to the local folder, and the YouTube
// side through the Invidious client, the preparer and relayed thumbnails.

#include "api/ReceiverAPIService.hpp"
#include "api/ReceiverAPIServiceParts.hpp"
#include "api/Retention.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/text/Text.hpp"
#include "platform/text/Trim.hpp"
#include "relay/DestinationRules.hpp"
#include "relay/RemoteMedia.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoID.hpp"
#include "remotesource/VideoServiceHosts.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace pd::api {

namespace {

using mediaserver::MacLocalVideoLibrary;

std::string slashed(const std::string& token) { return "/" + token; }

std::shared_ptr<const relay::RemoteMedia> thumbnailMedia(const std::string& url,
                                                         const std::vector<std::string>& rules) {
  auto media = std::make_shared<relay::RemoteMedia>();
  media->url = url;
  media->contentType = ReceiverAPIService::imageContentType(url);
  media->allowedHosts = rules;
  return media;
}

void describeTrack(nlohmann::json& body, const char* prefix, const remotesource::ResolvedTrack& track) {
  const std::string name(prefix);
  if (track.codec) {
    body[name + "Codec"] = *track.codec;
  }
  if (track.bitrate) {
    body[name + "Bitrate"] = *track.bitrate;
  }
  if (track.mimeType) {
    body[name + "MimeType"] = *track.mimeType;
  }
}

} // namespace

runtime::Awaitable<std::vector<std::string>> ReceiverAPIService::thumbnailHostRules() const {
  std::vector<std::string> rules;
  for (const auto& domain : remotesource::videoServiceHosts().imageDomains) {
    rules.push_back("." + domain);
  }
  const auto hosts = co_await parts_->deps.instances->effectiveHosts();
  for (const auto& host : hosts) {
    std::string_view text = host;
    std::string_view part = text;
    // The first non-empty piece between "/"s, the whole text when there is none.
    std::size_t start = 0;
    while (start <= text.size()) {
      const auto end = std::min(text.find('/', start), text.size());
      if (end > start) {
        part = text.substr(start, end - start);
        break;
      }
      start = end + 1;
    }
    rules.push_back(platform::text::lowercased(part));
  }
  co_return rules;
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::search(std::optional<std::string> query,
                                                                   RequestContext context) {
  auto trimmed = platform::text::trimmingWhitespaceAndNewlines(query.value_or(""));
  if (trimmed.empty() || platform::text::graphemeCount(trimmed) > kMaxQueryCharacters) {
    co_return errorResponse(400, "bad_request", "q");
  }
  const auto ticket = co_await nextTicket();
  if (parts_->deps.localLibrary->searchSourceIsLocalFiles()) {
    co_return co_await localSearch(std::move(trimmed), ticket, std::move(context));
  }
  co_return co_await youTubeSearch(std::move(trimmed), ticket, std::move(context));
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::youTubeSearch(std::string query, std::int64_t ticket,
                                                                          RequestContext context) {
  const auto self = shared_from_this();
  std::vector<remotesource::VideoSearchItem> results;
  std::exception_ptr failure;
  try {
    if (auto linked = remotesource::extractVideoID(query)) {
      results.push_back(co_await parts_->deps.source->fetchVideoItem(std::move(*linked), context.op));
    } else {
      results = co_await parts_->deps.source->search(query, context.op);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_return errorResponse(failure);
  }
  const auto rules = co_await thumbnailHostRules();
  IssuedTokens issued(parts_->deps.server);
  auto items = nlohmann::json::array();
  for (const auto& result : results) {
    nlohmann::json item = {{"videoID", result.videoID}, {"title", result.title}};
    if (result.author) {
      item["author"] = *result.author;
    }
    if (result.lengthSeconds) {
      item["lengthSeconds"] = *result.lengthSeconds;
    }
    if (result.thumbnailURL && relay::matchRule(*result.thumbnailURL, rules) != relay::RuleMatch::none) {
      auto token = co_await parts_->deps.server->registerRemote(thumbnailMedia(*result.thumbnailURL, rules));
      issued.add(token);
      item["thumbnail"] = slashed(token);
    }
    items.push_back(std::move(item));
  }
  if (!co_await commitSearchTokens(issued.release(), ticket, context)) {
    co_return refusedCommitResponse();
  }
  co_return jsonResponse(200, {{"items", std::move(items)}});
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::resolve(std::optional<std::string> videoID,
                                                                    std::optional<std::string> deck,
                                                                    RequestContext context) {
  const bool isLocal = videoID && MacLocalVideoLibrary::isLocalID(*videoID);
  if (!videoID || !(isLocal || isValidVideoID(*videoID))) {
    co_return errorResponse(400, "invalid_video_id");
  }
  if (deck && *deck != "A" && *deck != "B") {
    co_return errorResponse(400, "bad_request", "d");
  }
  const auto ticket = co_await nextTicket();
  if (isLocal) {
    co_return co_await resolveLocal(std::move(*videoID), std::move(deck), ticket, std::move(context));
  }
  co_return co_await youTubeResolve(std::move(*videoID), std::move(deck), ticket, std::move(context));
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::youTubeResolve(std::string videoID,
                                                                           std::optional<std::string> deck,
                                                                           std::int64_t ticket,
                                                                           RequestContext context) {
  const auto self = shared_from_this();
  IssuedTokens issued(parts_->deps.server);
  remotesource::ResolvedStream stream;
  std::exception_ptr failure;
  try {
    stream = co_await parts_->deps.source->fetchVideoData(videoID, false, std::nullopt, context.op);
    auto [video, audio] = co_await parts_->deps.preparer->prepare(stream, context.op);
    issued.add(std::move(video));
    if (audio) {
      issued.add(std::move(*audio));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    co_return errorResponse(failure);
  }
  nlohmann::json body = {{"videoID", stream.videoID},
                         {"title", stream.title},
                         {"video", slashed(issued.tokens().front())},
                         {"videoHasAudio", stream.videoHasAudio}};
  if (issued.tokens().size() > 1) {
    body["audio"] = slashed(issued.tokens()[1]);
  }
  if (stream.author) {
    body["author"] = *stream.author;
  }
  // A number JSON cannot write is left out rather than failing the whole answer.
  if (stream.durationSeconds && std::isfinite(*stream.durationSeconds)) {
    body["durationSeconds"] = *stream.durationSeconds;
  }
  if (stream.resolution) {
    body["resolution"] = *stream.resolution;
  }
  describeTrack(body, "video", stream.video);
  if (stream.audio) {
    describeTrack(body, "audio", *stream.audio);
  }
  if (stream.thumbnailURL) {
    const auto rules = co_await thumbnailHostRules();
    if (relay::matchRule(*stream.thumbnailURL, rules) != relay::RuleMatch::none) {
      auto token = co_await parts_->deps.server->registerRemote(thumbnailMedia(*stream.thumbnailURL, rules));
      issued.add(token);
      body["thumbnail"] = slashed(token);
    }
  }
  if (!co_await commitResolveTokens(issued.release(), std::move(deck), ticket, context)) {
    co_return refusedCommitResponse();
  }
  co_return jsonResponse(200, body);
}

} // namespace pd::api
