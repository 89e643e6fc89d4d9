#include "relay/RemoteVideoPreparer.hpp"

#include "RelayFixtures.hpp"
#include "ServerPort.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/RemoteSourceTestSupport.hpp"
#include "remotesource/VideoSourceError.hpp"
#include "runtime/TestSupport.hpp"
#include "support/LogWindow.hpp"

#include <gmock/gmock.h>

#include <chrono>
#include <future>
#include <thread>

namespace pd::relay {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Kind = PreparedRemoteVideo::Kind;
using remotesource::VideoSourceError;
using testing::runBlocking;

// Upstream bytes come from the fake's media role on loopback, which the injected policy treats
// as a global address; the server, the relay and the lookups are the real ones. The instance is
// "localhost" and serves its streams itself, because the relay resolves every upstream name and
// only that one resolves outside a namespace of its own.
class RemoteVideoPreparerTest : public remotesource::test::FakeRemoteSuite {
protected:
  static void SetUpTestSuite() {
    FakeRemoteSuite::SetUpTestSuite();
    files_ = std::make_unique<testing::TempDirectory>();
    for (const char* kind : {"video", "audio", "plain"}) ASSERT_TRUE(test::makeFixture(kind, *files_ / kind, 20));
  }
  static void TearDownTestSuite() {
    files_.reset();
    FakeRemoteSuite::TearDownTestSuite();
  }

  void SetUp() override {
    FakeRemoteSuite::SetUp();
    for (const char* kind : {"video", "audio", "plain"}) {
      fake().command({{"media", kind}, {"file", (*files_ / kind).string()}});
    }
    port_ = runBlocking([this]() -> runtime::Awaitable<std::uint16_t> { co_return co_await server_->ensureReady(); });
  }

  // A video whose picture and sound streams are the named media files.
  void twoStreams(const std::string& id, const std::string& audioFile) {
    const auto size = [](const std::string& name) {
      return std::to_string(std::filesystem::file_size(*files_ / name));
    };
    fake().command({{"fixture", "video:" + id},
                    {"json",
                     {{"title", "Two streams"},
                      {"adaptiveFormats",
                       {{{"url", "https://localhost/videoplayback?itag=137&id=video"},
                         {"type", "video/mp4; codecs=\"avc1.4d400d\""},
                         {"qualityLabel", "180p"},
                         {"bitrate", "300000"},
                         {"itag", "137"},
                         {"clen", size("video")},
                         {"size", "320x180"}},
                        {{"url", "https://localhost/videoplayback?itag=140&id=" + audioFile},
                         {"type", "audio/mp4; codecs=\"mp4a.40.2\""},
                         {"bitrate", "96000"},
                         {"itag", "140"},
                         {"clen", size(audioFile)}}}}}}});
  }
  PreparedRemoteVideo broadcast(const std::string& id) {
    return runBlocking([this, id]() -> runtime::Awaitable<PreparedRemoteVideo> {
      co_return co_await preparer_.prepareForBroadcast(id, port_, "op7");
    });
  }
  bool registered(const std::string& token) {
    return runBlocking([this, token]() -> runtime::Awaitable<bool> { co_return co_await relay_->hasEntry(token); });
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + "/" + path; }

  static inline std::unique_ptr<testing::TempDirectory> files_;
  static std::shared_ptr<RemoteMediaRelay> makeRelay(std::shared_ptr<platform::http::Client> client) {
    RemoteMediaRelay::Configuration configuration;
    configuration.client = std::move(client);
    configuration.classify = [](const Address&) { return AddressClass::global; };
    return RemoteMediaRelay::create(std::move(configuration));
  }

