#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace pd::platform::instance {

// The running instance's end of the activation channel: a Unix stream socket in the user's
// private runtime folder on which a later launch asks for our process id and asks us to come
// to the front. Requests are served one connection at a time on a thread of its own, each
// connection bounded in size and time, and only for peers of our own user.
class ActivationListener {
public:
  // Runs on the listener's thread; the caller hops to the main thread itself. The answer
  // goes back to the asking instance once the handler has returned.
  using ActivateHandler = std::function<void()>;

  // Binds `socketPath` (its folder must exist and be private to the user) and starts
  // serving. A socket file left behind by an instance that ended is replaced; a live
  // listener on the path is not (EADDRINUSE). Throws pd::PosixError.
  ActivationListener(std::filesystem::path socketPath, ActivateHandler onActivate);
  // Stops the thread and removes the socket file.
  ~ActivationListener();

  ActivationListener(const ActivationListener&) = delete;
  ActivationListener& operator=(const ActivationListener&) = delete;

  const std::filesystem::path& socketPath() const noexcept;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::instance
