#pragma once

// The link manager against the real thing: a private avahi-daemon on loopback and the tablet
// emulator, a separate program that knows only the wire formats, driven through its stdin and
// stdout.

#include "LinkTestSupport.hpp"
#include "PrivateAvahi.hpp"

#include "AppTestSupport.hpp" // ChildProcess

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#ifndef PD_TABLET_EMULATOR
#error "PD_TABLET_EMULATOR must name the emulator binary"
#endif

namespace pd::link::test {

// Drives the emulator: commands on its stdin, JSON events from its stdout.
class Emulator {
public:
  explicit Emulator(const std::vector<std::string>& arguments) : process_(PD_TABLET_EMULATOR, arguments) {}

  void command(const std::string& line) { process_.writeLine(line); }
  // The next event of the kind, skipping others; none on time-out. `pump` runs between reads, so
  // the receiver's main thread keeps going while the test waits.
  std::optional<nlohmann::json> waitFor(const std::string& event, const std::function<void()>& pump,
                                        std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pump();
      const auto line = process_.readLine(5ms);
      if (!line) continue;
      // PD_ECHO_EMULATOR=1 shows the emulator's side when a run goes wrong.
      if (std::getenv("PD_ECHO_EMULATOR") != nullptr) std::fprintf(stderr, "emulator: %s\n", line->c_str());
      auto parsed = nlohmann::json::parse(*line, nullptr, false);
      if (parsed.is_object() && parsed.value("event", "") == event) return parsed;
    }
    return std::nullopt;
  }

private:
  testing::ChildProcess process_;
};

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
