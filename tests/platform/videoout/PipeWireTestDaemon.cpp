#include "PipeWireTestDaemon.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pd::testing {

namespace {

// The socket's file appears at bind(), before the daemon listens: under load a client that came
// then was refused. Ready means a connection is taken.
bool accepts(const std::filesystem::path& socket) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& path = socket.native();
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

} // namespace

PipeWireTestDaemon::PipeWireTestDaemon() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/pdpw-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {
    failure_ = "mkdtemp failed";
    return;
  }
  directory_ = name.data();
  // The daemon and every client of this process meet in the private folder.
  ::setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
  ::setenv("PIPEWIRE_RUNTIME_DIR", directory_.c_str(), 1);
  ::unsetenv("PIPEWIRE_REMOTE");
  launch();
}

void PipeWireTestDaemon::restart(const std::function<void()>& whileAway) {
  if (pid_ > 0) {
    // Killed outright, as a crash would: its clients see only the socket close.
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::error_code ec;
  std::filesystem::remove(std::filesystem::path(directory_) / "pipewire-0", ec);
  std::filesystem::remove(std::filesystem::path(directory_) / "pipewire-0.lock", ec);
  if (whileAway) whileAway();
  launch();
}

void PipeWireTestDaemon::launch() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string logPath = directory_ + "/daemon.log";
  posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  char program[] = "pipewire";
  char* argv[] = {program, nullptr};
  const int status = posix_spawnp(&pid_, "pipewire", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (status != 0) {
    pid_ = -1;
    failure_ = "cannot start pipewire";
    return;
  }
  const auto socket = std::filesystem::path(directory_) / "pipewire-0";
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (accepts(socket)) return;
    int exitStatus = 0;
    if (::waitpid(pid_, &exitStatus, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  failure_ = "pipewire did not open its socket; see " + logPath;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

PipeWireTestDaemon::~PipeWireTestDaemon() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (!directory_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(directory_, ec);
  }
}

} // namespace pd::testing
