#include "RingTestSupport.hpp"

#include "diagnostics/LogExporter.hpp"
#include "runtime/MainThread.hpp"

#include <boost/asio/io_context.hpp>

#include <sys/stat.h>

namespace pd::diagnostics::test {
namespace {

using platform::log::Level;
using platform::log::LogStore;

struct ExportFixture {
  ExportFixture() { fs::create_directories(diagnostics()); }
  fs::path root() const { return ring.path() / "LogRing"; }
  fs::path diagnostics() const { return root() / "diagnostics"; }
  LogExporter::Context context(std::string currentLaunchID = newLaunchID()) const {
    return {diagnostics(),       temp.path(), std::move(currentLaunchID), runtime::Clock::current().wall(),
            "Palendrix Display", "4.5.6"};
  }
  std::vector<nlohmann::json> lines(const LogExporter::ExportResult& result) const {
    const std::string text = readText(result.url);
    EXPECT_EQ(static_cast<std::int64_t>(text.size()), result.byteCount);
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    std::vector<nlohmann::json> out;
    for (const auto& line : splitLines(text)) out.push_back(nlohmann::json::parse(line)); // NDJSON, line by line
    return out;
  }
  void payload(const std::string& name, const nlohmann::json& value) const {
    writeText(diagnostics() / name, value.dump());
  }
  // A launch folder whose manifest, written by hand, lists these segments; their files are the
  // caller's to write.
  fs::path launchListing(std::vector<LogRing::Segment> segments, std::vector<LogRing::Segment> appleSegments) const {
    const fs::path launch = root() / newLaunchID();
    fs::create_directories(launch);
    LogRing::Manifest manifest;
    manifest.launchID = launch.filename().string();
    manifest.startedAt = "2026-01-02T00:00:00.000Z";
    manifest.segments = std::move(segments);
    manifest.appleSegments = std::move(appleSegments);
    writeText(launch / "manifest.json", manifest.encode());
    return launch;
  }

