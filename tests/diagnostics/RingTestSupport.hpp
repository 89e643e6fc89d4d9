#pragma once

// Rings on scratch folders, private log stores and log-line capture for the diagnostics tests.

#include "../platform/TestSupport.hpp"

#include "diagnostics/FileAccess.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/log/LogStore.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace pd::diagnostics::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using pd::testing::TempDirectory;

// The process's log lines written from now on (the ring and the watchdog log there).
class LogCapture {
public:
  LogCapture() : mark_(platform::log::LogStore::shared().lastSequence()) { platform::log::setStderrEnabled(false); }

  // Messages that start with the prefix, oldest first.
  std::vector<std::string> lines(std::string_view prefix) const {
    std::vector<std::string> out;
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(mark_)) {
      if (std::string_view(entry.message).starts_with(prefix)) out.push_back(entry.message);
    }
    return out;
  }
  std::size_t count(std::string_view prefix) const { return lines(prefix).size(); }

private:
  std::uint64_t mark_;
};

inline std::string newLaunchID() { return platform::crypto::makeUUIDString(); }

// A ring on its own root with its own store; fast timings unless a test says otherwise.
inline LogRing::Config ringConfig(const fs::path& root, platform::log::LogStore& store,
                                  std::string launchID = newLaunchID()) {
  LogRing::Config config;
  config.root = root;
  config.launchID = std::move(launchID);
  config.ownSubsystem = Log::subsystem();
  config.platformSubsystems = LogRing::platformSubsystems();
  config.store = &store;
  config.timing.flushPeriod = std::chrono::hours(1); // explicit flushes only
  config.timing.flushRetryInterval = 10ms;
  config.timing.terminalWait = 2s;
  return config;
}

// Requests a flush and waits for its completion.
inline bool flushAndWait(LogRing& ring, std::chrono::milliseconds limit = 10s) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  ring.requestFlush([done] { done->set_value(); });
  return future.wait_for(limit) == std::future_status::ready;
}

inline void appendEntry(platform::log::LogStore& store, platform::log::Level level, std::string_view subsystem,
                        std::string_view category, std::string_view message,
                        runtime::Clock::WallTime time = runtime::Clock::current().wall()) {
  platform::log::LogEntry entry;
  entry.time = time;
  entry.level = level;
  entry.subsystem = subsystem;
  entry.category = category;
  entry.message = message;
  entry.pid = 4242;
  entry.tid = 77;
  store.append(std::move(entry));
}

using pd::testing::readText;
using pd::testing::writeText;

inline std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const auto end = text.find('\n');
    out.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

// The "msg" of each segment line, in order.
inline std::vector<std::string> messagesOf(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) out.push_back(nlohmann::json::parse(line).value("msg", std::string("(none)")));
  return out;
}

// Polls until the condition holds; false after the limit.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A launch folder with a manifest, as an earlier launch would have left it.
inline fs::path makeLaunch(const fs::path& root, std::int64_t seq, bool clean, std::string startedAt,
                           std::string launchID = newLaunchID()) {
  const fs::path directory = root / launchID;
  fs::create_directories(directory);
  LogRing::Manifest manifest;
  manifest.launchID = launchID;
  manifest.pid = 100;
  manifest.startedAt = std::move(startedAt);
  manifest.seq = seq;
  manifest.clean = clean;
  manifest.terminalTracked = true;
  writeText(directory / "manifest.json", manifest.encode());
  return directory;
}

} // namespace pd::diagnostics::test
