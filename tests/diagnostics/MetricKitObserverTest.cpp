#include "RingTestSupport.hpp"

#include "diagnostics/MetricKitObserver.hpp"
#include "platform/metrics/CrashRecord.hpp"
#include "platform/metrics/MetricManager.hpp"

#include <csignal>

namespace pd::diagnostics::test {
namespace {

namespace metrics = platform::metrics;

struct ObserverFixture {
  ObserverFixture() : manager(managerConfig(crashes.path())), observer(folder / "diagnostics", manager) {}
  static metrics::MetricManager::Config managerConfig(const fs::path& crashFolder) {
    metrics::MetricManager::Config config;
    config.crashDirectory = crashFolder;
    config.installCrashHandler = false; // the test process keeps its own signal handling
    return config;
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(observer.directory(), ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDirectory folder;
  TempDirectory crashes;
  metrics::MetricManager manager;
  MetricKitObserver observer;
};

TEST(MetricKitObserverTest, DiagnosticPayloadsAreSummarisedAndStored) {
  LogCapture log;
  ObserverFixture f;
  metrics::DiagnosticPayload payload;
  payload.timeStampBegin = runtime::Clock::WallTime(std::chrono::seconds(1'780'000'000));
  payload.timeStampEnd = payload.timeStampBegin + 1h;
  payload.hangDiagnostics = {{1500ms}, {250900us}};
  f.observer.didReceiveDiagnosticPayloads({payload});
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  EXPECT_EQ(log.lines("diagnostic_received"), std::vector<std::string>{"diagnostic_received crashes=0 hangs=2"});
  EXPECT_EQ(log.lines("hang_diagnostic"),
            (std::vector<std::string>{"hang_diagnostic dur_ms=1500", "hang_diagnostic dur_ms=250"}));
  const auto names = f.files();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(names[0].starts_with("diagnostic-") && names[0].ends_with(".json")) << names[0];
  const auto stored = nlohmann::json::parse(readText(f.observer.directory() / names[0]));
  EXPECT_EQ(stored["timeStampBegin"], "2026-05-28 20:26:40 +0000");
  EXPECT_EQ(stored["timeStampEnd"], "2026-05-28 21:26:40 +0000");
  EXPECT_EQ(stored["hangDiagnostics"][0]["hangDurationMs"], 1500);

  f.observer.didReceiveMetricPayloads({metrics::MetricPayload{}});
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  EXPECT_EQ(log.count("metric_payload_received"), 1u);
  EXPECT_EQ(f.files().size(), 2u);
  EXPECT_TRUE(f.files()[1].starts_with("metrics-"));
}

TEST(MetricKitObserverTest, TheTwentyNewestByCreationStayWhateverTheirNames) {
  ObserverFixture f;
  fs::create_directories(f.observer.directory());
  // Names that sort the other way round from their creation.
  for (int i = 0; i < 20; ++i) {
    writeText(f.observer.directory() / ("metrics-2099" + std::to_string(100 - i) + ".json"), "{}");
    std::this_thread::sleep_for(2ms);
  }
  f.observer.storeDiagnostic("diagnostic", "{}");
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  const auto names = f.files();
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(std::count(names.begin(), names.end(), "metrics-2099100.json"), 0) << "the oldest goes";
  EXPECT_EQ(
      std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.starts_with("diagnostic-"); }), 1);
}

TEST(MetricKitObserverTest, FilesDatedAfterASetBackClockGoBeforeThePayloadsStoredSince) {
  const runtime::Clock::WallTime now(std::chrono::seconds(1'800'000'000));
  const std::vector<MetricKitObserver::StoredFile> files = {
      {"metrics-2031.json", now + 24h * 365}, {"diagnostic-new.json", now - 1min}, {"metrics-old.json", now - 1h}};
  EXPECT_EQ(MetricKitObserver::filesToPrune(files, now, 2), std::vector<fs::path>{"metrics-2031.json"});
}

TEST(MetricKitObserverTest, PayloadsOfOneMillisecondKeepBothFilesInStoringOrder) {
  ObserverFixture f;
  runtime::ManualClock clock;
  runtime::ScopedClock useClock(clock);
  f.observer.storeDiagnostic("diagnostic", R"({"n":1})");
  f.observer.storeDiagnostic("diagnostic", R"({"n":2})");
  f.observer.storeDiagnostic("diagnostic", R"({"n":3})");
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  const auto names = f.files(); // sorted by name, as the export reads them
  ASSERT_EQ(names.size(), 3u);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(nlohmann::json::parse(readText(f.observer.directory() / names[i]))["n"], i + 1) << names[i];
  }
  EXPECT_TRUE(names[1].ends_with("_001.json")) << names[1];
}

TEST(MetricKitObserverTest, AnUnwritableFolderIsReportedAndTheNextStoreTriesAgain) {
  LogCapture log;
  ObserverFixture f;
  writeText(f.observer.directory(), "a file where the folder belongs");
  f.observer.storeDiagnostic("metrics", "{}");
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  EXPECT_EQ(log.count("diagnostic_store_fail err_domain=POSIX"), 1u);
  fs::remove(f.observer.directory());
  f.observer.storeDiagnostic("metrics", "{\"n\":1}");
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  const auto names = f.files();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(readText(f.observer.directory() / names[0]), "{\"n\":1}");
}

TEST(MetricKitObserverTest, AFolderLinkedElsewhereIsNeitherWrittenNorPruned) {
  LogCapture log;
  ObserverFixture f;
  const fs::path elsewhere = f.folder.path() / "Documents";
  fs::create_directories(elsewhere);
  for (int i = 0; i < 25; ++i) writeText(elsewhere / ("letter-" + std::to_string(i) + ".txt"), "mine");
  fs::create_directory_symlink(elsewhere, f.observer.directory());
  f.observer.storeDiagnostic("metrics", "{}");
  f.observer.pruneDiagnostics();
  ASSERT_TRUE(f.observer.waitUntilIdle(5s));
  EXPECT_EQ(log.count("diagnostic_store_fail err_domain=POSIX err_code=40"), 1u);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(elsewhere)) left.push_back(entry.path().filename());
  EXPECT_EQ(left.size(), 25u);
  EXPECT_TRUE(std::all_of(left.begin(), left.end(), [](const std::string& n) { return n.starts_with("letter-"); }));
}

TEST(MetricKitObserverTest, FileNamesFollowTheLocalTime) {
  pd::testing::ScopedEnvironment tz("TZ", std::string("UTC"));
  ::tzset();
  const auto time = runtime::Clock::WallTime(std::chrono::seconds(1'780'000'000)) + 7ms;
  EXPECT_EQ(MetricKitObserver::fileName("metrics", time), "metrics-20260528-202640-007.json");
  EXPECT_EQ(MetricKitObserver::fileName("diagnostic", time, 12), "diagnostic-20260528-202640-007_012.json");
  EXPECT_LT(MetricKitObserver::fileName("diagnostic", time), MetricKitObserver::fileName("diagnostic", time, 1));
  EXPECT_LT(MetricKitObserver::fileName("diagnostic", time, 1), MetricKitObserver::fileName("diagnostic", time + 1ms));
}

class RecordingSubscriber : public metrics::Subscriber {
public:
  void didReceiveDiagnosticPayloads(const std::vector<metrics::DiagnosticPayload>& payloads) override {
    diagnostics.insert(diagnostics.end(), payloads.begin(), payloads.end());
  }
  void didReceiveMetricPayloads(const std::vector<metrics::MetricPayload>& payloads) override {
    metricPayloads.insert(metricPayloads.end(), payloads.begin(), payloads.end());
  }
  std::vector<metrics::DiagnosticPayload> diagnostics;
  std::vector<metrics::MetricPayload> metricPayloads;
};

TEST(MetricManagerTest, RecordsOfEarlierProcessesBecomeDiagnosticPayloadsOnce) {
  TempDirectory crashes;
  writeText(crashes / "crash-999999.rec",
            "pdcrash 1\nversion=1.0.0\nsignal=11\ncode=1\naddr=0x0\npid=999999\ntid=999999\ntime_s=1780000000\n"
            "time_ns=5\nbase=0x55d0\nframe=0x55d1\nframe=0x55d2\nend\n");
  writeText(crashes / "crash-999998.rec", "garbage");
  writeText(crashes / "notes.txt", "left alone");
  RecordingSubscriber subscriber;
  {
    metrics::MetricManager manager(ObserverFixture::managerConfig(crashes.path()));
    manager.add(subscriber);
    manager.deliverMetricsNow();
    ASSERT_TRUE(manager.waitUntilIdle(5s));
    manager.remove(subscriber);
  }
  ASSERT_EQ(subscriber.diagnostics.size(), 1u);
  const auto json = nlohmann::json::parse(subscriber.diagnostics[0].jsonRepresentation());
  EXPECT_EQ(json["timeStampBegin"], "2026-05-28 20:26:40 +0000");
  EXPECT_EQ(json["crashDiagnostics"][0]["diagnosticMetaData"]["signalName"], "SIGSEGV");
  EXPECT_EQ(json["crashDiagnostics"][0]["callStack"], (nlohmann::json{"0x55d1", "0x55d2"}));
  EXPECT_FALSE(fs::exists(crashes / "crash-999999.rec"));
  EXPECT_FALSE(fs::exists(crashes / "crash-999998.rec"));
  EXPECT_TRUE(fs::exists(crashes / "notes.txt"));

  ASSERT_EQ(subscriber.metricPayloads.size(), 1u);
  const auto metricsJson = nlohmann::json::parse(subscriber.metricPayloads[0].jsonRepresentation());
  EXPECT_TRUE(metricsJson.contains("timeStampBegin") && metricsJson.contains("timeStampEnd"));
  EXPECT_GE(metricsJson["cpuMetrics"]["userTimeMs"], 0);
}

TEST(CrashRecordTest, ParsingAcceptsOnlyWellFormedRecords) {
  const std::string good = "pdcrash 1\nsignal=6\ntime_s=100\nfuture_key=whatever\n";
  const auto parsed = metrics::parseCrashRecord(good);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->signal, SIGABRT);
  EXPECT_FALSE(parsed->complete);
  // The handler died in the middle of its last line: the line is ignored, the crash is not.
  const auto cut = metrics::parseCrashRecord(good + "frame=0x12");
  ASSERT_TRUE(cut.has_value());
  EXPECT_TRUE(cut->frames.empty());

  for (const std::string bad :
       {"", "pdcrash 2\nsignal=6\ntime_s=1\n", "pdcrash 1\ntime_s=1\n", "pdcrash 1\nsignal=6\n",
        "pdcrash 1\nsignal=0\ntime_s=1\n", "pdcrash 1\nsignal=6\ntime_s=-1\n",
        "pdcrash 1\nsignal=6\ntime_s=1\ntime_ns=1000000000\n", "pdcrash 1\nsignal=6\ntime_s=1\naddr=12\n",
        "pdcrash 1\nsignal=+6\ntime_s=1\n", "pdcrash 1\nsignal=6\ntime_s=1\nno equals sign\n"}) {
    EXPECT_FALSE(metrics::parseCrashRecord(bad).has_value()) << bad;
  }
  std::string many = "pdcrash 1\nsignal=11\ntime_s=1\n";
  for (int i = 0; i < 100; ++i) many += "frame=0x1\n";
  EXPECT_EQ(metrics::parseCrashRecord(many)->frames.size(), metrics::kMaxCrashFrames);
  EXPECT_FALSE(metrics::parseCrashRecord(many + std::string(metrics::kMaxCrashRecordBytes, 'x')).has_value());
}

} // namespace
} // namespace pd::diagnostics::test
