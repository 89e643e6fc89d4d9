#pragma once

// The real HTTP server behind the preparer's port, as the composition root connects it, noting
// how many playlists were registered through it.

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "relay/RemoteVideoServer.hpp"

#include <memory>
#include <mutex>

namespace pd::relay::test {

class ServerPort final : public RemoteVideoServer {
public:
  explicit ServerPort(std::shared_ptr<mediaserver::LocalVideoHTTPServer> server) : server_(std::move(server)) {}

  runtime::Awaitable<std::string> registerRemote(std::shared_ptr<const RemoteMedia> media) override {
    co_return co_await server_->registerRemote(std::move(media));
  }
  std::string registerPlaylist(std::string_view text) override {
    {
      const std::scoped_lock lock(mutex_);
      ++playlists_;
    }
    return server_->registerPlaylist(text);
  }
  void unregister(const std::string& token) override { server_->unregister(token); }
  std::string sanitizedContentType(const std::optional<std::string>& mimeType) const override {
    return mediaserver::LocalVideoHTTPServer::sanitizedContentType(mimeType);
  }
  int playlists() const {
    const std::scoped_lock lock(mutex_);
    return playlists_;
  }

private:
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server_;
  mutable std::mutex mutex_;
  int playlists_ = 0;
};

} // namespace pd::relay::test
