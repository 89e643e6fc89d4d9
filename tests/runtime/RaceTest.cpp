#include "TestSupport.hpp"

#include "runtime/Race.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace pd::runtime::test {
namespace {

namespace asio = boost::asio;

Task<int> valueAfter(std::chrono::milliseconds delay, int value) {
  return spawn(sharedPool().executor(), [delay, value]() -> Awaitable<int> {
    co_await sleep(delay);
    co_return value;
  });
}

// Work that shrugs off cancellation: it goes on waiting until released.
Task<int> stubbornWork(const asio::any_io_executor& where, std::shared_ptr<std::atomic<bool>> released) {
  return spawn(where, [released]() -> Awaitable<int> {
    auto executor = co_await asio::this_coro::executor;
    while (!released->load()) {
      asio::steady_timer timer(executor, 5ms);
      boost::system::error_code ignored;
      co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    co_return 99;
  });
}

TEST(Race, workThatFinishesFirstGivesItsValue) {
  MainLoop loop;
  auto answer = loop.run([]() -> Awaitable<std::optional<int>> { co_return co_await race(valueAfter(20ms, 7), 5s); });
  EXPECT_EQ(answer, 7);
}

TEST(Race, theLimitAnswersNothingAndCancelsTheWork) {
  for (const bool inSeconds : {false, true}) {
    SCOPED_TRACE(inSeconds ? "50 ms given in seconds, as the design gives them" : "50 ms as a duration");
    MainLoop loop;
    auto work = valueAfter(10s, 1);
    const auto start = std::chrono::steady_clock::now();
    std::optional<int> answer;
    ASSERT_NO_THROW(answer = loop.run([work, inSeconds]() -> Awaitable<std::optional<int>> {
      if (inSeconds) {
        co_return co_await race(work, 0.05);
      }
      co_return co_await race(work, 50ms);
    }));
    // An upper bound is the loop's own 5 s limit, well short of the work's 10 s.
    EXPECT_FALSE(answer.has_value());
    EXPECT_GE(secondsSince(start), 0.045);
    EXPECT_TRUE(work.isCancelled());
    EXPECT_TRUE(waitUntilFinished(work, 1s));
  }
}

TEST(Race, workIgnoringCancellationDoesNotHoldUpTheAnswerAndItsLateValueIsDropped) {
  MainLoop loop;
  SerialQueue queue("com.example.test.stubborn");
  auto released = std::make_shared<std::atomic<bool>>(false);
  auto work = stubbornWork(queue.executor(), released);
  // Were the answer held up by the work, the loop's limit would end the case: the work never ends.
  auto answer = loop.run([work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 30ms); });
  EXPECT_FALSE(answer.has_value());
  EXPECT_TRUE(work.isCancelled());
  EXPECT_FALSE(work.isFinished());
  released->store(true);
  ASSERT_TRUE(waitUntilFinished(work));
  EXPECT_EQ(work.state()->result(), 99);
}

TEST(Race, workThatNeverEndsIsSafeAtTeardown) {
  auto released = std::make_shared<std::atomic<bool>>(false);
  Task<int> work;
  {
    SerialQueue queue("com.example.test.never");
    MainLoop loop;
    work = stubbornWork(queue.executor(), released);
    auto answer = loop.run([work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 20ms); });
    EXPECT_FALSE(answer.has_value());
  } // the queue goes with the work still pending
  ASSERT_TRUE(work.isFinished());
  EXPECT_THROW(work.state()->result(), CancellationError);
}

TEST(Race, aCallerCancelledBeforeOrWhileWaitingIsAnsweredAtOnce) {
  // Work and limit both take 10 s: the loop's own 5 s limit fails a race that waits for either.
  for (const bool whileWaiting : {false, true}) {
    SCOPED_TRACE(whileWaiting ? "cancelled while waiting" : "cancelled before it starts");
    MainLoop loop;
    auto work = valueAfter(10s, 1);
    auto caller = spawn(MainThread::executor(),
                        [work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 10s); });
    asio::steady_timer trigger(MainThread::executor(), 30ms);
    if (whileWaiting) {
      trigger.async_wait([caller](const boost::system::error_code&) { caller.cancel(); });
    } else {
      caller.cancel();
    }
    ASSERT_NO_THROW(loop.runUntil([&] { return caller.isFinished(); }));
    EXPECT_FALSE(caller.state()->result().has_value());
    EXPECT_TRUE(work.isCancelled());
  }
}

TEST(Race, errorsOfTheWorkPropagateExceptCancellation) {
  MainLoop loop;
  auto failing = spawn(sharedPool().executor(), []() -> Awaitable<int> {
    throw std::runtime_error("disk gone");
    co_return 0;
  });
  EXPECT_THROW(loop.run([failing]() -> Awaitable<std::optional<int>> { co_return co_await race(failing, 5s); }),
               std::runtime_error);

  auto cancelled = valueAfter(10s, 1);
  cancelled.cancel();
  auto answer = loop.run([cancelled]() -> Awaitable<std::optional<int>> { co_return co_await race(cancelled, 5s); });
  EXPECT_FALSE(answer.has_value());
}

TEST(Race, workAlreadyFinishedAnswersAsItWouldHaveWonEvenWithNoTimeLeft) {
  MainLoop loop;
  auto value = spawn(sharedPool().executor(), []() -> Awaitable<int> { co_return 7; });
  auto failing = spawn(sharedPool().executor(), []() -> Awaitable<int> {
    throw std::runtime_error("disk gone");
    co_return 0;
  });
  auto cancelled = valueAfter(10s, 1);
  cancelled.cancel();
  loop.runUntil([&] { return value.isFinished() && failing.isFinished() && cancelled.isFinished(); });
  const auto raced = [&loop](Task<int> work) {
    return loop.run([work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 0ns); });
  };
  EXPECT_EQ(raced(value), 7);
  EXPECT_THROW(raced(failing), std::runtime_error);
  EXPECT_FALSE(raced(cancelled).has_value());
}

TEST(Race, aTieIsDecidedExactlyOnce) {
  // Work and limit end at about the same moment, many times over, on several threads. Either may
  // win; the loser alone is cancelled, and the work is cancelled exactly when it gave nothing.
  constexpr int kRaces = 300;
  std::atomic<int> answered{0};
  std::atomic<int> inconsistent{0};
  std::vector<Task<void>> callers;
  for (int i = 0; i < kRaces; ++i) {
    callers.push_back(spawn(sharedPool().executor(), [&]() -> Awaitable<void> {
      auto work = valueAfter(1ms, 1);
      auto answer = co_await race(work, 1ms);
      ++answered;
      if (answer ? (*answer != 1 || work.isCancelled()) : !work.isCancelled()) {
        ++inconsistent;
      }
    }));
  }
  for (auto& caller : callers) {
    ASSERT_TRUE(waitUntilFinished(caller));
  }
  EXPECT_EQ(answered.load(), kRaces);
  EXPECT_EQ(inconsistent.load(), 0);
}

TEST(Race, firstOfGivesTheFasterAndCancelsTheSlower) {
  MainLoop loop;
  auto slow = valueAfter(10s, 1);
  auto fast = valueAfter(10ms, 2);
  auto answer = loop.run([slow, fast]() -> Awaitable<std::optional<int>> { co_return co_await firstOf(slow, fast); });
  EXPECT_EQ(answer, 2);
  EXPECT_TRUE(slow.isCancelled());
  EXPECT_FALSE(fast.isCancelled());
}

} // namespace
} // namespace pd::runtime::test
