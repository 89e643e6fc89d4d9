#include "api/BPMRoute.hpp"
#include "api/BPMTestSupport.hpp"
#include "platform/json/JsonWriter.hpp"
#include "runtime/ThreadPools.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <system_error>
#include <future>

namespace pd::api::test {
namespace {

using mediaserver::ReceiverAPIResponse;

constexpr const char* kA = "file-00000000000000000000000a";
constexpr const char* kB = "file-00000000000000000000000b";

std::string text(const ReceiverAPIResponse& response) {
  return std::to_string(response.status) + " " + std::string(response.body.begin(), response.body.end());
}

class BPMRouteTest : public ::testing::Test {
protected:
  BPMRouteTest() {
    dependencies_.cache = LocalBPMCache::create({detector_.detector(), pool_.executor(), {}, {}});
    dependencies_.currentGeneration = [this] { return generation_.load(); };
    dependencies_.lookupLocal = [this](std::string id, std::string) -> runtime::Awaitable<LocalLookup> {
      ++lookups_;
      if (lookupEntered_) lookupEntered_->set_value();
      if (lookupDelay_ > 0ms) {
        try {
          co_await runtime::sleep(lookupDelay_);
        } catch (const runtime::CancellationError&) {}
      }
      if (id == kB) co_return LocalLookup{ReceiverAPIResponse{404, {'{', '}'}}};
      co_return LocalLookup{folder_.entry(id)};
    };
    dependencies_.checkGuard =
        [this](std::string, std::filesystem::path url,
               std::shared_ptr<LocalBPMCache::ServingVersionGuard> guard) -> runtime::Awaitable<bool> {
      ++checks_;
      if (checkHangs_) co_await runtime::sleep(10s);
      if (checkThrows_) {
        throw std::filesystem::filesystem_error("stat", url, std::make_error_code(std::errc::permission_denied));
      }
      co_return guard->matches(url);
    };
    dependencies_.jsonResponse = [](std::int64_t status, const nlohmann::json& body) {
      const auto written = platform::json::write(body, {.sortedKeys = true, .escapeSlashes = true});
      return ReceiverAPIResponse{status, {written.begin(), written.end()}};
    };
    dependencies_.timing = {.guardCheck = 100ms, .outcome = 200ms};
  }
  ~BPMRouteTest() override { detector_.close(); }

  // The route begins once `gate` is ready.
  runtime::Task<ReceiverAPIResponse> start(std::optional<std::string> id, std::string op,
                                           std::optional<std::int64_t> generation = 7,
                                           std::shared_future<void> gate = {}) {
    return runtime::spawn(runtime::sharedPool().executor(),
                          [id, context = RequestContext{std::move(op), generation}, dependencies = dependencies_,
                           gate]() -> runtime::Awaitable<ReceiverAPIResponse> {
                            if (gate.valid()) gate.wait();
                            co_return co_await bpmRoute(id, context, dependencies);
                          });
  }
  std::string answer(std::optional<std::string> id, std::string op = "op", std::optional<std::int64_t> generation = 7) {
    auto task = start(std::move(id), std::move(op), generation);
    if (!runtime::test::waitUntilFinished(task, 5s)) return "no answer";
    return text(task.state()->result());
  }

