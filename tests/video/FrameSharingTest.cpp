// Frame sharing's teardown while its queue is busy: the destructor runs on one thread while a
// configuration job is under way on the publish queue. Under ThreadSanitizer this case reports
// any member the destructor lets go of before the job has finished with it.

#include "video/FrameSharing.hpp"

#include "platform/videoout/FrameServer.hpp"
#include "runtime/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace pd::video::test {
namespace {

using namespace std::chrono_literals;
using runtime::test::Latch;

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

  // Lets the job go on only once the destructor is well under way; nothing else orders the
  // job's reads after the destructor's start, so a member released too early is a race.
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    release.open();
  });
  sharing.reset();
  destroyed = true;
  releaser.join();

  EXPECT_TRUE(configured.load()) << "the job under way was cut short";
  EXPECT_TRUE(finishedBeforeDestroyed.load()) << "the destructor returned before the job under way ended";
}

} // namespace
} // namespace pd::video::test
