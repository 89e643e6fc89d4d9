#include "TestSupport.hpp"

#include "runtime/Clock.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/ThreadPools.hpp"
#include "runtime/Weak.hpp"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <thread>

namespace pd::runtime::test {
namespace {

namespace asio = boost::asio;

void checkCancellationIgnoringResult() {
  try {
    checkCancellation();
  } catch (const CancellationError&) {}
}

TEST(Task, valueGivesTheResultOrRethrowsTheError) {
  MainLoop loop;
  const int total = loop.run([]() -> Awaitable<int> {
    auto answer = spawn(sharedPool().executor(), []() -> Awaitable<int> { co_return 42; });
    auto failing = spawn(sharedPool().executor(), []() -> Awaitable<int> {
      throw std::runtime_error("broken");
      co_return 0;
    });
    auto nothing = spawn(sharedPool().executor(), []() -> Awaitable<void> { co_return; });
    co_await nothing.value();
    int sum = co_await answer.value() + co_await answer.value(); // every awaiter gets the value
    try {
      (void)co_await failing.value();
      ADD_FAILURE() << "value() must rethrow";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "broken");
    }
    EXPECT_TRUE(failing.isFinished());
    co_return sum;
  });
  EXPECT_EQ(total, 84);
}

TEST(Task, theBodyNeverStartsInsideSpawn) {
  MainLoop loop;
  bool started = false;
  auto task = spawn(MainThread::executor(), [&]() -> Awaitable<void> {
    started = true;
    co_return;
  });
  EXPECT_FALSE(started);
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_TRUE(started);
}

TEST(Task, cancelledBeforeItStartsItsFirstSleepThrowsAtOnce) {
  MainLoop loop;
  bool sawFlag = false;
  auto task = spawn(MainThread::executor(), [&]() -> Awaitable<void> {
    sawFlag = isCancelled();
    co_await sleep(10s);
  });
  task.cancel();
  loop.runUntil([&] { return task.isFinished(); }); // its 5 s limit is half the sleep
  EXPECT_TRUE(sawFlag);
  EXPECT_THROW(task.state()->result(), CancellationError);
}

TEST(Task, cancellingFromAnotherThreadEndsASleepPromptly) {
  SerialQueue queue("com.example.test.sleep");
  Latch sleeping;
  auto task = spawn(queue.executor(), [&]() -> Awaitable<void> {
    sleeping.open();
    co_await sleep(10s);
  });
  ASSERT_TRUE(sleeping.wait());
  std::this_thread::sleep_for(5ms); // most often inside the sleep, not before its flag check
  std::thread([task] { task.cancel(); }).join();
  ASSERT_TRUE(waitUntilFinished(task, 2s)); // far short of the sleep's 10 s
  EXPECT_THROW(task.state()->result(), CancellationError);
}

TEST(Task, cancellationIsStickyAndHandlersRunOnce) {
  SerialQueue queue("com.example.test.sticky");
  std::atomic<int> handlerRuns{0};
  Latch registered;
  auto release = std::make_shared<Latch>();
  auto task = spawn(queue.executor(), [&, release]() -> Awaitable<int> {
    CancellationHandler handler([&] { ++handlerRuns; });
    registered.open();
    try {
      co_await sleep(10s);
    } catch (const CancellationError&) {}
    // The flag stays set: later checks and sleeps still see it, and clean-up may still await.
    EXPECT_TRUE(isCancelled());
    EXPECT_THROW(checkCancellation(), CancellationError);
    bool sleptAgain = true;
    try {
      co_await sleep(1ms);
    } catch (const CancellationError&) {
      sleptAgain = false;
    }
    EXPECT_FALSE(sleptAgain);
    asio::steady_timer cleanup(co_await asio::this_coro::executor, 1ms);
    co_await cleanup.async_wait(asio::use_awaitable);
    co_return 5;
  });
  ASSERT_TRUE(registered.wait());
  task.cancel();
  task.cancel();
  ASSERT_TRUE(waitUntilFinished(task));
  EXPECT_EQ(task.state()->result(), 5);
  EXPECT_EQ(handlerRuns.load(), 1);
  EXPECT_TRUE(task.isCancelled());
}

TEST(Task, aHandlerRegisteredWhenAlreadyCancelledRunsAtOnce) {
  MainLoop loop;
  bool ranInConstructor = false;
  auto task = spawn(MainThread::executor(), [&]() -> Awaitable<void> {
    bool ran = false;
    CancellationHandler handler([&] { ran = true; });
    ranInConstructor = ran;
    co_return;
  });
  task.cancel();
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_TRUE(ranInConstructor);
}

TEST(Task, aRemovedHandlerNeverRunsAndRemovalWaitsForARunningOne) {
  SerialQueue queue("com.example.test.handlers");
  std::atomic<bool> removedRan{false};
  Latch handlerStarted;
  std::atomic<bool> handlerFinished{false};
  std::atomic<bool> finishedWhenRemoved{false};
  Latch ready;
  auto task = spawn(queue.executor(), [&]() -> Awaitable<void> {
    {
      CancellationHandler removed([&] { removedRan = true; });
    }
    {
      CancellationHandler slow([&] {
        handlerStarted.open();
        std::this_thread::sleep_for(50ms);
        handlerFinished = true;
      });
      ready.open();
      // Leave the scope while the handler runs on the cancelling thread.
      handlerStarted.wait();
    }
    finishedWhenRemoved = handlerFinished.load();
    co_return;
  });
  ASSERT_TRUE(ready.wait());
  task.cancel(); // runs the slow handler here, while the task removes it
  ASSERT_TRUE(waitUntilFinished(task));
  EXPECT_FALSE(removedRan.load());
  EXPECT_TRUE(finishedWhenRemoved.load());
}

// A handler may end its own registration, or one still waiting its turn in the same
// cancellation: the cancelling thread must neither wait for itself nor run the one removed.
TEST(Task, aHandlerMayRemoveItselfAndALaterOne) {
  SerialQueue queue("com.example.test.selfremoval");
  Latch registered;
  std::atomic<int> firstRuns{0};
  std::atomic<bool> laterRan{false};
  auto task = spawn(queue.executor(), [&]() -> Awaitable<void> {
    std::optional<CancellationHandler> first;
    std::optional<CancellationHandler> later;
    first.emplace([&] {
      ++firstRuns;
      first.reset();
      later.reset();
    });
    later.emplace([&] { laterRan = true; });
    registered.open();
    try {
      co_await sleep(10s);
    } catch (const CancellationError&) {}
  });
  ASSERT_TRUE(registered.wait());
  auto cancelled = std::make_shared<Latch>();
  std::thread([task, cancelled] {
    task.cancel();
    cancelled->open();
  }).detach();
  ASSERT_TRUE(cancelled->wait()) << "cancel() waits for itself";
  ASSERT_TRUE(waitUntilFinished(task));
  EXPECT_EQ(firstRuns.load(), 1);
  EXPECT_FALSE(laterRan.load());
}

TEST(Task, cancellationReachesTheAsioOperationTheTaskAwaits) {
  SerialQueue queue("com.example.test.asio");
  Latch waiting;
  auto task = spawn(queue.executor(), [&]() -> Awaitable<bool> {
    asio::steady_timer timer(co_await asio::this_coro::executor, 10s);
    waiting.open();
    boost::system::error_code error;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, error));
    co_return error == asio::error::operation_aborted;
  });
  ASSERT_TRUE(waiting.wait());
  // The signal is emitted between the body's steps, so it finds the wait already started.
  task.cancel();
  ASSERT_TRUE(waitUntilFinished(task, 2s)); // far short of the timer's 10 s
  EXPECT_TRUE(task.state()->result());
}

