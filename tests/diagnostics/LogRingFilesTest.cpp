#include "RingTestSupport.hpp"

#include "platform/json/DecodingError.hpp"
#include "platform/paths/Paths.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <regex>

namespace pd::diagnostics::test {
namespace {

std::vector<std::string> keysOf(const std::string& json) {
  std::vector<std::string> keys;
  const auto parsed = nlohmann::ordered_json::parse(json);
  for (const auto& item : parsed.items()) keys.push_back(item.key());
  return keys;
}

LogRing::Manifest fullManifest() {
  LogRing::Manifest manifest;
  manifest.launchID = "0A2B6D9E-6B0E-4C5F-9A51-7F3E2D1C0B9A";
  manifest.pid = 321;
  manifest.startedAt = "2026-03-01T18:04:05.123Z";
  manifest.seq = 7;
  manifest.entryCount = 12;
  manifest.segments = {{"seg-000001.ndjson", 12, 3400, "2026-03-01T18:04:05.200Z", "2026-03-01T18:04:06.000Z"}};
  manifest.appleSegments = {{"apple-000001.ndjson", 1, 200, std::nullopt, std::nullopt}};
  manifest.terminalTracked = true;
  manifest.terminal = LogRing::Terminal{"exit", "2026-03-01T19:00:00.000Z"};
  return manifest;
}

TEST(LogRingManifestTest, EncodesCompactWithKeysInByteOrderAndReadsBack) {
  const auto manifest = fullManifest();
  const std::string json = manifest.encode();
  EXPECT_EQ(json.find(' '), std::string::npos);
  EXPECT_EQ(keysOf(json),
            (std::vector<std::string>{"apple_segments", "clean", "entry_count", "launch_id", "pid", "segments", "seq",
                                      "started_at", "terminal", "terminal_tracked", "truncated", "vocab_version"}));
  EXPECT_NE(json.find(R"({"at":"2026-03-01T19:00:00.000Z","reason":"exit"})"), std::string::npos);
  EXPECT_NE(json.find(R"({"bytes":200,"entries":1,"file":"apple-000001.ndjson"})"), std::string::npos);
  EXPECT_NE(json.find(R"({"bytes":3400,"entries":12,"file":"seg-000001.ndjson",)"
                      R"("first_ts":"2026-03-01T18:04:05.200Z","last_ts":"2026-03-01T18:04:06.000Z"})"),
            std::string::npos);
  EXPECT_EQ(LogRing::Manifest::decode(json), manifest);

  LogRing::Manifest bare = manifest;
  bare.seq.reset();
  bare.terminal.reset();
  bare.terminalTracked.reset();
  const auto bareKeys = keysOf(bare.encode());
  for (const char* absent : {"seq", "terminal", "terminal_tracked"}) {
    EXPECT_EQ(std::count(bareKeys.begin(), bareKeys.end(), absent), 0) << absent;
  }
  EXPECT_EQ(bare.encode().find("null"), std::string::npos);
  EXPECT_EQ(LogRing::Manifest::decode(bare.encode()), bare);
}

TEST(LogRingManifestTest, DecodingDemandsTheRequiredKeysAndIgnoresUnknownOnes) {
  auto tree = nlohmann::json::parse(fullManifest().encode());
  tree["added_later"] = {1, 2};
  EXPECT_NO_THROW(LogRing::Manifest::decode(tree.dump()));
  for (const char* required : {"vocab_version", "launch_id", "pid", "started_at", "clean", "truncated", "entry_count",
                               "segments", "apple_segments"}) {
    auto damaged = tree;
    damaged.erase(required);
    EXPECT_THROW(LogRing::Manifest::decode(damaged.dump()), platform::json::DecodingError) << required;
  }
  auto mistyped = tree;
  mistyped["clean"] = "yes";
  EXPECT_THROW(LogRing::Manifest::decode(mistyped.dump()), platform::json::DecodingError);
  auto hugePid = tree;
  hugePid["pid"] = 1LL << 40;
  EXPECT_THROW(LogRing::Manifest::decode(hugePid.dump()), platform::json::DecodingError);
  EXPECT_THROW(LogRing::Manifest::decode("[]"), platform::json::DecodingError);
  EXPECT_THROW(LogRing::Manifest::decode("{\"launch_id\":"), platform::json::DecodingError);
}

TEST(LogRingFilesTest, LaunchSequenceCountsOnAndRestartsFromDamage) {
  TempDirectory root;
  EXPECT_EQ(LogRing::nextLaunchSequence(root.path()), 1);
  EXPECT_EQ(readText(root / "launch.seq"), "1");
  EXPECT_EQ(LogRing::nextLaunchSequence(root.path()), 2);

  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"  41 \n", 42},
      {"letters", 1},
      {"", 1},
      {"-5", -4},
      {"+7", 8},
      {"4 2", 1},
      {"99999999999999999999", 1},
      {std::to_string(std::numeric_limits<std::int64_t>::max()), 1}};
  for (const auto& [stored, next] : cases) {
    writeText(root / "launch.seq", stored);
    EXPECT_EQ(LogRing::nextLaunchSequence(root.path()), next) << '"' << stored << '"';
    EXPECT_EQ(readText(root / "launch.seq"), std::to_string(next));
  }