  TempDirectory ring;
  TempDirectory temp;
};

TEST(LogExporterTest, AnEmptyRingGivesTheHeaderAlone) {
  ExportFixture f;
  const auto result = LogExporter::writeExport("current", {}, f.context());
  EXPECT_EQ(result.entryCount, 0);
  EXPECT_EQ(result.url.parent_path(), f.temp.path());
  EXPECT_EQ(result.url.filename(), result.suggestedFileName);
  const auto lines = f.lines(result);
  ASSERT_EQ(lines.size(), 1u);
  std::vector<std::string> keys;
  const auto header = nlohmann::ordered_json::parse(splitLines(readText(result.url))[0]);
  for (const auto& item : header.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"type", "app", "version", "build", "os", "device", "scope", "exported_at",
                                            "vocab_version"}));
  EXPECT_EQ(lines[0]["type"], "export_meta");
  EXPECT_EQ(lines[0]["app"], "Palendrix Display");
  EXPECT_EQ(lines[0]["scope"], "current");
  EXPECT_EQ(lines[0]["vocab_version"], 4);
  EXPECT_TRUE(std::string(lines[0]["os"]).starts_with("Linux "));
  EXPECT_TRUE(LogExporter::parseTimestamp(std::string(lines[0]["exported_at"]))) << lines[0]["exported_at"];
  struct stat info {};
  ASSERT_EQ(::stat(result.url.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(LogExporterTest, ThreeLaunchesExportWithTheirSegmentsCurrentFirst) {
  ExportFixture f;
  std::vector<std::string> ids;
  for (int launch = 0; launch < 3; ++launch) {
    LogStore store;
    LogRing ring(ringConfig(f.root(), store));
    ids.push_back(ring.launchID());
    ring.start();
    appendEntry(store, Level::notice, Log::subsystem(), "app", "launch " + std::to_string(launch));
    appendEntry(store, Level::error, "org.pipewire", "core", "no daemon");
    ASSERT_TRUE(flushAndWait(ring));
    if (launch < 2) ring.markTerminal(); // the last one is still running
  }
  LogStore store;
  LogRing current(ringConfig(f.root(), store, ids.back()));
  const auto launches = LogRing::exportLaunches(f.root(), std::nullopt, ids.back());
  const auto result = LogExporter::writeExport("all", launches, f.context(ids.back()));
  const auto lines = f.lines(result);

  std::vector<std::string> order;
  std::int64_t segmentLines = 0;
  for (const auto& line : lines) {
    if (line.contains("type") && line["type"] == "launch") order.push_back(line["launch_id"]);
    if (!line.contains("type")) ++segmentLines;
  }
  EXPECT_EQ(order, (std::vector<std::string>{ids[2], ids[1], ids[0]}));
  EXPECT_EQ(segmentLines, 6); // one own and one platform line per launch
  EXPECT_EQ(result.entryCount, 6);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1]["in_progress"], true);
  EXPECT_EQ(lines[1]["clean"], false);
  EXPECT_FALSE(lines[1].contains("terminal_reason"));
  EXPECT_EQ(lines[2]["msg"], "launch 2");
  EXPECT_EQ(lines[3]["subsystem"], "org.pipewire");
  EXPECT_EQ(lines[4]["type"], "launch");
  EXPECT_EQ(lines[4]["terminal_reason"], "exit");
  EXPECT_EQ(lines[4]["in_progress"], false);
}

TEST(LogExporterTest, DamagedLaunchesLeaveTracesInsteadOfFailing) {
  ExportFixture f;
  const auto noManifest = makeLaunch(f.root(), 1, true, "2026-01-01T00:00:00.000Z");
  fs::remove(noManifest / "manifest.json");
  const fs::path partial = f.root() / newLaunchID();
  fs::create_directories(partial);
  LogRing::Manifest manifest;
  manifest.launchID = partial.filename().string();
  manifest.startedAt = "2026-01-02T00:00:00.000Z";
  manifest.segments = {
      {"seg-000001.ndjson", 1, 0, {}, {}}, {"seg-000002.ndjson", 2, 0, {}, {}}, {"../../escape.ndjson", 1, 0, {}, {}}};
  manifest.appleSegments = {{"apple-000001.ndjson", 5, 0, {}, {}}};
  writeText(partial / "manifest.json", manifest.encode());
  writeText(partial / "seg-000002.ndjson", "{\"msg\":\"kept\"}\n");
  writeText(f.ring.path() / "escape.ndjson", "{\"msg\":\"outside the launch folder\"}\n");

  const auto result = LogExporter::writeExport("all", {partial, noManifest}, f.context());
  const auto lines = f.lines(result);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1]["terminal_tracked"], false); // absent in the manifest
  EXPECT_FALSE(lines[1].contains("terminal_at"));
  EXPECT_EQ(lines[2]["msg"], "kept");
  EXPECT_EQ(lines[3]["type"], "export_note");
  EXPECT_EQ(lines[3]["missing_segments"],
            (nlohmann::json{"seg-000001.ndjson", "../../escape.ndjson", "apple-000001.ndjson"}));
  EXPECT_EQ(lines[4], (nlohmann::json{{"type", "launch"},
                                      {"launch_id", noManifest.filename().string()},
                                      {"truncated", true},
                                      {"in_progress", false}}));
  EXPECT_EQ(result.entryCount, 2);
}

