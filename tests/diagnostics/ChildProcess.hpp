#pragma once

// Runs the test helper as a child process and reads what it prints.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace pd::diagnostics::test {

class ChildProcess {
public:
  // `environment` entries ("NAME=value") come in addition to this process's environment.
  explicit ChildProcess(std::vector<std::string> args, std::vector<std::string> environment = {}) {
    args.insert(args.begin(), PD_LOGRING_TEST_HELPER);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      ::dup2(fds[1], STDOUT_FILENO);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~ChildProcess() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    ::close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // The next complete line, or none at the end of output or after the limit.
  std::optional<std::string> readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (eof_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) {
        eof_ = true;
      } else {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      }
    }
  }
  std::vector<std::string> readAll(std::chrono::milliseconds limit) {
    std::vector<std::string> lines;
    while (auto line = readLine(limit)) lines.push_back(std::move(*line));
    return lines;
  }

  void kill(int signal) { ::kill(pid_, signal); }
  // The wait status.
  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
  }

private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  bool eof_ = false;
  bool reaped_ = false;
};

} // namespace pd::diagnostics::test