  // With launches on disk, damage restarts the count above the newest of them.
  makeLaunch(root.path(), 40, true, "2026-01-01T00:00:00.000Z");
  makeLaunch(root.path(), 41, false, "2026-01-02T00:00:00.000Z");
  for (const char* stored : {"letters", "7"}) {
    writeText(root / "launch.seq", stored);
    EXPECT_EQ(LogRing::nextLaunchSequence(root.path()), 42) << '"' << stored << '"';
  }
  fs::remove(root / "launch.seq");
  EXPECT_EQ(LogRing::nextLaunchSequence(root.path()), 42);
}

TEST(LogRingFilesTest, OnlyFoldersNamedAsLaunchesCount) {
  TempDirectory root;
  const auto launch = makeLaunch(root.path(), 1, true, "2026-01-01T00:00:00.000Z");
  fs::create_directories(root / "diagnostics");
  fs::create_directories(root / "0A2B6D9E-6B0E-4C5F-9A51-7F3E2D1C0B9"); // one digit short
  writeText(root / "11111111-2222-3333-4444-555555555555", "a file, not a folder");
  fs::create_directory_symlink(launch, root / "22222222-2222-3333-4444-555555555555");
  writeText(root / "diagnostics" / "big.json", std::string(4096, 'x'));
  EXPECT_EQ(LogRing::listLaunchDirectories(root.path()), std::vector<fs::path>{launch});
  EXPECT_TRUE(LogRing::isLaunchDirectoryName("0a2b6d9e-6b0e-4c5f-9a51-7f3e2d1c0b9a"));
  EXPECT_FALSE(LogRing::isLaunchDirectoryName("0A2B6D9E_6B0E-4C5F-9A51-7F3E2D1C0B9A"));
  EXPECT_FALSE(LogRing::isLaunchDirectoryName("0A2B6D9E-6B0E-4C5F-9A51-7F3E2D1C0B9G"));
}

