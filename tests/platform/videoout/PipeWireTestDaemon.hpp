#pragma once

// A private PipeWire daemon for one test program: its own runtime folder, so that nothing of the
// machine's session is seen or touched. Locally a missing daemon skips the tests; under CI=true
// it fails them.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>

namespace pd::testing {

class PipeWireTestDaemon {
public:
  PipeWireTestDaemon();
  ~PipeWireTestDaemon();
  PipeWireTestDaemon(const PipeWireTestDaemon&) = delete;
  PipeWireTestDaemon& operator=(const PipeWireTestDaemon&) = delete;

  bool running() const noexcept { return pid_ > 0; }
  const std::string& failure() const noexcept { return failure_; }
  const std::string& runtimeDirectory() const noexcept { return directory_; }
  // Kills the daemon, runs `whileAway`, and starts a new one in the same folder; running() tells
  // whether it came up.
  void restart(const std::function<void()>& whileAway = {});

private:
  void launch();

  std::string directory_;
  std::string failure_;
  pid_t pid_ = -1;
};

// A suite that shares one private daemon, started before its first test and stopped after its
// last. A derived fixture's SetUp begins with PD_REQUIRE_PIPEWIRE(*daemon_).
class PipeWireDaemonSuite : public ::testing::Test {
protected:
  static void SetUpTestSuite() { daemon_ = std::make_unique<PipeWireTestDaemon>(); }
  static void TearDownTestSuite() { daemon_.reset(); }

  inline static std::unique_ptr<PipeWireTestDaemon> daemon_;
};

// In SetUp: without the daemon the test is skipped, and under CI=true it fails.
#define PD_REQUIRE_PIPEWIRE(daemon)                                                                                    \
  do {                                                                                                                 \
    if (!(daemon).running()) {                                                                                         \
      const char* ci = std::getenv("CI");                                                                              \
      if (ci != nullptr && std::string(ci) == "true") FAIL() << (daemon).failure();                                    \
      GTEST_SKIP() << (daemon).failure();                                                                              \
    }                                                                                                                  \
  } while (false)

// What a command-line tool (pw-cli, pw-dump) prints to stdout; empty when it cannot run.
inline std::string runTool(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
    std::array<char, 4096> chunk{};
    while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe) != nullptr) output += chunk.data();
    ::pclose(pipe);
  }
  return output;
}

} // namespace pd::testing
