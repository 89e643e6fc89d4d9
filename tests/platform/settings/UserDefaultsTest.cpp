#include "platform/settings/UserDefaults.hpp"

#include "platform/log/LogStore.hpp"

#include "TestSupport.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

namespace pd::platform::settings {
namespace {

using pd::testing::fileNames;
using pd::testing::readText;
using pd::testing::TempDirectory;
using pd::testing::writeText;
constexpr auto kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr auto kInt64Min = std::numeric_limits<std::int64_t>::min();

TEST(UserDefaults, AbsentKeysReadAsNothing) {
  UserDefaults d;
  EXPECT_FALSE(d.contains("k"));
  EXPECT_FALSE(d.object("k").has_value());
  EXPECT_FALSE(d.boolean("k"));
  EXPECT_EQ(d.integer("k"), 0);
  EXPECT_EQ(d.real("k"), 0.0);
  EXPECT_FALSE(d.string("k").has_value());
  EXPECT_FALSE(d.array("k").has_value());
}

TEST(UserDefaults, IntegerReadsConvertLikeThePlatform) {
  UserDefaults d;
  d.set("double", 3.9);
  d.set("negDouble", -3.9);
  d.set("hugeDouble", 1e300);
  d.set("tinyDouble", -1e300);
  d.set("str", "  -42xyz");
  d.set("plus", "+7");
  d.set("word", "abc");
  d.set("overflow", "99999999999999999999");
  d.set("underflow", "-99999999999999999999");
  d.set("minimum", "-9223372036854775808");
  d.set("yes", true);
  d.setObject("list", nlohmann::json::array({1, 2}));
  d.setObject("unsignedBig", nlohmann::json(std::uint64_t{18446744073709551615ULL}));
  EXPECT_EQ(d.integer("double"), 3);
  EXPECT_EQ(d.integer("negDouble"), -3);
  EXPECT_EQ(d.integer("hugeDouble"), kInt64Max);
  EXPECT_EQ(d.integer("tinyDouble"), kInt64Min);
  EXPECT_EQ(d.integer("str"), -42);
  EXPECT_EQ(d.integer("plus"), 7);
  EXPECT_EQ(d.integer("word"), 0);
  EXPECT_EQ(d.integer("overflow"), kInt64Max);
  EXPECT_EQ(d.integer("underflow"), kInt64Min);
  EXPECT_EQ(d.integer("minimum"), kInt64Min);
  EXPECT_EQ(d.integer("yes"), 1);
  EXPECT_EQ(d.integer("list"), 0);
  EXPECT_EQ(d.integer("unsignedBig"), kInt64Max);
}

TEST(UserDefaults, BooleanStringAndRealReadsConvertLikeThePlatform) {
  UserDefaults d;
  const char* truthy[] = {"true", "TRUE", "YES", "yes", "1", "  7 apples", "-1"};
  const char* falsy[] = {"false", "no", "NO", "0", "", "x1", "0.5"};
  for (const char* text : truthy) {
    d.set("k", text);
    EXPECT_TRUE(d.boolean("k")) << text;
  }
  for (const char* text : falsy) {
    d.set("k", text);
    EXPECT_FALSE(d.boolean("k")) << text;
  }
  d.set("k", 0.25);
  EXPECT_TRUE(d.boolean("k"));
  EXPECT_EQ(d.string("k"), "0.25");
  d.set("k", 2.0);
  EXPECT_EQ(d.string("k"), "2");
  d.set("k", 8000);
  EXPECT_EQ(d.string("k"), "8000");
  EXPECT_TRUE(d.boolean("k"));
  EXPECT_EQ(d.real("k"), 8000.0);
  d.set("k", false);
  EXPECT_EQ(d.string("k"), "0");
  EXPECT_EQ(d.real("k"), 0.0);
  d.set("k", " +2.5x");
  EXPECT_EQ(d.real("k"), 2.5);
  d.setObject("k", nlohmann::json{{"a", 1}});
  EXPECT_FALSE(d.string("k").has_value());
  EXPECT_FALSE(d.boolean("k"));
  EXPECT_TRUE(d.dictionary("k").has_value());
  EXPECT_FALSE(d.array("k").has_value());
}

TEST(UserDefaults, ObjectKeepsTheStoredType) {
  UserDefaults d;
  d.set("k", 1);
  EXPECT_TRUE(d.object("k")->is_number_integer());
  d.set("k", 1.0); // equal as numbers, but a different stored type
  EXPECT_TRUE(d.object("k")->is_number_float());
  d.set("k", true);
  EXPECT_TRUE(d.object("k")->is_boolean());
  d.set("k", "true");
  EXPECT_TRUE(d.object("k")->is_string());
}

TEST(UserDefaults, RefusesWhatJsonCannotHoldAndRepairsText) {
  UserDefaults d;
  EXPECT_THROW(d.set("k", std::nan("")), std::invalid_argument);
  EXPECT_THROW(d.set("k", std::numeric_limits<double>::infinity()), std::invalid_argument);
  EXPECT_THROW(d.setObject("k", nlohmann::json::array({1.0, NAN})), std::invalid_argument);
  EXPECT_THROW(d.set("k", std::numeric_limits<std::uint64_t>::max()), std::out_of_range);
  EXPECT_FALSE(d.contains("k"));
  d.set("k", std::string_view("a\xFFz"));
  EXPECT_EQ(d.string("k"), "a\xEF\xBF\xBDz");
}

TEST(UserDefaults, ValuesSurviveInTheFileWithTheirTypes) {
  TempDirectory tmp;
  const auto file = tmp / "cfg/defaults.json"; // the folder is made on the first write
  {
    UserDefaults d(file);
    EXPECT_TRUE(d.set("i", -5));
    d.set("d", 2.0);
    d.set("b", false);
    d.set("s", "\xE3\x81\x82/x");
    d.setObject("a", nlohmann::json::array({"x", 1}));
    d.set("gone", 1);
    d.remove("gone");
  }
  UserDefaults reread(file);
  EXPECT_EQ(reread.integer("i"), -5);
  EXPECT_TRUE(reread.object("d")->is_number_float());
  EXPECT_TRUE(reread.object("b")->is_boolean());
  EXPECT_EQ(reread.string("s"), "\xE3\x81\x82/x");
  EXPECT_EQ(*reread.array("a"), nlohmann::json::array({"x", 1}));
  EXPECT_FALSE(reread.contains("gone"));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(UserDefaults, ConcurrentWritersLoseNothingAndLeaveNoTemporaryFiles) {
  TempDirectory tmp;
  const auto file = tmp / "defaults.json";
  UserDefaults d(file);
  std::atomic<int> notifications{0};
  auto connection = d.connectChanged([&](const std::string&) { ++notifications; });
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 12;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&d, t] {
      for (int i = 0; i < kKeysEach; ++i) {
        d.set("t" + std::to_string(t) + "." + std::to_string(i), t * 1000 + i);
        (void)d.integer("t0.0");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(notifications.load(), kThreads * kKeysEach);
  EXPECT_EQ(fileNames(tmp.path()), std::vector<std::string>{"defaults.json"});
  UserDefaults reread(file);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeysEach; ++i) {
      EXPECT_EQ(reread.integer("t" + std::to_string(t) + "." + std::to_string(i)), t * 1000 + i);
    }
  }
}

TEST(UserDefaults, NotifiesRealChangesOutsideTheLock) {
  UserDefaults d;
  std::vector<std::string> keys;
  std::optional<std::int64_t> seenInSlot;
  auto connection = d.connectChanged([&](const std::string& key) {
    keys.push_back(key);
    seenInSlot = d.integer(key); // would deadlock if the lock were held
  });
  d.set("a", 1);
  d.set("a", 1); // no change
  d.set("a", 2);
  d.remove("absent");
  d.remove("a");
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "a", "a"}));
  EXPECT_EQ(seenInSlot, 0);
  connection.disconnect();
  d.set("b", 1);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "a", "a"}));
}

