#pragma once

#include "tablet-emulator/Options.hpp"

#include <memory>

namespace pd::tools::tablet {

// The running emulator: the UDP socket, the Bonjour publication, the timers for pings, video and
// bursts, the stdin command reader and the stdout event writer, all driven by one event loop.
class Emulator {
public:
  explicit Emulator(Options options);
  ~Emulator();
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Runs until "quit", a signal, or the end of stdin; returns the process exit code.
  int run();

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::tools::tablet
