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
  const auto start = std::chrono::steady_clock::now();
  auto answer = loop.run([]() -> Awaitable<std::optional<int>> { co_return co_await race(valueAfter(20ms, 7), 5s); });
  EXPECT_EQ(answer, 7);
  EXPECT_LT(secondsSince(start), 1.0);
}

TEST(Race, theLimitAnswersNothingAndCancelsTheWork) {
  MainLoop loop;
  auto work = valueAfter(10s, 1);
  const auto start = std::chrono::steady_clock::now();
  auto answer = loop.run([work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 50ms); });
  const double waited = secondsSince(start);
  EXPECT_FALSE(answer.has_value());
  EXPECT_GE(waited, 0.045);
  EXPECT_LT(waited, 0.5);
  EXPECT_TRUE(work.isCancelled());
  EXPECT_TRUE(waitUntilFinished(work, 1s));
}

TEST(Race, workIgnoringCancellationDoesNotHoldUpTheAnswerAndItsLateValueIsDropped) {
  MainLoop loop;
  SerialQueue queue("com.example.test.stubborn");
  auto released = std::make_shared<std::atomic<bool>>(false);
  auto work = stubbornWork(queue.executor(), released);
  const auto start = std::chrono::steady_clock::now();
  auto answer = loop.run([work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 30ms); });
  EXPECT_FALSE(answer.has_value());
  EXPECT_LT(secondsSince(start), 0.5);
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

TEST(Race, aCallerCancelledWhileWaitingIsAnsweredAtOnce) {
  MainLoop loop;
  auto work = valueAfter(10s, 1);
  auto caller =
      spawn(MainThread::executor(), [work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 10s); });
  asio::steady_timer trigger(MainThread::executor(), 30ms);
  trigger.async_wait([caller](const boost::system::error_code&) { caller.cancel(); });
  const auto start = std::chrono::steady_clock::now();
  loop.runUntil([&] { return caller.isFinished(); });
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_FALSE(caller.state()->result().has_value());
  EXPECT_TRUE(work.isCancelled());
}

TEST(Race, aCallerAlreadyCancelledIsAnsweredAtOnce) {
  MainLoop loop;
  auto work = valueAfter(10s, 1);
  auto caller =
      spawn(MainThread::executor(), [work]() -> Awaitable<std::optional<int>> { co_return co_await race(work, 10s); });
  caller.cancel();
  const auto start = std::chrono::steady_clock::now();
  loop.runUntil([&] { return caller.isFinished(); });
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_FALSE(caller.state()->result().has_value());
  EXPECT_TRUE(work.isCancelled());
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

TEST(Race, aTieIsDecidedExactlyOnce) {
  // Work and limit end at about the same moment, many times over, on several threads.
  constexpr int kRaces = 300;
  std::atomic<int> answered{0};
  std::atomic<int> values{0};
  std::vector<Task<void>> callers;
  for (int i = 0; i < kRaces; ++i) {
    callers.push_back(spawn(sharedPool().executor(), [&]() -> Awaitable<void> {
      auto answer = co_await race(valueAfter(1ms, 1), 1ms);
      ++answered;
      if (answer) {
        ++values;
      }
    }));
  }
  for (auto& caller : callers) {
    ASSERT_TRUE(waitUntilFinished(caller));
  }
  EXPECT_EQ(answered.load(), kRaces);
  EXPECT_LE(values.load(), kRaces);
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

TEST(Race, secondsAreTakenAsTheDesignGivesThem) {
  MainLoop loop;
  const auto start = std::chrono::steady_clock::now();
  auto answer = loop.run([]() -> Awaitable<std::optional<int>> { co_return co_await race(valueAfter(10s, 1), 0.03); });
  EXPECT_FALSE(answer.has_value());
  EXPECT_LT(secondsSince(start), 0.5);
}

} // namespace
} // namespace pd::runtime::test