TEST(UserDefaults, DamagedFileIsKeptAsideAtTheFirstWrite) {
  TempDirectory tmp;
  const auto file = tmp / "defaults.json";
  const auto mark = log::LogStore::shared().lastSequence();
  for (const std::string& damaged : {std::string("{\"a\": 1,"), std::string("[1,2]"), std::string("\xFF\xFE")}) {
    std::filesystem::remove(tmp / "defaults.json.corrupt");
    writeText(file, damaged);
    UserDefaults d(file);
    EXPECT_FALSE(d.contains("a"));
    EXPECT_EQ(readText(file), damaged) << "reading must not touch the file";
    EXPECT_TRUE(d.set("b", 2));
    EXPECT_EQ(readText(tmp / "defaults.json.corrupt"), damaged);
    EXPECT_EQ(UserDefaults(file).integer("b"), 2);
  }
  // A sound file is simply replaced.
  UserDefaults d(file);
  d.set("c", 3);
  EXPECT_EQ(readText(tmp / "defaults.json.corrupt"), "\xFF\xFE");
  // Each setting aside is told, or the user would find the settings reset without a trace.
  const auto lines = log::LogStore::shared().entriesAfter(mark);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const log::LogEntry& e) {
                            return e.level == log::Level::error &&
                                   e.message == "defaults_damaged kept_as=defaults.json.corrupt";
                          }),
            3);
}

TEST(UserDefaults, APipeInPlaceOfTheFileDoesNotHoldUpTheFirstRead) {
  TempDirectory tmp;
  const auto file = tmp / "defaults.json";
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  UserDefaults d(file);
  auto read = std::async(std::launch::async, [&d] { return d.contains("a"); });
  const bool answered = read.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
  if (!answered) ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK)); // lets a blocked open return
  ASSERT_TRUE(answered) << "the first read waited for a writer on the pipe";
  EXPECT_FALSE(read.get());
  EXPECT_TRUE(d.set("b", 2));
  EXPECT_TRUE(std::filesystem::is_fifo(tmp / "defaults.json.corrupt"));
  EXPECT_EQ(UserDefaults(file).integer("b"), 2);
}

