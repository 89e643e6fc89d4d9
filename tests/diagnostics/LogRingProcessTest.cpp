// Faults that only a separate process can show: a kill in the middle of a flush, a full or
// read-only disk, a folder that cannot be deleted, and a crash.

#include "RingTestSupport.hpp"
#include "support/ChildProcess.hpp"

#include "platform/metrics/CrashRecord.hpp"
#include "platform/paths/Paths.hpp"

#include <cerrno>
#include <csignal>
#include <random>
#include <set>

namespace pd::diagnostics::test {
namespace {

using pd::testing::ChildProcess;

constexpr int kSkipped = 77;

int runCount() {
  if (const char* runs = std::getenv("LOGRING_KILL_RUNS")) return std::max(1, std::atoi(runs));
  return 30;
}

// Everything a killed launch left must be readable, and nothing committed may be missing.
void verifyKilledLaunch(const fs::path& root, pid_t pid, long committed) {
  std::optional<LogRing::Manifest> mine;
  fs::path mineDirectory;
  for (const auto& directory : LogRing::listLaunchDirectories(root)) {
    const auto manifest = LogRing::Manifest::read(directory);
    ASSERT_TRUE(manifest.has_value()) << "no valid manifest in " << directory;
    if (manifest->pid == pid) {
      mine = manifest;
      mineDirectory = directory;
    }
  }
  ASSERT_TRUE(mine.has_value());
  EXPECT_FALSE(mine->clean);
  std::set<long> seen;
  for (const auto& segment : mine->segments) {
    const fs::path file = mineDirectory / segment.file;
    ASSERT_TRUE(fs::exists(file)) << segment.file;
    ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(file)), segment.bytes);
    const auto lines = splitLines(readText(file));
    ASSERT_EQ(static_cast<std::int64_t>(lines.size()), segment.entries);
    for (const auto& line : lines) {
      const auto parsed = nlohmann::json::parse(line);
      const std::string msg = parsed.at("msg");
      if (msg.starts_with("kill_test_entry n=")) seen.insert(std::stol(msg.substr(18)));
    }
  }
  for (long n = 0; n < committed; ++n) {
    ASSERT_TRUE(seen.contains(n)) << "entry " << n << " of " << committed << " committed entries is missing";
  }
  EXPECT_EQ(LogRing::previousExitStatus(root, newLaunchID()), "unclean");
}

TEST(LogRingProcessTest, KilledInTheMiddleOfFlushesTheRingStaysReadable) {
  TempDirectory scratch;
  const fs::path root = scratch / "LogRing";
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayMicros(0, 40'000);
  for (int run = 0; run < runCount(); ++run) {
    ChildProcess child(PD_LOGRING_TEST_HELPER, {"flush-loop", root.string()});
    long committed = 0;
    const auto first = child.readLine(10s);
    ASSERT_TRUE(first && first->starts_with("flushed ")) << "the helper did not start";
    committed = std::stol(first->substr(8));
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicros(random)));
    child.kill(SIGKILL);
    const int status = child.waitStatus();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    for (const auto& line : child.readAll(2s)) {
      if (line.starts_with("flushed ")) committed = std::stol(line.substr(8));
    }
    verifyKilledLaunch(root, child.pid(), committed);
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_LE(LogRing::listLaunchDirectories(root).size(), 6u); // five, plus the protected unclean one
}

std::vector<std::string> runDiskHelper(const std::string& mode) {
  TempDirectory scratch;
  ChildProcess child(PD_LOGRING_TEST_HELPER, {"disk", (scratch / "mnt").string(), mode});
  auto lines = child.readAll(30s);
  const int status = child.waitStatus();
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) return {"skip"};
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return lines;
}

std::size_t countStarting(const std::vector<std::string>& lines, std::string_view prefix) {
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(prefix); }));
}

TEST(LogRingProcessTest, AFullDiskEndsInSuspensionWithoutACrash) {
  const auto lines = runDiskHelper("full");
  if (lines == std::vector<std::string>{"skip"}) GTEST_SKIP() << "no private mount namespace for a tiny tmpfs";
  EXPECT_EQ(countStarting(lines, "ring_flush_fail reason=collect err_domain=POSIX err_code=28"), 3u); // ENOSPC
  EXPECT_EQ(countStarting(lines, "ring_truncated reason=write_fail size_b=0"), 1u);
  EXPECT_EQ(countStarting(lines, "app_launch prev_exit=unknown"), 1u);
}

