#include "TestSupport.hpp"

#include "runtime/Actor.hpp"
#include "runtime/ThreadPools.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace pd::runtime::test {
namespace {

class Account : public Actor {
public:
  // Trusts what it read before suspending: loses concurrent updates. The first call stays
  // suspended until the second has started, however late a loaded machine starts it.
  Awaitable<void> withdrawTrustingStaleState(int amount, std::string who) {
    return onActor([this, amount, who]() -> Awaitable<void> {
      log_.push_back(who + " start");
      const int balance = balance_;
      while (log_.size() < 2) {
        co_await sleep(1ms); // other calls run here
      }
      balance_ = balance - amount;
      log_.push_back(who + " end");
    });
  }

  // Re-reads the state after the suspension.
  Awaitable<void> withdraw(int amount) {
    return onActor([this, amount]() -> Awaitable<void> {
      co_await sleep(20ms);
      balance_ -= amount;
    });
  }

  Awaitable<int> balance() {
    return onActor([this] { return balance_; });
  }

  Awaitable<std::vector<std::string>> log() {
    return onActor([this] { return log_; });
  }

  Awaitable<int> failing() {
    return onActor([]() -> int { throw std::invalid_argument("no"); });
  }

  Awaitable<bool> runsOnActor() {
    return onActor([this] { return isCurrent(); });
  }

  // Unsynchronised on purpose: safe only because the actor runs one call at a time.
  Awaitable<void> increment() {
    return onActor([this] {
      if (inside_.fetch_add(1) != 0) {
        overlapped_ = true;
      }
      ++count_;
      inside_.fetch_sub(1);
    });
  }
  Awaitable<int> count() {
    return onActor([this] { return overlapped_ ? -1 : count_; });
  }

private:
  int balance_ = 100;
  std::vector<std::string> log_;
  std::atomic<int> inside_{0};
  bool overlapped_ = false;
  int count_ = 0;
};

TEST(Actor, callsInterleaveAtEverySuspensionSoStateMustBeReRead) {
  MainLoop loop;
  auto account = std::make_shared<Account>();
  auto a = spawn(MainThread::executor(), [account] { return account->withdrawTrustingStaleState(10, "a"); });
  auto b = spawn(MainThread::executor(), [account] { return account->withdrawTrustingStaleState(10, "b"); });
  loop.runUntil([&] { return a.isFinished() && b.isFinished(); });
  const auto log = loop.run([account] { return account->log(); });
  // Both calls started before either ended: the second ran while the first was suspended.
  ASSERT_EQ(log.size(), 4U);
  EXPECT_EQ(log[0].substr(2), "start");
  EXPECT_EQ(log[1].substr(2), "start");
  EXPECT_EQ(loop.run([account] { return account->balance(); }), 90) << "the stale read lost an update";

  auto c = spawn(MainThread::executor(), [account] { return account->withdraw(10); });
  auto d = spawn(MainThread::executor(), [account] { return account->withdraw(10); });
  loop.runUntil([&] { return c.isFinished() && d.isFinished(); });
  EXPECT_EQ(loop.run([account] { return account->balance(); }), 70);
}

TEST(Actor, runsOneCallAtATimeFromManyThreads) {
  auto account = std::make_shared<Account>();
  std::vector<Task<void>> callers;
  for (int i = 0; i < 200; ++i) {
    callers.push_back(spawn(sharedPool().executor(), [account] { return account->increment(); }));
  }
  for (auto& caller : callers) {
    ASSERT_TRUE(waitUntilFinished(caller));
  }
  auto count = spawn(sharedPool().executor(), [account] { return account->count(); });
  ASSERT_TRUE(waitUntilFinished(count));
  EXPECT_EQ(count.state()->result(), 200);
}

TEST(Actor, resultsAndErrorsReachTheCallerOnItsOwnExecutor) {
  MainLoop loop;
  auto account = std::make_shared<Account>();
  const bool ok = loop.run([account]() -> Awaitable<bool> {
    const bool onActor = co_await account->runsOnActor();
    const bool backOnMain = MainThread::isMainThread() && !account->isCurrent();
    bool threw = false;
    try {
      (void)co_await account->failing();
    } catch (const std::invalid_argument&) {
      threw = MainThread::isMainThread();
    }
    co_return onActor&& backOnMain&& threw;
  });
  EXPECT_TRUE(ok);
}

TEST(Actor, theCallersCancellationReachesTheMethod) {
  class Sleeper : public Actor {
  public:
    Awaitable<bool> nap() {
      return onActor([]() -> Awaitable<bool> {
        try {
          co_await sleep(10s);
        } catch (const CancellationError&) {
          co_return isCancelled();
        }
        co_return false;
      });
    }
  };
  auto sleeper = std::make_shared<Sleeper>();
  auto caller = spawn(sharedPool().executor(), [sleeper] { return sleeper->nap(); });
  std::this_thread::sleep_for(20ms); // most often inside the nap; a cancellation before it ends it as well
  caller.cancel();
  ASSERT_TRUE(waitUntilFinished(caller, 2s)); // far short of the nap's 10 s
  EXPECT_TRUE(caller.state()->result()) << "inside the method isCancelled() answers for the caller";
}

TEST(Actor, survivesCallersCancelledAtAnyMomentOfTheCall) {
  class Worker : public Actor {
  public:
    Awaitable<int> value() {
      return onActor([] { return 7; });
    }
    Awaitable<int> failing() {
      return onActor([]() -> int { throw std::invalid_argument("no"); });
    }
    Awaitable<int> suspending() {
      return onActor([]() -> Awaitable<int> {
        co_await sleep(std::chrono::microseconds(20));
        co_return 7;
      });
    }
  };
  auto worker = std::make_shared<Worker>();
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delayMicros(0, 60);
  constexpr int kRounds = 600;
  constexpr std::size_t kCallersPerRound = 6;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<Task<int>> callers;
    for (std::size_t i = 0; i < kCallersPerRound; ++i) {
      callers.push_back(spawn(sharedPool().executor(), [worker, kind = i % 3]() -> Awaitable<int> {
        if (kind == 0) {
          co_return co_await worker->value();
        }
        if (kind == 1) {
          co_return co_await worker->failing();
        }
        co_return co_await worker->suspending();
      }));
    }
    for (auto& caller : callers) {
      // Busy-waiting: a sleep is far too coarse to land cancellations inside the call's last steps.
      const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(delayMicros(random));
      while (std::chrono::steady_clock::now() < until) {}
      caller.cancel();
    }
    for (std::size_t i = 0; i < kCallersPerRound; ++i) {
      ASSERT_TRUE(waitUntilFinished(callers[i])) << "round " << round << " caller " << i << " hangs";
      const auto error = callers[i].state()->error();
      switch (i % 3) {
      case 0: EXPECT_EQ(callers[i].state()->result(), 7) << "a method without suspension runs to its end"; break;
      case 1:
        ASSERT_TRUE(error);
        EXPECT_THROW(std::rethrow_exception(error), std::invalid_argument);
        break;
      default:
        if (error) {
          EXPECT_THROW(std::rethrow_exception(error), CancellationError);
        } else {
          EXPECT_EQ(callers[i].state()->result(), 7);
        }
      }
    }
  }
}

} // namespace
} // namespace pd::runtime::test
