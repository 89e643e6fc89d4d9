#include "LogTestSupport.hpp"

#include "runtime/Clock.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace pd::platform::log {
namespace {

using namespace std::chrono_literals;
using runtime::Clock;

LogEntry entryAt(Clock::WallTime time, std::string subsystem = "s", std::string message = "m") {
  LogEntry entry;
  entry.time = time;
  entry.subsystem = std::move(subsystem);
  entry.category = "c";
  entry.message = std::move(message);
  return entry;
}

std::vector<std::uint64_t> sequences(const std::vector<LogEntry>& entries) {
  std::vector<std::uint64_t> out;
  for (const auto& e : entries) out.push_back(e.sequence);
  return out;
}

const Clock::WallTime kBase = Clock::WallTime{} + 1'700'000'000s;

TEST(LogStoreTest, CountBoundDropsTheOldestAndCountsThem) {
  LogStore store(LogStore::Limits{3, 1u << 20});
  for (int i = 0; i < 5; ++i) store.append(entryAt(kBase + std::chrono::seconds(i)));
  EXPECT_EQ(store.size(), 3u);
  EXPECT_EQ(store.droppedCount(), 2u);
  EXPECT_EQ(store.lastSequence(), 5u);
  EXPECT_THAT(sequences(store.entriesAfter(0)), ::testing::ElementsAre(3u, 4u, 5u));
  EXPECT_THAT(sequences(store.entriesAfter(1)), ::testing::ElementsAre(3u, 4u, 5u));
  EXPECT_THAT(sequences(store.entriesAfter(4)), ::testing::ElementsAre(5u));
  EXPECT_TRUE(store.entriesAfter(5).empty());
  EXPECT_TRUE(store.entriesAfter(500).empty());
  // A reader that had taken up to 1 missed entry 2; one that had taken 4 missed nothing.
  EXPECT_EQ(store.sliceAfter(0).missed, 2u);
  EXPECT_EQ(store.sliceAfter(1).missed, 1u);
  EXPECT_EQ(store.sliceAfter(4).missed, 0u);
  EXPECT_EQ(LogStore().sliceAfter(0).missed, 0u);
}

TEST(LogStoreTest, ByteBoundKeepsTheNewestEvenWhenItAloneIsOver) {
  LogStore store(LogStore::Limits{1000, 2000});
  for (int i = 0; i < 10; ++i) store.append(entryAt(kBase, "s", std::string(300, 'x')));
  EXPECT_LE(store.bytes(), 2000u);
  EXPECT_GT(store.droppedCount(), 0u);
  EXPECT_EQ(store.size() + store.droppedCount(), 10u);
  // No more goes than the budget needs: the entries cost alike, and one more would not fit.
  EXPECT_GT(store.bytes() + store.bytes() / store.size(), 2000u);

  store.append(entryAt(kBase, "s", std::string(5000, 'y')));
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store.entriesAfter(0).front().message, std::string(5000, 'y'));
}

TEST(LogStoreTest, MessagesAreMadeValidAndCutAtACharacter) {
  LogStore store;
  std::string huge(LogStore::kMaxMessageBytes - 1, 'a');
  huge += "\xE3\x81\x82 tail"; // a three-byte character across the limit
  store.append(entryAt(kBase, "s", huge));
  store.append(entryAt(kBase, "s", "bad \xC3"));
  const auto entries = store.entriesAfter(0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, std::string(LogStore::kMaxMessageBytes - 1, 'a'));
  EXPECT_EQ(entries[1].message, "bad \xEF\xBF\xBD");
}

TEST(LogStoreTest, TimeQueryResumesAndSurvivesAWallClockStepBack) {
  LogStore store;
  store.append(entryAt(kBase + 10s, "s", "a"));
  store.append(entryAt(kBase + 20s, "s", "b"));
  store.append(entryAt(kBase + 20s, "s", "c"));
  store.append(entryAt(kBase + 5s, "s", "stepped back"));
  store.append(entryAt(kBase + 25s, "s", "d"));

  auto messages = [](const std::vector<LogEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.message);
    return out;
  };
  using ::testing::ElementsAre;
  EXPECT_THAT(messages(store.entriesSince(kBase)), ElementsAre("a", "b", "c", "stepped back", "d"));
  EXPECT_THAT(messages(store.entriesSince(kBase + 5s)), ElementsAre("a", "b", "c", "stepped back", "d"));
  EXPECT_THAT(messages(store.entriesSince(kBase + 6s)), ElementsAre("a", "b", "c", "d"));
  EXPECT_THAT(messages(store.entriesSince(kBase + 20s)), ElementsAre("b", "c", "d"));
  EXPECT_THAT(messages(store.entriesSince(kBase + 21s)), ElementsAre("d"));
  EXPECT_TRUE(store.entriesSince(kBase + 26s).empty());
  EXPECT_THAT(messages(store.entriesSince(kBase + 20s, LogQuery{{}, 1})), ElementsAre("b"));
}

