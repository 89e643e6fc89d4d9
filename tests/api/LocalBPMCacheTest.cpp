#include "api/BPMTestSupport.hpp"
#include "api/LocalBPMCache.hpp"
#include "runtime/ThreadPools.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace pd::api::test {
namespace {

using Strings = std::vector<std::string>;

class LocalBPMCacheTest : public ::testing::Test {
protected:
  std::shared_ptr<LocalBPMCache> makeCache(LocalBPMCache::Timing timing = {}, LocalBPMCache::Limits limits = {}) {
    return LocalBPMCache::create({detector_.detector(), pool_.executor(), timing, limits});
  }
  ~LocalBPMCacheTest() override { detector_.close(); }

  GatedDetector detector_;
  TempFolder folder_;
  pd::testing::LogWindow log_;

private:
  runtime::ThreadPool pool_{"bpm-test", 3};
};

TEST_F(LocalBPMCacheTest, NewestRequestStartsNextAndWaitersShareOneAnalysis) {
  auto cache = makeCache();
  auto a1 = request(cache, folder_.entry("a"));
  ASSERT_TRUE(detector_.waitForStarts(1));
  auto b = request(cache, folder_.entry("b"));
  auto c = request(cache, folder_.entry("c"));
  auto a2 = request(cache, folder_.entry("a"));

  detector_.release("a", 120);
  EXPECT_EQ(outcomeOf(a1), Outcome::done(120));
  EXPECT_EQ(outcomeOf(a2), Outcome::done(120));
  ASSERT_TRUE(detector_.waitForStarts(2));
  detector_.release("c", deckinput::BPMDetectionResult{}); // no tempo in the file
  EXPECT_EQ(outcomeOf(c), Outcome::done(std::nullopt));
  ASSERT_TRUE(detector_.waitForStarts(3));
  detector_.release("b", deckinput::BPMDetectionResult{std::nullopt, 0, true});
  EXPECT_EQ(outcomeOf(b), Outcome::pending());
  EXPECT_EQ(detector_.started(), (Strings{"a", "c", "b"}));

  // A wait that nothing could ever end answers at once.
  EXPECT_EQ(pd::testing::runBlocking([&]() -> runtime::Awaitable<Outcome> { co_return co_await cache->wait("b"); }, 1s),
            Outcome::pending());
  // Results are answered without the analyser, an empty one too; a transient failure left nothing.
  EXPECT_EQ(outcomeOf(*requestIfKnown(cache, "a")), Outcome::done(120));
  EXPECT_EQ(outcomeOf(request(cache, folder_.entry("c"))), Outcome::done(std::nullopt));
  EXPECT_FALSE(requestIfKnown(cache, "b").has_value());
  EXPECT_EQ(log_.count("local_bpm_cancelled reason=read_fail"), 1u);
  EXPECT_EQ(detector_.started(), (Strings{"a", "c", "b"})); // nothing analysed again
}

TEST_F(LocalBPMCacheTest, QueuedIDsNobodyAwaitsAreDroppedAndRunningOnesFinish) {
  auto cache = makeCache();
  auto a = request(cache, folder_.entry("a"));
  ASSERT_TRUE(detector_.waitForStarts(1));
  auto b = request(cache, folder_.entry("b"));
  auto c = request(cache, folder_.entry("c"));
  auto d = request(cache, folder_.entry("d"));
  // A known queued id moves to the front.
  auto b2 = requestIfKnown(cache, "b");
  ASSERT_TRUE(b2.has_value());

  a.cancel();
  d.cancel();
  EXPECT_EQ(outcomeOf(a), Outcome::pending());
  EXPECT_EQ(outcomeOf(d), Outcome::pending());
  EXPECT_FALSE(requestIfKnown(cache, "d").has_value());
  b.cancel(); // one of b's two waiters leaves: b stays queued
  EXPECT_EQ(outcomeOf(b), Outcome::pending());

  detector_.release("a", 100);
  ASSERT_TRUE(detector_.waitForStarts(2));
  detector_.release("b", 101);
  EXPECT_EQ(outcomeOf(*b2), Outcome::done(101));
  ASSERT_TRUE(detector_.waitForStarts(3));
  detector_.release("c", 102);
  EXPECT_EQ(outcomeOf(c), Outcome::done(102));
  EXPECT_EQ(detector_.started(), (Strings{"a", "b", "c"}));
  // Nobody waited for a at the end, but its result was kept.
  EXPECT_EQ(outcomeOf(*requestIfKnown(cache, "a")), Outcome::done(100));
}

TEST_F(LocalBPMCacheTest, AHungAnalysisIsAbandonedAndASecondAbandonIsHeldUntilTheFirstEnds) {
  auto cache = makeCache({.watchdog = 150ms});
  auto a = request(cache, folder_.entry("a"));
  auto b = request(cache, folder_.entry("b"));
  ASSERT_TRUE(detector_.waitForStarts(1));
  EXPECT_EQ(outcomeOf(a), Outcome::pending());
  ASSERT_TRUE(detector_.waitForStarts(2)); // b starts once a is abandoned
  EXPECT_EQ(log_.count("local_bpm_abandon reason=timeout"), 1u);

  // A new request for a waits for the abandoned analysis instead of queueing it again.
  auto aAgain = request(cache, folder_.entry("a"));
  auto c = request(cache, folder_.entry("c"));
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(log_.count("local_bpm_hold reason=abandoned_in_flight count=1"), 1u);
  EXPECT_FALSE(b.isFinished());
  EXPECT_EQ(detector_.started(), (Strings{"a", "b"}));

  // a's late tempo is stored; then the held abandon of b lets c start.
  detector_.release("a", 130);
  EXPECT_EQ(outcomeOf(aAgain), Outcome::done(130));
  EXPECT_EQ(outcomeOf(b), Outcome::pending());
  ASSERT_TRUE(detector_.waitForStarts(3));
  EXPECT_EQ(log_.count("local_bpm_abandon reason=timeout"), 2u);
  detector_.release("c", 140);
  EXPECT_EQ(outcomeOf(c), Outcome::done(140));

  // b was cancelled when it was abandoned: ending without tempo, it stores nothing.
  detector_.release("b", deckinput::BPMDetectionResult{});
  EXPECT_TRUE(pd::testing::runBlocking([&]() -> runtime::Awaitable<bool> {
    for (int i = 0; i < 200 && !log_.has("local_bpm_cancelled reason=cancel"); ++i) co_await runtime::sleep(10ms);
    co_return log_.has("local_bpm_cancelled reason=cancel");
  }));
  EXPECT_FALSE(requestIfKnown(cache, "b").has_value());
  EXPECT_EQ(outcomeOf(*requestIfKnown(cache, "a")), Outcome::done(130));
}

TEST_F(LocalBPMCacheTest, AFileChangedBeforeItsAnalysisIsNotAnalysedAndItsGuardIsForgotten) {
  auto cache = makeCache();
  auto a = request(cache, folder_.entry("a"));
  ASSERT_TRUE(detector_.waitForStarts(1));
  auto b = request(cache, folder_.entry("b"));
  ASSERT_TRUE(seen(cache, "b").has_value());
  folder_.rewrite("b", "new and longer");

  detector_.release("a", 100);
  EXPECT_EQ(outcomeOf(b), Outcome::done(std::nullopt));
  EXPECT_EQ(log_.count("local_bpm_cancelled reason=file_changed"), 1u);
  EXPECT_FALSE(seen(cache, "b").has_value());
  EXPECT_FALSE(requestIfKnown(cache, "b").has_value());
  EXPECT_EQ(detector_.started(), (Strings{"a"}));
}

TEST_F(LocalBPMCacheTest, ResultsAndGuardsAreBoundedAndBusyGuardsStay) {
  auto cache = makeCache({}, {.results = 3, .remembered = 2});
  for (const std::string id : {"r1", "r2", "r3"}) {
    auto task = request(cache, folder_.entry(id));
    detector_.release(id, 100);
    ASSERT_EQ(outcomeOf(task), Outcome::done(100));
  }
  EXPECT_TRUE(requestIfKnown(cache, "r1").has_value()); // a read does not refresh r1
  auto r4 = request(cache, folder_.entry("r4"));
  detector_.release("r4", 100);
  ASSERT_EQ(outcomeOf(r4), Outcome::done(100));
  EXPECT_FALSE(requestIfKnown(cache, "r1").has_value());
  EXPECT_TRUE(requestIfKnown(cache, "r2").has_value());

  // Guards: r2..r4 were remembered, the oldest idle ones gave way.
  EXPECT_FALSE(seen(cache, "r2").has_value());
  EXPECT_TRUE(seen(cache, "r4").has_value());
  auto x = request(cache, folder_.entry("x")); // running
  ASSERT_TRUE(detector_.waitForStarts(5));
  auto y = request(cache, folder_.entry("y")); // queued
  auto z = request(cache, folder_.entry("z")); // queued: three busy guards, none can go
  EXPECT_TRUE(seen(cache, "x").has_value());
  EXPECT_TRUE(seen(cache, "y").has_value());
  EXPECT_TRUE(seen(cache, "z").has_value());
  EXPECT_FALSE(seen(cache, "r4").has_value());
  y.cancel(); // y leaves the queue and becomes idle
  EXPECT_EQ(outcomeOf(y), Outcome::pending());
  auto w = request(cache, folder_.entry("w"));
  EXPECT_FALSE(seen(cache, "y").has_value());
  EXPECT_TRUE(seen(cache, "x").has_value());
  EXPECT_TRUE(seen(cache, "z").has_value());
  detector_.close();
  for (auto* task : {&x, &z, &w}) outcomeOf(*task);
}

TEST(LocalBPMCacheRealDetectorTest, MeasuresAFileWithTheDetectionServiceOnTheBackgroundPool) {
  TempFolder folder;
  auto cache = LocalBPMCache::create();
  EXPECT_EQ(outcomeOf(request(cache, folder.clickTrack("clicks", 120, 12)), 60s), Outcome::done(120));
}

} // namespace
} // namespace pd::api::test
