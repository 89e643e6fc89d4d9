#include "relay/RemoteVideoHLS.hpp"

#include "relay/HLSPlaylist.hpp"
#include "relay/LoopbackFetch.hpp"
#include "relay/RemoteVideoServer.hpp"
#include "runtime/ThreadPools.hpp"

#include <exception>
#include <optional>

namespace pd::relay {

namespace {

// The index sits right after "ftyp" and "moov", well within the first 64 KiB.
constexpr std::size_t kPrefixBytes = 65536;

using IndexRead = runtime::Task<MP4Sidx::Index>;

IndexRead startIndexRead(platform::http::Client& client, std::string token, std::uint16_t port) {
  return runtime::spawn(runtime::sharedPool().executor(),
                        [&client, token = std::move(token), port]() -> runtime::Awaitable<MP4Sidx::Index> {
                          co_return co_await fetchSegmentIndex(client, token, port);
                        });
}

// The read's index, or its failure as a value, so that the caller may await clean-up before
// throwing it.
runtime::Awaitable<std::optional<MP4Sidx::Index>> settle(const IndexRead& read, std::exception_ptr& failure) {
  try {
    co_return co_await read.value();
  } catch (...) {
    failure = std::current_exception();
  }
  co_return std::nullopt;
}

} // namespace

runtime::Awaitable<MP4Sidx::Index> fetchSegmentIndex(platform::http::Client& client, std::string token,
                                                     std::uint16_t port) {
  const auto bytes =
      co_await fetchPrefix(client, "http://127.0.0.1:" + std::to_string(port) + "/" + token, kPrefixBytes);
  co_return MP4Sidx::parse(bytes);
}

runtime::Awaitable<RemoteVideoHLS> buildRemoteVideoHLS(platform::http::Client& client, RemoteVideoServer& server,
                                                       std::uint16_t port, std::string videoToken,
                                                       std::string audioToken,
                                                       const remotesource::ResolvedStream& stream) {
  const IndexRead videoRead = startIndexRead(client, videoToken, port);
  const IndexRead audioRead = startIndexRead(client, audioToken, port);
  // Awaiting a task's value does not pass the caller's cancellation on: the reads are told here.
  const runtime::CancellationHandler cancelReads([videoRead, audioRead] {
    videoRead.cancel();
    audioRead.cancel();
  });
  // Both reads have ended whenever this returns or throws: they borrow the client.
  std::exception_ptr failure;
  const auto video = co_await settle(videoRead, failure);
  if (failure) {
    audioRead.cancel();
    std::exception_ptr ignored;
    co_await settle(audioRead, ignored);
    std::rethrow_exception(failure);
  }
  const auto audio = co_await settle(audioRead, failure);
  if (failure) std::rethrow_exception(failure);
  runtime::checkCancellation();

  const std::optional<remotesource::ResolvedTrack>& audioTrack = stream.audio;
  RemoteVideoHLS hls;
  hls.videoSegments = video->segments.size();
  hls.audioSegments = audio->segments.size();
  hls.videoPlaylistToken =
      server.registerPlaylist(buildMediaPlaylist(videoToken, video->initSegmentSize, video->segments));
  hls.audioPlaylistToken =
      server.registerPlaylist(buildMediaPlaylist(audioToken, audio->initSegmentSize, audio->segments));
  const auto codecs = hlsCodecAttribute(stream.video.codec, audioTrack ? audioTrack->codec : std::nullopt);
  const auto bandwidth = hlsBandwidth(stream.video.bitrate, audioTrack ? audioTrack->bitrate : std::nullopt);
  hls.masterToken = server.registerPlaylist(buildMasterPlaylist(
      hls.videoPlaylistToken + ".m3u8", hls.audioPlaylistToken + ".m3u8", bandwidth, codecs, stream.resolution));
  co_return hls;
}

} // namespace pd::relay
