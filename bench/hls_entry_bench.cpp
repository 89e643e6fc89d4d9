// The HLS entry of a 10-minute video with separate picture and sound streams, beside ffmpeg's HLS
// muxer writing byte-range playlists for the same two files:
// - BM_PrepareForBroadcast: the whole preparation, the lookup at the fake instance and both
//   streams read through the real relay from the fake's media role over HTTPS on loopback;
// - BM_HLSEntryOverLoopback: only the HLS build, the streams served as file tokens, which
//   leaves the lookup and the relay's share out.
// Quote the ratio, not absolute times.

#include "RelayFixtures.hpp"
#include "ServerPort.hpp"
#include "mediaserver/MediaServerTestSupport.hpp"
#include "platform/TestSupport.hpp"
#include "platform/http/HttpClient.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "relay/RemoteVideoHLS.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "support/FakeRemote.hpp"
#include "support/Blocking.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace pd;
using mediaserver::LocalVideoHTTPServer;

constexpr int kSeconds = 600;

struct Files {
  pd::testing::TempDirectory directory;
  std::filesystem::path video = directory / "video.mp4";
  std::filesystem::path audio = directory / "audio.mp4";
  Files() {
    if (!relay::test::makeFixture("video", video, kSeconds) || !relay::test::makeFixture("audio", audio, kSeconds)) {
      throw std::runtime_error("fixtures: make-fmp4-fixture.sh failed");
    }
  }
};

Files& files() {
  static Files made;
  return made;
}

void BM_PrepareForBroadcast(benchmark::State& state) {
  const Files& made = files();
  pd::testing::FakeRemote fake;
  const auto client = [&fake] { return std::make_shared<platform::http::Client>(fake.clientConfiguration()); };
  const auto size = [](const std::filesystem::path& file) { return std::to_string(std::filesystem::file_size(file)); };
  fake.command({{"media", "video"}, {"file", made.video.string()}});
  fake.command({{"media", "audio"}, {"file", made.audio.string()}});
  fake.command({{"fixture", "video:tenMinutes1"},
                {"json",
                 {{"title", "Ten minutes"},
                  {"adaptiveFormats",
                   {{{"url", "https://localhost/videoplayback?itag=137&id=video"},
                     {"type", "video/mp4; codecs=\"avc1.4d400d\""},
                     {"qualityLabel", "180p"},
                     {"itag", "137"},
                     {"clen", size(made.video)}},
                    {{"url", "https://localhost/videoplayback?itag=140&id=audio"},
                     {"type", "audio/mp4; codecs=\"mp4a.40.2\""},
                     {"itag", "140"},
                     {"clen", size(made.audio)}}}}}}});

  // The relay resolves every upstream name, so the instance is "localhost" and serves the streams.
  remotesource::InvidiousInstanceManager::Dependencies instances;
  instances.storedUserInstances = [] {
    return std::optional(nlohmann::json::parse(R"([{"host":"localhost","proxy":"auto"}])"));
  };
  instances.storedDefaultFallbackEnabled = [] { return std::optional<nlohmann::json>(false); };
  instances.session = client();
  relay::RemoteMediaRelay::Configuration configuration;
  configuration.client = client();
  configuration.classify = [](const relay::Address&) { return relay::AddressClass::global; };
  auto server = LocalVideoHTTPServer::create(relay::RemoteMediaRelay::create(std::move(configuration)));
  const relay::RemoteVideoPreparer preparer(
      std::make_shared<relay::test::ServerPort>(server),
      std::make_shared<remotesource::InvidiousVideoSource>(
          remotesource::InvidiousInstanceManager::make(std::move(instances)), client()),
      std::make_shared<platform::http::Client>());
  const auto listening = pd::testing::runBlocking(
      [server]() -> runtime::Awaitable<std::uint16_t> { co_return co_await server->ensureReady(); });
  for (auto _ : state) {
    const auto prepared = pd::testing::runBlocking([&]() -> runtime::Awaitable<relay::PreparedRemoteVideo> {
      co_return co_await preparer.prepareForBroadcast("tenMinutes1", listening, "bench");
    });
    if (prepared.kind != relay::PreparedRemoteVideo::Kind::hls) state.SkipWithError("no HLS entry");
    for (const auto& token : prepared.tokens) server->unregister(token);
  }
}
BENCHMARK(BM_PrepareForBroadcast)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HLSEntryOverLoopback(benchmark::State& state) {
  const Files& made = files();
  auto server = LocalVideoHTTPServer::create(std::make_shared<pd::testing::ScriptedRelay>(2'097'152));
  relay::test::ServerPort port(server);
  platform::http::Client client;
  const auto listening = pd::testing::runBlocking(
      [server]() -> runtime::Awaitable<std::uint16_t> { co_return co_await server->ensureReady(); });
  const auto stream = relay::test::fixtureStream();
  for (auto _ : state) {
    const auto video = server->registerFile(made.video);
    const auto audio = server->registerFile(made.audio);
    const auto hls = pd::testing::runBlocking([&]() -> runtime::Awaitable<relay::RemoteVideoHLS> {
      co_return co_await relay::buildRemoteVideoHLS(client, port, listening, video, audio, stream);
    });
    state.counters["video_segments"] = static_cast<double>(hls.videoSegments);
    for (const auto& token : {video, audio, hls.videoPlaylistToken, hls.audioPlaylistToken, hls.masterToken}) {
      server->unregister(token);
    }
  }
}
BENCHMARK(BM_HLSEntryOverLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FFmpegHLSMuxer(benchmark::State& state) {
  const Files& made = files();
  pd::testing::TempDirectory out;
  const std::string command = "ffmpeg -nostdin -v error -y -i '" + made.video.string() + "' -i '" +
                              made.audio.string() +
                              "' -map 0:v -map 1:a -c copy -f hls -hls_segment_type fmp4 -hls_flags single_file"
                              " -hls_playlist_type vod -master_pl_name master.m3u8"
                              " -var_stream_map 'v:0,agroup:aac a:0,agroup:aac' '" +
                              (out / "stream_%v.m3u8").string() + "'";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("ffmpeg failed");
  }
}
BENCHMARK(BM_FFmpegHLSMuxer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