  std::shared_ptr<RemoteMediaRelay> relay_ = makeRelay(makeClient());
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server_ = mediaserver::LocalVideoHTTPServer::create(relay_);
  std::shared_ptr<test::ServerPort> serverPort_ = std::make_shared<test::ServerPort>(server_);
  RemoteVideoPreparer preparer_{
      serverPort_, std::make_shared<remotesource::InvidiousVideoSource>(makeManager({"localhost"}), makeClient()),
      std::make_shared<platform::http::Client>()};
  std::uint16_t port_ = 0;
};

TEST_F(RemoteVideoPreparerTest, SeparateStreamsBecomeAnHLSPresentationThatPlaysToTheEnd) {
  twoStreams("twoStreams1", "audio");
  testing::LogWindow log;
  const auto prepared = broadcast("twoStreams1");
  ASSERT_EQ(prepared.kind, Kind::hls);
  ASSERT_EQ(prepared.tokens.size(), 5U);
  EXPECT_EQ(prepared.entryPath, prepared.tokens[4] + ".m3u8");
  EXPECT_EQ(prepared.analysisToken, prepared.tokens[1]);
  EXPECT_TRUE(prepared.analysisIsAudioOnly);
  EXPECT_EQ(prepared.analysisLength, std::filesystem::file_size(*files_ / "audio"));
  EXPECT_TRUE(log.has("remote_video_prepare_complete video=twoStreams1 kind=hls dur_ms="));

  const std::string input = "-allowed_segment_extensions ALL -extension_picky 0 -i '" + url(prepared.entryPath) + "'";
  const auto [played, ok] = test::run("ffmpeg -nostdin -v error " + input + " -c copy -f null - 2>&1");
  EXPECT_TRUE(ok);
  EXPECT_EQ(played, "");
  const auto [probed, probeOk] =
      test::run("ffprobe -v error -show_entries format=duration:stream=codec_type -of csv=p=0 " + input);
  EXPECT_TRUE(probeOk);
  EXPECT_THAT(probed, AllOf(HasSubstr("video\n"), HasSubstr("audio\n"), HasSubstr("\n20.0")));
}

TEST_F(RemoteVideoPreparerTest, MuxedAndPictureOnlyVideosNeedNoPlaylists) {
  testing::LogWindow log;
  const auto muxed = broadcast("muxed720");
  EXPECT_EQ(muxed.kind, Kind::muxed);
  ASSERT_EQ(muxed.tokens.size(), 1U);
  EXPECT_EQ(muxed.analysisToken, muxed.tokens[0]);
  EXPECT_FALSE(muxed.analysisIsAudioOnly);
  const auto pictures = broadcast("pictureOnly");
  EXPECT_EQ(pictures.kind, Kind::videoOnly);
  EXPECT_EQ(pictures.tokens, std::vector<std::string>{pictures.entryPath});
  EXPECT_EQ(pictures.analysisToken, std::nullopt);
  EXPECT_EQ(pictures.analysisLength, std::nullopt);
  EXPECT_TRUE(log.has("remote_video_prepare_complete video=muxed720 kind=muxed"));
  EXPECT_TRUE(log.has("remote_video_prepare_complete video=pictureOnly kind=video_only"));
  EXPECT_EQ(serverPort_->playlists(), 0);
}

TEST_F(RemoteVideoPreparerTest, PrepareRegistersTheStreamsOrNothingForLocalFiles) {
  auto stream = test::fixtureStream();
  stream.videoID = "local1";
  stream.servingHost = "localhost";
  stream.video.media = remotesource::ResolvedMedia::remote("https://localhost/videoplayback?id=video");
  stream.audio->media = remotesource::ResolvedMedia::localFile("file:///tmp/a.m4a");
  const auto prepare = [this](remotesource::ResolvedStream s) {
    return runBlocking([this, s]() -> runtime::Awaitable<std::pair<std::string, std::optional<std::string>>> {
      co_return co_await preparer_.prepare(s, "op8");
    });
  };
  EXPECT_THROW(prepare(stream), VideoSourceError);
  EXPECT_EQ(serverPort_->unregistered().size(), 1U);
  stream.videoHasAudio = true;
  const auto [video, audio] = prepare(stream);
  EXPECT_TRUE(registered(video));
  EXPECT_EQ(audio, std::nullopt);
  stream.video.media = remotesource::ResolvedMedia::localFile("file:///tmp/v.mp4");
  EXPECT_THROW(prepare(stream), VideoSourceError);
  EXPECT_EQ(serverPort_->unregistered().size(), 1U);
}

TEST_F(RemoteVideoPreparerTest, UnreadableSoundIndexFallsBackToThePicturesAlone) {
  twoStreams("plainSound1", "plain");
  testing::LogWindow log;
  const auto prepared = broadcast("plainSound1");
  EXPECT_EQ(prepared.kind, Kind::videoOnly);
  ASSERT_EQ(prepared.tokens.size(), 2U);
  EXPECT_EQ(prepared.entryPath, prepared.tokens[0]);
  EXPECT_EQ(prepared.analysisToken, prepared.tokens[1]);
  EXPECT_TRUE(prepared.analysisIsAudioOnly);
  EXPECT_TRUE(registered(prepared.tokens[0]) && registered(prepared.tokens[1]));
  const auto lines = log.lines();
  const auto fail = std::ranges::find_if(lines, [](const auto& l) { return l.starts_with("hls_build_fail"); });
  ASSERT_NE(fail, lines.end());
  EXPECT_THAT(*fail, HasSubstr("video=plainSound1 fallback=video_only err_domain=MP4SidxError err_code=0"));
  EXPECT_TRUE(std::any_of(fail, lines.end(), [](const auto& l) {
    return l.starts_with("remote_video_prepare_complete video=plainSound1 kind=video_only");
  }));
  EXPECT_EQ(serverPort_->playlists(), 0);
}

TEST_F(RemoteVideoPreparerTest, CancelledWhileTheIndexesAreReadWithdrawsBothStreams) {
  testing::LogWindow log;
  twoStreams("held1", "audio");
  fake().fault("*", "/videoplayback", {{"fault", "gate"}});
  auto task = runtime::spawn(runtime::sharedPool().executor(), [this]() -> runtime::Awaitable<PreparedRemoteVideo> {
    co_return co_await preparer_.prepareForBroadcast("held1", port_, "op9");
  });
  ASSERT_TRUE(fake().waitFor([](const auto& e) { return e["event"] == "media" && e["order"] >= 2; }));
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 10s));
  EXPECT_THROW(task.state()->result(), runtime::CancellationError);
  fake().command({{"media_release", 10}});
  EXPECT_EQ(serverPort_->playlists(), 0);
  EXPECT_EQ(serverPort_->unregistered().size(), 2U);
  // The released answers end the withdrawn requests on the server's queue: the case waits for
  // that, so that none of its work still runs once the program ends.
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  // A client gone before its body is logged as an abort, one that failed upstream as a failure.
  const auto ended = [&] { return log.count("http_request_fail") + log.count("http_request_abort"); };
  while (ended() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
}

