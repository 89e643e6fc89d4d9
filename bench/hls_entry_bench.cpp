// The HLS entry of a 10-minute video with separate picture and sound streams, made the way the
// preparer makes it (both streams' first 64 KiB read back from the own HTTP server over loopback,
// the indexes parsed, three playlists built and registered), beside ffmpeg's HLS muxer writing
// byte-range playlists for the same two files. The streams are served as file tokens here, so
// the relay's own share of the time is not in it. Quote the ratio, not absolute times.

#include "RelayFixtures.hpp"
#include "ServerPort.hpp"
#include "mediaserver/MediaServerTestSupport.hpp"
#include "platform/TestSupport.hpp"
#include "platform/http/HttpClient.hpp"
#include "relay/RemoteVideoHLS.hpp"
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

void BM_HLSEntryOverLoopback(benchmark::State& state) {
  const Files& made = files();
  auto server = LocalVideoHTTPServer::create(std::make_shared<pd::testing::ScriptedRelay>(2'097'152));
  relay::test::ServerPort port(server);
  platform::http::Client client;
  const auto listening = pd::testing::runBlocking([server]() -> runtime::Awaitable<std::uint16_t> {
    co_return co_await server->ensureReady();
  });
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
  const std::string command = "ffmpeg -nostdin -v error -y -i '" + made.video.string() + "' -i '" + made.audio.string() +
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