TEST(LogRingProcessTest, AReadOnlyDiskIsReportedAndSurvived) {
  const auto lines = runDiskHelper("readonly");
  if (lines == std::vector<std::string>{"skip"}) GTEST_SKIP() << "no private mount namespace for a tiny tmpfs";
  EXPECT_EQ(countStarting(lines, "ring_flush_fail reason=collect err_domain=POSIX err_code=30"), 3u); // EROFS
  EXPECT_EQ(countStarting(lines, "ring_truncated reason=write_fail size_b=0"), 1u);
  // The commits of the suspension and of the terminal mark fail too, and say so.
  EXPECT_GE(countStarting(lines, "ring_flush_fail reason=manifest err_domain=POSIX err_code=30"), 1u);
}

TEST(LogRingProcessTest, PruningCountsOnlyTheFoldersItReallyDeleted) {
  TempDirectory scratch;
  ChildProcess child(PD_LOGRING_TEST_HELPER, {"prune-busy", (scratch / "mnt").string()});
  const auto lines = child.readAll(30s);
  const int status = child.waitStatus();
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) GTEST_SKIP() << "no private mount namespace";
  ASSERT_EQ(lines.size(), 1u);
  // The oldest could not go, so two others went instead, and the line matches the disk.
  EXPECT_EQ(lines[0], "deleted=2 kept=5 folders=5");
}

TEST(LogRingProcessTest, LaterLaunchesEndingAtTheGuardLeaveTheRingAndTheVerdictAlone) {
  TempDirectory scratch;
  fs::create_directories(scratch / "run");
  fs::permissions(scratch / "run", fs::perms::owner_all);
  const std::vector<std::string> environment{"XDG_DATA_HOME=" + (scratch / "data").string(),
                                             "XDG_RUNTIME_DIR=" + (scratch / "run").string()};
  const fs::path root = scratch / "data" / std::string(platform::paths::applicationID()) / "LogRing";
  const auto runningLaunch = [&](ChildProcess& child) {
    const auto line = child.readLine(10s);
    EXPECT_TRUE(line && line->starts_with("running ")) << line.value_or("nothing");
    return line ? line->substr(8) : std::string();
  };

  std::string crashedID;
  {
    ChildProcess crashed(PD_LOGRING_TEST_HELPER, {"launch", "-"}, environment);
    crashedID = runningLaunch(crashed);
    crashed.kill(SIGKILL);
    crashed.waitStatus();
  }
  ChildProcess running(PD_LOGRING_TEST_HELPER, {"launch", "-"}, environment);
  ASSERT_FALSE(runningLaunch(running).empty());
  running.writeLine("verdict");
  ASSERT_EQ(running.readLine(10s), "unclean");

  for (int i = 0; i < 10; ++i) {
    ChildProcess later(PD_LOGRING_TEST_HELPER, {"launch", "-"}, environment);
    EXPECT_TRUE(later.readAll(10s).empty());
    EXPECT_EQ(later.wait(), 0);
  }

  running.writeLine("verdict");
  EXPECT_EQ(running.readLine(10s), "unclean");
  EXPECT_TRUE(fs::exists(root / crashedID / "manifest.json"));
  EXPECT_EQ(readText(root / "launch.seq"), "2");
  // Each later launch kept its abort line, in a folder of its own.
  const std::string abortLine =
      "lifecycle event=launch_abort action=exit reason=single_instance incumbent_pid=" + std::to_string(running.pid());
  int aborted = 0;
  for (const auto& directory : LogRing::listLaunchDirectories(root)) {
    const auto manifest = LogRing::Manifest::read(directory);
    ASSERT_TRUE(manifest.has_value()) << directory;
    if (manifest->seq) continue;
    ++aborted;
    EXPECT_TRUE(manifest->clean);
    std::string text;
    for (const auto& segment : manifest->segments) text += readText(directory / segment.file);
    EXPECT_NE(text.find(abortLine), std::string::npos) << directory;
  }
  EXPECT_EQ(aborted, 10);
}

