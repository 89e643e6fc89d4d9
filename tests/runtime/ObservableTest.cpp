#include "TestSupport.hpp"

#include "runtime/Published.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/Weak.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace pd::runtime::test {
namespace {

class PeerModel : public ObservableObject {
public:
  Published<std::string> name{*this, "iPad"};
  Published<int> port{*this, 0};
};

TEST(Published, signalsOnlyRealChanges) {
  MainLoop loop;
  PeerModel model;
  std::vector<std::string> names;
  int modelChanges = 0;
  model.name.changed().connect([&](const std::string& value) { names.push_back(value); });
  model.objectChanged().connect([&] { ++modelChanges; });

  model.name.set("iPad");
  EXPECT_TRUE(names.empty());
  model.name.set("Studio");
  model.name.set("Studio");
  model.port.set(9000);
  EXPECT_EQ(names, (std::vector<std::string>{"Studio"}));
  EXPECT_EQ(model.name.get(), "Studio");
  EXPECT_EQ(modelChanges, 2);
}

TEST(Published, aValueWithoutEqualityAlwaysCountsAsChanged) {
  struct Opaque {
    int value = 0;
  };
  Published<Opaque> opaque;
  int changes = 0;
  opaque.changed().connect([&](const Opaque&) { ++changes; });
  opaque.set(Opaque{});
  opaque.set(Opaque{});
  EXPECT_EQ(changes, 2);
}

struct Owner {
  int calls = 0;
};

TEST(Weak, postedWorkDoesNothingOnceTheOwnerIsGone) {
  MainLoop loop;
  auto owner = std::make_shared<Owner>();
  bool ranWhileAlive = false;
  MainThread::post(weakCallback(std::weak_ptr<Owner>(owner), [&](Owner& o) {
    ++o.calls;
    ranWhileAlive = true;
  }));
  auto late = std::make_shared<Owner>();
  bool ranAfterGone = false;
  MainThread::post(weakCallback(std::weak_ptr<Owner>(late), [&](Owner&) { ranAfterGone = true; }));
  late.reset();
  loop.context().poll();
  EXPECT_TRUE(ranWhileAlive);
  EXPECT_EQ(owner->calls, 1);
  EXPECT_FALSE(ranAfterGone);
}

TEST(Weak, theOwnerLivesUntilTheCallReturns) {
  auto owner = std::make_shared<Owner>();
  auto callback = weakCallback(std::weak_ptr<Owner>(owner), [&owner](Owner& o, int add) {
    owner.reset(); // the last outside reference goes mid-call
    o.calls += add; // still valid
  });
  callback(2);
  EXPECT_EQ(owner, nullptr);
  callback(2); // gone: nothing
}

TEST(RepeatingTimer, ticksOnItsQueueUntilCancelled) {
  SerialQueue queue("com.example.test.heartbeat");
  std::atomic<int> ticks{0};
  std::atomic<bool> offQueue{false};
  RepeatingTimer timer(queue.executor(), 10ms, [&] {
    if (!queue.isCurrent()) {
      offQueue = true;
    }
    ++ticks;
  });
  const auto start = std::chrono::steady_clock::now();
  timer.start();
  ASSERT_TRUE(eventually([&] { return ticks.load() >= 10; }));
  timer.cancel();
  const int counted = ticks.load();
  // Never more often than the period, however late the ticks came.
  EXPECT_LE(counted, static_cast<int>(secondsSince(start) / 0.010) + 1);
  EXPECT_FALSE(timer.isRunning());
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ticks.load(), counted) << "no tick after cancel() returned";
  EXPECT_FALSE(offQueue.load());
}

TEST(RepeatingTimer, aFirstDelayOfZeroTicksAtOnceAlsoOnARestart) {
  // An hour's period: only the first delay can bring these ticks within the wait.
  SerialQueue queue("com.example.test.firsttick");
  std::atomic<int> ticks{0};
  RepeatingTimer timer(queue.executor(), 1h, [&] { ++ticks; });
  timer.start(0ms);
  ASSERT_TRUE(eventually([&] { return ticks.load() == 1; }));
  timer.start(0ms); // moves the schedule of a started timer
  ASSERT_TRUE(eventually([&] { return ticks.load() == 2; }));
  timer.cancel();
  timer.start(0ms);
  EXPECT_TRUE(eventually([&] { return ticks.load() == 3; }));
}

TEST(RepeatingTimer, cancelWaitsForATickRunningElsewhere) {
  SerialQueue queue("com.example.test.slowtick");
  Latch tickStarted;
  std::atomic<bool> tickFinished{false};
  RepeatingTimer timer(queue.executor(), 5ms, [&] {
    tickStarted.open();
    std::this_thread::sleep_for(40ms);
    tickFinished = true;
  });
  timer.start();
  ASSERT_TRUE(tickStarted.wait());
  timer.cancel();
  EXPECT_TRUE(tickFinished.load());
}

TEST(RepeatingTimer, canBeDestroyedFromItsOwnTick) {
  SerialQueue queue("com.example.test.selftick");
  std::unique_ptr<RepeatingTimer> timer;
  std::atomic<int> ticks{0};
  Latch destroyed;
  timer = std::make_unique<RepeatingTimer>(queue.executor(), 1ms, [&] {
    ++ticks;
    timer.reset();
    destroyed.open();
  });
  timer->start();
  ASSERT_TRUE(destroyed.wait());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ticks.load(), 1);
}

TEST(RepeatingTimer, ticksOnTheMainThread) {
  MainLoop loop;
  int ticks = 0;
  bool onMain = true;
  RepeatingTimer timer(MainThread::executor(), 2ms, [&] {
    onMain = onMain && MainThread::isMainThread();
    ++ticks;
  });
  timer.start();
  loop.runUntil([&] { return ticks >= 3; });
  timer.cancel();
  EXPECT_TRUE(onMain);
}

} // namespace
} // namespace pd::runtime::test
