#pragma once

// A private D-Bus and avahi-daemon restricted to the loopback interface, started once per test
// program through tools/testenv/start-avahi.sh and stopped at exit. The discovery library reads
// the system bus address once per process, so DBUS_SYSTEM_BUS_ADDRESS is pointed at the private
// bus before any client exists.
//
// A test calls PD_REQUIRE_PRIVATE_AVAHI() first: without a daemon it skips with the reason, or
// fails under CI=true, where these tests must run.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#ifndef PD_SOURCE_DIR
#error "PD_SOURCE_DIR must name the source tree"
#endif

namespace pd::testing {

class PrivateAvahi {
public:
  // The program's daemon; started on first use.
  static PrivateAvahi& shared() {
    static PrivateAvahi instance;
    return instance;
  }

  bool running() const noexcept { return address_.has_value(); }
  const std::string& failure() const noexcept { return failure_; }
  const std::string& address() const { return *address_; }
  const std::filesystem::path& directory() const noexcept { return directory_; }

  // Stops only the avahi-daemon, leaving the bus: clients then wait for a daemon to return.
  void stopDaemon() {
    std::ifstream in(directory_ / "avahi.pid");
    pid_t pid = 0;
    if (in >> pid && pid > 0) ::kill(pid, SIGTERM);
  }

  static bool requiredByCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
  }

  PrivateAvahi(const PrivateAvahi&) = delete;
  PrivateAvahi& operator=(const PrivateAvahi&) = delete;

private:
  static std::string script() { return std::string(PD_SOURCE_DIR) + "/tools/testenv/start-avahi.sh"; }

  PrivateAvahi() {
    char pattern[] = "/tmp/pd-link-avahi-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      failure_ = "cannot make a state folder";
      return;
    }
    directory_ = pattern;
    const std::string command = "'" + script() + "' '" + directory_.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
      failure_ = "cannot run " + script();
      return;
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = ::pclose(pipe);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || output.empty()) {
      failure_ = "start-avahi.sh could not start a private daemon (exit " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "), see its stderr";
      return;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", output.c_str(), 1);
    address_ = output;
  }

  ~PrivateAvahi() {
    if (directory_.empty()) return;
    const std::string command = "'" + script() + "' --stop '" + directory_.string() + "' >/dev/null 2>&1";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
    std::error_code ec;
    std::filesystem::remove_all(directory_, ec);
  }

  std::filesystem::path directory_;
  std::optional<std::string> address_;
  std::string failure_;
};

} // namespace pd::testing

#define PD_REQUIRE_PRIVATE_AVAHI()                                                                                     \
  do {                                                                                                                 \
    auto& avahi_ = ::pd::testing::PrivateAvahi::shared();                                                              \
    if (!avahi_.running()) {                                                                                           \
      if (::pd::testing::PrivateAvahi::requiredByCi()) FAIL() << "no private Avahi daemon: " << avahi_.failure();      \
      GTEST_SKIP() << "no private Avahi daemon: " << avahi_.failure();                                                 \
    }                                                                                                                  \
  } while (false)