TEST(LogStoreTest, SubsystemFilterAndMaxCount) {
  LogStore store;
  store.append(entryAt(kBase, "own", "1"));
  store.append(entryAt(kBase, "ffmpeg", "2"));
  store.append(entryAt(kBase, "other", "3"));
  store.append(entryAt(kBase, "own", "4"));
  store.append(entryAt(kBase, "ffmpeg", "5"));
  EXPECT_THAT(sequences(store.entriesAfter(0, LogQuery{{"own", "ffmpeg"}, 100})),
              ::testing::ElementsAre(1u, 2u, 4u, 5u));
  EXPECT_THAT(sequences(store.entriesAfter(0, LogQuery{{"own", "ffmpeg"}, 3})), ::testing::ElementsAre(1u, 2u, 4u));
  EXPECT_THAT(sequences(store.entriesSince(kBase, LogQuery{{"ffmpeg"}, 100})), ::testing::ElementsAre(2u, 5u));
  EXPECT_TRUE(store.entriesAfter(0, LogQuery{{"absent"}, 100}).empty());
  EXPECT_TRUE(store.entriesAfter(0, LogQuery{{}, 0}).empty());
}

TEST(LogStoreTest, ConcurrentWritersGetDistinctOrderedSequences) {
  LogStore store(LogStore::Limits{1'000'000, 1u << 30});
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&store, &go, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i)
        store.append(Level::notice, "s", "c", std::to_string(t) + ":" + std::to_string(i));
    });
  }
  go = true;
  // A reader running alongside must always see a gap-free run of sequence numbers.
  for (int k = 0; k < 50; ++k) {
    const auto seen = store.entriesAfter(0);
    for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_EQ(seen[i].sequence, seen[i - 1].sequence + 1);
  }
  for (auto& thread : threads) thread.join();

  const auto entries = store.entriesAfter(0);
  ASSERT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(store.lastSequence(), static_cast<std::uint64_t>(kThreads * kPerThread));
  std::map<std::uint64_t, int> nextPerThread; // by tid: each thread's lines stay in its order
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].sequence, i + 1);
    const std::string& message = entries[i].message;
    const int index = std::stoi(message.substr(message.find(':') + 1));
    EXPECT_EQ(index, nextPerThread[entries[i].tid]++);
  }
  EXPECT_EQ(nextPerThread.size(), static_cast<std::size_t>(kThreads));
}

TEST(LogStoreTest, TimestampsAreUtcWithMilliseconds) {
  EXPECT_EQ(formatTimestamp(Clock::WallTime{}), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(formatTimestamp(Clock::WallTime{} + 1'709'251'199'999ms), "2024-02-29T23:59:59.999Z");
  EXPECT_EQ(formatTimestamp(Clock::WallTime{} + 978'307'200'123'456us), "2001-01-01T00:00:00.123Z");
  EXPECT_EQ(formatTimestamp(Clock::WallTime{} - 1ms), "1969-12-31T23:59:59.999Z");
}

// ---- the loggers' road into the store and stderr --------------------------------------------

class LoggerSinkTest : public ::testing::Test {
protected:
  test::QuietLogging quiet;
  runtime::ManualClock clock;
  runtime::ScopedClock scoped{clock};
  Logger logger{"tech.example.test", "sink"};
  std::uint64_t before = LogStore::shared().lastSequence();

  std::vector<LogEntry> written() const { return LogStore::shared().entriesAfter(before); }
};

TEST_F(LoggerSinkTest, EntriesCarryTimeLevelNamesAndIds) {
  clock.setWall(kBase + 123ms);
  logger.error("event_fail reason=%{public}s", "x");
  logger.fault("event_broken");
  const auto entries = written();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].time, kBase + 123ms);
  EXPECT_EQ(entries[0].level, Level::error);
  EXPECT_EQ(entries[1].level, Level::fault);
  EXPECT_EQ(entries[0].subsystem, "tech.example.test");
  EXPECT_EQ(entries[0].category, "sink");
  EXPECT_EQ(entries[0].message, "event_fail reason=x");
  EXPECT_EQ(entries[0].pid, static_cast<std::int32_t>(::getpid()));
  EXPECT_EQ(entries[0].tid, static_cast<std::uint64_t>(::gettid()));

  std::uint64_t otherTid = 0;
  std::thread([&] {
    logger.notice("from_thread");
    otherTid = static_cast<std::uint64_t>(::gettid());
  }).join();
  ASSERT_EQ(written().size(), 3u);
  EXPECT_EQ(written().back().tid, otherTid);
  EXPECT_NE(otherTid, entries[0].tid);
}

