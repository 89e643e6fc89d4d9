// The one-shot main-thread timer: firing order, invalidation from inside a callback, and delays
// outside the clock's range (NaN and negative ones fire at once, an enormous one waits).

#include "runtime/MainThreadTimers.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <set>
#include <vector>

namespace pd::runtime::test {
namespace {

TEST(MainThreadTimers, OutOfRangeDelaysAreClampedAndInvalidatedTimersNeverFire) {
  MainLoop loop;
  const auto timers = MainThreadTimers::system();
  std::vector<int> fired;
  auto never = timers->schedule(std::chrono::duration<double>(1e300), [&] { fired.push_back(9); });
  auto nan = timers->schedule(std::chrono::duration<double>(std::numeric_limits<double>::quiet_NaN()),
                              [&] { fired.push_back(1); });
  std::unique_ptr<MainThreadTimers::Timer> cancelled;
  auto negative = timers->schedule(std::chrono::duration<double>(-5.0), [&] {
    fired.push_back(2);
    cancelled->invalidate(); // from inside another timer's callback
  });
  cancelled = timers->schedule(10ms, [&] { fired.push_back(8); });
  // Made last, so its deadline is the latest however long the thread was held up above.
  auto later = timers->schedule(30ms, [&] { fired.push_back(3); });
  // The 10 ms timer would come before the 30 ms one: the third entry shows it stayed quiet.
  loop.runUntil([&] { return fired.size() == 3; });
  EXPECT_EQ(std::set<int>(fired.begin(), fired.begin() + 2), (std::set<int>{1, 2})); // both due at once
  EXPECT_EQ(fired[2], 3);
  never.reset();
}

} // namespace
} // namespace pd::runtime::test
