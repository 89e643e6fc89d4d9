#include "RingTestSupport.hpp"

#include "../runtime/TestSupport.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "platform/log/LogStore.hpp"

#include <atomic>
#include <future>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pd::diagnostics::test {
namespace {

using platform::log::Level;
using platform::log::LogStore;

const runtime::Clock::WallTime kT0 = runtime::Clock::WallTime(std::chrono::seconds(1'780'000'000));

// The bytes a line takes in a segment, line feed included.
std::size_t lineSize(std::string_view message, bool platformEntry = false, std::string category = "app") {
  LogRing::EntryLine line{platform::log::formatTimestamp(kT0),
                          platformEntry ? "error" : "notice",
                          std::move(category),
                          std::string(message),
                          4242,
                          77,
                          platformEntry ? std::optional<std::string>("org.ffmpeg") : std::nullopt};
  return line.encode().size() + 1;
}

// A message that makes a line of exactly `bytes`.
std::string messageFor(std::size_t bytes, bool platformEntry = false) {
  return std::string(bytes - lineSize("", platformEntry), 'm');
}

struct RingFixture {
  explicit RingFixture(const std::function<void(LogRing::Config&)>& adjust = {}) {
    auto config = ringConfig(root.path(), store);
    if (adjust) adjust(config);
    ring = std::make_unique<LogRing>(std::move(config));
  }
  std::vector<std::string> segmentLines(std::string_view name) const {
    return splitLines(readText(ring->launchDirectory() / std::string(name)));
  }
  LogRing::Manifest diskManifest() const { return *LogRing::Manifest::read(ring->launchDirectory()); }

  TempDirectory root;
  LogStore store;
  std::unique_ptr<LogRing> ring;
};

TEST(LogRingTest, StartMakesTheLaunchFolderNumbersItAndReportsThePreviousExit) {
  LogCapture log;
  RingFixture f;
  f.ring->start();
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  EXPECT_EQ(LogRing::listLaunchDirectories(f.root.path()).size(), 1u);
  EXPECT_EQ(readText(f.root / "launch.seq"), "1");
  const auto manifest = f.diskManifest();
  EXPECT_EQ(manifest.seq, 1);
  EXPECT_FALSE(manifest.clean);
  EXPECT_EQ(manifest.terminalTracked, true);
  EXPECT_EQ(manifest.launchID, f.ring->launchID());
  EXPECT_EQ(log.lines("app_launch"),
            std::vector<std::string>{"app_launch prev_exit=unknown launch_id=" + f.ring->launchID().substr(0, 8)});

  // The next launch of the same ring root finds this one unclean.
  LogStore store;
  LogRing next(ringConfig(f.root.path(), store));
  bool unclean = false;
  std::promise<void> answered;
  next.start();
  next.previousExitWasUnclean([&](bool value) {
    unclean = value;
    answered.set_value();
  });
  ASSERT_EQ(answered.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(unclean);
  EXPECT_EQ(LogRing::Manifest::read(next.launchDirectory())->seq, 2);
}

TEST(LogRingTest, UnderAnOpenUmaskTheRingsFoldersAreTheUsersAlone) {
  const auto modeOf = [](const fs::path& path) { return static_cast<unsigned>(fs::status(path).permissions()); };
  TempDirectory base;
  const fs::path root = base / "share" / "app" / "LogRing";
  struct OpenUmask {
    mode_t previous = ::umask(0);
    ~OpenUmask() { ::umask(previous); }
  } openUmask;
  LogStore store;
  {
    LogRing fresh(ringConfig(root, store));
    fresh.start();
    ASSERT_TRUE(fresh.waitUntilIdle(5s));
    for (const fs::path& made : {base / "share", base / "share" / "app", root, fresh.launchDirectory()}) {
      EXPECT_EQ(modeOf(made), 0700u) << made;
    }
    EXPECT_EQ(modeOf(fresh.launchDirectory() / "manifest.json"), 0600u);
  }
  // A root that an earlier launch left open to everyone is closed again.
  fs::permissions(root, fs::perms::all);
  LogRing next(ringConfig(root, store));
  next.start();
  ASSERT_TRUE(next.waitUntilIdle(5s));
  EXPECT_EQ(modeOf(root), 0700u);
  EXPECT_EQ(modeOf(next.launchDirectory()), 0700u);
}

TEST(LogRingTest, StartRemovesOnlyStaleTemporaryFilesOfTheRingsOwnWrites) {
  TempDirectory root;
  const fs::path earlier = makeLaunch(root.path(), 1, false, "2026-01-01T00:00:00.000Z");
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(2);
  const auto place = [&](const fs::path& file, bool stale) {
    writeText(file, "partial");
    if (stale) fs::last_write_time(file, old);
    return file;
  };
  const std::vector<fs::path> removed = {
      place(earlier / ".seg-000002.ndjson.Ab12Cd", true), place(earlier / ".apple-000001.ndjson.zzzzzz", true),
      place(earlier / ".manifest.json.x1Y2z3", true), place(root / ".launch.seq.QWERTY", true)};
  const std::vector<fs::path> kept = {
      place(earlier / ".seg-000003.ndjson.abcdef", false), // being written
      place(earlier / ".notes.txt.Ab12Cd", true), place(earlier / ".seg-2.ndjson.Ab12Cd", true),
      place(earlier / ".manifest.json.Ab12Cd7", true), place(earlier / "seg-000001.ndjson", true)};
  LogStore store;
  LogRing ring(ringConfig(root.path(), store));
  ring.start();
  ASSERT_TRUE(ring.waitUntilIdle(5s));
  for (const auto& file : removed) EXPECT_FALSE(fs::exists(file)) << file;
  for (const auto& file : kept) EXPECT_TRUE(fs::exists(file)) << file;
}

TEST(LogRingTest, TerminalMarkBeforeTheStartReachesTheFirstManifest) {
  RingFixture f;
  f.ring->markTerminal();
  EXPECT_FALSE(fs::exists(f.ring->launchDirectory()));
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  const auto manifest = f.diskManifest();
  EXPECT_TRUE(manifest.clean);
  ASSERT_TRUE(manifest.terminal.has_value());
  EXPECT_EQ(manifest.terminal->reason, "exit");
  EXPECT_EQ(manifest.seq, 1);
}

TEST(LogRingTest, SegmentsHoldTheKeptEntriesInTheLineFormat) {
  LogCapture log;
  RingFixture f;
  f.ring->start();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "path=/tmp/a \"quoted\"\nnext", kT0);
  appendEntry(f.store, Level::debug, Log::subsystem(), "app", "debug is never kept", kT0);
  appendEntry(f.store, Level::notice, "org.ffmpeg", "hevc", "platform notices are not kept", kT0);
  appendEntry(f.store, Level::error, "org.ffmpeg", "hevc", "decode error", kT0);
  appendEntry(f.store, Level::error, "org.other", "x", "not a subsystem of ours", kT0);
  appendEntry(f.store, Level::fault, Log::subsystem(), "video", "decoder_create_fail", kT0 + 5ms);
  ASSERT_TRUE(flushAndWait(*f.ring));

  const auto own = f.segmentLines("seg-000001.ndjson");
  ASSERT_EQ(own.size(), 2u);
  EXPECT_EQ(
      own[0],
      R"({"ts":"2026-05-28T20:26:40.000Z","level":"notice","cat":"app","msg":"path=\/tmp\/a \"quoted\"\nnext","pid":4242,"tid":"77"})");
  EXPECT_EQ(
      own[1],
      R"({"ts":"2026-05-28T20:26:40.005Z","level":"fault","cat":"video","msg":"decoder_create_fail","pid":4242,"tid":"77"})");
  const auto platformLines = f.segmentLines("apple-000001.ndjson");
  ASSERT_EQ(platformLines.size(), 1u);
  EXPECT_EQ(
      platformLines[0],
      R"({"ts":"2026-05-28T20:26:40.000Z","level":"error","cat":"hevc","msg":"decode error","pid":4242,"tid":"77","subsystem":"org.ffmpeg"})");

  const auto manifest = f.diskManifest();
  ASSERT_EQ(manifest.segments.size(), 1u);
  EXPECT_EQ(manifest.segments[0].entries, 2);
  EXPECT_EQ(manifest.segments[0].bytes,
            static_cast<std::int64_t>(fs::file_size(f.ring->launchDirectory() / "seg-000001.ndjson")));
  EXPECT_EQ(manifest.segments[0].firstTs, "2026-05-28T20:26:40.000Z");
  EXPECT_EQ(manifest.segments[0].lastTs, "2026-05-28T20:26:40.005Z");
  EXPECT_EQ(manifest.entryCount, 2); // platform lines are not counted
  ASSERT_EQ(manifest.appleSegments.size(), 1u);
  const auto flushLines = log.lines("ring_flush ");
  ASSERT_EQ(flushLines.size(), 1u);
  EXPECT_TRUE(flushLines[0].starts_with("ring_flush entries=2 apple=1 segments=1 dur_ms=")) << flushLines[0];

  // Nothing new: no file, no line.
  ASSERT_TRUE(flushAndWait(*f.ring));
  EXPECT_FALSE(fs::exists(f.ring->launchDirectory() / "seg-000002.ndjson"));
  EXPECT_EQ(log.count("ring_flush "), 1u);
}

TEST(LogRingTest, ABadEntryNeitherStopsTheRunNorLaterOnes) {
  RingFixture f;
  f.ring->start();
  appendEntry(f.store, Level::error, Log::subsystem(), std::string("cat\xC3\x28"), "first", kT0);
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "second", kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  const auto lines = f.segmentLines("seg-000001.ndjson");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"cat\":\"cat\xEF\xBF\xBD(\""), std::string::npos) << lines[0];
  for (const auto& line : lines) EXPECT_TRUE(nlohmann::json::accept(line)) << line;
}

