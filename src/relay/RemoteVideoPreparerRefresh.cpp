#include "relay/RemoteVideoPreparer.hpp"

#include "relay/DestinationRules.hpp"
#include "relay/RemoteMedia.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "relay/RemoteVideoServer.hpp"
#include "remotesource/InvidiousVideoSource.hpp"

namespace pd::relay {

namespace {

using remotesource::ResolvedTrack;

// The same video looked up again, the instance that served it asked first, for the track of
// the same role.
runtime::Awaitable<RemoteMediaRefresh> refreshTrack(std::shared_ptr<const remotesource::InvidiousVideoSource> source,
                                                    std::string videoID, std::string servingHost,
                                                    RemoteVideoPreparer::Role role, std::string op) {
  const auto fresh = co_await source->fetchVideoData(videoID, true, servingHost, op);
  const std::optional<ResolvedTrack> track =
      role == RemoteVideoPreparer::Role::video ? std::optional<ResolvedTrack>(fresh.video) : fresh.audio;
  if (!track || track->media.kind == remotesource::ResolvedMedia::Kind::localFile) {
    throw RelayError::refreshUnavailable();
  }
  RemoteMediaRefresh refreshed;
  refreshed.url = track->media.url;
  refreshed.identity = track->identity;
  refreshed.allowedHosts = defaultRules(fresh.servingHost);
  co_return refreshed;
}

} // namespace

std::shared_ptr<const RemoteMedia> RemoteVideoPreparer::trackMedia(const ResolvedTrack& track, Role role,
                                                                   const remotesource::ResolvedStream& stream,
                                                                   const std::string& op) const {
  auto media = std::make_shared<RemoteMedia>();
  media->url = track.media.url;
  media->contentLength = track.identity ? track.identity->contentLength : std::nullopt;
  media->contentType = server_->sanitizedContentType(track.mimeType);
  media->identity = track.identity;
  media->refresh = [source = source_, videoID = stream.videoID, servingHost = stream.servingHost, role, op] {
    return refreshTrack(source, videoID, servingHost, role, op);
  };
  media->allowedHosts = defaultRules(stream.servingHost);
  media->cacheVideoID = stream.videoID;
  return media;
}

} // namespace pd::relay
