#include "mediaserver/ConcurrencyGate.hpp"
#include "mediaserver/LibraryTestSupport.hpp"
#include "mediaserver/SharedJobs.hpp"

#include <atomic>
#include <random>
#include <thread>

namespace pd::mediaserver {
namespace {

using test::awaitTask;
using test::waitUntil;
using namespace std::chrono_literals;
using Order = std::vector<int>;

void waitForGate(const std::shared_ptr<ConcurrencyGate>& gate, std::int64_t running, std::size_t waiting) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  std::pair<std::int64_t, std::size_t> state;
  while (std::chrono::steady_clock::now() < deadline) {
    state = awaitTask([gate]() -> runtime::Awaitable<std::pair<std::int64_t, std::size_t>> {
      co_return std::pair(co_await gate->running(), co_await gate->waiting());
    });
    if (state == std::pair(running, waiting)) {
      return;
    }
    std::this_thread::sleep_for(1ms);
  }
  FAIL() << "gate at running=" << state.first << " waiting=" << state.second << ", wanted " << running << "/"
         << waiting;
}

struct Arrivals {
  std::mutex lock;
  Order order;
};

runtime::Task<void> holder(std::shared_ptr<ConcurrencyGate> gate, std::shared_ptr<Arrivals> arrivals, int name) {
  return runtime::spawn(runtime::sharedPool().executor(), [=]() -> runtime::Awaitable<void> {
    co_await gate->acquire();
    std::scoped_lock guard(arrivals->lock);
    arrivals->order.push_back(name);
  });
}

// Holder 1 passes a gate of limit 1; the others queue behind it in the given order.
std::vector<runtime::Task<void>> lineUp(const std::shared_ptr<ConcurrencyGate>& gate,
                                        const std::shared_ptr<Arrivals>& arrivals, int count) {
  std::vector<runtime::Task<void>> holders{holder(gate, arrivals, 1)};
  EXPECT_TRUE(runtime::test::waitUntilFinished(holders[0]));
  for (int name = 2; name <= count; ++name) {
    holders.push_back(holder(gate, arrivals, name));
    waitForGate(gate, 1, static_cast<std::size_t>(name - 1));
  }
  return holders;
}

void release(const std::shared_ptr<ConcurrencyGate>& gate) {
  awaitTask([gate]() { return gate->release(); });
}

TEST(ConcurrencyGateTest, ZeroLimitActsAsOneAndReleasedSlotsGoToTheOldestWaiter) {
  auto gate = ConcurrencyGate::create(0);
  auto arrivals = std::make_shared<Arrivals>();
  const auto holders = lineUp(gate, arrivals, 3);
  const auto& b = holders[1];
  const auto& c = holders[2];
  release(gate);
  ASSERT_TRUE(runtime::test::waitUntilFinished(b));
  auto d = holder(gate, arrivals, 4); // queues behind c although b's slot just moved
  waitForGate(gate, 1, 2);
  release(gate);
  ASSERT_TRUE(runtime::test::waitUntilFinished(c));
  release(gate);
  ASSERT_TRUE(runtime::test::waitUntilFinished(d));
  release(gate);
  waitForGate(gate, 0, 0);
  EXPECT_EQ(arrivals->order, (Order{1, 2, 3, 4}));
}

TEST(ConcurrencyGateTest, CancellationTakesNoSlotAndLeavesOtherWaitersInOrder) {
  auto gate = ConcurrencyGate::create(1);
  // Already cancelled: refused although the slot is free.
  auto cancelled = std::make_shared<runtime::test::Latch>();
  auto early = runtime::spawn(runtime::sharedPool().executor(), [gate, cancelled]() {
    cancelled->wait();
    return gate->acquire();
  });
  early.cancel();
  cancelled->open();
  ASSERT_TRUE(runtime::test::waitUntilFinished(early));
  EXPECT_THROW(early.state()->result(), runtime::CancellationError);
  waitForGate(gate, 0, 0);

  auto arrivals = std::make_shared<Arrivals>();
  const auto holders = lineUp(gate, arrivals, 4);
  const auto& b = holders[1];
  const auto& c = holders[2];
  const auto& d = holders[3];
  c.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(c));
  EXPECT_THROW(c.state()->result(), runtime::CancellationError);
  waitForGate(gate, 1, 2);
  release(gate);
  ASSERT_TRUE(runtime::test::waitUntilFinished(b));
  release(gate);
  ASSERT_TRUE(runtime::test::waitUntilFinished(d));
  release(gate);
  waitForGate(gate, 0, 0);
  EXPECT_EQ(arrivals->order, (Order{1, 2, 4}));
}