TEST(LogRingTest, EntriesSharingATimeStampAreTakenOnceEach) {
  RingFixture f;
  f.ring->start();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "one", kT0);
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "two", kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "three", kT0);
  // A wall clock stepped back: the entry is older than everything taken, and still new.
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "four", kT0 - std::chrono::hours(1));
  ASSERT_TRUE(flushAndWait(*f.ring));
  EXPECT_EQ(messagesOf(f.segmentLines("seg-000001.ndjson")), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(messagesOf(f.segmentLines("seg-000002.ndjson")), (std::vector<std::string>{"three", "four"}));
  EXPECT_EQ(f.ring->queueState().resumeSequence, f.store.lastSequence());
}

TEST(LogRingTest, AnOwnLineBeyondTheBudgetSuspendsWritingAfterKeepingWhatFits) {
  const std::size_t first = lineSize("first");
  LogCapture log;
  RingFixture f([&](LogRing::Config& c) { c.limits.perLaunchBytes = first + 760; });
  f.ring->start();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "first", kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", messageFor(900), kT0);
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", messageFor(500), kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));

  EXPECT_EQ(messagesOf(f.segmentLines("seg-000002.ndjson")), std::vector<std::string>{messageFor(500)});
  EXPECT_EQ(log.lines("ring_truncated"),
            std::vector<std::string>{"ring_truncated reason=per_launch_cap size_b=" + std::to_string(first + 500)});
  EXPECT_TRUE(f.diskManifest().truncated);
  EXPECT_TRUE(f.ring->queueState().writingSuspended);
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "later", kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  EXPECT_FALSE(fs::exists(f.ring->launchDirectory() / "seg-000003.ndjson"));
}

