#pragma once

// A link manager whose frame sharing talks to a private PipeWire daemon (one per test program),
// the test thread as its main thread, and the loop to run it.

#include "LinkTestSupport.hpp"
#include "PipeWireTestDaemon.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

namespace pd::link::test {

class SyphonIntegrationFixture : public pd::testing::PipeWireDaemonSuite {
protected:
  void SetUp() override {
    PD_REQUIRE_PIPEWIRE(*daemon_);
    platform::log::setStderrEnabled(false);
    NetworkManagerForMac::Dependencies deps = offlineDependencies();
    // No video-out factory: the manager opens the session's daemon, here the private one.
    manager_ = NetworkManagerForMac::create(std::move(deps));
  }
  void TearDown() override {
    EXPECT_TRUE(releaseManager(manager_, [this] {
      context_.restart();
      context_.poll();
    })) << "the manager outlived its test";
    platform::log::setStderrEnabled(true);
  }

  // Polls `done`, running the main thread between tries, for at most five seconds.
  bool waitFor(
      const std::function<bool()>& done, const std::function<void()>& between = [] {}) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      between();
      context_.restart();
      context_.poll();
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::uint32_t nodeOf(std::uint8_t stream) {
    std::optional<std::uint32_t> id;
    waitFor([&] { return (id = TA::syphonNodeId(*manager_, stream)).has_value(); });
    return id.value_or(0);
  }
  // Shares the raw mode's two decks under their default names; the node ids of A and B once
  // advertised, 0 for one that is not.
  std::pair<std::uint32_t, std::uint32_t> shareRawDecks() {
    TA::configureSyphon(*manager_, {{1, "Palendrix Zuvudiv A"}, {2, "Palendrix Zuvudiv B"}});
    return {nodeOf(1), nodeOf(2)};
  }

  boost::asio::io_context context_;
  runtime::MainThread::Installation installation_ = runtime::MainThread::installIoContext(context_);
  std::shared_ptr<NetworkManagerForMac> manager_;
};

} // namespace pd::link::test
