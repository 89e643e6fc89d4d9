// Saving a 200 MB log export over an existing file (a copy beside it, then a rename over it)
// beside cp of the same file to the same place; bench/export_save_vs_cp.sh prints the ratio.
// The folder is $PD_BENCH_DIR, else the temporary folder: both copies write to the same disk.
// PD_EXPORT_SAVE_BENCH_MB makes the export smaller for a smoke run.

#include "diagnostics/ExportSaver.hpp"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::size_t exportBytes() {
  static const std::size_t bytes = [] {
    const char* megabytes = std::getenv("PD_EXPORT_SAVE_BENCH_MB");
    const long parsed = megabytes != nullptr ? std::strtol(megabytes, nullptr, 10) : 0;
    return static_cast<std::size_t>(parsed > 0 && parsed <= 4096 ? parsed : 200) * 1000u * 1000u;
  }();
  return bytes;
}

class Scratch {
public:
  Scratch() {
    const char* base = std::getenv("PD_BENCH_DIR");
    if (base == nullptr) base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/pd-save-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    // Log-like text, so no file system can make the copy cheap by compressing zeros.
    std::ofstream out(source(), std::ios::binary);
    std::string line;
    for (std::size_t written = 0, n = 0; written < exportBytes(); ++n) {
      line = R"({"t":"2026-12-08T01:00:00.000Z","cat":"app","msg":"filler line )" + std::to_string(n) + "\"}\n";
      out << line;
      written += line.size();
    }
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path source() const { return folder_ / "export.ndjson"; }
  fs::path destination() const { return folder_ / "saved.ndjson"; }

private:
  fs::path folder_;
};

Scratch& scratch() {
  static Scratch made;
  return made;
}

void runCp(const fs::path& from, const fs::path& to) {
  std::vector<std::string> args = {"cp", from.string(), to.string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "cp", nullptr, nullptr, argv.data(), environ) != 0) throw std::runtime_error("no cp");
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("cp failed");
}

void BM_SaveExport(benchmark::State& state) {
  Scratch& files = scratch();
  runCp(files.source(), files.destination()); // an older file to replace
  for (auto _ : state) pd::diagnostics::ExportSaver::saveReplacing(files.source(), files.destination());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * exportBytes()));
}

void BM_CpExport(benchmark::State& state) {
  Scratch& files = scratch();
  runCp(files.source(), files.destination());
  for (auto _ : state) runCp(files.source(), files.destination());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * exportBytes()));
}

BENCHMARK(BM_SaveExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CpExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
