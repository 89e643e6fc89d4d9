// Frame sharing's teardown while its queue is busy: the destructor runs on one thread while a
// configuration job is under way on the publish queue. Under ThreadSanitizer this case reports
// any member the destructor lets go of before the job has finished with it.

#include "video/FrameSharing.hpp"

#include "platform/videoout/FrameServer.hpp"
#include "runtime/TestSupport.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace pd::video::test {
namespace {

using namespace std::chrono_literals;
using runtime::test::Latch;

// Whether thread `tid` of this process sleeps, as the kernel says. Asking orders nothing between
// the threads, so ThreadSanitizer still sees what the destructor does before the job ends.
bool isAsleep(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto nameEnd = line.rfind(") ");
  return nameEnd != std::string::npos && nameEnd + 2 < line.size() && line[nameEnd + 2] == 'S';
}

// A daemon that refuses every server: configuration then only touches the object's own state.
class RefusingVideoOut final : public platform::videoout::VideoOut {
public:
  bool isConnected() const override { return true; }
  std::unique_ptr<platform::videoout::FrameServer> createServer(const std::string&) override { return nullptr; }
};

TEST(FrameSharingTest, DestroyedWhileAConfigurationRunsOnItsQueueWaitsForIt) {
  Latch entered;
  Latch release;
  std::atomic<bool> configured{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> finishedBeforeDestroyed{false};

  FrameSharing::Dependencies dependencies;
  dependencies.makeVideoOut = [&]() -> std::unique_ptr<platform::videoout::VideoOut> {
    entered.open();
    release.wait();
    return std::make_unique<RefusingVideoOut>();
  };
  dependencies.runningChanged = [&](bool) {
    finishedBeforeDestroyed = !destroyed.load();
    configured = true;
  };
  auto sharing = std::make_unique<FrameSharing>(std::move(dependencies));
  sharing->configure({{1, "Test A"}});
  ASSERT_TRUE(entered.wait());

  // Lets the job go on only once the destructor waits for it: the test thread's first sleep
  // after it has begun to destroy. The flag is relaxed and the kernel's word orders nothing
  // either, so a member released too early is still a race.
  const pid_t testThread = ::gettid();
  std::atomic<bool> destroying{false};
  bool sawTheWait = false;
  std::thread releaser([&] {
    sawTheWait = runtime::test::eventually(
        [&] { return destroying.load(std::memory_order_relaxed) && isAsleep(testThread); }, 10s);
    release.open();
  });
  destroying.store(true, std::memory_order_relaxed);
  sharing.reset();
  destroyed = true;
  releaser.join();
  EXPECT_TRUE(sawTheWait);

  EXPECT_TRUE(configured.load()) << "the job under way was cut short";
  EXPECT_TRUE(finishedBeforeDestroyed.load()) << "the destructor returned before the job under way ended";
}

} // namespace
} // namespace pd::video::test
