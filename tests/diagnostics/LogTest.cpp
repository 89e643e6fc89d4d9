#include "diagnostics/Log.hpp"

#include "platform/log/LogStore.hpp"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pd::diagnostics {
namespace {

using platform::log::Logger;

TEST(LogTest, TenCategoriesWithTheirWords) {
  const std::array<std::pair<const Logger*, const char*>, 10> loggers{{
      {&Log::network(), "network"},
      {&Log::session(), "session"},
      {&Log::heartbeat(), "heartbeat"},
      {&Log::video(), "video"},
      {&Log::syphon(), "syphon"},
      {&Log::osc(), "osc"},
      {&Log::bpm(), "bpm"},
      {&Log::localvideo(), "localvideo"},
      {&Log::source(), "source"},
      {&Log::app(), "app"},
  }};
  for (const auto& [logger, word] : loggers) {
    EXPECT_EQ(logger->category(), word);
    EXPECT_EQ(logger->subsystem(), Log::subsystem());
  }
  EXPECT_EQ(Log::makeLogger("ring").category(), "ring");
}

TEST(LogTest, EachLoggerIsMadeOnceAcrossThreads) {
  std::vector<const Logger*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &Log::heartbeat(); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<const Logger*>(seen.begin(), seen.end()).size(), 1u);
}

TEST(LogTest, LinesReachTheStoreUnderTheSubsystem) {
  platform::log::setStderrEnabled(false);
  const auto before = platform::log::LogStore::shared().lastSequence();
  Log::app().notice("app_ready background_mode=enabled");
  const auto entries = platform::log::LogStore::shared().entriesAfter(before);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].subsystem, "tech.quelbo.PalendrixDisplay"); // the application id
  EXPECT_EQ(Log::subsystem(), entries[0].subsystem);
  EXPECT_EQ(entries[0].category, "app");
  EXPECT_EQ(entries[0].message, "app_ready background_mode=enabled");
}

} // namespace
} // namespace pd::diagnostics
