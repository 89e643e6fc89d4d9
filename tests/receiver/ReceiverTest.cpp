#include "receiver/Receiver.hpp"

#include "AppTestSupport.hpp"
#include "deckinput/OSCViewModel.hpp"
#include "diagnostics/LogRing.hpp"
#include "diagnostics/MainStallWatchdog.hpp"
#include "diagnostics/MetricKitObserver.hpp"
#include "diagnostics/SingleInstanceGuard.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/instance/RunningInstance.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

namespace pd::receiver {
namespace {

using namespace std::chrono_literals;

// Start-up begins the instance health checks: here they go to a closed loopback port.
[[maybe_unused]] const bool kLoopbackOnly =
    ::setenv("PALENDRIX_HTTP_CONNECT_TO", ":443:127.0.0.1:9,:80:127.0.0.1:9", 1) == 0;

// This process's threads whose name (their queue's, cut to 15 bytes) ends so.
std::size_t threadsNamed(std::string_view ending) {
  std::size_t count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name.ends_with(ending)) ++count;
  }
  return count;
}
std::size_t watchdogThreads() { return threadsNamed("mainstall"); }
std::size_t ringThreads() { return threadsNamed("logring.io"); }

// The whole core on a plain io_context main thread, no display and no Qt.
TEST(ReceiverTest, StartsInOrderAndStopsHeadless) {
  pd::testing::XdgSandbox sandbox;
  platform::UserDefaults defaults; // in memory
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  diagnostics::SingleInstanceGuard::resetSettings();
  std::vector<int> guardExits;
  diagnostics::SingleInstanceGuard::settings().exitProcess = [&](int status) { guardExits.push_back(status); };
  boost::asio::io_context loop;
  auto installation = runtime::MainThread::installIoContext(loop);
  pd::testing::LogCapture log;

  // What start-up has done when each of the shell's hooks runs, and the lines written by then.
  const auto ringStarts = diagnostics::LogRing::shared().callCounts().start;
  const auto startUpLines = [&] {
    std::vector<std::string> lines;
    for (const auto& entry : log.entries()) {
      if (entry.message.starts_with("pipeline_configure") || entry.message.starts_with("osc_vm_init")) {
        lines.push_back(entry.category + " " + entry.message);
      }
    }
    return lines;
  };
  std::vector<std::string> hooks;
  std::atomic<int> laterLaunches{0};
  Receiver::Dependencies dependencies;
  dependencies.onLaterLaunch = [&] { ++laterLaunches; };
  dependencies.afterInstanceGuard = [&] {
    EXPECT_EQ(diagnostics::LogRing::shared().callCounts().start, ringStarts + 1);
    EXPECT_FALSE(diagnostics::MainStallWatchdog::shared().isStarted());
    hooks.push_back("afterInstanceGuard");
  };
  dependencies.beforeModels = [&] {
    EXPECT_TRUE(diagnostics::MetricKitObserver::shared().isSubscribed());
    EXPECT_TRUE(diagnostics::MainStallWatchdog::shared().isStarted());
    EXPECT_TRUE(startUpLines().empty());
    hooks.push_back("beforeModels");
  };
  dependencies.drainMainThread = [&] { loop.poll(); };
  auto receiver = std::make_unique<Receiver>(std::move(dependencies));
  EXPECT_EQ(hooks, (std::vector<std::string>{"afterInstanceGuard", "beforeModels"}));
  EXPECT_TRUE(guardExits.empty());
  // The link manager sets up its pipeline before the OSC view model exists.
  EXPECT_EQ(startUpLines(),
            (std::vector<std::string>{"video pipeline_configure mode=mix streams=0", "osc osc_vm_init"}));

  const auto runUntil = [&](const auto& done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline) loop.run_one_for(10ms);
  };
  runUntil([&] { return receiver->sharedInstanceManager()->isMonitoring(); });
  EXPECT_TRUE(receiver->sharedInstanceManager()->isMonitoring());
  runUntil([] { return watchdogThreads() == 1 && ringThreads() == 1; });
  EXPECT_EQ(watchdogThreads(), 1u);
  EXPECT_EQ(ringThreads(), 1u);

  // A later launch asks this one forward through the shell's hook, on the listener's thread.
  auto incumbent = platform::instance::RunningInstance::find(sandbox.runtime() / "instance.sock",
                                                             runtime::Clock::current().monotonic() + 1s);
  ASSERT_TRUE(incumbent.has_value());
  incumbent->activate();
  runUntil([&] { return laterLaunches > 0; });
  EXPECT_EQ(laterLaunches, 1);

  const std::weak_ptr<const void> managerGone = receiver->connectionManager().lifetime();
  receiver->localVideoBroadcaster();
  receiver.reset();
  EXPECT_TRUE(managerGone.expired());
  // The watchdog is stopped with its thread joined, or it would tick on into static destruction.
  EXPECT_FALSE(diagnostics::MainStallWatchdog::shared().isStarted());
  // So is the log ring. The kernel lets go of a joined thread's entry a moment after the join.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (watchdogThreads() + ringThreads() != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(watchdogThreads(), 0u);
  EXPECT_EQ(ringThreads(), 0u);
  diagnostics::SingleInstanceGuard::releaseForTesting();
  diagnostics::SingleInstanceGuard::resetSettings();
}

} // namespace
} // namespace pd::receiver