TEST(UserDefaults, FileThatCannotBeReadIsNeitherSetAsideNorOverwritten) {
  TempDirectory tmp;
  const auto file = tmp / "defaults.json";
  const std::string stored = R"({"oscHost":"10.0.0.2","oscPort":9000})";
  writeText(file, stored);
  UserDefaults d(file);
  const auto mark = log::LogStore::shared().lastSequence();
  {
    pd::testing::ExhaustedDescriptors full;
    EXPECT_FALSE(d.set("sendToIPadTab", "localFile"));
    EXPECT_FALSE(d.remove("oscHost"));
    EXPECT_EQ(d.string("sendToIPadTab"), "localFile");
    EXPECT_FALSE(d.synchronize());
  }
  // One line for the whole run of failed reads, however many accesses met it.
  const auto lines = log::LogStore::shared().entriesAfter(mark);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const log::LogEntry& e) {
                            return e.message == "defaults_read_fail err_code=" + std::to_string(EMFILE);
                          }),
            1);
  EXPECT_EQ(readText(file), stored);
  EXPECT_EQ(fileNames(tmp.path()), (std::vector<std::string>{"defaults.json"}));
  // Once the file reads again, its keys are back and the changes made meanwhile apply on top.
  EXPECT_EQ(d.integer("oscPort"), 9000);
  EXPECT_FALSE(d.contains("oscHost"));
  EXPECT_TRUE(d.synchronize());
  UserDefaults reread(file);
  EXPECT_EQ(reread.integer("oscPort"), 9000);
  EXPECT_EQ(reread.string("sendToIPadTab"), "localFile");
  EXPECT_FALSE(reread.contains("oscHost"));
}

TEST(UserDefaults, FailedWriteKeepsTheValueAndSynchronizeCatchesUp) {
  TempDirectory tmp;
  const auto blocker = tmp / "cfg";
  writeText(blocker, "a file where the folder should be");
  UserDefaults d(blocker / "defaults.json");
  EXPECT_FALSE(d.set("k", 5));
  EXPECT_EQ(d.integer("k"), 5);
  EXPECT_FALSE(d.synchronize());
  std::filesystem::remove(blocker);
  EXPECT_TRUE(d.synchronize());
  EXPECT_EQ(UserDefaults(blocker / "defaults.json").integer("k"), 5);
}

TEST(UserDefaults, StaleTemporaryFilesOfCutShortWritesAreRemovedAndNothingElse) {
  TempDirectory dir;
  UserDefaults d(dir / "defaults.json");
  ASSERT_TRUE(d.set("k", 1));
  const auto age = [&](const std::string& name) {
    const timespec hourAgo{::time(nullptr) - 3600, 0};
    const timespec times[2] = {hourAgo, hourAgo};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << name;
  };
  for (const char* name :
       {".defaults.json.a1B2c3", ".defaults.json.Zz9Yy8", ".other.json.a1B2c3", ".defaults.json.a1B2c"}) {
    writeText(dir / name, "{}");
  }
  std::filesystem::create_directory(dir / ".defaults.json.D1r2e3");
  writeText(dir / "elsewhere", "kept");
  std::filesystem::create_symlink(dir / "elsewhere", dir / ".defaults.json.L1n2k3");
  for (const char* name : {".defaults.json.a1B2c3", ".other.json.a1B2c3", ".defaults.json.a1B2c",
                           ".defaults.json.D1r2e3", ".defaults.json.L1n2k3", "elsewhere", "defaults.json"}) {
    age(name);
  }

  d.removeStaleTemporaryFiles();
  // Only the old one of the settings file's own: the young one may be another writer's.
  EXPECT_EQ(fileNames(dir.path()),
            (std::vector<std::string>{".defaults.json.D1r2e3", ".defaults.json.L1n2k3", ".defaults.json.Zz9Yy8",
                                      ".defaults.json.a1B2c", ".other.json.a1B2c3", "defaults.json", "elsewhere"}));
  EXPECT_EQ(readText(dir / "elsewhere"), "kept");
  EXPECT_EQ(UserDefaults(dir / "defaults.json").integer("k"), 1);
}

TEST(UserDefaults, StandardCanBeReplacedForAScope) {
  UserDefaults& builtIn = UserDefaults::standard();
  UserDefaults mine;
  {
    ScopedStandardUserDefaults scope(mine);
    EXPECT_EQ(&UserDefaults::standard(), &mine);
  }
  EXPECT_EQ(&UserDefaults::standard(), &builtIn);
}

} // namespace
} // namespace pd::platform::settings
