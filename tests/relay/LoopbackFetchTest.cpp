#include "relay/LoopbackFetch.hpp"

#include "platform/http/HttpClient.hpp"
#include "relay/RemoteVideoPrepareError.hpp"
#include "support/Blocking.hpp"
#include "platform/TestSupport.hpp"
#include "support/FakeRemote.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace pd::relay {
namespace {

using testing::runBlocking;

class LoopbackFetchTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { fake_ = std::make_unique<testing::FakeRemote>(); }
  static void TearDownTestSuite() { fake_.reset(); }
  void SetUp() override {
    fake_->command({{"fault", "clear"}, {"host", "*"}});
    fake_->clearEvents();
  }

  std::int64_t localRange(std::int64_t length) {
    return runBlocking([this, length]() -> runtime::Awaitable<std::int64_t> {
      co_return co_await fetchLocalRange(client_, "http://media.remote.test/stream", length, destination_);
    });
  }
  std::vector<std::uint8_t> prefix() {
    return runBlocking([this]() -> runtime::Awaitable<std::vector<std::uint8_t>> {
      co_return co_await fetchPrefix(client_, "http://media.remote.test/stream", 65536);
    });
  }
  // Bytes the fake wrote before the client hung up.
  std::int64_t bytesSent() {
    if (!fake_->waitFor([](const nlohmann::json& e) { return e["event"] == "body_sent"; })) return -1;
    for (const auto& e : fake_->events()) {
      if (e["event"] == "body_sent") return e["bytes"].get<std::int64_t>();
    }
    return -1;
  }
  std::vector<std::string> folder() const { return testing::fileNames(directory_.path()); }

  static inline std::unique_ptr<testing::FakeRemote> fake_;
  platform::http::Client client_{fake_->clientConfiguration()};
  testing::TempDirectory directory_;
  std::filesystem::path destination_ = directory_ / "analysis.mp4";
};

TEST_F(LoopbackFetchTest, LocalRangeKeepsAtMostTheAskedBytesOfAWholeStream) {
  std::ofstream(destination_) << "older analysis file";
  fake_->fault("*", "/stream", {{"fault", "over_cap"}, {"bytes", 50'000'000}});
  EXPECT_EQ(localRange(2'097'152), 2'097'152);
  EXPECT_EQ(testing::readText(destination_), std::string(2'097'152, ' ')); // the older file is replaced
  EXPECT_LT(bytesSent(), 50'000'000); // the transfer was cut, not read to its end
  EXPECT_EQ(folder(), std::vector<std::string>{"analysis.mp4"});

  fake_->fault("*", "/stream", {{"fault", "raw"}, {"status", 206}, {"body", std::string(1'000'000, 'b')}});
  EXPECT_EQ(localRange(2'097'152), 1'000'000);
  EXPECT_EQ(testing::readText(destination_), std::string(1'000'000, 'b'));
}

TEST_F(LoopbackFetchTest, RefusedStatusLeavesTheDestinationAlone) {
  std::ofstream(destination_) << "kept";
  fake_->fault("*", "/stream", {{"fault", "status"}, {"status", 404}});
  try {
    localRange(1024);
    ADD_FAILURE() << "no error";
  } catch (const RemoteVideoPrepareError& error) {
    EXPECT_EQ(error, RemoteVideoPrepareError::sidxFetchFailed(404));
    EXPECT_EQ(error.detail(), "sidxFetchFailed(status: 404)");
  }
  EXPECT_EQ(testing::readText(destination_), "kept");
  EXPECT_EQ(folder(), std::vector<std::string>{"analysis.mp4"});
}

TEST_F(LoopbackFetchTest, PrefixStopsAtItsSizeAndReportsTheStatus) {
  fake_->fault("*", "/stream", {{"fault", "over_cap"}, {"bytes", 8'000'000}});
  EXPECT_EQ(prefix(), std::vector<std::uint8_t>(65536, ' '));
  EXPECT_LT(bytesSent(), 8'000'000);
  EXPECT_EQ(client_.activeTransfers(), 0U);

  fake_->fault("*", "/stream", {{"fault", "raw"}, {"status", 200}, {"body", "short"}});
  EXPECT_EQ(prefix(), (std::vector<std::uint8_t>{'s', 'h', 'o', 'r', 't'}));

  fake_->fault("*", "/stream", {{"fault", "status"}, {"status", 416}});
  EXPECT_THROW(
      {
        try {
          prefix();
        } catch (const RemoteVideoPrepareError& error) {
          EXPECT_EQ(error.status(), 416);
          throw;
        }
      },
      RemoteVideoPrepareError);
}

} // namespace
} // namespace pd::relay
