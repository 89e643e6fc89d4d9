// A local send over the real link, side by side with the ffmpeg CLI in one run, on one 60 s MP4
// (H.264 video, stereo AAC clicks at 120 BPM) made at start:
//   - send to load_video: from sendLocalFile to the tablet emulator's load_video event (the HTTP
//     server's start, registration and the link's message);
//   - send to video_bpm: to the emulator's video_bpm event (decoding and tempo analysis included);
//   - ffmpeg: `ffmpeg -t 60 -i clip -vn -f null -` (decoding the sound alone) and ffmpeg writing a
//     WAV that `aubio tempo` reads, each wall time with process start-up.
// Best of three runs each. The link runs over a private Avahi daemon on loopback
// (tools/testenv/start-avahi.sh); without one it says so and measures nothing.
//
//   send_bench
//   tools/testenv/netns-run.sh --hosts tests/sender/netns/hosts -- send_bench --hls
//
// With --hls the video is a relayed YouTube video made of separate 60 s picture and sound streams
// (tests/sender/NamespaceRemote.hpp), whose bytes come from the fake video API on 3fff::10 inside
// the namespace under the relay's real address policy: send to load_video then includes the
// lookup, the registrations and reading both segment indexes; the side-by-side commands take the
// sound stream, which the tempo analysis reads.
//
// Runs on the shared 8-core development machine, local road: send to load_video 0.3 to 4.5 ms
// (0.003x to 0.045x of ffmpeg decoding the sound, 0.10 to 0.14 s); send to video_bpm 0.09 to
// 0.12 s with bpm=120 (0.67x to 1.06x ffmpeg's decode, 0.22x to 0.31x ffmpeg into aubio). HLS
// road: send to load_video 31 ms (0.32x ffmpeg decoding the sound stream, 0.10 s); send to
// video_bpm 0.12 s with bpm=120 (1.23x that decode, 0.34x ffmpeg into aubio, 0.35 s).

#include "link/EmulatorProcess.hpp"
#include "link/ManagerSenderLink.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/MainThread.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSearchItem.hpp"
#include "sender/NamespaceRemote.hpp"
#include "support/BroadcasterSupport.hpp"

#include <boost/asio/io_context.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Wall time of a shell command, best of three; none when it fails.
std::optional<double> commandSeconds(const std::string& command) {
  std::optional<double> best;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) return std::nullopt;
    const double took = seconds(Clock::now() - start);
    if (!best || took < *best) best = took;
  }
  return best;
}

std::optional<std::string> startAvahi(const std::filesystem::path& folder) {
  const std::string command =
      "'" + std::string(PD_SOURCE_DIR) + "/tools/testenv/start-avahi.sh' '" + folder.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
  if (::pclose(pipe) != 0 || !read) return std::nullopt;
  std::string address(line);
  while (!address.empty() && (address.back() == '\n' || address.back() == '\r')) address.pop_back();
  return address;
}

} // namespace

