#include "mediaserver/LibraryTestFiles.hpp"
#include "mediaserver/LibraryTestSupport.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "platform/text/Text.hpp"
#include "support/ChildProcess.hpp"
#include "support/HungMount.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <limits>

namespace pd::mediaserver {
namespace {

using test::awaitTask;
using Library = MacLocalVideoLibrary;

struct LibraryFixture : ::testing::Test {
  test::TempFolder videos;
  test::TempFolder caches;
  test::FolderSetting folder;
  std::shared_ptr<Library> library;

  void SetUp() override {
    folder.set(videos.path().string());
    library = makeLibrary({});
  }
  std::shared_ptr<Library> makeLibrary(Library::Limits limits) {
    return Library::create(
        {folder.getter(), [] { return std::optional<std::string>("localFiles"); }, caches.path(), limits, {}});
  }
  std::vector<std::string> names(const std::string& query) {
    std::vector<std::string> found;
    for (const auto& entry : awaitTask([lib = library, query]() { return lib->search(query); })) {
      found.push_back(entry.url.filename().string());
    }
    return found;
  }
  std::optional<Library::Entry> lookup(const std::string& id) {
    return awaitTask([lib = library, id]() { return lib->entry(id); });
  }
};

bool userAttributesWork(const std::filesystem::path& file) {
  if (::setxattr(file.c_str(), "user.probe", "1", 1, 0) == 0) {
    ::removexattr(file.c_str(), "user.probe");
    return true;
  }
  return false;
}

TEST_F(LibraryFixture, ScanListsReadableVideosBelowTheFolderInFileBrowserOrder) {
  videos.file("Clip 10.mov");
  videos.file("Clip 2.mov");
  videos.file("sub/deeper/Deep.MP4");
  videos.file("Package.mp4/inner.m4v"); // a folder with a video's name is entered, not listed
  videos.file(".hidden.mp4");
  videos.file(".cache/inside.mp4");
  videos.file("notes.txt");
  videos.file("clip.mp4.part");
  std::filesystem::create_symlink(videos.path() / "Clip 2.mov", videos.path() / "link.mp4");
  std::filesystem::create_symlink(videos.path() / "sub", videos.path() / "linked folder");
  EXPECT_EQ(names(""), (std::vector<std::string>{"Clip 2.mov", "Clip 10.mov", "Deep.MP4", "inner.m4v"}));
  EXPECT_EQ(names("  \u3000 "), names(""));
}

// The scan sorts by keys made once per name; they must order every pair as the comparison does:
// numbers by value, case and width alike, accents apart, ties broken by the bytes.
TEST(FileNameOrderTest, SortKeysOrderEveryPairAsTheComparisonDoes) {
  const platform::text::FileNameOrder order;
  const std::vector<std::string> names = {"",        "Clip", "Clip 1", "Clip 2", "Clip 10", "clip 2", "\uFF23lip 2",
                                          "Clip 02", "e",    "E",      "\u00E9", "e\u0301", "a.b",    "a",
                                          "\xff",    "\xfe", "z"};
  const auto sign = [](auto value) { return (value > 0) - (value < 0); };
  for (const auto& a : names) {
    for (const auto& b : names) {
      EXPECT_EQ(sign(order.sortKey(a).compare(order.sortKey(b))), sign(order.compare(a, b))) << a << " / " << b;
    }
  }
}

TEST_F(LibraryFixture, TreesDeeperThanTheDescriptorBudgetAreWalkedWhole) {
  std::string deep;
  for (int level = 0; level < 300; ++level) {
    deep += "d/";
  }
  videos.file(deep + "Bottom.mp4");
  videos.file("d/Top.mp4");
  // Room for a few descriptors besides those open now, far fewer than the tree's levels.
  const auto open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit tight = before;
  tight.rlim_cur = static_cast<rlim_t>(open + 40);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<std::string> found;
  try {
    found = names("");
  } catch (...) {}
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_EQ(found, (std::vector<std::string>{"Bottom.mp4", "Top.mp4"}));
}

TEST_F(LibraryFixture, QueryTermsMatchAcrossWidthCaseAndCompositionAndAllMustMatch) {
  videos.file("Clip 2.mov");
  videos.file("Clip 10.mov");
  videos.file("Holiday.MP4");
  videos.file("\u30AB\u30BF\u30AB\u30CA video.mp4");
  videos.file("Cafe\u0301.m4v");
  EXPECT_EQ(names("\uFF23\uFF2C\uFF29\uFF30"), (std::vector<std::string>{"Clip 2.mov", "Clip 10.mov"}));
  EXPECT_EQ(names("clip\u300010"), (std::vector<std::string>{"Clip 10.mov"}));
  EXPECT_EQ(names("mp4"), (std::vector<std::string>{"Holiday.MP4", "\u30AB\u30BF\u30AB\u30CA video.mp4"}));
  EXPECT_EQ(names("\uFF76\uFF80\uFF76\uFF85"), (std::vector<std::string>{"\u30AB\u30BF\u30AB\u30CA video.mp4"}));
  EXPECT_EQ(names("caf\u00E9"), (std::vector<std::string>{"Cafe\u0301.m4v"}));
  EXPECT_TRUE(names("clip holiday").empty());
}

TEST_F(LibraryFixture, ScanCapsFoundAtFiveThousandSilentlyAndVisitedWithALogLine) {
  for (int i = 0; i < 6000; ++i) {
    videos.file("v/" + std::to_string(100000 + i) + ".mp4");
  }
  test::CategoryLines lines("source");
  auto all = awaitTask([lib = library]() { return lib->search(""); });
  EXPECT_EQ(all.size(), 50u);
  // The walk takes names in byte order, so the scan keeps exactly the first 5,000.
  EXPECT_EQ(names("104999"), (std::vector<std::string>{"104999.mp4"}));
  EXPECT_TRUE(names("105000").empty());
  EXPECT_TRUE(lines.all().empty());

  // The same tree against a smaller visit budget: the folder "v" counts as the first item.
  library = makeLibrary({.maxVisited = 1000});
  EXPECT_EQ(names("").size(), 50u);
  EXPECT_EQ(lines.all(), (std::vector<std::string>{"local_search_truncated visited=1000 found=998"}));
}

TEST_F(LibraryFixture, MissingUnsetOrNonFolderSettingsFail) {
  auto code = [&] {
    try {
      names("");
    } catch (const LocalSearchError& error) {
      return std::optional(error.searchCode());
    }
    return std::optional<LocalSearchError::Code>();
  };
  folder.set(std::nullopt);
  EXPECT_EQ(code(), LocalSearchError::Code::folderNotSet);
  folder.set("");
  EXPECT_EQ(code(), LocalSearchError::Code::folderNotSet);
  EXPECT_THROW(lookup("file-000000000000000000000000"), LocalSearchError);
  folder.set((videos.path() / "absent").string());
  EXPECT_EQ(code(), LocalSearchError::Code::folderUnreadable);
  folder.set(videos.file("plain.mp4").string());
  EXPECT_EQ(code(), LocalSearchError::Code::folderUnreadable);
}

// Root reads every folder, so the unreadable case runs in a child under an unprivileged uid.
TEST_F(LibraryFixture, UnreadableFolderFailsWithoutStoringAnything) {
  if (const char* child = std::getenv("PD_LIBRARY_UNREADABLE")) {
    folder.set(child);
    try {
      names("");
      FAIL() << "no error";
    } catch (const LocalSearchError& error) {
      EXPECT_EQ(error.searchCode(), LocalSearchError::Code::folderUnreadable);
    }
    return;
  }
  videos.file("closed/a.mp4");
  std::filesystem::permissions(videos.path() / "closed", std::filesystem::perms::none);
  const auto target = (videos.path() / "closed").string();
  std::vector<std::string> command{"/proc/self/exe", "--gtest_filter=LibraryFixture.UnreadableFolder*"};
  std::string program = "/proc/self/exe";
  if (::geteuid() == 0) {
    program = "/usr/bin/setpriv";
    command = {"--reuid=65534", "--regid=65534", "--clear-groups", std::filesystem::read_symlink("/proc/self/exe"),
               "--gtest_filter=LibraryFixture.UnreadableFolder*"};
  } else {
    command.erase(command.begin());
  }
  testing::ChildProcess child(program, command, {"PD_LIBRARY_UNREADABLE=" + target, "HOME=/nonexistent"});
  child.closeStdin();
  std::string output;
  for (const auto& line : child.readAll(std::chrono::seconds(60))) {
    output += line + "\n";
  }
  EXPECT_EQ(child.wait(), 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

TEST_F(LibraryFixture, LookupOfAScannedFileNeedsNoScanAndSurvivesAMetadataOnlyChange) {
  const auto file = videos.file("sub/Clip.mp4", "video bytes");
  const auto scanned = awaitTask([lib = library]() { return lib->search("clip"); });
  ASSERT_EQ(scanned.size(), 1u);
  const auto id = scanned[0].id;
  EXPECT_TRUE(Library::isLocalID(id));
  const auto scans = library->scansRun();

  const auto start = std::chrono::steady_clock::now();
  const auto found = lookup(id);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(found);
  EXPECT_EQ(found->url, file);
  ASSERT_TRUE(found->content);
  EXPECT_EQ(found->content->size, 11);
  EXPECT_EQ(library->scansRun(), scans);
  // The time is recorded, not asserted: a loaded machine would make a bound flaky, and the bench
  // holds the figure.
  RecordProperty("lookup_us", static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));

  // The attribute change date is part of the id; the remembered file still answers for it.
  ::chmod(file.c_str(), 0640);
  EXPECT_TRUE(lookup(id));
  EXPECT_EQ(library->scansRun(), scans);

  // A search scans again: scans keep no value.
  names("clip");
  EXPECT_EQ(library->scansRun(), scans + 1);
}

TEST_F(LibraryFixture, LookupAnswersNothingForFilesOutsideTheCurrentFolder) {
  const auto file = videos.file("Clip.mp4");
  videos.file("other/Other.mp4");
  const auto id = awaitTask([lib = library]() { return lib->search("clip"); }).at(0).id;
  std::filesystem::rename(file, videos.path() / "other" / "Clip.mp4");
  EXPECT_FALSE(lookup(id)); // moved out: the fallback scan does not find it either

  const auto otherID = awaitTask([lib = library]() { return lib->search("other"); }).at(0).id;
  folder.set((videos.path() / "other").string());
  EXPECT_TRUE(lookup(otherID));
  EXPECT_FALSE(lookup("file-000000000000000000000000"));
}

TEST_F(LibraryFixture, OnlyTheFourMostRecentlyScannedFoldersAreRemembered) {
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    videos.file("f" + std::to_string(i) + "/clip.mp4");
    folder.set((videos.path() / ("f" + std::to_string(i))).string());
    ids.push_back(awaitTask([lib = library]() { return lib->search(""); }).at(0).id);
  }
  const auto scans = library->scansRun();
  folder.set((videos.path() / "f1").string());
  EXPECT_TRUE(lookup(ids[1]));
  EXPECT_EQ(library->scansRun(), scans);
  folder.set((videos.path() / "f0").string());
  EXPECT_TRUE(lookup(ids[0]));
  EXPECT_EQ(library->scansRun(), scans + 1);
}

TEST(LibraryIdentityTest, IdsAreFileAndTwentyFourLowerHexDigitsCountedAsCharacters) {
  const std::string digits = "0123456789abcdef01234567";
  EXPECT_TRUE(Library::isLocalID("file-" + digits));
  EXPECT_FALSE(Library::isLocalID("file-" + digits.substr(1)));
  EXPECT_FALSE(Library::isLocalID("file-" + digits + "0"));
  EXPECT_FALSE(Library::isLocalID("file-A" + digits.substr(1)));
  EXPECT_FALSE(Library::isLocalID("File-" + digits));
  EXPECT_FALSE(Library::isLocalID("file-g" + digits.substr(1)));
  // Full-width digits and a-f carry a hex value; full-width A-F are upper case.
  EXPECT_TRUE(Library::isLocalID("file-\uFF10\uFF41" + digits.substr(2)));
  EXPECT_FALSE(Library::isLocalID("file-\uFF21" + digits.substr(1)));
  // A digit with a combining mark is one character but not one hex digit.
  EXPECT_FALSE(Library::isLocalID("file-0\u0301" + digits.substr(1)));
  EXPECT_FALSE(Library::isLocalID(std::string("file-\xff", 6) + digits.substr(1)));
  // CR LF is one character: 29 bytes, but neither is a digit.
  EXPECT_FALSE(Library::isLocalID("file-" + digits.substr(2) + "\r\n"));
}

TEST(LibraryIdentityTest, DatesAreWrittenInFixedNotationWithAFractionAndContainmentNeedsASeparator) {
  EXPECT_EQ(Library::dateText(std::nullopt), "0.0");
  EXPECT_EQ(Library::dateText(100000000.0), "100000000.0");
  EXPECT_EQ(Library::dateText(-978307200.0), "-978307200.0");
  EXPECT_EQ(Library::dateText(786297600.123456789), "786297600.1234568");
  EXPECT_EQ(Library::fileID("/a", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt),
            Library::fileID("/a", -1, 0.0, 0.0, 0.0, 0));
  EXPECT_NE(Library::fileID("/a", 1, 0.0, 0.0, 0.0, 0), Library::fileID("/a", 1, 0.0, 0.0, 1e-9, 0));

  EXPECT_TRUE(Library::isInside("/videos/a/b.mp4", "/videos/a"));
  EXPECT_TRUE(Library::isInside("/videos/a/b.mp4", "/videos/a/"));
  EXPECT_TRUE(Library::isInside("/videos/x/../a/b.mp4", "/videos/a"));
  EXPECT_FALSE(Library::isInside("/videos/a", "/videos/a"));
  EXPECT_FALSE(Library::isInside("/videos/ab/c.mp4", "/videos/a"));
  EXPECT_TRUE(Library::isInside("/b.mp4", "/"));
  EXPECT_FALSE(Library::isInside("/", "/"));
}

TEST(LibraryIdentityTest, GuardFollowsAttributeOnlyChangesAndRefusesContentAndModeChanges) {
  test::TempFolder folder;
  const auto file = folder.file("clip.mp4", "bytes");
  if (!userAttributesWork(file)) {
    GTEST_SKIP() << "user extended attributes are not supported on " << folder.path();
  }
  auto baseline = Library::ContentVersion::read(file, true);
  ASSERT_TRUE(baseline && baseline->extendedAttributes);
  Library::ServingVersionGuard guard(*baseline);
  EXPECT_TRUE(guard.matches(file));
  ASSERT_EQ(::setxattr(file.c_str(), "user.tag", "red", 3, 0), 0);
  EXPECT_TRUE(guard.matches(file));
  EXPECT_NE(guard.baseline().changed, baseline->changed);
  EXPECT_NE(guard.baseline().extendedAttributes, baseline->extendedAttributes);
  ::chmod(file.c_str(), 0604); // the attribute change date moves, the attributes do not
  EXPECT_FALSE(guard.matches(file));

  Library::ServingVersionGuard rewritten(*Library::ContentVersion::read(file, true));
  std::ofstream(file, std::ios::binary | std::ios::app) << "more";
  EXPECT_FALSE(rewritten.matches(file));

  Library::ServingVersionGuard quick(*Library::ContentVersion::read(file, false));
  ASSERT_EQ(::setxattr(file.c_str(), "user.tag", "blue", 4, 0), 0);
  EXPECT_FALSE(quick.matches(file)); // no attribute hash to compare against
}

TEST(LibraryIdentityTest, OnlyRegularFilesHaveAVersionAndAProbeChecksTheId) {
  test::TempFolder folder;
  const auto file = folder.file("clip.mp4", "bytes");
  std::filesystem::create_directory(folder.path() / "dir");
  std::filesystem::create_directory_symlink(folder.path() / "dir", folder.path() / "dirlink");
  std::filesystem::create_symlink(file, folder.path() / "filelink.mp4");
  EXPECT_FALSE(Library::ContentVersion::read(folder.path() / "dir", true));
  EXPECT_FALSE(Library::ContentVersion::read(folder.path() / "dirlink", true));
  EXPECT_FALSE(Library::ContentVersion::read(folder.path() / "filelink.mp4", false));
  EXPECT_FALSE(Library::ContentVersion::read(folder.path() / "absent.mp4", true));
  const auto version = Library::ContentVersion::read(file, true);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->size, 5);
  EXPECT_FALSE(Library::probe(file, "file-000000000000000000000000"));
}

TEST(LibraryIdentityTest, AModificationTimeAtTheBottomOfTheSecondsRangeStaysInThePast) {
  // tmpfs keeps any 64-bit second; most disk file systems clamp to a narrower range.
  const std::filesystem::path shared = "/dev/shm";
  if (!std::filesystem::is_directory(shared) || ::access(shared.c_str(), W_OK) != 0) {
    GTEST_SKIP() << "no writable " << shared;
  }
  test::TempFolder folder(shared);
  const auto file = folder.file("clip.mp4", "bytes");
  constexpr auto seconds = std::numeric_limits<std::int64_t>::min();
  const std::array<timespec, 2> times{timespec{0, UTIME_OMIT}, timespec{seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times.data(), 0), 0);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  if (info.st_mtim.tv_sec != seconds) {
    GTEST_SKIP() << shared << " clamps the modification time";
  }
  const auto version = Library::ContentVersion::read(file, true);
  ASSERT_TRUE(version && version->modified);
  EXPECT_EQ(*version->modified, static_cast<double>(seconds) - 978307200.0);
}

TEST_F(LibraryFixture, ChecksShareTheGuardsAnswer) {
  const auto file = videos.file("clip.mp4", "bytes");
  auto guard = std::make_shared<Library::ServingVersionGuard>(*Library::ContentVersion::read(file, true));
  EXPECT_TRUE(awaitTask([lib = library, file, guard]() { return lib->check("k", file, guard); }));
  std::ofstream(file, std::ios::binary | std::ios::app) << "more";
  EXPECT_FALSE(awaitTask([lib = library, file, guard]() { return lib->check("k", file, guard); }));
}

// Whether every thread of the pool takes a job within the limit: none is held by anyone else.
bool everyThreadAnswers(runtime::ThreadPool& pool, std::chrono::milliseconds limit) {
  struct Meeting {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t arrived = 0;
  };
  auto meeting = std::make_shared<Meeting>();
  const auto count = pool.threadCount();
  for (std::size_t i = 0; i < count; ++i) {
    pool.post([meeting, count, limit] {
      std::unique_lock held(meeting->lock);
      ++meeting->arrived;
      meeting->changed.notify_all();
      meeting->changed.wait_for(held, limit, [&] { return meeting->arrived >= count; });
    });
  }
  std::unique_lock held(meeting->lock);
  return meeting->changed.wait_for(held, limit, [&] { return meeting->arrived >= count; });
}

TEST_F(LibraryFixture, AHungMountHoldsOnlyTheLibrarysOwnThreads) {
  auto mount = std::make_shared<testing::HungMount>();
  library = Library::create({folder.getter(), {}, caches.path(), {}, [mount] { mount->enter(); }});
  const auto file = videos.file("clip.mp4");
  auto guard = std::make_shared<Library::ServingVersionGuard>(Library::ContentVersion{});
  std::vector<runtime::Task<void>> calls;
  auto call = [&](auto body) {
    calls.push_back(
        runtime::spawn(runtime::sharedPool().executor(), [body]() -> runtime::Awaitable<void> { co_await body(); }));
  };
  call([lib = library] { return lib->search(""); });
  call([lib = library] { return lib->entry("file-000000000000000000000000"); });
  for (int i = 0; i < 8; ++i) {
    const auto id = "file-00000000000000000000000" + std::to_string(i);
    call([lib = library, file, guard, i] { return lib->check("k" + std::to_string(i), file, guard); });
    call([lib = library, entry = Library::Entry{id, file, {}}] { return lib->thumbnail(entry); });
    call([lib = library, entry = Library::Entry{id, file, {}}] { return lib->duration(entry); });
  }
  // What one volume's gates let in: a scan, two lookups or checks, four thumbnails, four durations.
  ASSERT_TRUE(mount->waitForEntered(11));
  EXPECT_TRUE(everyThreadAnswers(runtime::sharedPool(), 2s));
  EXPECT_TRUE(everyThreadAnswers(runtime::backgroundPool(), 2s));
  mount->release();
  for (const auto& task : calls) {
    EXPECT_TRUE(runtime::test::waitUntilFinished(task, 10s));
  }
}

TEST(LibrarySettingsTest, SearchSourceIsLocalFilesOnlyForTheExactWord) {
  test::TempFolder caches;
  auto sourceIs = [&](std::optional<std::string> stored) {
    return Library::create({{}, [stored] { return stored; }, caches.path(), {}, {}})->searchSourceIsLocalFiles();
  };
  EXPECT_TRUE(sourceIs("localFiles"));
  EXPECT_FALSE(sourceIs("LocalFiles"));
  EXPECT_FALSE(sourceIs(std::nullopt));
}

} // namespace
} // namespace pd::mediaserver