TEST_F(RemoteVideoPreparerTest, CancelledWhileTheSoundIsRegisteredWithdrawsThePictures) {
  twoStreams("heldSound1", "audio");
  auto stream = test::fixtureStream();
  stream.videoID = "heldSound2";
  stream.servingHost = "localhost";
  stream.video.media = remotesource::ResolvedMedia::remote("https://localhost/videoplayback?id=video");
  stream.audio->media = remotesource::ResolvedMedia::remote("https://localhost/videoplayback?id=audio");
  // Both roads: the broadcaster's (registrations 1 and 2) and the API's (3 and 4).
  const auto cancelAtSound = [this](int sound, auto prepare) {
    auto held = serverPort_->holdRegistration(sound);
    auto task = runtime::spawn(runtime::sharedPool().executor(), std::move(prepare));
    ASSERT_EQ(held.wait_for(10s), std::future_status::ready);
    task.cancel();
    ASSERT_TRUE(runtime::test::waitUntilFinished(task, 10s));
    EXPECT_THROW(task.state()->result(), runtime::CancellationError);
  };
  cancelAtSound(2, [this]() -> runtime::Awaitable<PreparedRemoteVideo> {
    co_return co_await preparer_.prepareForBroadcast("heldSound1", port_, "op11");
  });
  cancelAtSound(4, [this, stream]() -> runtime::Awaitable<std::pair<std::string, std::optional<std::string>>> {
    co_return co_await preparer_.prepare(stream, "op12");
  });
  const auto pictures = serverPort_->registered();
  ASSERT_EQ(pictures.size(), 2U);
  EXPECT_EQ(serverPort_->unregistered(), pictures);
  for (const auto& token : pictures) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (registered(token) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(registered(token)) << "the relay still serves " << token;
  }
}

