#pragma once

// A tempo detector that blocks its thread until the test releases the file, as the real one blocks
// for the length of an analysis, and temporary files whose entries carry real content versions.

#include "api/LocalBPMCache.hpp"
#include "runtime/Task.hpp"
#include "runtime/TestSupport.hpp"
#include "support/Blocking.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace pd::api::test {

using namespace std::chrono_literals;
using Outcome = LocalBPMCache::Outcome;

} // namespace pd::api::test

namespace pd::api {
inline void PrintTo(const LocalBPMCache::Outcome& outcome, std::ostream* out) {
  if (!outcome.isDone()) *out << "pending";
  else if (outcome.bpm) *out << "done(" << *outcome.bpm << ")";
  else *out << "done(none)";
}
} // namespace pd::api

namespace pd::api::test {

class GatedDetector {
public:
  // Blocks until release() names the file's stem.
  LocalBPMCache::Detector detector() {
    return [state = state_](std::filesystem::path url) -> runtime::Awaitable<deckinput::BPMDetectionResult> {
      const std::string name = url.stem().string();
      std::unique_lock lock(state->mutex);
      state->started.push_back(name);
      state->changed.notify_all();
      state->changed.wait(lock, [&] { return state->closed || state->released.contains(name); });
      if (!state->released.contains(name)) co_return deckinput::BPMDetectionResult{};
      const auto result = state->released.at(name);
      state->released.erase(name);
      co_return result;
    };
  }

  void release(const std::string& name, deckinput::BPMDetectionResult result) {
    const std::scoped_lock lock(state_->mutex);
    state_->released[name] = result;
    state_->changed.notify_all();
  }
  void release(const std::string& name, std::int64_t bpm) { release(name, {bpm, 0.9f, false}); }

  // Every analysis still blocked, and every later one, ends without a tempo.
  void close() {
    const std::scoped_lock lock(state_->mutex);
    state_->closed = true;
    state_->changed.notify_all();
  }

  std::vector<std::string> started() const {
    const std::scoped_lock lock(state_->mutex);
    return state_->started;
  }

  // Waits until `count` analyses have started; false when they did not within the limit.
  bool waitForStarts(std::size_t count, std::chrono::milliseconds limit = 5s) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->started.size() >= count; });
  }

private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> started;
    std::map<std::string, deckinput::BPMDetectionResult> released;
    bool closed = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Real files, so that entries carry content versions and guards can see them change.
class TempFolder {
public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pd-bpm-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The entry of "<name>.mp4" under the id `name`, the file made when it is missing.
  LocalBPMCache::Entry entry(const std::string& name) const {
    const auto file = path_ / (name + ".mp4");
    if (!std::filesystem::exists(file)) rewrite(name, "frames");
    return {name, file, mediaserver::MacLocalVideoLibrary::ContentVersion::read(file, true)};
  }
  // "<name>.m4a": clicks at `bpm` for `seconds`, made by ffmpeg.
  LocalBPMCache::Entry clickTrack(const std::string& name, int bpm, int seconds) const {
    const auto file = path_ / (name + ".m4a");
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=exprs='sin(2*PI*880*t)*exp(-200*mod(t\\," +
        std::to_string(60.0 / bpm) + "))':s=44100:d=" + std::to_string(seconds) + "\" -c:a aac '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
    return {name, file, mediaserver::MacLocalVideoLibrary::ContentVersion::read(file, true)};
  }
  void rewrite(const std::string& name, const std::string& content) const {
    std::ofstream(path_ / (name + ".mp4"), std::ios::binary) << content;
  }

private:
  std::filesystem::path path_;
};

inline runtime::Task<Outcome> request(const std::shared_ptr<LocalBPMCache>& cache, LocalBPMCache::Entry entry) {
  return testing::runBlocking(
      [cache, entry]() -> runtime::Awaitable<runtime::Task<Outcome>> { co_return co_await cache->request(entry); });
}

inline std::optional<runtime::Task<Outcome>> requestIfKnown(const std::shared_ptr<LocalBPMCache>& cache,
                                                            const std::string& id) {
  return testing::runBlocking([cache, id]() -> runtime::Awaitable<std::optional<runtime::Task<Outcome>>> {
    co_return co_await cache->requestIfKnown(id);
  });
}

inline std::optional<LocalBPMCache::Remembered> seen(const std::shared_ptr<LocalBPMCache>& cache,
                                                     const std::string& id) {
  return testing::runBlocking([cache, id]() -> runtime::Awaitable<std::optional<LocalBPMCache::Remembered>> {
    co_return co_await cache->seen(id);
  });
}

// The task's outcome; a failed test when it does not come.
inline Outcome outcomeOf(const runtime::Task<Outcome>& task, std::chrono::milliseconds limit = 5s) {
  if (!runtime::test::waitUntilFinished(task, limit)) {
    ADD_FAILURE() << "no outcome in time";
    return Outcome::pending();
  }
  return task.state()->result();
}

} // namespace pd::api::test