int main(int argc, char** argv) {
  using namespace pd;
  platform::log::setStderrEnabled(false);
  const bool hls = argc > 1 && std::string_view(argv[1]) == "--hls";
  if (hls && !sender::test::insideTestNamespace()) {
    std::fprintf(stderr, "send_bench --hls: run it through tools/testenv/netns-run.sh --hosts "
                         "tests/sender/netns/hosts\n");
    return 2;
  }
  char pattern[] = "/tmp/pd-send-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::filesystem::path folder = pattern;
  std::error_code ignored;
  // The local road sends a 60 s clip; the HLS road a 60 s video whose sound is a stream of its
  // own, and the tempo analysis reads that stream: the side-by-side commands take it.
  std::filesystem::path measured = folder / "clip.mp4";
  std::optional<std::pair<std::filesystem::path, std::filesystem::path>> streams;
  try {
    if (hls) {
      streams = sender::test::adaptiveStreams(folder / "streams", 60);
      measured = streams->second;
    } else {
      const std::string make =
          "ffmpeg -nostdin -v error -y -f lavfi -i "
          "\"aevalsrc=exprs='sin(2*PI*880*t)*exp(-200*mod(t\\,0.5))':s=44100:d=60\" "
          "-f lavfi -i testsrc2=size=640x360:rate=30:duration=60 -c:v libx264 -preset ultrafast -c:a aac -ac 2 '" +
          measured.string() + "'";
      if (std::system(make.c_str()) != 0) throw std::runtime_error("ffmpeg failed");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "send_bench: %s\n", error.what());
    std::filesystem::remove_all(folder, ignored);
    return 1;
  }
  const auto avahi = startAvahi(folder / "avahi");
  if (!avahi) {
    std::fprintf(stderr, "send_bench: skipped: no private Avahi daemon\n");
    std::filesystem::remove_all(folder, ignored);
    return 0;
  }
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", avahi->c_str(), 1);

  int status = 0;
  {
    boost::asio::io_context loop;
    auto installation = runtime::MainThread::installIoContext(loop);
    const auto pump = [&] {
      loop.restart();
      loop.poll();
    };
    const auto runUntil = [&](const std::function<bool()>& done) {
      const auto deadline = Clock::now() + 10s;
      while (!done() && Clock::now() < deadline) {
        loop.restart();
        loop.run_one_for(5ms);
      }
      return done();
    };
    std::unique_ptr<pd::testing::FakeRemote> remote;
    platform::http::Client::Configuration client;
    std::optional<std::string> instance;
    std::optional<remotesource::ScopedVideoCDNDomainSuffix> cdn;
    if (hls) {
      remote = sender::test::startRemote();
      remote->command({{"media", "adaptiveVideo"}, {"file", streams->first.string()}});
      remote->command({{"media", "adaptiveAudio"}, {"file", streams->second.string()}});
      remote->command(
          {{"fixture", "video:adaptive"}, {"json", sender::test::adaptiveVideo(streams->first, streams->second)}});
      client = sender::test::clientOf(*remote);
      instance = "inv.remote.test";
      cdn.emplace(".cdn.test");
    }
    auto manager = link::NetworkManagerForMac::create(link::NetworkManagerForMac::systemDependencies());
    auto broadcaster = sender::LocalVideoBroadcaster::create(pd::testing::broadcasterDependencies(
        std::make_shared<link::ManagerSenderLink>(manager), folder / "caches", client, instance));
    manager->updateBrowsing("start");
    const std::string name = "Bench Tablet " + std::to_string(::getpid());
    link::test::Emulator emulator({"--interface", "lo", "--name", name, "--ack", "ready"});
    std::optional<platform::bonjour::BrowseResult> tablet;
    const bool found = emulator.waitFor("bonjour_published", pump).has_value() && runUntil([&] {
                         for (const auto& result : manager->discoveredPeers.get()) {
                           if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) tablet = result;
                         }
                         return tablet.has_value();
                       });
    const auto lo = found ? std::find_if(tablet->interfaces.begin(), tablet->interfaces.end(),
                                         [](const platform::net::Interface& i) { return i.name == "lo"; })
                          : decltype(tablet->interfaces.begin()){};
    if (!found || lo == tablet->interfaces.end()) {
      std::fprintf(stderr, "send_bench: the emulator was not found\n");
      status = 1;
    } else {
      manager->connect(*tablet, *lo);
      emulator.waitFor("source_endpoint", pump);
      std::optional<double> toLoad, toBPM;
      std::int64_t bpm = -1;
      for (int run = 0; run < 3 && status == 0; ++run) {
        const auto start = Clock::now();
        if (hls) {
          broadcaster->sendRemoteVideo({"adaptive", "Adaptive", std::nullopt, std::nullopt, std::nullopt},
                                       sender::LocalVideoBroadcaster::Target::a);
        } else {
          broadcaster->sendLocalFile(measured, sender::LocalVideoBroadcaster::Target::a, false);
        }
        const auto load = emulator.waitFor("load_video", pump, 30s);
        const auto loaded = Clock::now();
        const auto tempo = emulator.waitFor("video_bpm", pump, 60s);
        const auto analysed = Clock::now();
        if (!load || !tempo) {
          status = 1;
          break;
        }
        bpm = (*tempo)["message"]["bpm"].get<std::int64_t>();
        toLoad = std::min(toLoad.value_or(1e9), seconds(loaded - start));
        toBPM = std::min(toBPM.value_or(1e9), seconds(analysed - start));
      }
      const auto decode = commandSeconds("ffmpeg -nostdin -v error -t 60 -i '" + measured.string() + "' -vn -f null -");
      const auto aubio =
          commandSeconds("ffmpeg -nostdin -v error -y -i '" + measured.string() + "' -vn -ac 1 -ar 44100 '" +
                         (folder / "measured.wav").string() + "' && aubio tempo '" +
                         (folder / "measured.wav").string() + "' >/dev/null 2>&1");
      if (status == 0 && toLoad && toBPM && decode && aubio) {
        std::printf("send -> load_video  %.2f ms  (%.4fx ffmpeg decode %.3f s)\n", *toLoad * 1000, *toLoad / *decode,
                    *decode);
        std::printf("send -> video_bpm   %.3f s  bpm=%lld  (%.2fx ffmpeg decode, %.2fx ffmpeg+aubio %.3f s)\n", *toBPM,
                    static_cast<long long>(bpm), *toBPM / *decode, *toBPM / *aubio, *aubio);
      } else {
        std::fprintf(stderr, "send_bench: a measurement failed\n");
        status = 1;
      }
    }
    broadcaster.reset();
    manager.reset();
    for (int i = 0; i < 100; ++i) pump();
  }
  const int stopped = std::system(("'" + std::string(PD_SOURCE_DIR) + "/tools/testenv/start-avahi.sh' --stop '" +
                                   (folder / "avahi").string() + "' >/dev/null 2>&1")
                                      .c_str());
  if (stopped != 0) std::fprintf(stderr, "send_bench: the Avahi daemon did not stop cleanly\n");
  std::filesystem::remove_all(folder, ignored);
  return status;
}