TEST(Task, aPoolTaskStaysOneTaskAcrossThreadsAndChildrenHaveTheirOwnFlag) {
  Latch running;
  auto parent = spawn(sharedPool().executor(), [&]() -> Awaitable<bool> {
    auto executor = co_await asio::this_coro::executor;
    auto child = spawn(executor, []() -> Awaitable<bool> {
      co_await sleep(30ms);
      co_return isCancelled();
    });
    try {
      for (int i = 0; i < 1000; ++i) {
        co_await sleep(1ms); // may resume on any pool thread
        if (i == 3) {
          running.open();
        }
      }
    } catch (const CancellationError&) {}
    const bool parentCancelled = isCancelled();
    const bool childCancelled = co_await child.value();
    co_return parentCancelled && !childCancelled;
  });
  ASSERT_TRUE(running.wait());
  parent.cancel();
  ASSERT_TRUE(waitUntilFinished(parent));
  EXPECT_TRUE(parent.state()->result());
}

TEST(Task, anOperationAwaitedAfterTheTaskSawItsCancellationIsLeftAlone) {
  // cancel() lands while the body runs; the body notices and awaits clean-up work, which must
  // finish rather than be hit by the cancellation that was still on its way.
  for (int round = 0; round < 20; ++round) {
    SerialQueue queue("com.example.test.cleanup");
    Latch cancelled;
    auto task = spawn(queue.executor(), [&]() -> Awaitable<bool> {
      cancelled.wait();
      checkCancellationIgnoringResult();
      asio::steady_timer cleanup(co_await asio::this_coro::executor, 1ms);
      boost::system::error_code error;
      co_await cleanup.async_wait(asio::redirect_error(asio::use_awaitable, error));
      co_return !error;
    });
    std::this_thread::sleep_for(1ms);
    task.cancel();
    cancelled.open();
    ASSERT_TRUE(waitUntilFinished(task));
    ASSERT_TRUE(task.state()->result()) << "round " << round;
  }
}