TEST(LogExporterTest, ASegmentCutShortMidLineSpoilsNoLineAfterIt) {
  ExportFixture f;
  const fs::path cut = f.launchListing({{"seg-000001.ndjson", 2, 0, {}, {}}, {"seg-000002.ndjson", 0, 0, {}, {}}},
                                       {{"apple-000001.ndjson", 1, 0, {}, {}}});
  writeText(cut / "seg-000001.ndjson", "{\"msg\":\"whole\"}\n{\"msg\":\"cu");
  writeText(cut / "seg-000002.ndjson", "");
  writeText(cut / "apple-000001.ndjson", "{\"msg\":\"platform\"}");
  const auto next = makeLaunch(f.root(), 1, true, "2026-01-01T00:00:00.000Z");

  const auto result = LogExporter::writeExport("all", {cut, next}, f.context());
  const std::string text = readText(result.url);
  EXPECT_EQ(static_cast<std::int64_t>(text.size()), result.byteCount);
  ASSERT_TRUE(text.ends_with('\n'));
  const auto lines = splitLines(text);
  ASSERT_EQ(lines.size(), 6u) << text;
  EXPECT_EQ(lines[2], "{\"msg\":\"whole\"}");
  EXPECT_EQ(lines[3], "{\"msg\":\"cu"); // the damage stays where it was, as it was
  EXPECT_EQ(lines[4], "{\"msg\":\"platform\"}");
  EXPECT_EQ(nlohmann::json::parse(lines[5])["launch_id"], next.filename().string());
}

TEST(LogExporterTest, ADamagedManifestsCountsNeitherWrapNorLowerTheEntryTotal) {
  ExportFixture f;
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  const fs::path launch =
      f.launchListing({{"seg-000001.ndjson", -7, 0, {}, {}}, {"seg-000002.ndjson", kMax, 0, {}, {}}},
                      {{"apple-000001.ndjson", kMax, 0, {}, {}}});
  for (const char* name : {"seg-000001.ndjson", "seg-000002.ndjson", "apple-000001.ndjson"}) {
    writeText(launch / name, "{\"msg\":\"" + std::string(name) + "\"}\n");
  }

  const auto result = LogExporter::writeExport("all", {launch}, f.context());
  EXPECT_EQ(f.lines(result).size(), 5u);
  EXPECT_EQ(result.entryCount, kMax);
}

TEST(LogExporterTest, ASegmentNamedAgainInADamagedManifestIsCopiedOnce) {
  ExportFixture f;
  const LogRing::Segment own{"seg-000001.ndjson", 2, 0, {}, {}};
  const LogRing::Segment gone{"seg-000002.ndjson", 1, 0, {}, {}};
  const fs::path launch = f.launchListing({own, gone, own, gone, own}, {own});
  writeText(launch / "seg-000001.ndjson", "{\"msg\":\"once\"}\n");

  const auto result = LogExporter::writeExport("all", {launch}, f.context());
  const auto lines = f.lines(result);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2]["msg"], "once");
  EXPECT_EQ(lines[3]["missing_segments"], nlohmann::json{"seg-000002.ndjson"});
  EXPECT_EQ(result.entryCount, 2);
}

