#pragma once

#include "runtime/Clock.hpp"

#include <filesystem>
#include <optional>
#include <sys/types.h>

namespace pd::platform::instance {

// Another launch of the application that answers on the activation channel. Every exchange
// with it ends by the deadline given to find(), so a hung incumbent cannot hold us up.
class RunningInstance {
public:
  // Connects to the listener at `socketPath` and asks for its process id. None when nobody
  // listens there, the answer is malformed, or the deadline passes first.
  static std::optional<RunningInstance> find(const std::filesystem::path& socketPath,
                                             runtime::Clock::MonotonicTime deadline);

  RunningInstance(RunningInstance&& other) noexcept;
  RunningInstance& operator=(RunningInstance&& other) noexcept;
  RunningInstance(const RunningInstance&) = delete;
  RunningInstance& operator=(const RunningInstance&) = delete;
  ~RunningInstance();

  pid_t processIdentifier() const noexcept { return pid_; }

  // Asks the instance to show its main window and come to the front, and waits for its
  // acknowledgement until the deadline. Throws pd::PosixError: ETIMEDOUT at the deadline,
  // EPROTO for an answer other than the acknowledgement, or the socket's own error.
  void activate();

private:
  RunningInstance(int fd, pid_t pid, runtime::Clock::MonotonicTime deadline) noexcept;

  int fd_ = -1;
  pid_t pid_ = 0;
  runtime::Clock::MonotonicTime deadline_;
};

} // namespace pd::platform::instance
