#include "TestSupport.hpp"

#include "runtime/Executor.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <deque>
#include <thread>
#include <vector>

namespace pd::runtime::test {
namespace {

namespace asio = boost::asio;

TEST(MainThread, onlyTheLoopThreadIsTheMainThread) {
  EXPECT_FALSE(MainThread::isInstalled());
  EXPECT_FALSE(MainThread::isMainThread());
  {
    MainLoop loop;
    EXPECT_TRUE(MainThread::isInstalled());
    EXPECT_TRUE(MainThread::isMainThread());

    bool onOtherThread = true;
    std::thread([&] { onOtherThread = MainThread::isMainThread(); }).join();
    EXPECT_FALSE(onOtherThread);

    Latch ran;
    bool onPool = true;
    sharedPool().post([&] {
      onPool = MainThread::isMainThread();
      ran.open();
    });
    ASSERT_TRUE(ran.wait());
    EXPECT_FALSE(onPool);

    bool inLoop = false;
    MainThread::post([&] { inLoop = MainThread::isMainThread(); });
    loop.runUntil([&] { return inLoop; });
  }
  EXPECT_FALSE(MainThread::isInstalled());
  EXPECT_FALSE(MainThread::isMainThread());
}

TEST(MainThread, aThreadRunningTheContextIsTheMainThread) {
  asio::io_context context;
  auto installation = MainThread::installIoContext(context);
  bool inside = false;
  MainThread::post([&] { inside = MainThread::isMainThread(); });
  std::thread runner([&] { context.run(); });
  runner.join();
  EXPECT_TRUE(inside);
}

TEST(MainThread, executorRunsCoroutinesAndTimersAndKeepsTheLoopBusyMeanwhile) {
  MainLoop loop;
  const auto mainId = std::this_thread::get_id();
  std::thread::id resumedOn;
  bool done = false;
  asio::co_spawn(
      MainThread::executor(),
      [&]() -> asio::awaitable<void> {
        asio::steady_timer timer(co_await asio::this_coro::executor, 30ms);
        co_await timer.async_wait(asio::use_awaitable);
        resumedOn = std::this_thread::get_id();
        done = true;
      },
      asio::detached);
  // A plain completion handler too.
  asio::steady_timer plain(MainThread::executor(), 10ms);
  std::thread::id plainOn;
  plain.async_wait([&](const boost::system::error_code&) { plainOn = std::this_thread::get_id(); });

  const auto start = std::chrono::steady_clock::now();
  // run() returns only once nothing is outstanding: the timers wait on another thread, so this
  // checks that their pending completions count as work of the main loop.
  loop.context().run();
  EXPECT_TRUE(done);
  EXPECT_GE(secondsSince(start), 0.025);
  EXPECT_EQ(resumedOn, mainId);
  EXPECT_EQ(plainOn, mainId);
}

TEST(MainThread, postsRunInOrderAndDispatchRunsInlineOnlyOnTheMainThread) {
  MainLoop loop;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) {
    MainThread::post([&order, i] { order.push_back(i); });
  }
  bool inline_ = false;
  asio::dispatch(MainThread::executor(), [&] { inline_ = true; });
  EXPECT_TRUE(inline_) << "dispatch from the main thread runs at once";
  bool posted = false;
  asio::post(MainThread::executor(), [&] { posted = true; });
  EXPECT_FALSE(posted) << "post never runs inline";
  loop.runUntil([&] { return posted && order.size() == 5; });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(MainThread, workSentWithoutABackendIsDroppedNotKept) {
  auto token = std::make_shared<int>(0);
  bool ran = false;
  asio::io_context context;
  { auto installation = MainThread::installIoContext(context); }
  MainThread::post([token, &ran] { ran = true; });
  asio::post(MainThread::executor(), [token, &ran] { ran = true; });
  EXPECT_EQ(token.use_count(), 1) << "dropped work must be destroyed at once";
  context.run();
  EXPECT_FALSE(ran);
}

// A timer cancelled as its loop goes away completes from the timers' own thread a moment later;
// that completion must not run in the loop installed next (one test's leftovers in the next test).
TEST(MainThread, aCompletionOfWorkStartedUnderOneLoopNeverRunsInTheNext) {
  std::size_t strays = 0;
  for (int round = 0; round < 50; ++round) {
    {
      asio::io_context first;
      auto installation = MainThread::installIoContext(first);
      asio::steady_timer timer(MainThread::executor(), std::chrono::hours(1));
      timer.async_wait([](const boost::system::error_code&) {});
    }
    asio::io_context next;
    auto installation = MainThread::installIoContext(next);
    auto busy = asio::make_work_guard(next); // waits out the whole while, whatever comes in
    strays += next.run_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(strays, 0U);
}

TEST(MainThread, installationsNestAndRestoreThePreviousBackend) {
  asio::io_context outer;
  asio::io_context inner;
  auto outerInstallation = MainThread::installIoContext(outer);
  int ranOuter = 0;
  int ranInner = 0;
  {
    auto innerInstallation = MainThread::installIoContext(inner);
    MainThread::post([&] { ++ranInner; });
  }
  MainThread::post([&] { ++ranOuter; });
  EXPECT_EQ(inner.poll(), 1U);
  EXPECT_EQ(outer.poll(), 1U);
  EXPECT_EQ(ranInner, 1);
  EXPECT_EQ(ranOuter, 1);
}

// What the application installs: a poster that queues onto a GUI event loop.
class FakeGuiLoop {
public:
  FakeGuiLoop() : thread_([this] { serve(); }) {}
  ~FakeGuiLoop() {
    {
      std::scoped_lock lock(mutex_);
      stopping_ = true;
    }
    condition_.notify_all();
    thread_.join();
  }
  void post(UniqueFunction<void()> work) {
    {
      std::scoped_lock lock(mutex_);
      queue_.push_back(std::move(work));
    }
    condition_.notify_all();
  }
  std::thread::id id() const { return thread_.get_id(); }

private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      condition_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) {
        return;
      }
      auto work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable condition_;
  std::deque<UniqueFunction<void()>> queue_;
  bool stopping_ = false;
  std::thread thread_;
};

TEST(MainThread, posterBackendRunsTasksAndTimersOnTheGuiThread) {
  FakeGuiLoop gui;
  auto installation =
      MainThread::installPoster([&gui](UniqueFunction<void()> work) { gui.post(std::move(work)); }, gui.id());
  EXPECT_FALSE(MainThread::isMainThread());
  std::thread::id ranOn;
  auto task = spawn(MainThread::executor(), [&]() -> Awaitable<bool> {
    co_await sleep(10ms);
    MainThread::assertMainThread();
    ranOn = std::this_thread::get_id();
    co_return MainThread::isMainThread();
  });
  ASSERT_TRUE(waitUntilFinished(task));
  EXPECT_TRUE(task.state()->result());
  EXPECT_EQ(ranOn, gui.id());
  installation.reset();
}

TEST(MainThreadDeathTest, assertMainThreadAbortsElsewhere) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        MainLoop loop;
        std::thread([] { MainThread::assertMainThread(); }).join();
      },
      "must run on the main thread");
}

TEST(MainThread, assertMainThreadPassesWithoutABackend) {
  std::thread([] { MainThread::assertMainThread(); }).join();
}

TEST(Executor, convertsToAnyIoExecutorAndComparesByTarget) {
  asio::any_io_executor erased = MainThread::executor();
  EXPECT_TRUE(erased == asio::any_io_executor(MainThread::executor()));
  EXPECT_FALSE(erased == asio::any_io_executor(sharedPool().executor()));
  EXPECT_EQ(&asio::query(erased, asio::execution::context),
            &asio::query(MainThread::executor(), asio::execution::context));
}

} // namespace
} // namespace pd::runtime::test