TEST(LogRingTest, PlatformSegmentsGiveWayToOwnLinesAtTheCap) {
  LogCapture log;
  RingFixture f([](LogRing::Config& c) { c.limits.perLaunchBytes = 1000; });
  f.ring->start();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", messageFor(300), kT0);
  appendEntry(f.store, Level::error, "org.ffmpeg", "app", messageFor(400, true), kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  // Budget 300: the platform line taken first does not block the own line after it.
  appendEntry(f.store, Level::error, "org.ffmpeg", "app", messageFor(300, true), kT0);
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", messageFor(300), kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));

  EXPECT_EQ(log.lines("ring_truncated"), std::vector<std::string>{"ring_truncated reason=apple_dropped size_b=900"});
  const auto manifest = f.diskManifest();
  EXPECT_TRUE(manifest.truncated);
  ASSERT_EQ(manifest.appleSegments.size(), 1u);
  EXPECT_EQ(manifest.appleSegments[0].file, "apple-000002.ndjson");
  EXPECT_EQ(manifest.segments.size(), 2u);
  EXPECT_FALSE(fs::exists(f.ring->launchDirectory() / "apple-000001.ndjson"));
  EXPECT_FALSE(f.ring->queueState().writingSuspended);
}

TEST(LogRingTest, PlatformSegmentsDroppedAtTheCapGoOnceACommitSucceedsAfterAFailedOne) {
  RingFixture f([](LogRing::Config& c) { c.limits.perLaunchBytes = 1000; });
  f.ring->start();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", messageFor(300), kT0);
  appendEntry(f.store, Level::error, "org.ffmpeg", "app", messageFor(400, true), kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  const auto dir = f.ring->launchDirectory();
  ASSERT_TRUE(fs::exists(dir / "apple-000001.ndjson"));
  // A folder in place of the manifest makes the commit that drops the first platform file fail.
  fs::remove(dir / "manifest.json");
  fs::create_directories(dir / "manifest.json" / "x");
  appendEntry(f.store, Level::error, "org.ffmpeg", "app", messageFor(300, true), kT0);
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", messageFor(300), kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  // A manifest on disk may still name it after a failed commit: it stays until one that does not.
  EXPECT_TRUE(fs::exists(dir / "apple-000001.ndjson"));
  fs::remove_all(dir / "manifest.json");
  ASSERT_TRUE(flushAndWait(*f.ring));

  const auto manifest = f.diskManifest();
  ASSERT_EQ(manifest.appleSegments.size(), 1u);
  EXPECT_EQ(manifest.appleSegments[0].file, "apple-000002.ndjson");
  EXPECT_FALSE(fs::exists(dir / "apple-000001.ndjson"));
}

TEST(LogRingTest, FailedWritesUseUpTheirNumbersAndThreeInARowSuspend) {
  LogCapture log;
  RingFixture f;
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  const auto dir = f.ring->launchDirectory();
  // A folder where a segment file should go makes that write fail.
  for (const char* blocked :
       {"apple-000001.ndjson", "seg-000002.ndjson", "seg-000004.ndjson", "seg-000005.ndjson", "seg-000006.ndjson"}) {
    fs::create_directories(dir / blocked / "x");
  }
  const auto run = [&](const std::string& message) {
    appendEntry(f.store, Level::notice, Log::subsystem(), "app", message, kT0);
    appendEntry(f.store, Level::error, "se.curl", "http", message, kT0);
    ASSERT_TRUE(flushAndWait(*f.ring));
  };
  run("run1"); // own ok, platform write fails: no platform files for the rest of the launch
  EXPECT_EQ(log.count("ring_flush_fail reason=apple_write err_domain=POSIX"), 1u);
  run("run2"); // own write fails
  run("run3"); // ok again: the count of failures starts over
  EXPECT_EQ(f.ring->queueState().consecutiveWriteFailures, 0);
  run("run4");
  run("run5");
  EXPECT_EQ(log.count("ring_truncated"), 0u);
  run("run6");
  EXPECT_EQ(log.count("ring_flush_fail reason=collect"), 4u);
  EXPECT_EQ(log.lines("ring_truncated"), std::vector<std::string>{"ring_truncated reason=write_fail size_b=0"});
  run("run7");
  EXPECT_EQ(log.count("ring_flush_fail reason=collect"), 4u);

  const auto manifest = f.diskManifest();
  std::vector<std::string> files;
  for (const auto& segment : manifest.segments) files.push_back(segment.file);
  EXPECT_EQ(files, (std::vector<std::string>{"seg-000001.ndjson", "seg-000003.ndjson"}));
  EXPECT_TRUE(manifest.appleSegments.empty());
  EXPECT_TRUE(manifest.truncated);
  const auto state = f.ring->queueState();
  EXPECT_TRUE(state.writingSuspended);
  EXPECT_TRUE(state.appleSuspended);
  EXPECT_EQ(state.segmentIndex, 6);
  EXPECT_EQ(state.appleSegmentIndex, 1);
}

TEST(LogRingTest, AFailedSegmentWriteLeavesItsLinesForTheNextRun) {
  LogCapture log;
  RingFixture f;
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  const auto dir = f.ring->launchDirectory();
  fs::create_directories(dir / "seg-000001.ndjson" / "x");
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "one", kT0);
  appendEntry(f.store, Level::error, "se.curl", "http", "platform one", kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));
  EXPECT_EQ(log.count("ring_flush_fail reason=collect err_domain=POSIX"), 1u);
  fs::remove_all(dir / "seg-000001.ndjson");
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "two", kT0);
  ASSERT_TRUE(flushAndWait(*f.ring));

  EXPECT_EQ(messagesOf(f.segmentLines("seg-000002.ndjson")), (std::vector<std::string>{"one", "two"}));
  // The platform line waited with them rather than being written twice.
  EXPECT_EQ(messagesOf(f.segmentLines("apple-000001.ndjson")), std::vector<std::string>{"platform one"});
  EXPECT_FALSE(fs::exists(dir / "apple-000002.ndjson"));
  const auto manifest = f.diskManifest();
  EXPECT_EQ(manifest.entryCount, 2);
  EXPECT_FALSE(manifest.truncated);
}

