#pragma once

// The broadcaster as the receiver builds it, over a real link manager that finds the tablet
// emulator through a private Avahi daemon on loopback.

#include "EmulatorProcess.hpp"
#include "PrivateAvahi.hpp"
#include "SenderTestSupport.hpp"

#include "link/ManagerSenderLink.hpp"
#include "link/NetworkManagerForMac.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <optional>
#include <string>

namespace pd::sender::test {

class EmulatorLinkFixture : public ::testing::Test {
protected:
  // Call from SetUp after PD_REQUIRE_PRIVATE_AVAHI().
  void start(platform::http::Client::Configuration client = {}, std::optional<std::string> onlyInstance = {}) {
    auto dependencies = link::NetworkManagerForMac::systemDependencies();
    dependencies.networkPeerID = [] { return std::string("33333333-4444-4555-8666-777777777777"); };
    manager = link::NetworkManagerForMac::create(std::move(dependencies));
    auto broadcasterDependencies = testing::broadcasterDependencies(
        std::make_shared<link::ManagerSenderLink>(manager), caches.path(), std::move(client), std::move(onlyInstance));
    broadcasterDependencies.timing = {300ms, 200ms};
    broadcaster = LocalVideoBroadcaster::create(std::move(broadcasterDependencies));
    manager->updateBrowsing("start");
  }
  void TearDown() override {
    broadcaster.reset();
    manager.reset();
    for (int i = 0; i < 50; ++i) pump();
  }

  void pump() {
    loop.context().restart();
    loop.context().poll();
  }
  // Links the manager to the emulator published under the name; `instead` leaves the current link.
  void link(link::test::Emulator& emulator, const std::string& name, bool instead = false) {
    ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
    std::optional<platform::bonjour::BrowseResult> tablet;
    loop.runUntil([&] {
      for (const auto& result : manager->discoveredPeers.get()) {
        if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) tablet = result;
      }
      return tablet.has_value();
    });
    const auto lo = std::find_if(tablet->interfaces.begin(), tablet->interfaces.end(),
                                 [](const platform::net::Interface& i) { return i.name == "lo"; });
    ASSERT_NE(lo, tablet->interfaces.end());
    if (instead) {
      manager->selectInterface(*tablet, *lo);
    } else {
      manager->connect(*tablet, *lo);
    }
  }
  nlohmann::json next(link::test::Emulator& emulator, const std::string& event, std::chrono::milliseconds limit = 10s) {
    const auto found = emulator.waitFor(
        event, [&] { pump(); }, limit);
    if (!found) {
      // Only error lines reach the console: the whole window tells why a link never came.
      std::string lines;
      for (const auto& line : log.lines()) lines += line + "\n";
      ADD_FAILURE() << "no " << event << " within " << limit.count() << " ms; the receiver's log:\n" << lines;
    }
    return found.value_or(nlohmann::json::object());
  }

  // The emulator reads its commands and the receiver's datagrams on separate roads: a setting that
  // must hold for the next message is waited for until the emulator has taken it.
  void commandAndWait(link::test::Emulator& emulator, const std::string& line) {
    emulator.command(line);
    for (;;) {
      const auto ok = next(emulator, "ok");
      if (ok.empty() || ok.value("command", "") == line) return;
    }
  }

  runtime::test::MainLoop loop;
  testing::TempDirectory caches;
  testing::LogWindow log;
  std::shared_ptr<link::NetworkManagerForMac> manager;
  std::shared_ptr<LocalVideoBroadcaster> broadcaster;
};

} // namespace pd::sender::test
