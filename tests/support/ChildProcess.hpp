#pragma once

// A child process whose stdin and stdout are pipes to the test.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace pd::testing {

class ChildProcess {
public:
  // `environment` entries ("NAME=value") come in addition to this process's environment and
  // replace its entries of the same name.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               std::vector<std::string> environment = {}) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      throw std::runtime_error("pipe");
    }
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view inherited(*entry);
      const auto overridden = std::any_of(environment.begin(), environment.end(), [&](const std::string& own) {
        const std::string_view name = std::string_view(own).substr(0, own.find('='));
        return inherited.size() > name.size() && inherited.starts_with(name) && inherited[name.size()] == '=';
      });
      if (!overridden) envp.push_back(*entry);
    }
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      closeStdin();
      ::close(stdout_);
      throw std::runtime_error("posix_spawn " + program);
    }
  }
  ~ChildProcess() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      waitStatus();
    }
    closeStdin();
    ::close(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }

  // The next complete line, or none at the end of its output or when nothing came in time.
  std::optional<std::string> readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      if (eof_) return std::nullopt;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) {
        eof_ = true;
      } else {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      }
    }
  }
  // Every line up to the end of its output, each within `limit` of the one before.
  std::vector<std::string> readAll(std::chrono::milliseconds limit) {
    std::vector<std::string> lines;
    while (auto line = readLine(limit)) lines.push_back(std::move(*line));
    return lines;
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

  void kill(int signal) { ::kill(pid_, signal); }
  // The raw wait status.
  int waitStatus() {
    if (reaped_) return status_;
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {}
    reaped_ = true;
    return status_;
  }
  // The exit status, or -1 when it did not exit normally.
  int wait() {
    const int status = waitStatus();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int status_ = 0;
  bool eof_ = false;
  bool reaped_ = false;
  std::string buffer_;
};

} // namespace pd::testing