TEST(LogRingTest, EntriesTheStorePushedOutBeforeAFlushAreCountedAndMarkTheLaunchTruncated) {
  LogCapture log;
  TempDirectory root;
  LogStore store(LogStore::Limits{1000, std::size_t{1} << 30});
  LogRing ring(ringConfig(root.path(), store));
  ring.start();
  // Nothing the ring keeps among them: the manifest goes to disk without a new segment.
  for (int i = 0; i < 1500; ++i) appendEntry(store, Level::debug, Log::subsystem(), "app", "debug", kT0);
  ASSERT_TRUE(flushAndWait(ring));
  EXPECT_TRUE(LogRing::Manifest::read(ring.launchDirectory())->truncated);
  for (int i = 0; i < 5000; ++i) {
    appendEntry(store, Level::notice, Log::subsystem(), "app", "n=" + std::to_string(i), kT0);
  }
  ASSERT_TRUE(flushAndWait(ring));
  ASSERT_TRUE(flushAndWait(ring));

  EXPECT_EQ(log.lines("ring_truncated"),
            (std::vector<std::string>{"ring_truncated reason=store_overrun dropped=500",
                                      "ring_truncated reason=store_overrun dropped=4000"}));
  const auto manifest = *LogRing::Manifest::read(ring.launchDirectory());
  EXPECT_TRUE(manifest.truncated);
  EXPECT_EQ(manifest.entryCount, 1000);
  const auto lines = splitLines(readText(ring.launchDirectory() / "seg-000001.ndjson"));
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_NE(lines.front().find("\"msg\":\"n=4000\""), std::string::npos);
}

