#pragma once

// The link manager against the real thing: a private avahi-daemon on loopback and the tablet
// emulator, a separate program that knows only the wire formats, driven through its stdin and
// stdout.

#include "LinkTestSupport.hpp"
#include "PrivateAvahi.hpp"

#include "EmulatorProcess.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace pd::link::test {

inline std::filesystem::path makeClip(const std::filesystem::path& folder) {
  const auto clip = folder / "clip.hevc";
  const std::string command = "'" + std::string(PD_SOURCE_DIR) + "/tools/fixtures/make-hevc-fixture.sh' '" +
                              clip.string() + "' 160 96 30 30 >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(clip)) return {};
  return clip;
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

  boost::asio::io_context context_;
  runtime::MainThread::Installation installation_ = runtime::MainThread::installIoContext(context_);
  testing::TempDirectory folder_;
};

} // namespace pd::link::test
