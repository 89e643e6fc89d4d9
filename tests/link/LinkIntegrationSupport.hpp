#pragma once

// The link manager against the real thing: a private avahi-daemon on loopback and the tablet
// emulator, a separate program that knows only the wire formats, driven through its stdin and
// stdout.

#include "LinkTestSupport.hpp"
#include "PrivateAvahi.hpp"

#include "EmulatorProcess.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace pd::link::test {

// The UDP sockets of this machine as the kernel lists them in `table` (/proc/net/udp or udp6):
// each one's addresses as the kernel prints them ("0100007F:1F90"), its inode, the bytes waiting
// to be read, and the datagrams it threw away because its buffer was full.
struct KernelUdpSocket {
  std::string local;
  std::string remote;
  std::string inode;
  std::int64_t queuedBytes = 0;
  std::uint64_t drops = 0;
};
inline std::vector<KernelUdpSocket> kernelUdpSockets(const char* table = "/proc/net/udp") {
  std::vector<KernelUdpSocket> sockets;
  std::ifstream in(table);
  std::string line;
  std::getline(in, line); // the heading
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, state, queues, timer, retransmits, uid, timeout, references, pointer;
    KernelUdpSocket socket;
    if (!(fields >> slot >> socket.local >> socket.remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> socket.inode >> references >> pointer >> socket.drops)) {
      continue;
    }
    const auto colon = queues.find(':');
    if (colon == std::string::npos) continue;
    socket.queuedBytes = static_cast<std::int64_t>(std::stoull(queues.substr(colon + 1), nullptr, 16));
    sockets.push_back(std::move(socket));
  }
  return sockets;
}

inline std::filesystem::path makeClip(const std::filesystem::path& folder) {
  const auto clip = folder / "clip.hevc";
  const std::string command = "'" + std::string(PD_SOURCE_DIR) + "/tools/fixtures/make-hevc-fixture.sh' '" +
                              clip.string() + "' 160 96 30 30 >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(clip)) return {};
  return clip;
}

// The real browser and link under a fixed identity.
inline NetworkManagerForMac::Dependencies integrationDependencies(std::string deviceName) {
  auto dependencies = NetworkManagerForMac::systemDependencies();
  dependencies.networkPeerID = [] { return std::string("11111111-2222-4333-8444-555555555555"); };
  dependencies.deviceName = std::move(deviceName);
  return dependencies;
}

// The tablet published under `name`, as the manager lists it now.
inline std::optional<platform::bonjour::BrowseResult> listedTablet(const NetworkManagerForMac& manager,
                                                                   const std::string& name) {
  for (const auto& result : manager.discoveredPeers.get()) {
    if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) return result;
  }
  return std::nullopt;
}

// The route to a listed tablet over "lo", if it has one.
inline std::optional<platform::net::Interface> loopbackRoute(const platform::bonjour::BrowseResult& tablet) {
  const auto lo = std::find_if(tablet.interfaces.begin(), tablet.interfaces.end(),
                               [](const platform::net::Interface& i) { return i.name == "lo"; });
  if (lo == tablet.interfaces.end()) return std::nullopt;
  return *lo;
}

class LinkIntegrationTest : public ::testing::Test {
protected:
  void SetUp() override { PD_REQUIRE_PRIVATE_AVAHI(); }

  // The test thread as the main thread, and a manager on the real browser and link.
  // False when the limit passed first.
  [[nodiscard]] bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    context_.restart();
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      context_.run_one_for(5ms);
      if (context_.stopped()) context_.restart();
    }
    return true;
  }

  void pump() {
    context_.restart();
    context_.poll();
  }

  // A manager on the real browser and link whose browser has started. Null when it did not.
  std::shared_ptr<NetworkManagerForMac> browsingManager(NetworkManagerForMac::Dependencies dependencies) {
    auto manager = NetworkManagerForMac::create(std::move(dependencies));
    manager->updateBrowsing("start");
    if (!runUntil([&] { return manager->isBrowsing.get(); }, 10s)) {
      EXPECT_TRUE(releaseManager(manager, [this] { pump(); }));
      return nullptr;
    }
    return manager;
  }

  boost::asio::io_context context_;
  runtime::MainThread::Installation installation_ = runtime::MainThread::installIoContext(context_);
  testing::TempDirectory folder_;
};

} // namespace pd::link::test