// Many holders, a third of them cancelled at random moments (queued, being handed a slot, or
// holding): the gate never lets more than its limit through and ends with every slot back.
TEST(ConcurrencyGateTest, RandomCancellationsLoseNoSlot) {
  constexpr std::int64_t kLimit = 3;
  auto gate = ConcurrencyGate::create(kLimit);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::atomic<int> served{0};
  std::vector<runtime::Task<void>> tasks;
  std::mt19937 random(7);
  for (int i = 0; i < 400; ++i) {
    tasks.push_back(runtime::spawn(runtime::sharedPool().executor(), [&, gate]() -> runtime::Awaitable<void> {
      co_await gate->acquire();
      const int now = ++inside;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {}
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      --inside;
      ++served;
      co_await gate->release();
    }));
    if (random() % 3 == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 100));
      tasks[random() % tasks.size()].cancel();
    }
  }
  for (const auto& task : tasks) {
    ASSERT_TRUE(runtime::test::waitUntilFinished(task, 20s));
  }
  waitForGate(gate, 0, 0);
  EXPECT_LE(most.load(), kLimit);
  EXPECT_GT(served.load(), 0);
}

// A work function whose runs are counted and which waits for the test's go.
struct Runs {
  std::atomic<int> count{0};
  std::atomic<bool> marked{false};
  runtime::test::Latch go;
};

SharedJobs<int>::Work counted(std::shared_ptr<Runs> runs, int value, bool started = true) {
  return [runs, value, started](MarkStarted markStarted) -> runtime::Awaitable<int> {
    ++runs->count;
    if (started) {
      co_await markStarted();
      runs->marked = true;
    }
    while (!runs->go.isOpen()) {
      co_await runtime::sleep(1ms);
    }
    if (value < 0) {
      throw std::runtime_error("failed");
    }
    co_return value;
  };
}

runtime::Task<int> ask(std::shared_ptr<SharedJobs<int>> jobs, std::string key, SharedJobs<int>::Work work) {
  return runtime::spawn(runtime::sharedPool().executor(),
                        [jobs, key, work]() -> runtime::Awaitable<int> { co_return co_await jobs->value(key, work); });
}

TEST(SharedJobsTest, ConcurrentCallersShareOneRunAndItsErrorAndNothingIsKeptByANeverRule) {
  auto jobs = std::make_shared<SharedJobs<int>>(JobPriority::userInitiated, [](const int&) { return false; });
  auto runs = std::make_shared<Runs>();
  auto first = ask(jobs, "k", counted(runs, 5));
  auto second = ask(jobs, "k", counted(runs, 6));
  // Time for both to ask before the run may end: the jobs show no waiter from outside. Generous,
  // since a caller that asks only after the end starts a run of its own and fails the case.
  std::this_thread::sleep_for(200ms);
  runs->go.open();
  ASSERT_TRUE(runtime::test::waitUntilFinished(first));
  ASSERT_TRUE(runtime::test::waitUntilFinished(second));
  EXPECT_EQ(first.state()->result(), second.state()->result()); // whichever came first ran
  EXPECT_EQ(runs->count.load(), 1);

  auto failing = std::make_shared<Runs>();
  auto third = ask(jobs, "k", counted(failing, -1));
  auto fourth = ask(jobs, "k", counted(failing, -1));
  std::this_thread::sleep_for(200ms);
  failing->go.open();
  ASSERT_TRUE(runtime::test::waitUntilFinished(third));
  ASSERT_TRUE(runtime::test::waitUntilFinished(fourth));
  EXPECT_THROW(third.state()->result(), std::runtime_error);
  EXPECT_THROW(fourth.state()->result(), std::runtime_error);
  EXPECT_EQ(failing->count.load(), 1);
}

