#pragma once

// Turns a remote video into tokens of the own HTTP server: each stream registered with the
// relay, and for a video whose pictures and sound come apart, an HLS presentation of both.
// Holds nothing but its three references, so the broadcaster and the receiver API share one.

#include "relay/PreparedRemoteVideo.hpp"
#include "remotesource/ResolvedStream.hpp"
#include "runtime/Task.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace pd::platform::http {
class Client;
}
namespace pd::remotesource {
class InvidiousVideoSource;
}

namespace pd::relay {

class RemoteMedia;
class RemoteVideoServer;

class RemoteVideoPreparer {
public:
  // Which track a registered stream's refresh looks up again.
  enum class Role { video, audio };

  RemoteVideoPreparer(std::shared_ptr<RemoteVideoServer> server,
                      std::shared_ptr<const remotesource::InvidiousVideoSource> source,
                      std::shared_ptr<platform::http::Client> session);

  // The video token, and the audio token when the pictures carry no sound and the stream has a
  // sound track. Throws VideoSourceError noPlayableStream for a track in a local file, with
  // nothing left registered.
  runtime::Awaitable<std::pair<std::string, std::optional<std::string>>> prepare(remotesource::ResolvedStream stream,
                                                                                 std::string op) const;

  // Looks the video up and registers it for the tablet. Throws the lookup's errors,
  // runtime::CancellationError and VideoSourceError noPlayableStream; a failed HLS build is not
  // thrown but falls back to the video stream alone.
  runtime::Awaitable<PreparedRemoteVideo> prepareForBroadcast(std::string videoID, std::uint16_t port,
                                                              std::string op) const;

  // At most `length` bytes from the start of a stream of the own server, into `destination`.
  runtime::Awaitable<std::int64_t> fetchLocalRange(std::string url, std::int64_t length,
                                                   std::filesystem::path destination) const;

private:
  runtime::Awaitable<std::string> registerTrack(const remotesource::ResolvedTrack& track, Role role,
                                                const remotesource::ResolvedStream& stream,
                                                const std::string& op) const;
  // The sound track; when that fails, the picture token is withdrawn before the error leaves.
  runtime::Awaitable<std::string> registerSound(const remotesource::ResolvedTrack& track, const std::string& videoToken,
                                                const remotesource::ResolvedStream& stream,
                                                const std::string& op) const;
  std::shared_ptr<const RemoteMedia> trackMedia(const remotesource::ResolvedTrack& track, Role role,
                                                const remotesource::ResolvedStream& stream,
                                                const std::string& op) const;

  std::shared_ptr<RemoteVideoServer> server_;
  std::shared_ptr<const remotesource::InvidiousVideoSource> source_;
  std::shared_ptr<platform::http::Client> session_;
};

} // namespace pd::relay
