#pragma once

// The composition root: makes the process's core services in their start-up order, hands each
// its settings and its neighbours' ports, and owns them. Plain C++ on the main thread, so the
// whole core starts and stops without a display; the Qt shell owns one and adds the windows.

#include <functional>
#include <memory>

namespace pd::platform::http {
class Client;
}
namespace pd::platform::instance {
class ActivationListener;
}
namespace pd::link {
class NetworkManagerForMac;
}
namespace pd::deckinput {
class OSCServerService;
class OSCViewModel;
} // namespace pd::deckinput
namespace pd::relay {
class RelayDiskCache;
}
namespace pd::remotesource {
class InvidiousInstanceManager;
}
namespace pd::sender {
class LocalVideoBroadcaster;
}

namespace pd::receiver {

class LinkDeckStateSink;

class Receiver {
public:
  // The shell's part of start-up and stop; every hook may be empty.
  struct Dependencies {
    // A later launch asked this one to come forward; called on the activation listener's thread.
    std::function<void()> onLaterLaunch;
    // Runs once the process is known to be the only instance and is listening for later ones.
    std::function<void()> afterInstanceGuard;
    // Runs after the background services have started, before the long-lived models are made.
    std::function<void()> beforeModels;
    // Runs the main thread's pending work once; stopping waits with it for work the link manager
    // queued there to release itself.
    std::function<void()> drainMainThread;
  };

  // The start-up, on the main thread. A second instance ends inside (the single-instance guard).
  explicit Receiver(Dependencies dependencies);
  // Stops in reverse: the views that hold the link manager must be gone before. The stall
  // watchdog stops last, then the log ring with a final flush; both threads are joined.
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // The listener's thread posts to the shell, which may be going away before the Receiver does.
  void stopListeningForLaterLaunches();
  // Shared, as its holders' work may outlive their windows (the settings' saves, the sender's
  // searches).
  std::shared_ptr<remotesource::InvidiousInstanceManager> sharedInstanceManager() const noexcept {
    return instanceManager_;
  }

  link::NetworkManagerForMac& connectionManager() noexcept { return *connectionManager_; }
  deckinput::OSCViewModel& oscViewModel() noexcept { return *oscViewModel_; }
  // Made on first use, over the link manager; lives until the Receiver ends.
  sender::LocalVideoBroadcaster& localVideoBroadcaster();
  // The process's HTTP client, with the test hooks of the environment.
  const std::shared_ptr<platform::http::Client>& httpClient() const noexcept { return httpClient_; }

private:
  Dependencies dependencies_;
  std::unique_ptr<platform::instance::ActivationListener> activationListener_;
  std::shared_ptr<relay::RelayDiskCache> relayDiskCache_;
  std::shared_ptr<platform::http::Client> httpClient_;
  std::shared_ptr<remotesource::InvidiousInstanceManager> instanceManager_;
  std::shared_ptr<link::NetworkManagerForMac> connectionManager_;
  std::shared_ptr<LinkDeckStateSink> deckStateSink_;
  std::shared_ptr<deckinput::OSCServerService> oscServer_;
  std::shared_ptr<deckinput::OSCViewModel> oscViewModel_;
  std::shared_ptr<sender::LocalVideoBroadcaster> localVideoBroadcaster_;
};

} // namespace pd::receiver
