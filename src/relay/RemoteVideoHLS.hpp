#pragma once

// The HLS presentation of a video whose pictures and sound are separate fragmented MP4 streams,
// both already served by the own HTTP server: their segment indexes read back over the loopback
// address, one media playlist per stream and a master playlist, registered with the server.

#include "relay/MP4Sidx.hpp"
#include "remotesource/ResolvedStream.hpp"
#include "runtime/Task.hpp"

#include <cstdint>
#include <string>

namespace pd::platform::http {
class Client;
}

namespace pd::relay {

class RemoteVideoServer;

struct RemoteVideoHLS {
  std::string videoPlaylistToken;
  std::string audioPlaylistToken;
  std::string masterToken;
  std::size_t videoSegments = 0;
  std::size_t audioSegments = 0;
};

// The segment index of the stream the server serves under `token` on `port`, from its first
// 64 KiB. Throws RemoteVideoPrepareError, MP4SidxError and the client's errors.
runtime::Awaitable<MP4Sidx::Index> fetchSegmentIndex(platform::http::Client& client, std::string token,
                                                     std::uint16_t port);

// Reads both indexes at once on the shared pool, then registers the video playlist, the audio
// playlist and the master, in that order. Until both indexes have arrived nothing is registered:
// the first failure (the video's first) is thrown once the other read has been cancelled and has
// ended; a cancelled caller gets runtime::CancellationError.
runtime::Awaitable<RemoteVideoHLS> buildRemoteVideoHLS(platform::http::Client& client, RemoteVideoServer& server,
                                                       std::uint16_t port, std::string videoToken,
                                                       std::string audioToken,
                                                       const remotesource::ResolvedStream& stream);

} // namespace pd::relay