TEST(LogRingTest, AFileInPlaceOfTheRingFolderIsReportedAndSurvived) {
  LogCapture log;
  TempDirectory scratch;
  writeText(scratch / "LogRing", "not a folder");
  LogStore store;
  LogRing ring(ringConfig(scratch / "LogRing", store));
  ring.start();
  ASSERT_TRUE(ring.waitUntilIdle(5s));
  EXPECT_EQ(log.count("ring_flush_fail reason=launch_marker err_domain=POSIX err_code=20"), 1u); // ENOTDIR
  EXPECT_EQ(log.count("app_launch prev_exit=unknown"), 1u);
  for (int i = 0; i < 4; ++i) {
    appendEntry(store, Level::notice, Log::subsystem(), "app", "entry", kT0);
    ASSERT_TRUE(flushAndWait(ring));
  }
  EXPECT_EQ(log.count("ring_flush_fail reason=collect"), 3u);
  EXPECT_EQ(log.count("ring_truncated reason=write_fail size_b=0"), 1u);
  ring.markTerminal();
  EXPECT_EQ(readText(scratch / "LogRing"), "not a folder");
}

TEST(LogRingTest, AManifestThatKeepsFailingIsReportedOnceWithTheFirstError) {
  LogThrottle::shared().resetAll();
  LogCapture log;
  RingFixture f([](LogRing::Config& c) { c.timing.failureLogInterval = 1h; });
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  const auto dir = f.ring->launchDirectory();
  fs::remove(dir / "manifest.json");
  fs::create_directories(dir / "manifest.json" / "x"); // every commit fails, as on a read-only disk
  for (int i = 0; i < 6; ++i) {
    appendEntry(f.store, Level::notice, Log::subsystem(), "app", "entry", kT0);
    ASSERT_TRUE(flushAndWait(*f.ring));
  }
  f.ring->markTerminal();
  const auto lines = log.lines("ring_flush_fail reason=manifest");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("ring_flush_fail reason=manifest err_domain=POSIX err_code=21 error=")) << lines[0];
}

