#include "diagnostics/LogThrottle.hpp"

#include "RingTestSupport.hpp"
#include "diagnostics/ThrottledLog.hpp"

#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pd::diagnostics {
namespace {

using namespace std::chrono_literals;
using std::nullopt;

class LogThrottleTest : public ::testing::Test {
protected:
  runtime::ManualClock clock;
  runtime::ScopedClock scoped{clock};
  LogThrottle throttle;
};

TEST_F(LogThrottleTest, FirstCallIsWrittenWhateverTheSettingsAndAnEarlierResetChangesNothing) {
  EXPECT_EQ(throttle.shouldEmit("a", 1, 0.0), 1);
  EXPECT_EQ(throttle.shouldEmit("b", 100, 60.0), 1);
  EXPECT_EQ(throttle.reset("never_seen"), nullopt);
  EXPECT_EQ(throttle.shouldEmit("never_seen", 7, 1e9), 1);
}

TEST_F(LogThrottleTest, EveryTwentyWithinHalfASecond) {
  EXPECT_EQ(throttle.shouldEmit("ping_send", 20, 0.5), 1);
  for (int i = 2; i <= 100; ++i) {
    clock.advance(10us);
    EXPECT_EQ(throttle.shouldEmit("ping_send", 20, 0.5), nullopt) << i; // 20, 40.. fall inside the interval
  }
  clock.advance(500ms);
  for (int n = 101; n < 120; ++n) EXPECT_EQ(throttle.shouldEmit("ping_send", 20, 0.5), nullopt) << n;
  EXPECT_EQ(throttle.shouldEmit("ping_send", 20, 0.5), 120);
  EXPECT_EQ(throttle.reset("ping_send"), 120);
}

TEST_F(LogThrottleTest, EveryOneIsLimitedOnlyByTheInterval) {
  EXPECT_EQ(throttle.shouldEmit("proc_stall", 1, 5.0), 1);
  clock.advance(1s);
  EXPECT_EQ(throttle.shouldEmit("proc_stall", 1, 5.0), nullopt);
  clock.advance(5s);
  EXPECT_EQ(throttle.shouldEmit("proc_stall", 1, 5.0), 3);
  clock.advance(4999ms);
  EXPECT_EQ(throttle.shouldEmit("proc_stall", 1, 5.0), nullopt);
  clock.advance(1ms); // exactly the interval later is allowed
  EXPECT_EQ(throttle.shouldEmit("proc_stall", 1, 5.0), 5);
}

TEST_F(LogThrottleTest, KeysAreIndependent) {
  EXPECT_EQ(throttle.shouldEmit("udp_recv_fail", 1, 10.0), 1);
  EXPECT_EQ(throttle.shouldEmit("json_parse_fail", 1, 10.0), 1);
  EXPECT_EQ(throttle.shouldEmit("udp_recv_fail", 1, 10.0), nullopt);
  EXPECT_EQ(throttle.reset("json_parse_fail"), 1);
  EXPECT_EQ(throttle.reset("udp_recv_fail"), 2);
  std::string heldKey = "frag_sweep stream=1";
  EXPECT_EQ(throttle.shouldEmit(heldKey, 1, 0.0), 1);
  heldKey[heldKey.size() - 1] = '2'; // the throttle must have kept its own copy of the key
  EXPECT_EQ(throttle.shouldEmit(heldKey, 1, 0.0), 1);
  EXPECT_EQ(throttle.shouldEmit("frag_sweep stream=1", 1, 0.0), 2);
}

TEST_F(LogThrottleTest, ResetRestartsTheCountButNotTheInterval) {
  EXPECT_EQ(throttle.shouldEmit("deckstate_send_fail", 1, 0.5), 1);
  EXPECT_EQ(throttle.shouldEmit("deckstate_send_fail", 1, 0.5), nullopt);
  EXPECT_EQ(throttle.reset("deckstate_send_fail"), 2);
  EXPECT_EQ(throttle.reset("deckstate_send_fail"), nullopt);
  // Within the interval of the last written line: suppressed, and the count goes on from 1.
  EXPECT_EQ(throttle.shouldEmit("deckstate_send_fail", 1, 0.5), nullopt);
  clock.advance(500ms);
  EXPECT_EQ(throttle.shouldEmit("deckstate_send_fail", 1, 0.5), 2);
  // Outside the interval a reset key starts over at 1.
  EXPECT_EQ(throttle.reset("deckstate_send_fail"), 2);
  clock.advance(1s);
  EXPECT_EQ(throttle.shouldEmit("deckstate_send_fail", 20, 0.5), 1);
}

TEST_F(LogThrottleTest, WallClockStepsNeitherReleaseNorHoldBackLines) {
  EXPECT_EQ(throttle.shouldEmit("k", 1, 5.0), 1);
  clock.stepWall(24h);
  EXPECT_EQ(throttle.shouldEmit("k", 1, 5.0), nullopt);
  clock.stepWall(-48h);
  clock.advance(5s);
  EXPECT_EQ(throttle.shouldEmit("k", 1, 5.0), 3);
}

TEST_F(LogThrottleTest, CallerErrorsInTheSettingsAreHarmless) {
  EXPECT_EQ(throttle.shouldEmit("zero", 0, 0.0), 1);
  EXPECT_EQ(throttle.shouldEmit("zero", 0, 0.0), 2);
  EXPECT_EQ(throttle.shouldEmit("negative", -3, 0.0), 1);
  EXPECT_EQ(throttle.shouldEmit("negative", -3, 0.0), 2);
  EXPECT_EQ(throttle.shouldEmit("nan", 1, std::nan("")), 1);
  EXPECT_EQ(throttle.shouldEmit("nan", 1, std::nan("")), 2);
  EXPECT_EQ(throttle.shouldEmit("below_zero", 1, -1.0), 1);
  EXPECT_EQ(throttle.shouldEmit("below_zero", 1, -1.0), 2);
  EXPECT_EQ(throttle.shouldEmit("forever", 1, std::numeric_limits<double>::infinity()), 1);
  clock.advance(24h * 365);
  EXPECT_EQ(throttle.shouldEmit("forever", 1, std::numeric_limits<double>::infinity()), nullopt);
}

TEST_F(LogThrottleTest, ConcurrentCallersSeeEachCountOnce) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 10'000;
  std::mutex mutex;
  std::multiset<std::int64_t> emitted;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      std::vector<std::int64_t> mine;
      for (int i = 0; i < kCalls; ++i)
        if (auto n = throttle.shouldEmit("frame_drop", 100, 0.0)) mine.push_back(*n);
      std::scoped_lock lock(mutex);
      emitted.insert(mine.begin(), mine.end());
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(emitted.size(), 1u + kThreads * kCalls / 100);
  std::int64_t expected = 0;
  for (std::int64_t n : emitted) {
    EXPECT_EQ(n, expected == 0 ? 1 : expected);
    expected = expected == 0 ? 100 : expected + 100;
  }
  EXPECT_EQ(throttle.reset("frame_drop"), kThreads * kCalls);
}

