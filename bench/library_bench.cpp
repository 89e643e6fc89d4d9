// The local library side by side with the tools a user would reach for: a folder scan beside
// find(1) over a tree of 100,000 entries holding 5,000 videos, and a thumbnail beside the ffmpeg
// CLI's scaled still at one second. Ratios are reported as counters (ours / theirs), best run
// against best run, with the tools' process start-up taken out (ours runs in process).

#include "FFmpegCli.hpp"

#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "platform/media/ThumbnailMaker.hpp"
#include "runtime/Task.hpp"
#include "runtime/ThreadPools.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>

namespace {

using pd::mediaserver::MacLocalVideoLibrary;

std::filesystem::path scratch() {
  static const auto dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "pd-library-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return std::filesystem::path(pattern);
  }();
  return dir;
}

// 100 folders of 999 entries plus the folders themselves: 5,000 videos among 100,000 entries.
std::filesystem::path tree() {
  static const auto root = [] {
    const auto at = scratch() / "tree";
    for (int d = 0; d < 100; ++d) {
      const auto folder = at / ("folder " + std::to_string(d));
      std::filesystem::create_directories(folder);
      for (int f = 0; f < 999; ++f) {
        const bool video = f < 50;
        std::ofstream(folder / ("item " + std::to_string(f) + (video ? (f % 2 ? ".MP4" : ".mov") : ".txt")));
      }
    }
    return at;
  }();
  return root;
}

template <typename F>
auto blockOn(F body) {
  auto task = pd::runtime::spawn(pd::runtime::sharedPool().executor(), std::move(body));
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  task.state()->onFinish([&] {
    std::scoped_lock guard(lock);
    finished = true;
    done.notify_all();
  });
  std::unique_lock guard(lock);
  done.wait(guard, [&] { return finished; });
  return task.state()->result();
}

// find(1) through the shell over a folder, looking for the video names as the scan does.
double findSeconds(const std::filesystem::path& root) {
  const auto start = std::chrono::steady_clock::now();
  const std::string command =
      "find '" + root.string() + "' -iname '*.mp4' -o -iname '*.m4v' -o -iname '*.mov' >/dev/null";
  if (std::system(command.c_str()) != 0) std::abort();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A figure of /proc/self/status in KiB ("VmRSS:", "VmHWM:").
long statusKilobytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

// Starts the peak-RSS mark afresh at the current RSS, so that the peak afterwards is the
// measured work's and not whatever came before (the tree's making, an earlier benchmark).
void resetPeakRSS() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_ScanBesideFind(benchmark::State& state) {
  const auto root = tree();
  const auto empty = scratch() / "empty";
  std::filesystem::create_directories(empty);
  auto library = MacLocalVideoLibrary::create(
      {[root] { return std::optional<std::string>(root.string()); }, {}, scratch() / "caches", {}, {}});
  const auto before = statusKilobytes("VmRSS:");
  resetPeakRSS();
  double ours = std::numeric_limits<double>::infinity();
  double theirs = ours;
  double startup = ours;
  long peak = 0;
  int round = 0;
  for (auto _ : state) {
    // find first in odd rounds, so that neither side always meets the warmer cache.
    const bool findFirst = round++ % 2 == 1;
    auto runFind = [&] {
      theirs = std::min(theirs, findSeconds(root));
      // The same command over an empty folder: the shell's and find's start-up alone.
      startup = std::min(startup, findSeconds(empty));
    };
    if (findFirst) runFind();
    const auto start = std::chrono::steady_clock::now();
    auto found = blockOn([library]() { return library->search(""); });
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ours = std::min(ours, took);
    // The time column is ours alone.
    state.SetIterationTime(took);
    benchmark::DoNotOptimize(found);
    peak = std::max(peak, statusKilobytes("VmHWM:"));
    if (!findFirst) runFind();
  }
  // Below 1: faster than find's walk.
  state.counters["ratio_vs_find"] = ours / (theirs - startup);
  state.counters["ours_best_ms"] = ours * 1000;
  state.counters["find_best_ms"] = (theirs - startup) * 1000;
  state.counters["find_startup_ms"] = startup * 1000;
  state.counters["rss_before_kb"] = static_cast<double>(before);
  state.counters["peak_rss_kb"] = static_cast<double>(peak);
}
BENCHMARK(BM_ScanBesideFind)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

std::filesystem::path clip() {
  static const auto at = [] {
    const auto file = scratch() / "clip.mp4";
    const std::string command = "ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=rate=30:size=1920x1080 -t 4 "
                                "-c:v libx264 -pix_fmt yuv420p '" +
                                file.string() + "'";
    if (std::system(command.c_str()) != 0) std::abort();
    return file;
  }();
  return at;
}

void BM_ThumbnailBesideCli(benchmark::State& state) {
  const auto file = clip();
  const auto cli = pd::bench::ffmpegStillSeconds(file.string(), 1.0, "scale=320:180", (scratch() / "cli.jpg").string());
  double ours = std::numeric_limits<double>::infinity();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto jpeg = pd::platform::media::makeJPEGThumbnail(file);
    ours = std::min(ours, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!jpeg) state.SkipWithError("no thumbnail");
    benchmark::DoNotOptimize(jpeg);
  }
  // Best of three on both sides; the CLI's start-up is left out (FFmpegCli.hpp).
  if (cli && state.iterations() > 0) {
    state.counters["cli_ms"] = *cli * 1000;
    state.counters["ours_best_ms"] = ours * 1000;
    state.counters["ratio_vs_cli"] = ours / *cli;
  }
}
BENCHMARK(BM_ThumbnailBesideCli)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// A remembered thumbnail: one touch of the file, no decoding.
void BM_RepeatedThumbnail(benchmark::State& state) {
  auto library = MacLocalVideoLibrary::create({{}, {}, scratch() / "caches", {}, {}});
  const MacLocalVideoLibrary::Entry entry{"file-0000000000000000000be4c4", clip(), {}};
  blockOn([library, entry]() { return library->thumbnail(entry); });
  for (auto _ : state) {
    benchmark::DoNotOptimize(blockOn([library, entry]() { return library->thumbnail(entry); }));
  }
}
BENCHMARK(BM_RepeatedThumbnail)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code error;
  std::filesystem::remove_all(scratch(), error);
  return 0;
}