TEST(LogRingFilesTest, OrderKeysPutNumberedLaunchesAfterUnnumberedOnes) {
  TempDirectory root;
  const auto numbered = makeLaunch(root.path(), 3, true, "2026-01-01T00:00:00.000Z");
  EXPECT_EQ(LogRing::launchSortKey(numbered, LogRing::Manifest::read(numbered)),
            "000000000003|2026-01-01T00:00:00.000Z");
  auto negative = *LogRing::Manifest::read(numbered);
  negative.seq = -4;
  EXPECT_EQ(LogRing::launchSortKey(numbered, negative), "-00000000004|2026-01-01T00:00:00.000Z");
  negative.seq.reset();
  EXPECT_EQ(LogRing::launchSortKey(numbered, negative), "000000000000|2026-01-01T00:00:00.000Z");

  const fs::path bare = root / newLaunchID();
  fs::create_directories(bare);
  const std::string key = LogRing::launchSortKey(bare, std::nullopt);
  // Unnumbered, under the folder's own time.
  EXPECT_TRUE(std::regex_match(key, std::regex(R"(000000000000\|20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << key;
  EXPECT_LT(key, LogRing::launchSortKey(numbered, LogRing::Manifest::read(numbered)));
  EXPECT_EQ(LogRing::launchSortKey(root / newLaunchID(), std::nullopt), "000000000000|"); // no such folder
}

TEST(LogRingFilesTest, PruneKeepsFiveLaunchesAndProtectsCurrentAndNewestUnclean) {
  TempDirectory root;
  std::vector<fs::path> launches;
  for (int i = 1; i <= 7; ++i) launches.push_back(makeLaunch(root.path(), i, true, "2026-01-01T00:00:00.000Z"));
  fs::create_directories(root / "diagnostics");
  const std::string current = launches.back().filename().string();

  const auto result = LogRing::prune(root.path(), current, LogRing::Limits{});
  EXPECT_EQ(result.deleted, 2);
  EXPECT_EQ(result.kept, 5);
  EXPECT_FALSE(fs::exists(launches[0]));
  EXPECT_FALSE(fs::exists(launches[1]));
  EXPECT_TRUE(fs::exists(launches[2]));
  EXPECT_TRUE(fs::exists(root / "diagnostics"));
  EXPECT_EQ(result.sizeBytes, [&] {
    std::uint64_t total = 0;
    for (const auto& launch : LogRing::listLaunchDirectories(root.path())) total += LogRing::directorySize(launch);
    return total;
  }());

  // The oldest launch is the newest one that did not end cleanly: it survives, its neighbour goes.
  TempDirectory ring2;
  std::vector<fs::path> second;
  for (int i = 1; i <= 6; ++i) second.push_back(makeLaunch(ring2.path(), i, i != 1, "2026-01-01T00:00:00.000Z"));
  const auto protectedResult = LogRing::prune(ring2.path(), second.back().filename().string(), LogRing::Limits{});
  EXPECT_EQ(protectedResult.deleted, 1);
  EXPECT_TRUE(fs::exists(second[0]));
  EXPECT_FALSE(fs::exists(second[1]));
}

TEST(LogRingFilesTest, OversizedCurrentLaunchLeavesOnlyTheProtectedFolders) {
  TempDirectory root;
  const auto oldest = makeLaunch(root.path(), 1, true, "2026-01-01T00:00:00.000Z");
  const auto unclean = makeLaunch(root.path(), 2, false, "2026-01-02T00:00:00.000Z");
  const auto newerClean = makeLaunch(root.path(), 3, true, "2026-01-03T00:00:00.000Z");
  const auto current = makeLaunch(root.path(), 4, false, "2026-01-04T00:00:00.000Z");
  // A sparse file: counted by its size, cheap on disk.
  writeText(current / "seg-000001.ndjson", "");
  ASSERT_EQ(::truncate((current / "seg-000001.ndjson").c_str(), 60LL * 1024 * 1024), 0);

  const auto result = LogRing::prune(root.path(), current.filename().string(), LogRing::Limits{});
  EXPECT_EQ(result.deleted, 2);
  EXPECT_EQ(result.kept, 2);
  EXPECT_GT(result.sizeBytes, LogRing::Limits{}.maxRingBytes);
  EXPECT_FALSE(fs::exists(oldest));
  EXPECT_FALSE(fs::exists(newerClean));
  EXPECT_TRUE(fs::exists(unclean));
  EXPECT_TRUE(fs::exists(current));
}

TEST(LogRingFilesTest, PreviousExitVerdict) {
  TempDirectory root;
  const std::string current = newLaunchID();
  fs::create_directories(root / current);
  EXPECT_EQ(LogRing::previousExitStatus(root.path(), current), "unknown");
  makeLaunch(root.path(), 1, false, "2026-01-01T00:00:00.000Z");
  makeLaunch(root.path(), 2, true, "2026-01-02T00:00:00.000Z");
  EXPECT_EQ(LogRing::previousExitStatus(root.path(), current), "clean");
  const auto newest = makeLaunch(root.path(), 3, true, "2026-01-03T00:00:00.000Z");
  fs::remove(newest / "manifest.json"); // now it sorts first of all, as number 0
  EXPECT_EQ(LogRing::previousExitStatus(root.path(), current), "clean");
  makeLaunch(root.path(), 4, false, "2026-01-04T00:00:00.000Z");
  EXPECT_EQ(LogRing::previousExitStatus(root.path(), current), "unclean");
}

TEST(LogRingFilesTest, ExportSelectionPutsTheRunningLaunchFirstThenNewestToOldest) {
  TempDirectory root;
  const auto a = makeLaunch(root.path(), 1, true, "2026-01-01T00:00:00.000Z");
  const auto b = makeLaunch(root.path(), 2, true, "2026-01-02T00:00:00.000Z");
  const auto c = makeLaunch(root.path(), 3, false, "2026-01-03T00:00:00.000Z");
  const std::string current = c.filename().string();
  using Paths = std::vector<fs::path>;
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 1, current), Paths{c});
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 3, current), (Paths{c, b, a}));
  EXPECT_EQ(LogRing::exportLaunches(root.path(), std::nullopt, current), (Paths{c, b, a}));
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 10, current), (Paths{c, b, a}));
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 0, current), Paths{});

  // The running launch leads even when its key is not the greatest.
  const auto d = makeLaunch(root.path(), 9, true, "2026-01-04T00:00:00.000Z");
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 1, current), Paths{c});
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 3, current), (Paths{c, d, b}));
  // Without its folder the newest launches by key are taken.
  EXPECT_EQ(LogRing::exportLaunches(root.path(), 2, newLaunchID()), (Paths{d, c}));
}

TEST(LogRingFilesTest, WithoutAFolderOfOurOwnTheRootIsNoNameAnotherUserCouldTake) {
  TempDirectory shared; // stands in for /tmp, whose mode no test may touch
  using pd::testing::ScopedEnvironment;
  ScopedEnvironment tmp("TMPDIR", shared.path().string()), home("HOME", std::nullopt),
      data("XDG_DATA_HOME", std::nullopt), caches("XDG_CACHE_HOME", std::nullopt);
  const std::string app(platform::paths::applicationID());
  // Another user took our private temporary name first, and planted a link at the ring's.
  fs::create_directory(shared.path() / (app + "-" + std::to_string(::geteuid())));
  fs::permissions(shared.path() / (app + "-" + std::to_string(::geteuid())), fs::perms::all);
  fs::create_directory(shared.path() / "planted");
  fs::create_directory_symlink(shared.path() / "planted", shared.path() / (app + "-LogRing"));

  const fs::path root = LogRing::rootDirectory();
  struct stat info {};
  ASSERT_EQ(::lstat(root.c_str(), &info), 0) << root;
  EXPECT_TRUE(S_ISDIR(info.st_mode)) << root << " is not a folder of its own";
  EXPECT_EQ(info.st_uid, ::geteuid());
  EXPECT_EQ(info.st_mode & 07777, 0700u);
}

} // namespace
} // namespace pd::diagnostics::test
