#pragma once

// The real HTTP server behind the preparer's port, as the composition root connects it, noting
// what was registered and withdrawn through it.

#include "api/HTTPServerPort.hpp"
#include "runtime/Task.hpp"

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace pd::relay::test {

class ServerPort final : public api::HTTPServerPort {
public:
  using HTTPServerPort::HTTPServerPort;

  // The registration of that number (1 the first) waits until its task is cancelled, as a hop to
  // the relay may; the future is ready once it waits.
  std::future<void> holdRegistration(int number) {
    const std::scoped_lock lock(mutex_);
    heldNumber_ = number;
    held_ = {};
    return held_.get_future();
  }
  runtime::Awaitable<std::string> registerRemote(std::shared_ptr<const RemoteMedia> media) override {
    std::optional<std::promise<void>> held;
    {
      const std::scoped_lock lock(mutex_);
      if (++registrations_ == heldNumber_) held = std::move(held_);
    }
    if (held) {
      held->set_value();
      co_await runtime::sleep(std::chrono::hours(1));
    }
    auto token = co_await HTTPServerPort::registerRemote(std::move(media));
    {
      const std::scoped_lock lock(mutex_);
      registered_.push_back(token);
    }
    co_return token;
  }
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
  std::vector<std::string> registered() const {
    const std::scoped_lock lock(mutex_);
    return registered_;
  }

private:
  mutable std::mutex mutex_;
  int playlists_ = 0;
  std::vector<std::string> unregistered_;
  int registrations_ = 0;
  int heldNumber_ = 0;
  std::promise<void> held_;
  std::vector<std::string> registered_;
};

} // namespace pd::relay::test