TEST_F(RemoteVideoPreparerTest, ExpiredAddressIsRefreshedThroughTheServingInstance) {
  twoStreams("expiring1", "audio");
  fake().fault("*", "/videoplayback", {{"fault", "expire"}, {"times", 1}});
  const auto prepared = broadcast("expiring1");
  EXPECT_EQ(prepared.kind, Kind::hls);
  auto lookups = requestsTo("localhost");
  std::erase_if(lookups, [](const std::string& path) { return !path.starts_with("/api/"); });
  EXPECT_THAT(lookups, ElementsAre("/api/v1/videos/expiring1?local=false", "/api/v1/videos/expiring1?local=true"));
}

TEST_F(RemoteVideoPreparerTest, RealMuxedStreamIsRefreshedAfterA403AndReadsOnWithTheSameBytes) {
  // As instances answer: no clen or lmt in the muxed entry, only in its address; opus sound only.
  const auto file = *files_ / "video";
  const std::string address =
      "https://localhost/videoplayback?itag=18&id=video&clen=" + std::to_string(std::filesystem::file_size(file)) +
      "&lmt=1700000000000003";
  fake().command({{"fixture", "video:realMuxed1"},
                  {"json",
                   {{"title", "Real muxed"},
                    {"formatStreams",
                     {{{"url", address},
                       {"type", "video/mp4; codecs=\"avc1.4d400d, mp4a.40.2\""},
                       {"qualityLabel", "360p"},
                       {"resolution", "360p"},
                       {"size", "320x180"},
                       {"itag", "18"}}}},
                    {"adaptiveFormats",
                     {{{"url", "https://localhost/videoplayback?itag=251&id=audio"},
                       {"type", "audio/webm; codecs=\"opus\""},
                       {"itag", "251"}}}}}}});
  fake().fault("*", "/videoplayback", {{"fault", "expire"}, {"times", 1}});
  testing::LogWindow log;
  const auto prepared = broadcast("realMuxed1");
  ASSERT_EQ(prepared.kind, Kind::muxed);
  const testing::TempDirectory out;
  const auto copy = out / "copy";
  const auto [curlOut, ok] = test::run("curl -sf -o '" + copy.string() + "' " + url(prepared.entryPath));
  EXPECT_TRUE(ok) << curlOut;
  EXPECT_TRUE(testing::readText(copy) == testing::readText(file)) << "the relayed bytes differ from the stream's";
  EXPECT_TRUE(log.has("relay_refresh result=ok status=403"));
  auto lookups = requestsTo("localhost");
  std::erase_if(lookups, [](const std::string& path) { return !path.starts_with("/api/"); });
  EXPECT_THAT(lookups, ElementsAre("/api/v1/videos/realMuxed1?local=false", "/api/v1/videos/realMuxed1?local=true"));
}

TEST_F(RemoteVideoPreparerTest, SoundRefreshFindsNoSoundTrackOnceTheVideoIsMuxed) {
  twoStreams("turnsMuxed1", "audio");
  const auto source = std::make_shared<remotesource::InvidiousVideoSource>(makeManager({"localhost"}), makeClient());
  const auto stream = runBlocking([source]() -> runtime::Awaitable<remotesource::ResolvedStream> {
    co_return co_await source->fetchVideoData(std::string("turnsMuxed1"), false, std::nullopt, std::string("op10"));
  });
  const auto [video, audio] =
      runBlocking([&]() -> runtime::Awaitable<std::pair<std::string, std::optional<std::string>>> {
        co_return co_await preparer_.prepare(stream, "op10");
      });
  ASSERT_TRUE(audio);
  fake().command({{"fixture", "video:turnsMuxed1"},
                  {"json",
                   {{"title", "Muxed now"},
                    {"formatStreams",
                     {{{"url", "https://localhost/videoplayback?itag=18&id=video"},
                       {"type", "video/mp4; codecs=\"avc1.42001E, mp4a.40.2\""},
                       {"qualityLabel", "360p"}}}}}}});
  fake().fault("*", "/videoplayback", {{"fault", "expire"}});
  try {
    runBlocking([this, token = *audio]() -> runtime::Awaitable<void> { co_await relay_->chunk(token, 0, false); });
    ADD_FAILURE() << "served";
  } catch (const RelayError& error) {
    EXPECT_EQ(error.errorCase(), RelayError::Case::refreshUnavailable);
  }
}

} // namespace
} // namespace pd::relay