TEST(Task, isCancelledOutsideATaskIsFalse) {
  EXPECT_FALSE(isCancelled());
  EXPECT_NO_THROW(checkCancellation());
  bool ran = false;
  {
    CancellationHandler handler([&] { ran = true; });
  }
  EXPECT_FALSE(ran);
}

struct Model {
  int value = 3;
};

TEST(Task, aTaskWhoseOwnerIsGoneEndsQuietly) {
  MainLoop loop;
  auto model = std::make_shared<Model>();
  std::weak_ptr<Model> weak = model;
  bool reachedEnd = false;
  auto body = [weak, &reachedEnd]() -> Awaitable<int> {
    int first = requireOwner(weak)->value;
    co_await sleep(5ms);
    int second = requireOwner(weak)->value;
    reachedEnd = true;
    co_return first + second;
  };
  EXPECT_EQ(loop.run(body), 6);
  reachedEnd = false;
  auto task = spawn(MainThread::executor(), body);
  model.reset();
  loop.runUntil([&] { return task.isFinished(); });
  EXPECT_FALSE(reachedEnd);
  EXPECT_THROW(task.state()->result(), CancellationError);
}

TEST(Task, aTaskWhoseExecutorDropsItsWorkEndsAsCancelledInsteadOfHanging) {
  ASSERT_FALSE(MainThread::isInstalled());
  bool ran = false;
  auto task = spawn(MainThread::executor(), [&]() -> Awaitable<int> {
    ran = true;
    co_return 1;
  });
  ASSERT_TRUE(waitUntilFinished(task, 1s));
  EXPECT_FALSE(ran);
  EXPECT_THROW(task.state()->result(), CancellationError);
}

TEST(Task, detachedTasksDropTheirErrors) {
  MainLoop loop;
  bool ran = false;
  spawnDetached(MainThread::executor(), [&]() -> Awaitable<void> {
    ran = true;
    throw std::runtime_error("dropped");
    co_return;
  });
  loop.runUntil([&] { return ran; });
  loop.context().poll();
}

TEST(Clock, durationFromSecondsIsRangeChecked) {
  EXPECT_EQ(durationFromSeconds(1.5), std::chrono::milliseconds(1500));
  EXPECT_EQ(durationFromSeconds(0.0), std::chrono::nanoseconds::zero());
  EXPECT_EQ(durationFromSeconds(-3.0), std::chrono::nanoseconds::zero());
  EXPECT_EQ(durationFromSeconds(std::nan("")), std::chrono::nanoseconds::zero());
  EXPECT_GT(durationFromSeconds(1e300), std::chrono::hours(24 * 365 * 100));
  EXPECT_EQ(durationFromSeconds(INFINITY), durationFromSeconds(1e300));
}

} // namespace
} // namespace pd::runtime::test
