#pragma once

// The tablet emulator as a child process for the link's integration tests: commands go to its
// stdin, JSON events come from its stdout.

#include "AppTestSupport.hpp" // ChildProcess

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#ifndef PD_TABLET_EMULATOR
#error "PD_TABLET_EMULATOR must name the emulator binary"
#endif

namespace pd::link::test {

class Emulator {
public:
  explicit Emulator(const std::vector<std::string>& arguments) : process_(PD_TABLET_EMULATOR, arguments) {}

  void command(const std::string& line) { process_.writeLine(line); }
  // The next event of the kind, skipping others; none on time-out. `pump` runs between reads, so
  // the receiver's main thread keeps going while the test waits.
  std::optional<nlohmann::json> waitFor(const std::string& event, const std::function<void()>& pump,
                                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    return waitForAny({event}, pump, limit);
  }
  // The next event of any of the kinds.
  std::optional<nlohmann::json> waitForAny(const std::vector<std::string>& events, const std::function<void()>& pump,
                                           std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pump();
      const auto line = process_.readLine(std::chrono::milliseconds(5));
      if (!line) continue;
      // PD_ECHO_EMULATOR=1 shows the emulator's side when a run goes wrong.
      if (std::getenv("PD_ECHO_EMULATOR") != nullptr) std::fprintf(stderr, "emulator: %s\n", line->c_str());
      auto parsed = nlohmann::json::parse(*line, nullptr, false);
      if (parsed.is_object() && std::find(events.begin(), events.end(), parsed.value("event", "")) != events.end()) {
        return parsed;
      }
    }
    return std::nullopt;
  }

private:
  testing::ChildProcess process_;
};

} // namespace pd::link::test