TEST(LogRingTest, ErrorFlushesCoalesceAndKeepTheirSpacing) {
  RingFixture f([](LogRing::Config& c) {
    c.timing.errorFlushSpacing = 400ms;
    c.timing.errorFlushMinimumDelay = 100ms;
  });
  f.ring->start();
  // Timed from before the flush, which the spacing counts from: a slow return only adds to it.
  const auto flushAsked = std::chrono::steady_clock::now();
  ASSERT_TRUE(flushAndWait(*f.ring));
  const auto afterFlush = f.ring->callCounts().flushesRun;
  for (int i = 0; i < 10; ++i) f.ring->requestErrorFlush();
  ASSERT_TRUE(eventually([&] { return f.ring->callCounts().flushesRun == afterFlush + 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - flushAsked, 390ms);
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(f.ring->callCounts().flushesRun, afterFlush + 1);

  std::this_thread::sleep_for(450ms); // long after the last flush: only the minimum delay
  const auto later = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) f.ring->requestErrorFlush();
  ASSERT_TRUE(eventually([&] { return f.ring->callCounts().flushesRun == afterFlush + 2; }));
  const auto waited = std::chrono::steady_clock::now() - later;
  EXPECT_GE(waited, 90ms);
  EXPECT_LT(waited, 350ms);
  EXPECT_EQ(f.ring->callCounts().errorFlush, 20u);
}

TEST(LogRingTest, TheTimerFlushesOnItsOwn) {
  RingFixture f([](LogRing::Config& c) { c.timing.flushPeriod = 30ms; });
  f.ring->start();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "timed", kT0);
  EXPECT_TRUE(eventually([&] { return fs::exists(f.ring->launchDirectory() / "seg-000001.ndjson"); }));
}

// Holds the ring's queue until released, through a callback that runs there.
class QueueBlocker {
public:
  explicit QueueBlocker(LogRing& ring) {
    auto entered = std::make_shared<std::promise<void>>();
    auto enteredFuture = entered->get_future();
    ring.previousExitWasUnclean([entered, release = release_.get_future().share()](bool) {
      entered->set_value();
      release.wait();
    });
    enteredFuture.wait();
  }
  ~QueueBlocker() { release(); }
  void release() {
    if (!released_.exchange(true)) release_.set_value();
  }

private:
  std::promise<void> release_;
  std::atomic<bool> released_{false};
};

TEST(LogRingTest, TheTerminalMarkIsDurableEvenWhenItsFlushCannotRunInTime) {
  RingFixture f([](LogRing::Config& c) { c.timing.terminalWait = 100ms; });
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "last words", kT0);
  QueueBlocker blocker(*f.ring);
  const auto began = std::chrono::steady_clock::now();
  f.ring->markTerminal();
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, 90ms);
  EXPECT_LT(took, 1s);
  const auto onDisk = f.diskManifest();
  EXPECT_TRUE(onDisk.clean);
  ASSERT_TRUE(onDisk.terminal.has_value());
  EXPECT_EQ(onDisk.terminal->reason, "exit");

  blocker.release();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  // The late terminal flush still ran.
  EXPECT_EQ(messagesOf(f.segmentLines("seg-000001.ndjson")), std::vector<std::string>{"last words"});
}

TEST(LogRingTest, ATerminalFlushOvertakenByANewerMarkWritesNothingAndKeepsTheResumePoint) {
  RingFixture f([](LogRing::Config& c) { c.timing.terminalWait = 20ms; });
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "last words", kT0);
  QueueBlocker blocker(*f.ring);
  f.ring->markTerminal();
  // Runs on the queue between the two terminal flushes.
  std::promise<bool> writtenBetween;
  f.ring->previousExitWasUnclean(
      [&](bool) { writtenBetween.set_value(fs::exists(f.ring->launchDirectory() / "seg-000001.ndjson")); });
  f.ring->markTerminal();
  blocker.release();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));

  EXPECT_FALSE(writtenBetween.get_future().get());
  // The newer flush found the line.
  EXPECT_EQ(messagesOf(f.segmentLines("seg-000001.ndjson")), std::vector<std::string>{"last words"});
  EXPECT_EQ(f.ring->queueState().segmentIndex, 1);
}

