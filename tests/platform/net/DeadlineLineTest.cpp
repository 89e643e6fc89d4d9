#include "platform/net/DeadlineLine.hpp"

#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <vector>

namespace pd::platform::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Entries are reported in order, each no sooner than its own deadline; one that stopped waiting
// is never reported, also when it stands in front of waiting ones or leaves from the middle; and
// an entry added after the line emptied still has its deadline kept.
TEST(DeadlineLineTest, ReportsWaitingEntriesInOrderAtTheirOwnDeadlines) {
  runtime::SerialQueue queue{"deadline.test"};
  std::map<int, bool> waiting; // on the queue
  std::vector<std::pair<int, Clock::time_point>> reported; // on the queue
  std::map<int, Clock::time_point> deadlines;
  std::promise<void> allDue;
  using Line = DeadlineLine<int>;
  auto line = std::make_shared<Line>(
      boost::asio::any_io_executor(queue.executor()), [&](const int& id) { return waiting[id]; },
      [&](const int& id) {
        reported.emplace_back(id, Clock::now());
        waiting[id] = false;
        if (id == 5) allDue.set_value();
      });
  const auto start = Clock::now();
  queue.executor().execute([&] {
    // 3 falls due with 2, in the same turn of the timer.
    for (int id = 1; id <= 4; ++id) {
      waiting[id] = true;
      deadlines[id] = start + (id == 3 ? 2 : id) * 60ms;
      line->add(deadlines[id], id);
    }
    // The front and one in the middle finish early.
    waiting[1] = false;
    waiting[3] = false;
    line->dropFinished();
  });
  // After the line has emptied: a fresh deadline arms it again.
  queue.executor().execute([&] {
    waiting[5] = true;
    deadlines[5] = start + 400ms;
    line->add(deadlines[5], 5);
  });
  ASSERT_EQ(allDue.get_future().wait_for(10s), std::future_status::ready);
  std::promise<std::vector<std::pair<int, Clock::time_point>>> seen;
  queue.executor().execute([&] { seen.set_value(reported); });
  const auto got = seen.get_future().get();
  ASSERT_EQ(got.size(), 3u);
  const int expected[] = {2, 4, 5};
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, expected[i]);
    EXPECT_GE(got[i].second, deadlines[expected[i]]);
  }
}

} // namespace
} // namespace pd::platform::net
