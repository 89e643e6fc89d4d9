// The local search's thumbnail jobs: how many run at once, the per-job limit, and the deadline
// after which none starts, against a maker the test controls.

#include "api/ReceiverAPIServiceParts.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Task.hpp"
#include "support/Blocking.hpp"

#include <gmock/gmock.h>

#include <atomic>
#include <mutex>

namespace pd::api {
namespace {

using namespace std::chrono_literals;
using Entry = mediaserver::MacLocalVideoLibrary::Entry;
using Path = std::filesystem::path;
using Results = std::vector<std::optional<Path>>;

std::vector<Entry> entries(int count) {
  std::vector<Entry> out;
  for (int i = 0; i < count; ++i) out.push_back({std::to_string(i), "/videos/" + std::to_string(i) + ".mp4", {}});
  return out;
}

Results thumbnails(ThumbnailMaker make, int count, std::chrono::nanoseconds limit = 5s,
                   std::chrono::nanoseconds deadline = 20s, KeptThumbnails kept = {}) {
  return testing::runBlocking(
      [make = std::move(make), kept = std::move(kept), count, limit, deadline]() -> runtime::Awaitable<Results> {
        co_return co_await localThumbnails(make, kept, entries(count), limit, deadline);
      });
}

// Counts the jobs running at once and notes which entries were started.
struct Jobs {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  std::mutex mutex;
  std::vector<std::string> started;

  void begin(const std::string& id) {
    const int now = ++running;
    int seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {}
    const std::scoped_lock lock(mutex);
    started.push_back(id);
  }
};

TEST(ThumbnailJobsTest, AtMostFourRunAtOnceAndEveryEntryGetsItsOwnSlot) {
  auto jobs = std::make_shared<Jobs>();
  const auto results = thumbnails(
      [jobs](Entry entry) -> runtime::Awaitable<std::optional<Path>> {
        jobs->begin(entry.id);
        // Later entries finish first, so completion order is not entry order.
        co_await runtime::sleep(std::chrono::milliseconds(40 * (8 - std::stoi(entry.id))));
        --jobs->running;
        co_return Path("/thumbs/" + entry.id + ".jpg");
      },
      7);
  ASSERT_EQ(results.size(), 7U);
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(results[static_cast<std::size_t>(i)], Path("/thumbs/" + std::to_string(i) + ".jpg"));
  EXPECT_EQ(jobs->most.load(), 4);
}

TEST(ThumbnailJobsTest, AJobPastItsLimitIsCancelledAndLeavesOnlyItsSlotEmpty) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  const auto started = std::chrono::steady_clock::now();
  const auto results = thumbnails(
      [cancelled](Entry entry) -> runtime::Awaitable<std::optional<Path>> {
        if (entry.id == "2") {
          try {
            co_await runtime::sleep(10s);
          } catch (const runtime::CancellationError&) {
            cancelled->store(true);
            throw;
          }
        }
        co_return Path(entry.id);
      },
      5, 300ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_EQ(results, (Results{Path("0"), Path("1"), std::nullopt, Path("3"), Path("4")}));
  for (int i = 0; i < 100 && !cancelled->load(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(cancelled->load());
}

TEST(ThumbnailJobsTest, TheDeadlineStopsNewJobsOnTheMonotonicClockOnly) {
  runtime::ManualClock clock;
  runtime::ScopedClock installed(clock);
  // A step of the wall clock neither cuts the jobs short nor stalls them.
  auto stepWall = thumbnails(
      [&clock](Entry entry) -> runtime::Awaitable<std::optional<Path>> {
        if (entry.id == "0") clock.stepWall(48h);
        co_return Path(entry.id);
      },
      7);
  EXPECT_EQ(std::count(stepWall.begin(), stepWall.end(), std::nullopt), 0);

  // Once the deadline has passed, the running jobs finish and no further one starts.
  auto jobs = std::make_shared<Jobs>();
  auto late = thumbnails(
      [&clock, jobs](Entry entry) -> runtime::Awaitable<std::optional<Path>> {
        jobs->begin(entry.id);
        if (entry.id == "0") clock.advance(21s);
        else co_await runtime::sleep(50ms);
        co_return Path(entry.id);
      },
      7);
  EXPECT_EQ(late, (Results{Path("0"), Path("1"), Path("2"), Path("3"), std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_THAT(jobs->started, ::testing::UnorderedElementsAre("0", "1", "2", "3"));
}

TEST(ThumbnailJobsTest, FilesAnsweredAtOnceNeedNoJobAndAHungAnswerOnlyDelaysTheJobs) {
  auto jobs = std::make_shared<Jobs>();
  ThumbnailMaker make = [jobs](Entry entry) -> runtime::Awaitable<std::optional<Path>> {
    jobs->begin(entry.id);
    --jobs->running;
    co_return Path("/made/" + entry.id);
  };
  // The even entries were made before; the others get their jobs.
  KeptThumbnails evens = [](std::vector<Entry> all) -> runtime::Awaitable<Results> {
    Results found(all.size());
    for (std::size_t i = 0; i < all.size(); i += 2) found[i] = Path("/kept/" + all[i].id);
    co_return found;
  };
  EXPECT_EQ(thumbnails(make, 5, 5s, 20s, evens),
            (Results{Path("/kept/0"), Path("/made/1"), Path("/kept/2"), Path("/made/3"), Path("/kept/4")}));
  EXPECT_THAT(jobs->started, ::testing::UnorderedElementsAre("1", "3"));

  // An answer that does not come within one job's limit: every entry gets its job.
  jobs->started.clear();
  KeptThumbnails hung = [](std::vector<Entry>) -> runtime::Awaitable<Results> {
    co_await runtime::sleep(10s);
    co_return Results{};
  };
  EXPECT_EQ(thumbnails(make, 3, 50ms, 20s, hung), (Results{Path("/made/0"), Path("/made/1"), Path("/made/2")}));
  EXPECT_THAT(jobs->started, ::testing::UnorderedElementsAre("0", "1", "2"));
}

} // namespace
} // namespace pd::api
