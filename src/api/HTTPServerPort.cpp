#include "api/HTTPServerPort.hpp"

#include "mediaserver/LocalVideoHTTPServer.hpp"

namespace pd::api {

HTTPServerPort::HTTPServerPort(std::shared_ptr<mediaserver::LocalVideoHTTPServer> server)
    : server_(std::move(server)) {}

runtime::Awaitable<std::string> HTTPServerPort::registerRemote(std::shared_ptr<const relay::RemoteMedia> media) {
  co_return co_await server_->registerRemote(std::move(media));
}

std::string HTTPServerPort::registerPlaylist(std::string_view text) { return server_->registerPlaylist(text); }

void HTTPServerPort::unregister(const std::string& token) { server_->unregister(token); }

std::string HTTPServerPort::sanitizedContentType(const std::optional<std::string>& mimeType) const {
  return mediaserver::LocalVideoHTTPServer::sanitizedContentType(mimeType);
}

} // namespace pd::api