  runtime::ThreadPool pool_{"bpm-route-test", 3};
  GatedDetector detector_;
  TempFolder folder_;
  pd::testing::LogWindow log_;
  BPMRouteDependencies dependencies_;
  std::atomic<std::int64_t> generation_{7};
  std::atomic<int> lookups_{0};
  std::atomic<int> checks_{0};
  std::atomic<bool> checkHangs_{false};
  std::atomic<bool> checkThrows_{false};
  std::chrono::milliseconds lookupDelay_{0};
  std::optional<std::promise<void>> lookupEntered_;
};

TEST_F(BPMRouteTest, RefusesMalformedIDsAndSendsLookupFailuresUnchanged) {
  EXPECT_EQ(answer(std::nullopt), R"(400 {"error":"invalid_video_id"})");
  EXPECT_EQ(answer("file-00000000000000000000000A"), R"(400 {"error":"invalid_video_id"})");
  EXPECT_EQ(answer("dQw4w9WgXcQ"), R"(400 {"error":"invalid_video_id"})");
  EXPECT_EQ(answer(kB), "404 {}");
  EXPECT_EQ(lookups_, 1);
  EXPECT_TRUE(detector_.started().empty());
  EXPECT_FALSE(log_.has("local_bpm_complete"));
}

TEST_F(BPMRouteTest, AnswersPendingUntilTheTempoIsKnownThenTheTempo) {
  EXPECT_EQ(answer(kA, "op1"), R"(200 {"pending":true})");
  EXPECT_EQ(log_.count("local_bpm_complete pending=true op=op1"), 1u);
  // The route gave up its wait; the analysis runs on and its tempo is kept.
  detector_.release(kA, 128);
  auto later = start(kA, "op2");
  ASSERT_TRUE(runtime::test::waitUntilFinished(later, 5s));
  EXPECT_EQ(text(later.state()->result()), R"(200 {"bpm":128})");
  EXPECT_EQ(log_.count("local_bpm_complete bpm=128 pending=false op=op2"), 1u);
  EXPECT_EQ(lookups_, 1);
  EXPECT_EQ(detector_.started(), std::vector<std::string>{kA});
}

TEST_F(BPMRouteTest, ARememberedUnchangedFileSkipsTheLookupAndAChangedOneIsLookedUpAgain) {
  detector_.release(kA, deckinput::BPMDetectionResult{std::nullopt, 0, true});
  EXPECT_EQ(answer(kA), R"(200 {"pending":true})"); // a read failure stores nothing
  ASSERT_EQ(lookups_, 1);

  detector_.release(kA, deckinput::BPMDetectionResult{std::nullopt, 0, true});
  EXPECT_EQ(answer(kA), R"(200 {"pending":true})");
  EXPECT_EQ(checks_, 1);
  EXPECT_EQ(lookups_, 1);

  checkHangs_ = true; // no verdict within the limit: looked up afresh
  detector_.release(kA, deckinput::BPMDetectionResult{std::nullopt, 0, true});
  EXPECT_EQ(answer(kA), R"(200 {"pending":true})");
  EXPECT_EQ(lookups_, 2);

  checkHangs_ = false;
  folder_.rewrite(kA, "edited");
  detector_.release(kA, deckinput::BPMDetectionResult{}); // a file without a beat
  EXPECT_EQ(answer(kA, "op4"), R"(200 {"bpm":0})");
  EXPECT_EQ(checks_, 3);
  EXPECT_EQ(lookups_, 3);
  EXPECT_EQ(log_.count("local_bpm_complete bpm=0 pending=false op=op4"), 1u);
  EXPECT_EQ(detector_.started(), std::vector<std::string>(4, kA));
}

TEST_F(BPMRouteTest, ARememberedFileWhoseCheckFailsIsLookedUpAgain) {
  detector_.release(kA, deckinput::BPMDetectionResult{std::nullopt, 0, true});
  EXPECT_EQ(answer(kA), R"(200 {"pending":true})"); // remembered, nothing stored
  checkThrows_ = true;
  detector_.release(kA, 120);
  EXPECT_EQ(answer(kA), R"(200 {"bpm":120})");
  EXPECT_EQ(checks_, 1);
  EXPECT_EQ(lookups_, 2);
}

TEST_F(BPMRouteTest, AChangedSessionIsRefusedWithoutALine) {
  detector_.release(kA, 99);
  generation_ = 8;
  EXPECT_EQ(answer(kA), R"(403 {"error":"forbidden"})");
  EXPECT_EQ(answer(kA, "op", std::nullopt), R"(403 {"error":"forbidden"})");
  EXPECT_FALSE(log_.has("local_bpm_complete"));
  generation_ = 7;
  EXPECT_EQ(answer(kA), R"(200 {"bpm":99})");
}

TEST_F(BPMRouteTest, ACancelledRequestAnswersPendingWithoutAnalysing) {
  std::promise<void> entered;
  auto enteredFuture = entered.get_future();
  lookupEntered_.emplace(std::move(entered));
  lookupDelay_ = 200ms;
  auto task = start(kA, "op");
  ASSERT_EQ(enteredFuture.wait_for(5s), std::future_status::ready);
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 5s));
  EXPECT_EQ(text(task.state()->result()), R"(200 {"pending":true})");

  lookupEntered_.reset();
  std::promise<void> cancelled;
  auto early = start(kA, "op", 7, cancelled.get_future().share());
  early.cancel();
  cancelled.set_value();
  ASSERT_TRUE(runtime::test::waitUntilFinished(early, 5s));
  EXPECT_EQ(text(early.state()->result()), R"(200 {"pending":true})");
  EXPECT_EQ(lookups_, 1);
  EXPECT_TRUE(detector_.started().empty());
  EXPECT_FALSE(log_.has("local_bpm_complete"));
}

} // namespace
} // namespace pd::api::test