TEST(SharedJobsTest, KeptValuesAnswerEvenCancelledCallersAndTheLeastRecentlyUsedLeavesFirst) {
  auto jobs = std::make_shared<SharedJobs<int>>(
      JobPriority::utility, [](const int& v) { return v != 0; }, 3);
  auto runs = std::make_shared<Runs>();
  runs->go.open();
  auto value = [&](const std::string& key, int v) {
    return awaitTask([jobs, key, work = counted(runs, v)]() { return jobs->value(key, work); });
  };
  EXPECT_EQ(value("zero", 0), 0);
  EXPECT_EQ(value("zero", 0), 0); // not kept: ran again
  EXPECT_EQ(runs->count.load(), 2);
  value("a", 1);
  value("b", 2);
  value("c", 3);
  EXPECT_EQ(value("a", 99), 1); // a hit, which makes "a" the most recent
  value("d", 4); // evicts "b"
  EXPECT_EQ(runs->count.load(), 6);
  EXPECT_EQ(value("b", 20), 20);
  EXPECT_EQ(runs->count.load(), 7);

  auto gone = std::make_shared<runtime::test::Latch>();
  auto cancelled = runtime::spawn(runtime::sharedPool().executor(), [jobs, gone, work = counted(runs, 7)]() {
    gone->wait();
    return jobs->value("a", work);
  });
  cancelled.cancel();
  gone->open();
  ASSERT_TRUE(runtime::test::waitUntilFinished(cancelled));
  EXPECT_EQ(cancelled.state()->result(), 1);
  EXPECT_EQ(runs->count.load(), 7);
}

TEST(SharedJobsTest, LastWaiterLeavingAnUnstartedRunAbandonsItAndItsLateResultIsDropped) {
  auto jobs = std::make_shared<SharedJobs<int>>(JobPriority::userInitiated, [](const int&) { return true; });
  auto gate = ConcurrencyGate::create(1);
  awaitTask([gate]() { return gate->acquire(); });
  std::atomic<bool> abandonedSawCancel{false};
  SharedJobs<int>::Work gated = [gate, &abandonedSawCancel](MarkStarted markStarted) -> runtime::Awaitable<int> {
    try {
      co_await gate->acquire();
    } catch (const runtime::CancellationError&) {
      abandonedSawCancel = true;
      throw;
    }
    co_await markStarted();
    co_await gate->release();
    co_return 1;
  };
  auto waiter = ask(jobs, "k", gated);
  waitForGate(gate, 1, 1);
  waiter.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(waiter));
  EXPECT_THROW(waiter.state()->result(), runtime::CancellationError);
  waitForGate(gate, 1, 0); // the run's own gate wait ended with the cancellation
  EXPECT_TRUE(waitUntil([&] { return abandonedSawCancel.load(); }));

  auto runs = std::make_shared<Runs>();
  runs->go.open();
  EXPECT_EQ(awaitTask([jobs, work = counted(runs, 2)]() { return jobs->value("k", work); }), 2);
  EXPECT_EQ(runs->count.load(), 1);
}

TEST(SharedJobsTest, AStartedRunOutlivesItsLastWaiterAndKeepsItsValue) {
  auto jobs = std::make_shared<SharedJobs<int>>(JobPriority::utility, [](const int&) { return true; });
  auto runs = std::make_shared<Runs>();
  auto waiter = ask(jobs, "k", counted(runs, 9, true));
  ASSERT_TRUE(waitUntil([&] { return runs->marked.load(); }));
  waiter.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(waiter));
  EXPECT_THROW(waiter.state()->result(), runtime::CancellationError);
  runs->go.open();
  EXPECT_TRUE(waitUntil([&] { return awaitTask([jobs]() { return jobs->keptCount(); }) == 1; }));
  EXPECT_EQ(awaitTask([jobs, work = counted(runs, 10)]() { return jobs->value("k", work); }), 9);
  EXPECT_EQ(runs->count.load(), 1);
}

} // namespace
} // namespace pd::mediaserver