TEST(LogExporterTest, PayloadsAreFilteredToTheExportedSpan) {
  ExportFixture f;
  const auto onTime = makeLaunch(f.root(), 1, true, "2026-03-01T12:00:00.000Z");
  const auto aMillisecondLater = makeLaunch(f.root(), 2, true, "2026-03-01T12:00:00.001Z");
  f.payload("diagnostic-1.json", {{"timeStampEnd", "2026-03-01 11:59:00 +0000"}}); // 60 s before the first
  f.payload("diagnostic-2.json", {{"timeStampEnd", 17}, {"timeStampBegin", "2026-03-01T12:30:00Z"}});
  f.payload("diagnostic-3.json", {{"timeStampBegin", "2026-03-01 11:00:00 +0000"}});
  f.payload("metrics-1.json", {{"no", "time"}});
  writeText(f.diagnostics() / "metrics-2.json", "not json");
  f.payload("metrics-3.json", nlohmann::json::array({1, 2}));

  const auto names = [&](const LogExporter::ExportResult& result) {
    std::vector<std::string> out;
    for (const auto& line : f.lines(result)) {
      if (line["type"] == "diagnostic") out.push_back(line["file"]);
    }
    return out;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(names(LogExporter::writeExport("current", {onTime}, f.context())),
            (Names{"diagnostic-1.json", "diagnostic-2.json"}));
  EXPECT_EQ(names(LogExporter::writeExport("recent3", {aMillisecondLater}, f.context())), Names{"diagnostic-2.json"});
  const Names readable{"diagnostic-1.json", "diagnostic-2.json", "diagnostic-3.json", "metrics-1.json",
                       "metrics-3.json"};
  EXPECT_EQ(names(LogExporter::writeExport("all", {aMillisecondLater}, f.context())), readable);
  // Without a launch there is no window: everything readable goes in.
  const auto none = LogExporter::writeExport("current", {}, f.context());
  EXPECT_EQ(names(none), readable);
  EXPECT_EQ(none.entryCount, 5);

  EXPECT_EQ(LogExporter::payloadTime(R"({"timeStampEnd":"2026-03-01 12:00:00 +0100"})"),
            LogExporter::parseTimestamp("2026-03-01T11:00:00.000Z"));
  EXPECT_EQ(LogExporter::payloadTime(R"({"timeStampEnd":"2026-03-01T12:00:00+01:00"})"),
            LogExporter::parseTimestamp("2026-03-01T11:00:00.0Z"));
  EXPECT_FALSE(LogExporter::payloadTime(R"({"timeStampEnd":"2026-02-30 12:00:00 +0000"})"));
  EXPECT_FALSE(LogExporter::payloadTime(R"({"timeStampEnd":"2026-03-01T12:00:00.5Z"})"));
  EXPECT_FALSE(LogExporter::payloadTime(R"([{"timeStampEnd":"2026-03-01 12:00:00 +0000"}])"));
  EXPECT_FALSE(LogExporter::parseTimestamp("2026-03-01T12:00:00Z"));
}

TEST(LogExporterTest, EachExportRemovesTheEarlierOnesAndNothingElse) {
  ExportFixture f;
  TempDirectory outside;
  writeText(outside / "keep-Log-1.ndjson", "someone else's");
  writeText(f.temp / "Older-Log-20240101-000000.ndjson", "unsaved export");
  writeText(f.temp / "notes.ndjson", "not an export");
  writeText(f.temp / "x-Log-1.ndjson.bak", "not an export either");
  fs::create_directories(f.temp / "dir-Log-1.ndjson");
  fs::create_symlink(outside / "keep-Log-1.ndjson", f.temp / "link-Log-1.ndjson");

  const auto first = LogExporter::writeExport("all", {}, f.context());
  EXPECT_FALSE(fs::exists(f.temp / "Older-Log-20240101-000000.ndjson"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(f.temp / "link-Log-1.ndjson")));
  EXPECT_EQ(readText(outside / "keep-Log-1.ndjson"), "someone else's");
  EXPECT_TRUE(fs::exists(f.temp / "notes.ndjson"));
  EXPECT_TRUE(fs::exists(f.temp / "x-Log-1.ndjson.bak"));
  EXPECT_TRUE(fs::is_directory(f.temp / "dir-Log-1.ndjson"));

  // A second export in the same second takes the same name and replaces the first.
  auto context = f.context();
  context.now = std::chrono::floor<std::chrono::seconds>(context.now);
  const auto a = LogExporter::writeExport("all", {}, context);
  context.now += 10ms;
  const auto b = LogExporter::writeExport("all", {}, context);
  EXPECT_EQ(a.url, b.url);
  EXPECT_TRUE(fs::exists(b.url));
  (void)first;
}

TEST(LogExporterTest, NamesAndHeaderValues) {
  pd::testing::ScopedEnvironment tz("TZ", std::string("UTC"));
  ::tzset();
  const auto time = runtime::Clock::WallTime(std::chrono::seconds(1'780'000'000));
  EXPECT_EQ(LogExporter::suggestedFileName(time, "Palendrix Display"), "PalendrixDisplay-Log-20260528-202640.ndjson");
  EXPECT_EQ(LogExporter::suggestedFileName(time, " /:\\ "), "PalendrixDisplay-Log-20260528-202640.ndjson");
  EXPECT_EQ(LogExporter::suggestedFileName(time, "a/b:c"), "abc-Log-20260528-202640.ndjson");

  EXPECT_EQ(LogExporter::osDescription("6.1.0-18-amd64"), "Linux 6.1.0");
  EXPECT_EQ(LogExporter::osDescription("6.18.44-fc-v1272"), "Linux 6.18.44");
  EXPECT_EQ(LogExporter::osDescription("6.5"), "Linux 6.5.0");
  EXPECT_EQ(LogExporter::osDescription("99999999999.1.2"), "Linux 0.1.2");
  EXPECT_EQ(LogExporter::osDescription("weird"), "Linux 0.0.0");

  TempDirectory dir;
  EXPECT_EQ(LogExporter::deviceModel(dir / "missing"), "unknown");
  writeText(dir / "name", "ThinkPad X1\n");
  EXPECT_EQ(LogExporter::deviceModel(dir / "name"), "ThinkPad X1");
  writeText(dir / "name", std::string("Box\xFF\0junk", 9));
  EXPECT_EQ(LogExporter::deviceModel(dir / "name"), "Box\xEF\xBF\xBD");
  writeText(dir / "name", "\n");
  EXPECT_EQ(LogExporter::deviceModel(dir / "name"), "unknown");
}

// Runs the export coroutine on a private main loop until it ends.
LogExporter::ExportResult runExport(LogExporter::RingScope scope, const LogExporter::Environment& environment) {
  boost::asio::io_context loop;
  auto installation = runtime::MainThread::installIoContext(loop);
  auto task = runtime::spawn(runtime::MainThread::executor(),
                             [scope, environment] { return LogExporter::exportRing(scope, environment); });
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!task.isFinished() && std::chrono::steady_clock::now() < deadline) loop.run_one_for(10ms);
  if (!task.isFinished()) throw std::runtime_error("export did not finish");
  return task.state()->result();
}

TEST(LogExporterTest, TheExportFlushesTheRingFirstAndLogsItsOutcome) {
  LogCapture log;
  ExportFixture f;
  LogStore store;
  LogRing ring(ringConfig(f.root(), store));
  ring.start();
  appendEntry(store, Level::notice, Log::subsystem(), "app", "written just before the export");
  const auto result =
      runExport(LogExporter::RingScope::currentLaunch, {&ring, f.diagnostics(), f.temp.path(), "4.5.6"});
  const auto lines = f.lines(result);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["version"], "4.5.6");
  EXPECT_EQ(lines[1]["in_progress"], true);
  EXPECT_EQ(lines[2]["msg"], "written just before the export");
  EXPECT_EQ(log.lines("export_"),
            (std::vector<std::string>{"export_start scope=current", "export_complete scope=current entries=1 size_b=" +
                                                                        std::to_string(result.byteCount)}));

  // A temporary folder that is a file: the export fails, says so and throws.
  writeText(f.temp / "file", "");
  LogCapture failing;
  EXPECT_THROW(runExport(LogExporter::RingScope::all, {&ring, f.diagnostics(), f.temp / "file", "4.5.6"}), PosixError);
  EXPECT_EQ(failing.count("export_fail scope=all err_domain=POSIX err_code=20"), 1u);
  EXPECT_EQ(failing.count("export_complete"), 0u);
}

TEST(LogExporterTest, AnExportStartedAfterTheRingStoppedStillCompletes) {
  ExportFixture f;
  LogStore store;
  LogRing ring(ringConfig(f.root(), store));
  ring.start();
  appendEntry(store, Level::notice, Log::subsystem(), "app", "written before the stop");
  ring.stop(); // as the receiver ends, with an export under way
  const auto lines =
      f.lines(runExport(LogExporter::RingScope::currentLaunch, {&ring, f.diagnostics(), f.temp.path(), "4.5.6"}));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1]["launch_id"], ring.launchID());
  EXPECT_EQ(lines[2]["msg"], "written before the stop");
}

} // namespace
} // namespace pd::diagnostics::test
