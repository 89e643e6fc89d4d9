#pragma once

// The real HTTP server behind the preparer's port, as the composition root connects it, noting
// what was registered and withdrawn through it.

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "relay/RemoteVideoServer.hpp"

#include <memory>
#include <mutex>
#include <vector>

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
  void unregister(const std::string& token) override {
    {
      const std::scoped_lock lock(mutex_);
      unregistered_.push_back(token);
    }
    server_->unregister(token);
  }
  std::string sanitizedContentType(const std::optional<std::string>& mimeType) const override {
    return mediaserver::LocalVideoHTTPServer::sanitizedContentType(mimeType);
  }
  int playlists() const {
    const std::scoped_lock lock(mutex_);
    return playlists_;
  }
  std::vector<std::string> unregistered() const {
    const std::scoped_lock lock(mutex_);
    return unregistered_;
  }

private:
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server_;
  mutable std::mutex mutex_;
  int playlists_ = 0;
  std::vector<std::string> unregistered_;
};

} // namespace pd::relay::test
