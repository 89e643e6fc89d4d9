#include "TestSupport.hpp"

#include "runtime/SerialQueue.hpp"
#include "runtime/ThreadPools.hpp"
#include "runtime/detail/Queues.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace pd::runtime::test {
namespace {

class SerialQueueTest : public ::testing::TestWithParam<SerialQueue::Kind> {};

std::string kindName(const ::testing::TestParamInfo<SerialQueue::Kind>& param) {
  return param.param == SerialQueue::Kind::ownThread ? "ownThread" : "sharedPool";
}

INSTANTIATE_TEST_SUITE_P(Kinds, SerialQueueTest,
                         ::testing::Values(SerialQueue::Kind::ownThread, SerialQueue::Kind::sharedPool), kindName);

TEST_P(SerialQueueTest, runsWorkOneAtATimeInPostingOrder) {
  SerialQueue queue("com.example.test.order", GetParam());
  constexpr int kProducers = 4;
  constexpr int kEach = 500;
  std::vector<std::vector<int>> seen(kProducers);
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        queue.post([&, p, i] {
          if (inside.fetch_add(1) != 0) {
            overlapped = true;
          }
          seen[static_cast<std::size_t>(p)].push_back(i);
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& producer : producers) {
    producer.join();
  }
  ASSERT_TRUE(queue.syncWithTimeout([] {}, 5s));
  EXPECT_FALSE(overlapped);
  for (const auto& sequence : seen) {
    ASSERT_EQ(sequence.size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) {
      ASSERT_EQ(sequence[static_cast<std::size_t>(i)], i);
    }
  }
}

TEST_P(SerialQueueTest, knowsWhetherItIsCurrent) {
  SerialQueue queue("com.example.test.current", GetParam());
  SerialQueue other("com.example.test.other", GetParam());
  EXPECT_FALSE(queue.isCurrent());
  bool inside = false;
  bool onOther = true;
  ASSERT_TRUE(queue.syncWithTimeout([&] { inside = queue.isCurrent(); }, 5s));
  ASSERT_TRUE(other.syncWithTimeout([&] { onOther = queue.isCurrent(); }, 5s));
  EXPECT_TRUE(inside);
  EXPECT_FALSE(onOther);
}

TEST_P(SerialQueueTest, syncWithTimeoutGivesUpAtTheLimitButTheWorkStillRuns) {
  SerialQueue queue("com.example.test.sync", GetParam());
  auto release = std::make_shared<Latch>();
  queue.post([release] { release->wait(); });
  auto ran = std::make_shared<Latch>();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.syncWithTimeout([ran] { ran->open(); }, 50ms));
  // The work is held until after the call: a call that did not give up would wait for ever.
  EXPECT_GE(secondsSince(start), 0.045);
  release->open();
  EXPECT_TRUE(ran->wait()) << "the work owns its state and runs after the time-out";
}

TEST_P(SerialQueueTest, syncWithTimeoutFromTheQueueItselfRunsAtOnce) {
  SerialQueue queue("com.example.test.reentrant", GetParam());
  bool nested = false;
  ASSERT_TRUE(queue.syncWithTimeout([&] { nested = queue.syncWithTimeout([] {}, 10ms); }, 5s));
  EXPECT_TRUE(nested);
}

TEST_P(SerialQueueTest, closingRunsQueuedWorkAndDropsLaterWork) {
  auto queue = std::make_unique<SerialQueue>("com.example.test.close", GetParam());
  std::atomic<int> ran{0};
  std::atomic<bool> lateRan{false};
  auto blocker = std::make_shared<Latch>();
  queue->post([blocker] { blocker->wait(); });
  for (int i = 0; i < 50; ++i) {
    queue->post([&] { ++ran; });
  }
  // Posted from inside after the close: dropped.
  queue->post([&, q = queue.get()] { q->post([&] { lateRan = true; }); });
  std::thread closer([&] { queue->shutdown(); });
  // Closed once a probe is dropped (destroyed) at once instead of queued.
  for (;; std::this_thread::sleep_for(1ms)) {
    auto probe = std::make_shared<int>(0);
    queue->post([probe] {});
    if (probe.use_count() == 1) {
      break;
    }
  }
  blocker->open();
  closer.join();
  EXPECT_EQ(ran.load(), 50);
  EXPECT_FALSE(lateRan.load());

  auto executor = queue->executor();
  EXPECT_FALSE(queue->syncWithTimeout([] {}, 5s)) << "a closed queue answers at once";
  queue.reset();
  auto token = std::make_shared<int>(0);
  boost::asio::post(executor, [token, &lateRan] { lateRan = true; });
  EXPECT_EQ(token.use_count(), 1) << "an executor that outlived its queue drops work";
  EXPECT_FALSE(lateRan.load());
}

// A close from the queue's own work returns without waiting; the owner's later shutdown must
// still wait for the work queued before that close, which may use what the owner frees next.
TEST_P(SerialQueueTest, closingAfterACloseFromItsOwnWorkStillWaitsForQueuedWork) {
  auto queue = std::make_unique<SerialQueue>("com.example.test.reclose", GetParam());
  Latch closedInside;
  Latch release;
  std::atomic<bool> queuedWorkEnded{false};
  queue->post([&, q = queue.get()] {
    release.wait();
    q->shutdown();
    closedInside.open();
  });
  queue->post([&] {
    std::this_thread::sleep_for(200ms);
    queuedWorkEnded = true;
  });
  release.open();
  ASSERT_TRUE(closedInside.wait());
  queue->shutdown();
  EXPECT_TRUE(queuedWorkEnded.load()) << "shutdown() returned while queued work still ran";
  queue.reset();
}

// The last owner can be a wait still pending when the queue's thread stops serving: the thread
// then destroys it, and with it the queue that it had already closed from its own work.
TEST(SerialQueue, aQueueClosedFromItsOwnWorkCanBeDestroyedByWhatItLeftPending) {
  struct QueueOwner {
    explicit QueueOwner(Latch& latch) : destroyed(latch) {}
    QueueOwner(const QueueOwner&) = delete;
    QueueOwner& operator=(const QueueOwner&) = delete;
    ~QueueOwner() {
      queue.reset();
      destroyed.open();
    }
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("com.example.test.leftover");
    Latch& destroyed;
  };
  Latch destroyed;
  auto owner = std::make_shared<QueueOwner>(destroyed);
  auto* queue = owner->queue.get();
  queue->post([owner = std::move(owner)]() mutable {
    auto timer = std::make_shared<boost::asio::steady_timer>(owner->queue->executor(), 1h);
    timer->async_wait([timer, owner](const boost::system::error_code&) {});
    owner->queue->shutdown();
  });
  EXPECT_TRUE(destroyed.wait()) << "the queue's thread waited for itself";
}

TEST(SerialQueue, destroyingTheQueueFromItsOwnWorkDoesNotDeadlock) {
  auto queue = std::make_shared<SerialQueue>("com.example.test.self");
  Latch destroyed;
  queue->post([&destroyed, queue = std::move(queue)]() mutable {
    queue.reset(); // last owner: the destructor runs on the queue's own thread
    destroyed.open();
  });
  EXPECT_TRUE(destroyed.wait());
}

TEST(SerialQueue, aTaskAwaitingOnAClosedQueueEndsAsCancelled) {
  auto queue = std::make_unique<SerialQueue>("com.example.test.abandon");
  Latch started;
  auto task = spawn(queue->executor(), [&]() -> Awaitable<int> {
    started.open();
    co_await sleep(10s);
    co_return 1;
  });
  ASSERT_TRUE(started.wait());
  queue.reset();
  ASSERT_TRUE(waitUntilFinished(task, 2s)); // far short of the sleep's 10 s
  EXPECT_THROW(task.state()->result(), CancellationError);
}

TEST(ThreadPool, sizesSuitSmallAndLargeMachines) {
  EXPECT_EQ(sharedPoolSize(0), 4U);
  EXPECT_EQ(sharedPoolSize(2), 4U);
  EXPECT_EQ(sharedPoolSize(6), 6U);
  EXPECT_EQ(sharedPoolSize(64), 8U);
  EXPECT_EQ(backgroundPoolSize(0), 2U);
  EXPECT_EQ(backgroundPoolSize(2), 2U);
  EXPECT_EQ(backgroundPoolSize(8), 4U);
  EXPECT_EQ(backgroundPoolSize(64), 4U);
}

TEST(ThreadPool, runsWorkConcurrently) {
  ThreadPool pool("test-pool", 3);
  std::mutex mutex;
  std::condition_variable allArrived;
  int arrived = 0;
  std::atomic<int> met{0};
  for (int i = 0; i < 3; ++i) {
    pool.post([&] {
      std::unique_lock lock(mutex);
      ++arrived;
      allArrived.notify_all();
      // Only possible when all three run at the same time.
      if (allArrived.wait_for(lock, 5s, [&] { return arrived == 3; })) {
        ++met;
      }
    });
  }
  std::unique_lock lock(mutex);
  ASSERT_TRUE(allArrived.wait_for(lock, 5s, [&] { return arrived == 3; }));
  lock.unlock();
  pool.shutdown();
  EXPECT_EQ(met.load(), 3);
}

TEST(ThreadPool, backgroundThreadsRunAtALowerPriority) {
  const int base = ::getpriority(PRIO_PROCESS, 0);
  std::atomic<int> seen{-100};
  Latch ran;
  backgroundPool().post([&] {
    seen = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    ran.open();
  });
  ASSERT_TRUE(ran.wait());
  EXPECT_EQ(seen.load(), std::min(base + kBackgroundNiceIncrement, 19));
}

// A queue closed from its own work has a thread that ends by itself; it is joined as the program
// ends, so none of the queue's threads is left while static objects are destroyed.
TEST(SerialQueue, AThreadClosedFromItsOwnWorkIsJoinedAsTheProgramEnds) {
  auto queue = std::make_shared<SerialQueue>("com.example.test.self-close");
  auto closed = std::make_shared<Latch>();
  auto thread = std::make_shared<std::atomic<pid_t>>(0);
  auto ended = std::make_shared<std::atomic<bool>>(false);
  queue->post([queue, closed, thread, ended]() mutable {
    thread->store(::gettid());
    queue->shutdown();
    queue.reset();
    closed->open();
    // Still busy well after the close: only a join waits for this thread to end.
    std::this_thread::sleep_for(500ms);
    ended->store(true);
  });
  queue.reset();
  ASSERT_TRUE(closed->wait());
  detail::joinEndedQueueThreads();
  EXPECT_TRUE(ended->load()) << "the thread was not joined";
  EXPECT_TRUE(threadHasEnded(thread->load())) << "the queue's thread still runs";
}

// As the program ends, a queue on the shared pool may still be closed, or even made, after the
// pool's threads are gone (a late static, a service made on first use). Nothing can run its work
// any more, so the close must drop it rather than wait for it. A hang ends the child by SIGALRM.
TEST(SerialQueueDeathTest, AQueueOnTheSharedPoolClosesAfterThePoolEnded) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::alarm(10);
        auto ran = std::make_shared<std::atomic<int>>(0);
        auto early = std::make_unique<SerialQueue>("com.example.test.early", SerialQueue::Kind::sharedPool);
        endThreads();
        early->post([ran] { ++*ran; });
        early.reset();
        {
          SerialQueue late("com.example.test.late", SerialQueue::Kind::sharedPool);
          late.post([ran] { ++*ran; });
          if (late.syncWithTimeout([ran] { ++*ran; }, 30s)) std::_Exit(11);
        }
        std::_Exit(ran->load() == 0 ? 0 : 12);
      },
      ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace pd::runtime::test
