#include "relay/RemoteVideoPreparer.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/http/HttpClient.hpp"
#include "relay/LoopbackFetch.hpp"
#include "relay/RemoteVideoHLS.hpp"
#include "relay/RemoteVideoServer.hpp"
#include "relay/SharedWork.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoSourceError.hpp"
#include "runtime/Clock.hpp"

#include <chrono>
#include <exception>

namespace pd::relay {

namespace {

using diagnostics::Log;
using remotesource::ResolvedMedia;
using remotesource::ResolvedStream;
using remotesource::ResolvedTrack;
using remotesource::VideoSourceError;

bool isLocalFile(const ResolvedTrack& track) { return track.media.kind == ResolvedMedia::Kind::localFile; }

[[noreturn]] void throwNoPlayableStream() { throw VideoSourceError(VideoSourceError::Case::noPlayableStream); }

std::optional<std::int64_t> identityLength(const ResolvedTrack& track) {
  return track.identity ? track.identity->contentLength : std::nullopt;
}

void logComplete(const std::string& videoID, PreparedRemoteVideo::Kind kind, runtime::Clock::MonotonicTime started,
                 const std::string& op) {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(runtime::Clock::current().monotonic() - started);
  Log::source().notice("remote_video_prepare_complete video=%{public}s kind=%{public}s dur_ms=%ld op=%{public}s",
                       videoID, PreparedRemoteVideo::rawValue(kind), static_cast<std::int64_t>(elapsed.count()), op);
}

} // namespace

RemoteVideoPreparer::RemoteVideoPreparer(std::shared_ptr<RemoteVideoServer> server,
                                         std::shared_ptr<const remotesource::InvidiousVideoSource> source,
                                         std::shared_ptr<platform::http::Client> session)
    : server_(std::move(server)), source_(std::move(source)), session_(std::move(session)) {}

runtime::Awaitable<std::string> RemoteVideoPreparer::registerTrack(const ResolvedTrack& track, Role role,
                                                                   const ResolvedStream& stream,
                                                                   const std::string& op) const {
  co_return co_await server_->registerRemote(trackMedia(track, role, stream, op));
}

// The hop to the relay may end with the caller's cancellation; the caller then owns no token, so
// the picture token registered before must not outlive the throw.
runtime::Awaitable<std::string> RemoteVideoPreparer::registerSound(const ResolvedTrack& track,
                                                                   const std::string& videoToken,
                                                                   const ResolvedStream& stream,
                                                                   const std::string& op) const {
  try {
    co_return co_await registerTrack(track, Role::audio, stream, op);
  } catch (...) {
    server_->unregister(videoToken);
    throw;
  }
}

runtime::Awaitable<std::pair<std::string, std::optional<std::string>>>
RemoteVideoPreparer::prepare(ResolvedStream stream, std::string op) const {
  if (isLocalFile(stream.video)) throwNoPlayableStream();
  const std::string video = co_await registerTrack(stream.video, Role::video, stream, op);
  if (stream.videoHasAudio || !stream.audio) co_return std::pair(video, std::optional<std::string>());
  if (isLocalFile(*stream.audio)) {
    server_->unregister(video);
    throwNoPlayableStream();
  }
  std::optional<std::string> audio = co_await registerSound(*stream.audio, video, stream, op);
  co_return std::pair(video, std::move(audio));
}

runtime::Awaitable<PreparedRemoteVideo>
RemoteVideoPreparer::prepareForBroadcast(std::string videoID, std::uint16_t port, std::string op) const {
  const auto started = runtime::Clock::current().monotonic();
  const ResolvedStream stream = co_await source_->fetchVideoData(videoID, false, std::nullopt, op);
  runtime::checkCancellation();
  if (isLocalFile(stream.video)) throwNoPlayableStream();

  PreparedRemoteVideo prepared;
  prepared.title = stream.title;
  prepared.entryPath = co_await registerTrack(stream.video, Role::video, stream, op);
  const std::string video = prepared.entryPath;
  prepared.tokens = {video};
  if (stream.videoHasAudio) {
    prepared.kind = PreparedRemoteVideo::Kind::muxed;
    prepared.analysisToken = video;
    prepared.analysisLength = identityLength(stream.video);
    logComplete(videoID, prepared.kind, started, op);
    co_return prepared;
  }
  prepared.kind = PreparedRemoteVideo::Kind::videoOnly;
  if (!stream.audio) {
    logComplete(videoID, prepared.kind, started, op);
    co_return prepared;
  }
  if (isLocalFile(*stream.audio)) {
    server_->unregister(video);
    throwNoPlayableStream();
  }
  const std::string audio = co_await registerSound(*stream.audio, video, stream, op);
  prepared.tokens.push_back(audio);
  prepared.analysisToken = audio;
  prepared.analysisIsAudioOnly = true;
  prepared.analysisLength = identityLength(*stream.audio);

  std::optional<RemoteVideoHLS> hls;
  std::exception_ptr failure;
  try {
    hls = co_await buildRemoteVideoHLS(*session_, *server_, port, video, audio, stream);
  } catch (...) {
    failure = std::current_exception();
  }
  if (isCancellation(failure)) {
    server_->unregister(video);
    server_->unregister(audio);
    throw runtime::CancellationError();
  }
  if (failure) {
    // Both streams stay registered: the sound still serves the tempo analysis.
    const auto fields = diagnostics::LogErrorFields::fields(failure, true);
    Log::source().error("hls_build_fail video=%{public}s fallback=video_only err_domain=%{public}s err_code=%ld "
                        "error=%s op=%{public}s",
                        videoID, fields.domain, fields.code, fields.detail, op);
    logComplete(videoID, prepared.kind, started, op);
    co_return prepared;
  }
  prepared.tokens.insert(prepared.tokens.end(), {hls->videoPlaylistToken, hls->audioPlaylistToken, hls->masterToken});
  Log::source().debug("hls_build_complete video=%{public}s video_segments=%ld audio_segments=%ld op=%{public}s",
                      videoID, static_cast<std::int64_t>(hls->videoSegments),
                      static_cast<std::int64_t>(hls->audioSegments), op);
  prepared.kind = PreparedRemoteVideo::Kind::hls;
  prepared.entryPath = hls->masterToken + ".m3u8";
  logComplete(videoID, prepared.kind, started, op);
  co_return prepared;
}

runtime::Awaitable<std::int64_t> RemoteVideoPreparer::fetchLocalRange(std::string url, std::int64_t length,
                                                                      std::filesystem::path destination) const {
  co_return co_await relay::fetchLocalRange(*session_, std::move(url), length, std::move(destination));
}

} // namespace pd::relay
