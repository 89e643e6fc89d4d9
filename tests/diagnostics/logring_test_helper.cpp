// A child process for the tests that must kill, crash or confine a process:
//
//   logring_test_helper flush-loop <root>           logs and flushes until killed; prints
//                                                    "flushed <n>" once entries 0..n-1 are committed
//   logring_test_helper crash <folder> segv|abort [fifo|record]
//                                                    installs the crash handler and dies (or prints
//                                                    "refused <errno>" and exits 3); "fifo" or
//                                                    "record" first leaves a pipe, or an earlier
//                                                    process's record, at its own record's name
//   logring_test_helper disk <folder> full|readonly  runs a ring on a tiny private tmpfs and prints
//                                                    the ring's own lines
//   logring_test_helper save-full <folder> <export>  saves the export over a file on a tiny private
//                                                    tmpfs that cannot hold it; prints the outcome
//   logring_test_helper prune-busy <folder>          prunes a ring whose oldest launch cannot go
//   logring_test_helper launch -                      starts as the application does (guard, then the
//                                                    process's ring); prints "running <launch id>" and
//                                                    answers each "verdict" line, or ends at the guard
//
// The confined modes need a private mount namespace; without one they exit with 77.

#include "diagnostics/ExportSaver.hpp"
#include "runtime/Error.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogRing.hpp"
#include "diagnostics/SingleInstanceGuard.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/metrics/CrashRecord.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>