TEST(ChildProcessTest, AnEntryGivenForTheChildReplacesTheInheritedOne) {
  pd::testing::ScopedEnvironment inherited("PD_CHILD_PROBE", "inherited");
  ChildProcess child("/bin/sh", {"-c", "printf '%s\\n' \"$PD_CHILD_PROBE\""}, {"PD_CHILD_PROBE=given"});
  EXPECT_EQ(child.readAll(5s), std::vector<std::string>{"given"});
  EXPECT_EQ(child.wait(), 0);
}

TEST(CrashRecordTest, AFatalSignalLeavesARecordForTheNextLaunch) {
  for (const auto& [how, signal] : std::vector<std::pair<std::string, int>>{{"segv", SIGSEGV}, {"abort", SIGABRT}}) {
    TempDirectory folder;
    // Under a sanitizer its own fault handler would come first and end the process
    // its own way; the handler under test must see the fault itself.
    ChildProcess child(PD_LOGRING_TEST_HELPER, {"crash", folder.path().string(), how},
                       {"ASAN_OPTIONS=handle_segv=0:detect_leaks=0", "TSAN_OPTIONS=handle_segv=0"});
    ASSERT_EQ(child.readLine(10s), "installed");
    const int status = child.waitStatus();
    ASSERT_TRUE(WIFSIGNALED(status)) << how;
    EXPECT_EQ(WTERMSIG(status), signal) << "the signal must still end the process";

    const auto crashes = platform::metrics::collectCrashRecords(folder.path());
    ASSERT_EQ(crashes.size(), 1u) << how;
    EXPECT_EQ(crashes[0].signal, signal);
    EXPECT_EQ(crashes[0].pid, child.pid());
    EXPECT_TRUE(crashes[0].complete);
    EXPECT_FALSE(crashes[0].frames.empty());
    EXPECT_EQ(crashes[0].appVersion, PD_APP_VERSION);
    const auto age = runtime::Clock::current().wall() - crashes[0].time;
    EXPECT_LT(std::chrono::abs(age), 60s);
    EXPECT_TRUE(fs::is_empty(folder.path())) << "records are read once";
  }
}

TEST(CrashRecordTest, ALinkAtTheRecordFolderIsRefusedAndItsTargetKeepsItsMode) {
  TempDirectory scratch;
  const fs::path target = scratch / "elsewhere";
  fs::create_directories(target);
  fs::permissions(target, fs::perms(0755));
  fs::create_directory_symlink(target, scratch / "CrashRecords");
  ChildProcess child(PD_LOGRING_TEST_HELPER, {"crash", (scratch / "CrashRecords").string(), "abort"});
  EXPECT_EQ(child.readLine(10s), "refused " + std::to_string(ELOOP));
  EXPECT_EQ(child.wait(), 3);
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0755));
}

TEST(CrashRecordTest, APipeAtTheRecordNameDoesNotHoldUpTheCrash) {
  TempDirectory folder;
  ChildProcess child(PD_LOGRING_TEST_HELPER, {"crash", folder.path().string(), "abort", "fifo"});
  ASSERT_EQ(child.readLine(10s), "installed");
  // The end of its output is its death; a child held in the handler is killed here instead.
  EXPECT_EQ(child.readLine(30s), std::nullopt);
  child.kill(SIGKILL);
  const int status = child.waitStatus();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
}

TEST(CrashRecordTest, AnUnreadRecordThatCarriesOurPidIsNotWrittenOver) {
  TempDirectory folder;
  ChildProcess child(PD_LOGRING_TEST_HELPER, {"crash", folder.path().string(), "abort", "record"});
  ASSERT_EQ(child.readLine(10s), "installed");
  ASSERT_TRUE(WIFSIGNALED(child.waitStatus()));
  const auto crashes = platform::metrics::collectCrashRecords(folder.path());
  ASSERT_EQ(crashes.size(), 2u);
  const auto withSignal = [&](int signal) {
    return std::find_if(crashes.begin(), crashes.end(), [&](const auto& crash) { return crash.signal == signal; });
  };
  const auto earlier = withSignal(SIGBUS);
  ASSERT_NE(earlier, crashes.end());
  EXPECT_EQ(earlier->pid, child.pid());
  EXPECT_EQ(earlier->time, runtime::Clock::WallTime(1000s));
  const auto own = withSignal(SIGABRT);
  ASSERT_NE(own, crashes.end());
  EXPECT_EQ(own->pid, child.pid());
  EXPECT_TRUE(own->complete);
}

} // namespace
} // namespace pd::diagnostics::test
