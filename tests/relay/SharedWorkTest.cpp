#include "relay/SharedWork.hpp"

#include "runtime/TestSupport.hpp"
#include "runtime/ThreadPools.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <thread>

namespace pd::relay {
namespace {

using namespace std::chrono_literals;
using runtime::test::Latch;
using runtime::test::waitUntilFinished;

// A work that answers `value` (or fails) once `release` opens; its sleep ends it when cancelled.
struct ControlledWork {
  std::shared_ptr<Latch> release = std::make_shared<Latch>();
  std::shared_ptr<SharedWork<int>> work;

  explicit ControlledWork(int value, bool fail = false) {
    auto gate = release;
    work = SharedWork<int>::make(
        runtime::spawn(runtime::sharedPool().executor(), [gate, value, fail]() -> runtime::Awaitable<int> {
          while (!gate->isOpen()) co_await runtime::sleep(1ms);
          if (fail) throw std::runtime_error("upstream went away");
          co_return value;
        }));
  }
};

enum class Left { value, cancelled, error };
struct Waiter {
  runtime::Task<Left> task;
  std::shared_ptr<std::atomic<int>> got = std::make_shared<std::atomic<int>>(-1);
};

Waiter wait(const std::shared_ptr<SharedWork<int>>& work) {
  Waiter w;
  w.task = runtime::spawn(runtime::sharedPool().executor(), [work, got = w.got]() -> runtime::Awaitable<Left> {
    try {
      got->store(co_await work->value());
      co_return Left::value;
    } catch (const runtime::CancellationError&) {
      co_return Left::cancelled;
    } catch (const std::runtime_error&) {
      co_return Left::error;
    }
  });
  return w;
}

void waitForWaiters(const std::shared_ptr<SharedWork<int>>& work, std::int64_t n) {
  for (int i = 0; i < 2000 && work->waiters() != n; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(work->waiters(), n);
}

TEST(SharedWorkTest, CancelledCallersLeaveAtOnceAndOnlyTheLastAbandons) {
  ControlledWork c(7);
  auto a = wait(c.work);
  auto b = wait(c.work);
  waitForWaiters(c.work, 2);
  a.task.cancel();
  ASSERT_TRUE(waitUntilFinished(a.task, 2s)); // without the work finishing
  EXPECT_EQ(a.task.state()->result(), Left::cancelled);
  EXPECT_FALSE(c.work->isAbandoned());
  EXPECT_FALSE(c.work->task().isCancelled());
  c.release->open();
  ASSERT_TRUE(waitUntilFinished(b.task, 2s));
  EXPECT_EQ(b.task.state()->result(), Left::value);
  EXPECT_EQ(b.got->load(), 7);
  EXPECT_FALSE(c.work->isAbandoned());

  // Joining a finished work hands over its stored outcome.
  auto late = wait(c.work);
  ASSERT_TRUE(waitUntilFinished(late.task, 2s));
  EXPECT_EQ(late.got->load(), 7);

  ControlledWork d(1);
  auto x = wait(d.work);
  auto y = wait(d.work);
  waitForWaiters(d.work, 2);
  x.task.cancel();
  ASSERT_TRUE(waitUntilFinished(x.task, 2s));
  EXPECT_FALSE(d.work->isAbandoned());
  y.task.cancel();
  ASSERT_TRUE(waitUntilFinished(y.task, 2s));
  EXPECT_TRUE(d.work->isAbandoned());
  EXPECT_TRUE(d.work->task().isCancelled());
  ASSERT_TRUE(waitUntilFinished(d.work->task(), 2s));
  EXPECT_THROW(d.work->task().state()->result(), runtime::CancellationError);
}

TEST(SharedWorkTest, AnAlreadyCancelledCallerStartsNothingAndAbandonsAWorkNobodyElseWants) {
  ControlledWork c(3);
  auto task = runtime::spawn(runtime::sharedPool().executor(), [work = c.work]() -> runtime::Awaitable<Left> {
    // Cancel ourselves before asking.
    runtime::detail::currentTask()->cancel();
    try {
      (void)co_await work->value();
      co_return Left::value;
    } catch (const runtime::CancellationError&) {
      co_return Left::cancelled;
    }
  });
  ASSERT_TRUE(waitUntilFinished(task, 2s));
  EXPECT_EQ(task.state()->result(), Left::cancelled);
  EXPECT_TRUE(c.work->isAbandoned());
  EXPECT_TRUE(c.work->task().isCancelled());
}

TEST(SharedWorkTest, AnOrdinaryFailureReachesEveryWaiterAndKeepsTheWorkLive) {
  ControlledWork c(0, true);
  auto a = wait(c.work);
  auto b = wait(c.work);
  waitForWaiters(c.work, 2);
  c.release->open();
  ASSERT_TRUE(waitUntilFinished(a.task, 2s));
  ASSERT_TRUE(waitUntilFinished(b.task, 2s));
  EXPECT_EQ(a.task.state()->result(), Left::error);
  EXPECT_EQ(b.task.state()->result(), Left::error);
  EXPECT_FALSE(c.work->isAbandoned());
}

TEST(ResultGateTest, ResumesItsCallerOnceWithTheFirstOutcome) {
  ResultGate<int> gate;
  int calls = 0;
  int seen = 0;
  EXPECT_TRUE(gate.install([&](WorkOutcome<int> o) {
    ++calls;
    seen = *o.value;
  }));
  gate.resolve({1, nullptr});
  gate.resolve({2, nullptr});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, 1);

  ResultGate<int> early;
  early.resolve({5, nullptr});
  early.resolve({6, nullptr});
  EXPECT_FALSE(early.install([&](WorkOutcome<int> o) { seen = *o.value; }));
  EXPECT_EQ(seen, 5);
}

// Random waiters, random cancellations at random moments before the work ends: every waiter that
// stays gets the one outcome, and the work is abandoned, with its task cancelled, exactly when
// every waiter left by cancellation.
TEST(SharedWorkTest, StressWithRandomCancellations) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 150; ++round) {
    const bool fails = random() % 5 == 0;
    ControlledWork c(round, fails);
    const int n = 1 + static_cast<int>(random() % 6);
    std::vector<Waiter> waiters;
    std::vector<bool> cancel(static_cast<std::size_t>(n));
    int cancelled = 0;
    for (int i = 0; i < n; ++i) {
      waiters.push_back(wait(c.work));
      cancel[static_cast<std::size_t>(i)] = random() % 2 == 0;
      cancelled += cancel[static_cast<std::size_t>(i)] ? 1 : 0;
    }
    // Everyone is inside before anyone leaves: a lone early leaver would rightly abandon the work.
    waitForWaiters(c.work, n);
    std::vector<std::thread> cancellers;
    for (int i = 0; i < n; ++i) {
      if (!cancel[static_cast<std::size_t>(i)]) continue;
      const auto delay = std::chrono::microseconds(random() % 2000);
      cancellers.emplace_back([task = waiters[static_cast<std::size_t>(i)].task, delay] {
        std::this_thread::sleep_for(delay);
        task.cancel();
      });
    }
    for (auto& t : cancellers) t.join();
    for (int i = 0; i < n; ++i) {
      if (cancel[static_cast<std::size_t>(i)]) {
        ASSERT_TRUE(waitUntilFinished(waiters[static_cast<std::size_t>(i)].task, 2s));
      }
    }
    c.release->open();
    for (int i = 0; i < n; ++i) {
      const auto& w = waiters[static_cast<std::size_t>(i)];
      ASSERT_TRUE(waitUntilFinished(w.task, 5s));
      const Left left = w.task.state()->result();
      if (cancel[static_cast<std::size_t>(i)]) {
        EXPECT_EQ(left, Left::cancelled);
      } else {
        EXPECT_EQ(left, fails ? Left::error : Left::value) << "round " << round;
        if (!fails) {
          EXPECT_EQ(w.got->load(), round);
        }
      }
    }
    const bool everyoneLeft = cancelled == n;
    EXPECT_EQ(c.work->isAbandoned(), everyoneLeft) << "round " << round;
    EXPECT_EQ(c.work->task().isCancelled(), everyoneLeft) << "round " << round;
    EXPECT_EQ(c.work->waiters(), 0);
  }
}

} // namespace
} // namespace pd::relay
