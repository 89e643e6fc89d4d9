#pragma once

// What the application-shell tests share: a private set of XDG folders per test, the log
// lines written since a mark, and a child process with pipes.

#include "TestSupport.hpp" // tests/platform: TempDirectory, ScopedEnvironment, writeText

#include "platform/log/LogStore.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pd::testing {

// Points every XDG folder of the process into one fresh temporary folder.
class XdgSandbox {
public:
  XdgSandbox()
      : data_("XDG_DATA_HOME", (root_ / "data").string()), cache_("XDG_CACHE_HOME", (root_ / "cache").string()),
        config_("XDG_CONFIG_HOME", (root_ / "config").string()),
        runtime_("XDG_RUNTIME_DIR", (root_ / "run").string()) {
    std::filesystem::create_directories(root_ / "run");
    std::filesystem::permissions(root_ / "run", std::filesystem::perms::owner_all);
  }
  const std::filesystem::path& root() const noexcept { return root_.path(); }
  std::filesystem::path appSupport() const { return root_ / "data" / PD_APP_ID; }
  std::filesystem::path caches() const { return root_ / "cache" / PD_APP_ID; }
  std::filesystem::path runtime() const { return root_ / "run" / PD_APP_ID; }

private:
  TempDirectory root_;
  ScopedEnvironment data_, cache_, config_, runtime_;
};

// The lines logged from its creation on.
class LogCapture {
public:
  LogCapture() : mark_(platform::log::LogStore::shared().lastSequence()) {}

  std::vector<platform::log::LogEntry> entries() const {
    return platform::log::LogStore::shared().entriesAfter(mark_);
  }
  std::vector<std::string> messagesContaining(const std::string& needle) const {
    std::vector<std::string> found;
    for (const auto& entry : entries()) {
      if (entry.message.find(needle) != std::string::npos) {
        found.push_back(entry.message);
      }
    }
    return found;
  }

private:
  std::uint64_t mark_;
};

// A child process whose stdin and stdout are pipes to us.
class ChildProcess {
public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) {
      argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) {
      throw std::runtime_error("posix_spawn " + program);
    }
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    closeStdin();
    ::close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // One line of its output, or none when nothing came within the timeout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return std::nullopt;
      }
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      char chunk[256];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) {
        return std::nullopt;
      }
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void writeLine(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const auto n = ::write(stdin_, text.data(), text.size());
  }
  void closeStdin() {
    if (stdin_ >= 0) {
      ::close(stdin_);
      stdin_ = -1;
    }
  }
  // The exit status, or -1 when it did not exit normally.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string buffer_;
};

} // namespace pd::testing