namespace {

using namespace pd;
using namespace pd::diagnostics;
namespace fs = std::filesystem;

constexpr int kSkip = 77;

void flushAndWait(LogRing& ring) {
  std::promise<void> done;
  ring.requestFlush([&done] { done.set_value(); });
  done.get_future().wait();
}

LogRing::Config configFor(const fs::path& root) {
  LogRing::Config config = LogRing::standardConfig();
  config.root = root;
  config.timing.flushPeriod = std::chrono::hours(1);
  config.timing.flushRetryInterval = std::chrono::milliseconds(5);
  return config;
}

int flushLoop(const fs::path& root) {
  LogRing ring(configFor(root));
  ring.start();
  long next = 0;
  for (;;) {
    for (int i = 0; i < 200; ++i) Log::app().notice("kill_test_entry n=%ld", next++);
    const long logged = next;
    flushAndWait(ring);
    std::printf("flushed %ld\n", logged);
    std::fflush(stdout);
  }
}

int crash(const fs::path& folder, std::string_view how, std::string_view plant) {
  const fs::path ownRecord = folder / ("crash-" + std::to_string(::getpid()) + ".rec");
  if (plant == "fifo") {
    fs::create_directories(folder);
    if (::mkfifo(ownRecord.c_str(), 0600) != 0) return 2;
  } else if (plant == "record") {
    fs::create_directories(folder);
    std::ofstream(ownRecord) << "pdcrash 1\nsignal=" << SIGBUS << "\npid=" << ::getpid() << "\ntime_s=1000\nend\n";
  }
  try {
    platform::metrics::installCrashHandler(folder);
  } catch (const pd::PosixError& refused) {
    std::printf("refused %d\n", refused.errnum());
    return 3;
  }
  std::printf("installed\n");
  std::fflush(stdout);
  if (how == "abort") std::abort();
  // A real fault, not a sent signal; not null, so that a sanitizer does not stop it first.
  volatile std::uintptr_t nowhere = 8;
  *reinterpret_cast<volatile int*>(nowhere) = 1;
  return 0;
}

bool writeProcFile(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // These files take their whole content in one write.
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return written;
}

// A mount namespace needs CAP_SYS_ADMIN. A normal user gets it inside a user namespace of its
// own, in which it may mount a tmpfs and nothing beyond its own mounts.
bool enterMountNamespace() {
  if (::unshare(CLONE_NEWNS) == 0) return true;
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  return writeProcFile("/proc/self/setgroups", "deny") &&
         writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") &&
         writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

bool confine(const fs::path& folder, const char* size) {
  if (!enterMountNamespace()) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  fs::create_directories(folder);
  return ::mount("tmpfs", folder.c_str(), "tmpfs", 0, size) == 0;
}

void printRingLines() {
  for (const auto& entry : platform::log::LogStore::shared().entriesAfter(0)) {
    if (entry.message.starts_with("ring_") || entry.message.starts_with("app_launch")) {
      std::printf("%s\n", entry.message.c_str());
    }
  }
  std::fflush(stdout);
}

int disk(const fs::path& folder, std::string_view mode) {
  if (!confine(folder, "size=256k")) return kSkip;
  LogRing ring(configFor(folder / "LogRing"));
  ring.start();
  ring.waitUntilIdle(std::chrono::seconds(10));
  if (mode == "readonly" && ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
    return kSkip;
  }
  const std::string big(8 * 1024, 'x');
  for (int run = 0; run < 5; ++run) {
    for (int i = 0; i < (mode == "full" ? 40 : 1); ++i) Log::app().notice("filler %{public}s", big);
    flushAndWait(ring);
  }
  ring.markTerminal();
  printRingLines();
  return 0;
}

int saveFull(const fs::path& folder, const fs::path& source) {
  if (!confine(folder, "size=64k")) return kSkip;
  const fs::path destination = folder / "saved.ndjson";
  { std::ofstream(destination) << "the user's older file\n"; }
  int error = 0;
  try {
    ExportSaver::saveReplacing(source, destination);
  } catch (const pd::PosixError& failure) {
    error = failure.errnum();
  }
  std::ifstream kept(destination);
  std::string old;
  std::getline(kept, old);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++files;
  std::printf("error=%d old=%s files=%zu\n", error, old == "the user's older file" ? "intact" : "lost", files);
  std::fflush(stdout);
  return 0;
}

int pruneBusy(const fs::path& folder) {
  if (!confine(folder, "size=4m")) return kSkip;
  const fs::path root = folder / "LogRing";
  std::string current;
  fs::path oldest;
  for (int i = 1; i <= 7; ++i) {
    LogRing::Manifest manifest;
    manifest.launchID = platform::crypto::makeUUIDString();
    manifest.startedAt = "2026-01-01T00:00:00.000Z";
    manifest.seq = i;
    manifest.clean = true;
    const fs::path directory = root / manifest.launchID;
    fs::create_directories(directory);
    std::ofstream(directory / "manifest.json") << manifest.encode();
    if (i == 1) oldest = directory;
    current = manifest.launchID;
  }
  // A mount point inside the oldest launch cannot be removed.
  fs::create_directories(oldest / "busy");
  if (::mount("tmpfs", (oldest / "busy").c_str(), "tmpfs", 0, "size=64k") != 0) return kSkip;
  const auto result = LogRing::prune(root, current, LogRing::Limits{});
  std::printf("deleted=%ld kept=%ld folders=%zu\n", static_cast<long>(result.deleted), static_cast<long>(result.kept),
              LogRing::listLaunchDirectories(root).size());
  return 0;
}

int launch() {
  namespace guard = SingleInstanceGuard;
  guard::settings().lockWait = std::chrono::milliseconds(100);
  // The terminal mark gives the ring half a second and the process then ends with whatever
  // the ring did by then; a busy machine can take longer to write the aborted launch's folder.
  // That bound has tests of its own, so here the launch ends only once its ring is done.
  guard::settings().exitProcess = [](int status) {
    LogRing::shared().waitUntilIdle(std::chrono::seconds(30));
    std::fflush(nullptr);
    ::_exit(status);
  };
  guard::acquireOrExit();
  LogRing& ring = LogRing::shared();
  ring.start();
  const auto listener = guard::listenForLaterLaunches([] {});
  ring.waitUntilIdle(std::chrono::seconds(10));
  std::printf("running %s\n", ring.launchID().c_str());
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
    if (line != "verdict") continue;
    std::promise<bool> unclean;
    ring.previousExitWasUnclean([&unclean](bool value) { unclean.set_value(value); });
    std::printf("%s\n", unclean.get_future().get() ? "unclean" : "clean");
    std::fflush(stdout);
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  platform::log::setStderrEnabled(false);
  if (argc < 3) return 2;
  const std::string_view mode = argv[1];
  const fs::path folder = argv[2];
  if (mode == "flush-loop") return flushLoop(folder);
  if (mode == "crash" && (argc == 4 || argc == 5)) return crash(folder, argv[3], argc == 5 ? argv[4] : "");
  if (mode == "disk" && argc == 4) return disk(folder, argv[3]);
  if (mode == "save-full" && argc == 4) return saveFull(folder, argv[3]);
  if (mode == "prune-busy") return pruneBusy(folder);
  if (mode == "launch") return launch();
  return 2;
}
