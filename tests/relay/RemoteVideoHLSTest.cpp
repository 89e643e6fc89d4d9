#include "relay/RemoteVideoHLS.hpp"

#include "RelayFixtures.hpp"
#include "ServerPort.hpp"
#include "mediaserver/MediaServerTestSupport.hpp"
#include "platform/TestSupport.hpp"
#include "platform/http/HttpClient.hpp"
#include "relay/RemoteVideoPrepareError.hpp"
#include "runtime/TestSupport.hpp"
#include "support/Blocking.hpp"
#include "support/FakeRemote.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace pd::relay {
namespace {

using mediaserver::LocalVideoHTTPServer;
using namespace std::chrono_literals;

class RemoteVideoHLSTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    files_ = std::make_unique<testing::TempDirectory>();
    for (const char* kind : {"video", "audio", "plain"}) ASSERT_TRUE(test::makeFixture(kind, *files_ / kind, 20));
  }
  static void TearDownTestSuite() { files_.reset(); }

  void SetUp() override {
    port_ = testing::runBlocking(
        [this]() -> runtime::Awaitable<std::uint16_t> { co_return co_await server_->ensureReady(); });
  }

  RemoteVideoHLS build(std::uint16_t port, const std::string& video, const std::string& audio) {
    return testing::runBlocking([&, port]() -> runtime::Awaitable<RemoteVideoHLS> {
      co_return co_await buildRemoteVideoHLS(client_, port_view_, port, video, audio, test::fixtureStream());
    });
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }

  static inline std::unique_ptr<testing::TempDirectory> files_;
  std::shared_ptr<LocalVideoHTTPServer> server_ =
      LocalVideoHTTPServer::create(std::make_shared<testing::ScriptedRelay>(2'097'152));
  test::ServerPort port_view_{server_};
  platform::http::Client client_;
  std::uint16_t port_ = 0;
};

// The presentation is played to its end by the preparer's test, which builds it through the relay.
TEST_F(RemoteVideoHLSTest, TheMasterPlaylistNamesThePicturesWithTheirSoundGroup) {
  const auto hls = build(port_, server_->registerFile(*files_ / "video"), server_->registerFile(*files_ / "audio"));
  EXPECT_EQ(port_view_.playlists(), 3);
  EXPECT_EQ(hls.videoSegments, 10U);
  EXPECT_GE(hls.audioSegments, 10U);

  const auto master = testing::runBlocking([&]() -> runtime::Awaitable<platform::http::Response> {
    platform::http::Request request;
    request.url = url(hls.masterToken + ".m3u8");
    co_return co_await client_.fetch(std::move(request), 1 << 16);
  });
  EXPECT_THAT(master.body, ::testing::HasSubstr("#EXT-X-STREAM-INF:BANDWIDTH=396000,CODECS=\"avc1.4d400d,mp4a.40.2\","
                                                "RESOLUTION=320x180,AUDIO=\"aac\"\n" +
                                                hls.videoPlaylistToken + ".m3u8\n"));
}

TEST_F(RemoteVideoHLSTest, FailedReadRegistersNothing) {
  const auto video = server_->registerFile(*files_ / "video");
  try {
    build(port_, video, server_->registerFile(*files_ / "plain"));
    ADD_FAILURE() << "built";
  } catch (const MP4SidxError& error) {
    EXPECT_EQ(error.errorCase(), MP4SidxError::Case::sidxNotFound);
  }
  try {
    build(port_, "no-such-token", server_->registerFile(*files_ / "audio"));
    ADD_FAILURE() << "built";
  } catch (const RemoteVideoPrepareError& error) {
    EXPECT_EQ(error.status(), 404);
  }
  // A token that makes no address is the client's own error, never a request for something else.
  EXPECT_THROW(build(port_, "a b\r\nRange: bytes=9-", server_->registerFile(*files_ / "audio")),
               platform::http::TransferError);
  EXPECT_EQ(port_view_.playlists(), 0);
  EXPECT_EQ(client_.activeTransfers(), 0U);
}

TEST_F(RemoteVideoHLSTest, CancelledCallerEndsBothReads) {
  // The fake holds both reads without an answer, as a slow upstream behind the relay would.
  testing::FakeRemote fake;
  fake.fault("*", "/", {{"fault", "stall"}, {"seconds", 30}});
  const auto fakePort = static_cast<std::uint16_t>(fake.httpPort());
  auto task = runtime::spawn(runtime::sharedPool().executor(), [&]() -> runtime::Awaitable<RemoteVideoHLS> {
    co_return co_await buildRemoteVideoHLS(client_, port_view_, fakePort, "v", "a", test::fixtureStream());
  });
  const auto seenTwice = [&fake](const char* event) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto& events = fake.events();
      if (std::ranges::count(events, event, [](const nlohmann::json& e) { return e["event"]; }) >= 2) return true;
    }
    return false;
  };
  ASSERT_TRUE(seenTwice("request"));
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 5s));
  EXPECT_THROW(task.state()->result(), runtime::CancellationError);
  EXPECT_EQ(client_.activeTransfers(), 0U);
  EXPECT_EQ(port_view_.playlists(), 0);
  EXPECT_TRUE(seenTwice("closed"));
}

} // namespace
} // namespace pd::relay
