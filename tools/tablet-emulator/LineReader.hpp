#pragma once

// Reads lines from a file descriptor on a thread of its own, so that stdin works whether it is a pipe,
// a terminal or a regular file (which an event loop cannot watch). Lines are bounded: a longer one is
// reported and skipped up to its end.

#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace pd::tools::tablet {

class LineReader {
public:
  struct Callbacks {
    std::function<void(std::string line)> line;
    std::function<void(std::size_t limit)> tooLong;
    std::function<void()> end;
  };
  static constexpr std::size_t maxLine = 64 * 1024;

  // The callbacks run on the reader's thread.
  LineReader(int fd, Callbacks callbacks);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

private:
  void run();

  int fd_;
  Callbacks callbacks_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
};

} // namespace pd::tools::tablet