TEST(LogRingTest, ARequestedFlushWaitsOutAPendingTerminalFlushAndAnswersOnce) {
  RingFixture f;
  f.ring->start();
  ASSERT_TRUE(f.ring->waitUntilIdle(5s));
  auto blocker = std::make_unique<QueueBlocker>(*f.ring);
  std::atomic<int> completions{0};
  f.ring->requestFlush([&] { ++completions; });
  std::thread terminal([&] { f.ring->markTerminal(); }); // pending until the queue is free
  std::this_thread::sleep_for(50ms);
  blocker.reset();
  terminal.join();
  ASSERT_TRUE(eventually([&] { return completions.load() == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(completions.load(), 1);
  EXPECT_TRUE(f.diskManifest().clean);
}

TEST(LogRingTest, ClosingTheRingStillAnswersAFlushThatWaitsForItsRetry) {
  TempDirectory root;
  LogStore store;
  std::atomic<int> completions{0};
  {
    auto config = ringConfig(root.path(), store);
    config.timing.flushRetryInterval = 10s;
    LogRing ring(std::move(config));
    ring.start();
    ASSERT_TRUE(ring.waitUntilIdle(5s));
    auto blocker = std::make_unique<QueueBlocker>(ring);
    ring.requestFlush([&] { ++completions; });
    std::thread terminal([&] { ring.markTerminal(); });
    std::this_thread::sleep_for(50ms);
    blocker.reset();
    terminal.join();
  }
  EXPECT_EQ(completions.load(), 1);
}

TEST(LogRingTest, StoppingWritesEveryEarlierLineJoinsTheThreadAndLeavesLaterCallsHarmless) {
  RingFixture f;
  f.ring->start();
  std::promise<pid_t> queueThread;
  f.ring->previousExitWasUnclean([&](bool) { queueThread.set_value(::gettid()); });
  const pid_t tid = queueThread.get_future().get();
  appendEntry(f.store, Level::notice, Log::subsystem(), "app", "last words", kT0);
  f.ring->stop();
  // No waiting: the last flush has run when stop() returns.
  EXPECT_EQ(messagesOf(f.segmentLines("seg-000001.ndjson")), std::vector<std::string>{"last words"});
  EXPECT_EQ(f.diskManifest().entryCount, 1);
  EXPECT_TRUE(runtime::test::threadHasEnded(tid, 5s));

  // Afterwards no flush runs, not even the terminal mark's forced one; the mark itself is still
  // committed, and a requested flush still answers once.
  appendEntry(f.store, Level::error, Log::subsystem(), "app", "too late", kT0);
  f.ring->requestErrorFlush();
  std::atomic<int> completions{0};
  f.ring->requestFlush([&] { ++completions; });
  EXPECT_EQ(completions.load(), 1);
  f.ring->markTerminal();
  f.ring->stop();
  EXPECT_FALSE(f.ring->waitUntilIdle(5s));
  // The closed queue cannot be asked: no made-up state comes back.
  EXPECT_THROW((void)f.ring->queueState(), std::runtime_error);
  EXPECT_FALSE(fs::exists(f.ring->launchDirectory() / "seg-000002.ndjson"));
  EXPECT_TRUE(f.diskManifest().clean);
}

TEST(LogRingTest, AStoppedRingStillAnswersItsQuestions) {
  RingFixture f;
  const fs::path earlier = makeLaunch(f.root.path(), 1, false, "2026-01-01T00:00:00.000Z");
  f.ring->start();
  f.ring->stop();

  // A closed queue would drop the questions; the settings and the export wait for the answers.
  std::promise<bool> unclean;
  f.ring->previousExitWasUnclean([&](bool value) { unclean.set_value(value); });
  std::promise<std::vector<fs::path>> launches;
  f.ring->launchesForExport(std::nullopt, [&](std::vector<fs::path> value) { launches.set_value(std::move(value)); });
  auto uncleanAnswer = unclean.get_future();
  auto launchesAnswer = launches.get_future();
  ASSERT_EQ(uncleanAnswer.wait_for(2s), std::future_status::ready);
  ASSERT_EQ(launchesAnswer.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(uncleanAnswer.get());
  EXPECT_EQ(launchesAnswer.get(), (std::vector<fs::path>{f.ring->launchDirectory(), earlier}));
}

} // namespace
} // namespace pd::diagnostics::test
