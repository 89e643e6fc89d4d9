#pragma once

// The local HTTP server as the remote video preparer's port, for whoever builds a preparer over
// the real server (the broadcaster, the receiver API's tests).

#include "relay/RemoteVideoServer.hpp"

#include <memory>

namespace pd::mediaserver {
class LocalVideoHTTPServer;
}

namespace pd::api {

class HTTPServerPort : public relay::RemoteVideoServer {
public:
  explicit HTTPServerPort(std::shared_ptr<mediaserver::LocalVideoHTTPServer> server);

  runtime::Awaitable<std::string> registerRemote(std::shared_ptr<const relay::RemoteMedia> media) override;
  std::string registerPlaylist(std::string_view text) override;
  void unregister(const std::string& token) override;
  std::string sanitizedContentType(const std::optional<std::string>& mimeType) const override;

private:
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server_;
};

} // namespace pd::api
