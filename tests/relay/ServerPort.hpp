#pragma once

// The real HTTP server behind the preparer's port, as the composition root connects it, noting
// what was registered and withdrawn through it.

#include "api/HTTPServerPort.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace pd::relay::test {

class ServerPort final : public api::HTTPServerPort {
public:
  using HTTPServerPort::HTTPServerPort;

  std::string registerPlaylist(std::string_view text) override {
    {
      const std::scoped_lock lock(mutex_);
      ++playlists_;
    }
    return HTTPServerPort::registerPlaylist(text);
  }
  void unregister(const std::string& token) override {
    {
      const std::scoped_lock lock(mutex_);
      unregistered_.push_back(token);
    }
    HTTPServerPort::unregister(token);
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
  mutable std::mutex mutex_;
  int playlists_ = 0;
  std::vector<std::string> unregistered_;
};

} // namespace pd::relay::test