TEST_F(LoggerSinkTest, DebugLinesOnlyWhileDebugIsOn) {
  setDebugEnabled(false);
  EXPECT_FALSE(logger.isEnabled(Level::debug));
  EXPECT_TRUE(logger.isEnabled(Level::notice));
  logger.debug("frag_rx seq=%u", 1u);
  recordExternal("ffmpeg", "hevc", Level::debug, "verbose chatter");
  EXPECT_TRUE(written().empty());

  setDebugEnabled(true);
  EXPECT_TRUE(logger.isEnabled(Level::debug));
  logger.debug("frag_rx seq=%u", 2u);
  recordExternal("ffmpeg", "hevc", Level::debug, "verbose chatter");
  const auto entries = written();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, "frag_rx seq=2");
  EXPECT_EQ(entries[0].level, Level::debug);
  EXPECT_EQ(entries[1].subsystem, "ffmpeg");
}

TEST_F(LoggerSinkTest, DebugSwitchFollowsTheEnvironmentUntilSetExplicitly) {
  ::setenv("PALENDRIX_LOG_DEBUG", "1", 1);
  detail::debugState.store(-1);
  EXPECT_TRUE(isDebugEnabled());
  ::setenv("PALENDRIX_LOG_DEBUG", "0", 1);
  detail::debugState.store(-1);
  EXPECT_FALSE(isDebugEnabled());
  ::unsetenv("PALENDRIX_LOG_DEBUG");
  detail::debugState.store(-1);
  EXPECT_FALSE(isDebugEnabled());
  ::setenv("PALENDRIX_LOG_DEBUG", "1", 1);
  detail::debugState.store(-1);
  setDebugEnabled(false); // an explicit choice wins over the environment
  EXPECT_FALSE(isDebugEnabled());
  ::unsetenv("PALENDRIX_LOG_DEBUG");
}

TEST_F(LoggerSinkTest, ExternalMessagesKeepTheirSubsystemAndAreCleaned) {
  recordExternal("libcurl", "http", Level::error, "connect failed \xFF");
  const auto entries = written();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].subsystem, "libcurl");
  EXPECT_EQ(entries[0].category, "http");
  EXPECT_EQ(entries[0].level, Level::error);
  EXPECT_EQ(entries[0].message, "connect failed \xEF\xBF\xBD");
}

// Captures what is written to fd 2 while alive.
class StderrCapture {
public:
  StderrCapture() {
    char path[] = "/tmp/pd-log-stderr-XXXXXX";
    file_ = ::mkstemp(path);
    ::unlink(path);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(file_, STDERR_FILENO);
  }
  ~StderrCapture() {
    restore();
    ::close(file_);
  }
  std::string finish() {
    restore();
    std::string text;
    char buffer[4096];
    ::lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file_, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

private:
  void restore() {
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }
  int file_ = -1;
  int saved_ = -1;
};

TEST_F(LoggerSinkTest, StderrLinesAreRedactedLikeTheStoreAndStayOneLine) {
  clock.setWall(kBase + 45ms);
  setStderrEnabled(true);
  StderrCapture capture;
  logger.notice("peer_seen name=%{public}s path=%s token=%{private,mask.hash}s", std::string("evil\nforged line\r"),
                std::string("/secret"), std::string("tok"));
  recordExternal("pipewire", "core", Level::error, "oops\x01");
  setStderrEnabled(false);
  logger.notice("not_on_stderr");
  const std::string text = capture.finish();

  const auto entries = written();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].message.find("/secret"), std::string::npos);
  EXPECT_NE(entries[0].message.find("evil\nforged line\r"), std::string::npos); // the store keeps it whole

  EXPECT_EQ(text, "2023-11-14T22:13:20.045Z default [tech.example.test:sink] peer_seen name=evil\\nforged line\\r "
                  "path=<private> token=" +
                      entries[0].message.substr(entries[0].message.find("<mask.hash")) +
                      "\n"
                      "2023-11-14T22:13:20.045Z error [pipewire:core] oops\\x01\n");
}

// Run from a terminal pipeline whose reader has gone, the next line must neither end the process
// nor leave the signal behind for it; the store still takes the line.
TEST_F(LoggerSinkTest, AStderrPipeWithoutAReaderNeitherKillsNorLeavesTheSignalPending) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int ends[2];
        if (::pipe(ends) != 0) std::_Exit(10);
        ::close(ends[0]);
        ::dup2(ends[1], STDERR_FILENO);
        setStderrEnabled(true);
        logger.notice("after_reader_gone n=%d", 1);
        sigset_t blocked;
        sigset_t pending;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
        ::sigpending(&pending);
        if (sigismember(&blocked, SIGPIPE) == 1) std::_Exit(11);
        if (sigismember(&pending, SIGPIPE) == 1) std::_Exit(12);
        const auto entries = written();
        std::_Exit(entries.size() == 1 && entries[0].message == "after_reader_gone n=1" ? 0 : 13);
      },
      ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace pd::platform::log