// The helper every throttled line goes through: the count grows on each call, and only the lines
// let through are written, each with its count last.
TEST_F(LogThrottleTest, ThrottledLinesCarryTheirCountAndOnlyThoseLetThroughAreWritten) {
  test::LogCapture log;
  const std::string key = "throttled_line_test";
  for (std::int64_t i = 0; i < 5; ++i) {
    logThrottled(Log::app(), platform::log::Level::notice, key, {2, 0s}, "throttled_line n=%ld occurrences=%ld", i);
  }
  EXPECT_EQ(log.lines("throttled_line"),
            (std::vector<std::string>{"throttled_line n=0 occurrences=1", "throttled_line n=1 occurrences=2",
                                      "throttled_line n=3 occurrences=4"}));
  std::vector<std::int64_t> written;
  const auto write = [&](std::int64_t count) { written.push_back(count); };
  clock.advance(1s);
  EXPECT_EQ(logThrottled(key, {2, 1s}, write), 6);
  clock.advance(999ms);
  EXPECT_EQ(logThrottled(key, {2, 1s}, write), nullopt);
  EXPECT_EQ(logThrottled(key, {2, 1s}, write), nullopt); // the 8th, but inside the interval
  EXPECT_EQ(written, (std::vector<std::int64_t>{6}));
}

// After resetAll() every key counts from 1 again and no interval holds its next line back.
TEST_F(LogThrottleTest, ResetAllStartsEveryKeyAfresh) {
  EXPECT_EQ(throttle.shouldEmit("a", 30, 10.0), 1);
  EXPECT_EQ(throttle.shouldEmit("a", 30, 10.0), nullopt);
  EXPECT_EQ(throttle.shouldEmit("b", 1, 10.0), 1);
  throttle.resetAll();
  EXPECT_EQ(throttle.shouldEmit("a", 30, 10.0), 1);
  EXPECT_EQ(throttle.shouldEmit("b", 1, 10.0), 1); // no wait for the interval
  EXPECT_EQ(throttle.reset("b"), 1);
}

TEST(LogThrottleSharedTest, IsOneInstance) { EXPECT_EQ(&LogThrottle::shared(), &LogThrottle::shared()); }

} // namespace
} // namespace pd::diagnostics
