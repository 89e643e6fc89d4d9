#include "diagnostics/SingleInstanceGuard.hpp"

#include "AppTestSupport.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/instance/ActivationListener.hpp"
#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

namespace pd::diagnostics {
namespace {

namespace guard = SingleInstanceGuard;
using namespace std::chrono_literals;
using pd::testing::ChildProcess;
using pd::testing::LogCapture;
using pd::testing::XdgSandbox;

class SingleInstanceGuardTest : public ::testing::Test {
protected:
  void SetUp() override {
    guard::resetSettings();
    guard::settings().exitProcess = [this](int status) { exitStatuses.push_back(status); };
  }
  void TearDown() override {
    guard::releaseForTesting();
    guard::resetSettings();
  }

  // Starts the stand-in first instance and waits until it holds the lock.
  std::unique_ptr<ChildProcess> startFirstInstance(std::vector<std::string> arguments = {}) {
    auto child = std::make_unique<ChildProcess>(PD_SINGLE_INSTANCE_HOLDER, std::move(arguments));
    const auto line = child->readLine(5s);
    EXPECT_EQ(line, "ready " + std::to_string(child->pid()));
    return child;
  }

  // Holds the lock from this process through a second open file description, as another
  // process would, without anyone listening on the activation channel.
  int holdLockLocally() {
    std::filesystem::create_directories(sandbox.appSupport());
    const int fd = ::open((sandbox.appSupport() / "instance.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    return fd;
  }

  XdgSandbox sandbox;
  LogCapture log;
  std::vector<int> exitStatuses;
};

TEST_F(SingleInstanceGuardTest, FirstInstanceTakesTheLockSilentlyAndLeavesTheFileForTheNextLaunch) {
  EXPECT_EQ(guard::acquire(), guard::Acquisition::acquired);
  const auto file = sandbox.appSupport() / "instance.lock";
  struct stat first {};
  ASSERT_EQ(::stat(file.c_str(), &first), 0);
  EXPECT_EQ(first.st_mode & 0777, 0644u);
  EXPECT_TRUE(log.messagesContaining("single_instance").empty());
  // Asking again in the same process does not wait for our own lock.
  EXPECT_EQ(guard::acquire(), guard::Acquisition::acquired);

  guard::releaseForTesting();
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(guard::acquire(), guard::Acquisition::acquired);
  struct stat second {};
  ASSERT_EQ(::stat(file.c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);
}

TEST_F(SingleInstanceGuardTest, SecondInstanceGivesUpNamesTheIncumbentAndBringsItToTheFront) {
  auto first = startFirstInstance();
  guard::settings().lockWait = 300ms;
  guard::settings().retryInterval = 20ms;
  const auto terminalBefore = LogRing::shared().callCounts().terminal;

  const auto started = std::chrono::steady_clock::now();
  guard::acquireOrExit();
  const auto took = std::chrono::steady_clock::now() - started;

  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(exitStatuses, std::vector<int>{0});
  EXPECT_EQ(log.messagesContaining("lifecycle event=launch_abort"),
            std::vector<std::string>{"lifecycle event=launch_abort action=exit reason=single_instance incumbent_pid=" +
                                     std::to_string(first->pid())});
  EXPECT_EQ(first->readLine(2s), "activated");
  EXPECT_EQ(LogRing::shared().callCounts().terminal, terminalBefore + 1);
  EXPECT_TRUE(log.messagesContaining("single_instance_reopen_fail").empty());
}

TEST_F(SingleInstanceGuardTest, LockReleasedByAnExitMidWaitLetsTheSecondInstanceRun) {
  auto first = startFirstInstance({"250"});
  // A wait far longer than the holder's life: taking the lock well before its end shows the
  // retries, with room for a loaded machine.
  guard::settings().lockWait = 30s;
  guard::settings().retryInterval = 20ms;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(guard::acquire(), guard::Acquisition::acquired);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(first->wait(), 0);
  EXPECT_TRUE(log.messagesContaining("launch_abort").empty());
}

TEST_F(SingleInstanceGuardTest, TheNextInstanceReplacesTheSocketTheLastOneLeftBehind) {
  {
    auto first = startFirstInstance();
    first->closeStdin();
    EXPECT_EQ(first->wait(), 0); // ends without removing its socket
  }
  ASSERT_TRUE(std::filesystem::exists(sandbox.runtime() / "instance.sock"));
  auto second = startFirstInstance();
  const auto incumbent = guard::findIncumbent(runtime::Clock::current().monotonic() + 1s);
  ASSERT_TRUE(incumbent.has_value());
  EXPECT_EQ(incumbent->processIdentifier(), second->pid());
}

TEST_F(SingleInstanceGuardTest, EachStageThatCannotMakeTheLockLogsOnceAndRunsUnguarded) {
  struct Case {
    std::function<void(const XdgSandbox&)> spoil;
    bool withoutDataFolder;
    std::string line;
  };
  const Case cases[] = {
      // A file where the data folder should be: mkdir fails even for root.
      {[](const XdgSandbox& s) { pd::testing::writeText(s.root() / "data", "not a folder"); }, false,
       "single_instance_lock_fail stage=mkdir err_domain=POSIX err_code=" + std::to_string(ENOTDIR)},
      {[](const XdgSandbox& s) { std::filesystem::create_directories(s.appSupport() / "instance.lock"); }, false,
       "single_instance_lock_fail stage=open err_code=" + std::to_string(EISDIR)},
      {[](const XdgSandbox&) {}, true, "single_instance_lock_fail stage=support_dir err_code=0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    XdgSandbox fresh;
    c.spoil(fresh);
    std::optional<pd::testing::ScopedEnvironment> noData, noHome;
    if (c.withoutDataFolder) {
      noData.emplace("XDG_DATA_HOME", std::nullopt);
      noHome.emplace("HOME", std::nullopt);
    }
    const LogCapture since;
    EXPECT_EQ(guard::acquire(), guard::Acquisition::unguarded);
    EXPECT_EQ(since.messagesContaining("single_instance_lock_fail"), std::vector<std::string>{c.line});
    guard::acquireOrExit();
    EXPECT_TRUE(exitStatuses.empty());
  }
}

TEST_F(SingleInstanceGuardTest, NobodyAnsweringStillEndsWithPidMinusOne) {
  const int fd = holdLockLocally();
  guard::settings().lockWait = 50ms;
  guard::settings().retryInterval = 10ms;
  guard::acquireOrExit();
  ::close(fd);
  EXPECT_EQ(exitStatuses, std::vector<int>{0});
  EXPECT_EQ(
      log.messagesContaining("launch_abort"),
      std::vector<std::string>{"lifecycle event=launch_abort action=exit reason=single_instance incumbent_pid=-1"});
  EXPECT_TRUE(log.messagesContaining("single_instance_reopen_fail").empty());
}

TEST_F(SingleInstanceGuardTest, AHungIncumbentCannotHoldTheSecondInstanceBeyondTheReopenWait) {
  const int fd = holdLockLocally();
  std::atomic<bool> release{false};
  // Answers its process id but takes far too long to come to the front: half a minute, so that
  // the bound below has room for a loaded machine yet still tells a missed deadline apart.
  platform::instance::ActivationListener hung(*guard::activationSocketPath(), [&release] {
    for (int i = 0; i < 3000 && !release.load(); ++i) {
      std::this_thread::sleep_for(10ms);
    }
  });
  // It answers with our own pid, which findIncumbent would refuse; ask it directly.
  auto incumbent =
      platform::instance::RunningInstance::find(hung.socketPath(), runtime::Clock::current().monotonic() + 300ms);
  ASSERT_TRUE(incumbent.has_value());
  const auto started = std::chrono::steady_clock::now();
  guard::reopenIncumbent(incumbent);
  const auto took = std::chrono::steady_clock::now() - started;
  release = true;
  ::close(fd);
  EXPECT_LT(took, 10s);
  EXPECT_EQ(
      log.messagesContaining("single_instance_reopen_fail"),
      std::vector<std::string>{"single_instance_reopen_fail err_domain=POSIX err_code=" + std::to_string(ETIMEDOUT)});
}

TEST_F(SingleInstanceGuardTest, WaitIsMeasuredOnTheMonotonicClockWhateverTheWallClockDoes) {
  const int fd = holdLockLocally();
  runtime::ManualClock clock;
  runtime::ScopedClock useClock(clock);
  int tries = 0;
  guard::settings().sleep = [&](std::chrono::nanoseconds interval) {
    ++tries;
    clock.advance(interval);
    // An administrator or NTP steps the wall clock back and forth during the wait.
    clock.stepWall(tries % 2 == 0 ? std::chrono::hours(-2) : std::chrono::hours(3));
  };
  EXPECT_EQ(guard::acquire(), guard::Acquisition::heldByAnother);
  ::close(fd);
  // Tries at 0.0, 0.1, ... 3.0 s: thirty pauses of 0.1 s.
  EXPECT_EQ(tries, 30);
}

} // namespace
} // namespace pd::diagnostics
