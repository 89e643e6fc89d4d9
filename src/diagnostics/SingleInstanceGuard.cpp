#include "diagnostics/SingleInstanceGuard.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/Clock.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace pd::diagnostics::SingleInstanceGuard {

namespace {

constexpr const char* kLockFileName = "instance.lock";
constexpr const char* kSocketFileName = "instance.sock";

// The descriptor that carries the lock. Never closed by the application, so the lock lasts
// exactly as long as the process, however it ends.
int heldLockFd = -1;

Settings makeDefaultSettings() {
  Settings s;
  s.sleep = [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); };
  s.exitProcess = [](int status) {
    std::fflush(nullptr);
    ::_exit(status);
  };
  return s;
}

Settings& mutableSettings() {
  static Settings s = makeDefaultSettings();
  return s;
}

void giveUp() {
  auto& s = settings();
  const auto deadline = runtime::Clock::current().monotonic() + s.reopenWait;
  auto incumbent = findIncumbent(deadline);
  const int incumbentPid = incumbent ? static_cast<int>(incumbent->processIdentifier()) : -1;
  Log::app().notice("lifecycle event=launch_abort action=exit reason=single_instance incumbent_pid=%d", incumbentPid);
  reopenIncumbent(incumbent);
  // The ring has not started: a launch that ends here must not take a sequence number or
  // prune the running instance's ring, yet its lines up to this one are kept.
  LogRing::shared().startAborted();
  LogRing::shared().markTerminal();
  s.exitProcess(0);
}

} // namespace

Settings& settings() { return mutableSettings(); }

void resetSettings() { mutableSettings() = makeDefaultSettings(); }

std::optional<std::filesystem::path> openLockFile() {
  const auto base = platform::paths::userApplicationSupportDirectory();
  if (!base) {
    Log::app().error("single_instance_lock_fail stage=support_dir err_code=0");
    return std::nullopt;
  }
  const auto folder = *base / platform::paths::applicationID();
  std::error_code ec;
  platform::paths::createPrivateDirectories(folder, ec);
  if (ec) {
    const auto fields =
        LogErrorFields::fields(std::filesystem::filesystem_error("create_directories", folder, ec), true);
    Log::app().error("single_instance_lock_fail stage=mkdir err_domain=%{public}s err_code=%ld", fields.domain,
                     fields.code);
    return std::nullopt;
  }
  return folder / kLockFileName;
}

Acquisition acquire() {
  if (heldLockFd >= 0) {
    return Acquisition::acquired;
  }
  const auto file = openLockFile();
  if (!file) {
    return Acquisition::unguarded;
  }
  const int fd = ::open(file->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    Log::app().error("single_instance_lock_fail stage=open err_code=%d", errno);
    return Acquisition::unguarded;
  }
  const auto& s = settings();
  // The monotonic clock: a wall clock step must neither cut the wait short nor stretch it.
  const auto deadline = runtime::Clock::current().monotonic() + s.lockWait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      heldLockFd = fd;
      return Acquisition::acquired;
    }
    const int error = errno;
    if (error != EWOULDBLOCK && error != EINTR) {
      Log::app().error("single_instance_lock_fail stage=flock err_code=%d", error);
      ::close(fd);
      return Acquisition::unguarded;
    }
    if (runtime::Clock::current().monotonic() >= deadline) {
      ::close(fd);
      return Acquisition::heldByAnother;
    }
    s.sleep(s.retryInterval);
  }
}

void acquireOrExit() {
  if (acquire() == Acquisition::heldByAnother) {
    giveUp();
  }
}

std::optional<std::filesystem::path> activationSocketPath() {
  try {
    return platform::paths::runtimeDirectory() / kSocketFileName;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<platform::instance::RunningInstance> findIncumbent(runtime::Clock::MonotonicTime deadline) {
  const auto socket = activationSocketPath();
  if (!socket) {
    return std::nullopt;
  }
  auto found = platform::instance::RunningInstance::find(*socket, deadline);
  if (found && found->processIdentifier() == ::getpid()) {
    return std::nullopt;
  }
  return found;
}

void reopenIncumbent(std::optional<platform::instance::RunningInstance>& incumbent) {
  if (!incumbent) {
    return;
  }
  try {
    incumbent->activate();
  } catch (const std::exception& error) {
    const auto fields = LogErrorFields::fields(error, true);
    Log::app().error("single_instance_reopen_fail err_domain=%{public}s err_code=%ld", fields.domain, fields.code);
  }
}

std::unique_ptr<platform::instance::ActivationListener> listenForLaterLaunches(std::function<void()> onActivate) {
  try {
    const auto socket = platform::paths::runtimeDirectory() / kSocketFileName;
    return std::make_unique<platform::instance::ActivationListener>(socket, std::move(onActivate));
  } catch (const std::exception& error) {
    const auto fields = LogErrorFields::fields(error, true);
    Log::app().error("single_instance_listen_fail err_domain=%{public}s err_code=%ld", fields.domain, fields.code);
    return nullptr;
  }
}

void releaseForTesting() {
  if (heldLockFd >= 0) {
    ::close(heldLockFd);
    heldLockFd = -1;
  }
}

} // namespace pd::diagnostics::SingleInstanceGuard
