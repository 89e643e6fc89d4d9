// The log ring's heavy paths: collecting and flushing 100,000 entries in one run, and exporting
// five launches of 10 MiB each, side by side with `cat` concatenating the same segment files
// (bench/export_vs_cat.sh turns the two into a ratio).

#include "diagnostics/LogExporter.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/log/LogStore.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

extern char** environ;

namespace {

using namespace pd;
using diagnostics::LogExporter;
using diagnostics::LogRing;
namespace fs = std::filesystem;

constexpr std::size_t kEntries = 100'000;
constexpr int kLaunches = 5;
constexpr int kSegmentsPerLaunch = 5;
constexpr std::size_t kLaunchBytes = 10u * 1024u * 1024u;

const fs::path& scratchRoot() {
  // Never destroyed, so that the clean-up at exit can still read it.
  static const fs::path* const root = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/logring-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(scratchRoot(), ec);
    });
    return new fs::path(pattern);
  }();
  return *root;
}

void flushAndWait(LogRing& ring) {
  std::promise<void> done;
  ring.requestFlush([&done] { done.set_value(); });
  done.get_future().wait();
}

// The entries a busy launch logs: mostly our own lines, some errors of the platform libraries.
void fillStore(platform::log::LogStore& store) {
  const auto now = runtime::Clock::current().wall();
  for (std::size_t i = 0; i < kEntries; ++i) {
    platform::log::LogEntry entry;
    entry.time = now + std::chrono::microseconds(i);
    entry.pid = 4242;
    entry.tid = 4243 + i % 7;
    if (i % 10 == 9) {
      entry.level = platform::log::Level::error;
      entry.subsystem = "org.ffmpeg";
      entry.category = "hevc";
      entry.message = "Could not find ref with POC " + std::to_string(i % 64);
    } else {
      entry.level = platform::log::Level::notice;
      entry.subsystem = "tech.quelbo.PalendrixDisplay";
      entry.category = i % 3 == 0 ? "network" : "video";
      entry.message = "stream_stats stream=" + std::to_string(i % 3) + " frames=" + std::to_string(i) +
                      " dropped=0 fps=59.9 host=192.168.1.20:51000 path=/video/" + std::to_string(i);
    }
    store.append(std::move(entry));
  }
}

void BM_CollectAndFlush100k(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  platform::log::LogStore store(platform::log::LogStore::Limits{kEntries, std::size_t{1} << 30});
  fillStore(store);
  std::int64_t written = 0;
  for (auto _ : state) {
    state.PauseTiming();
    LogRing::Config config;
    config.root = scratchRoot() / "collect";
    config.launchID = platform::crypto::makeUUIDString();
    config.ownSubsystem = "tech.quelbo.PalendrixDisplay";
    config.platformSubsystems = LogRing::platformSubsystems();
    config.store = &store;
    config.timing.flushPeriod = std::chrono::hours(1);
    config.limits.perLaunchBytes = 256u * 1024u * 1024u; // measure the work, not the cap
    auto ring = std::make_unique<LogRing>(config);
    ring->start();
    ring->waitUntilIdle(std::chrono::seconds(30));
    state.ResumeTiming();

    flushAndWait(*ring);

    state.PauseTiming();
    written = ring->manifest().entryCount;
    ring.reset();
    std::error_code ec;
    fs::remove_all(config.root, ec);
    state.ResumeTiming();
  }
  state.counters["own_entries"] = static_cast<double>(written);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kEntries));
}
BENCHMARK(BM_CollectAndFlush100k)->Unit(benchmark::kMillisecond)->UseRealTime();

struct ExportFixture {
  fs::path root;
  fs::path temp;
  std::vector<fs::path> launches;
  std::vector<std::string> segmentFiles;
};

const ExportFixture& exportFixture() {
  static const ExportFixture fixture = [] {
    ExportFixture f;
    f.root = scratchRoot() / "export" / "LogRing";
    f.temp = scratchRoot() / "export" / "tmp";
    fs::create_directories(f.root / "diagnostics");
    fs::create_directories(f.temp);
    std::string line =
        R"({"ts":"2026-03-01T18:04:05.123Z","level":"notice","cat":"video","msg":"stream_stats stream=0 frames=1234 dropped=0 fps=59.9 host=192.168.1.20:51000","pid":4242,"tid":"4243"})";
    line.push_back('\n');
    const std::size_t perSegment = kLaunchBytes / kSegmentsPerLaunch;
    const std::size_t linesPerSegment = perSegment / line.size();
    std::string segment;
    for (std::size_t i = 0; i < linesPerSegment; ++i) segment += line;
    for (int launch = 0; launch < kLaunches; ++launch) {
      LogRing::Manifest manifest;
      manifest.launchID = platform::crypto::makeUUIDString();
      manifest.startedAt = "2026-03-01T18:0" + std::to_string(launch) + ":00.000Z";
      manifest.seq = launch + 1;
      manifest.clean = true;
      manifest.terminalTracked = true;
      const fs::path directory = f.root / manifest.launchID;
      fs::create_directories(directory);
      for (int s = 1; s <= kSegmentsPerLaunch; ++s) {
        const std::string name = "seg-00000" + std::to_string(s) + ".ndjson";
        std::ofstream(directory / name, std::ios::binary) << segment;
        manifest.segments.push_back({name, static_cast<std::int64_t>(linesPerSegment),
                                     static_cast<std::int64_t>(segment.size()), std::nullopt, std::nullopt});
        f.segmentFiles.push_back((directory / name).string());
      }
      manifest.entryCount = static_cast<std::int64_t>(linesPerSegment) * kSegmentsPerLaunch;
      std::ofstream(directory / "manifest.json") << manifest.encode();
    }
    f.launches = LogRing::exportLaunches(f.root, std::nullopt, "none");
    return f;
  }();
  return fixture;
}

void BM_ExportFiveLaunches(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  const ExportFixture& f = exportFixture();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    LogExporter::Context context{f.root / "diagnostics",           f.temp,  "none",
                                 runtime::Clock::current().wall(), "Bench", "1.0.0"};
    bytes = LogExporter::writeExport("all", f.launches, context).byteCount;
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_ExportFiveLaunches)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same segment files through cat into a new file of the same folder, as the export writes
// a new file each time (truncating a large file instead makes ext4 push it to disk on close).
void BM_CatFiveLaunches(benchmark::State& state) {
  const ExportFixture& f = exportFixture();
  const std::string output = (f.temp / "cat-output.ndjson").string();
  std::vector<std::string> args{"cat"};
  args.insert(args.end(), f.segmentFiles.begin(), f.segmentFiles.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    state.PauseTiming(); // the removal counts for the export, not for cat: a ratio in cat's favour
    ::unlink(output.c_str());
    state.ResumeTiming();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cat", &actions, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot run cat");
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kLaunches * kLaunchBytes));
}
BENCHMARK(BM_CatFiveLaunches)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
