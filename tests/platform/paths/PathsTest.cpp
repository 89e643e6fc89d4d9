#include "platform/paths/Paths.hpp"

#include "TestSupport.hpp"

#include "runtime/Error.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace pd::platform::paths {
namespace {

using pd::testing::errnoOf;
using pd::testing::fileNames;
using pd::testing::readText;
using pd::testing::ScopedEnvironment;
using pd::testing::TempDirectory;
namespace fs = std::filesystem;

const std::string kID = "tech.quelbo.PalendrixDisplay";

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(Paths, FollowXdgVariablesAndFallBackToHome) {
  ScopedEnvironment home("HOME", "/home/u");
  ScopedEnvironment data("XDG_DATA_HOME", "/x/data");
  ScopedEnvironment cache("XDG_CACHE_HOME", "relative/cache"); // not absolute: ignored
  ScopedEnvironment config("XDG_CONFIG_HOME", "");
  ScopedEnvironment runtime("XDG_RUNTIME_DIR", std::nullopt);
  EXPECT_EQ(applicationID(), kID);
  EXPECT_EQ(userApplicationSupportDirectory(), fs::path("/x/data"));
  EXPECT_EQ(applicationSupportDirectory(), fs::path("/x/data") / kID);
  EXPECT_EQ(userCachesDirectory(), fs::path("/home/u/.cache"));
  EXPECT_EQ(cachesDirectory(), fs::path("/home/u/.cache") / kID);
  EXPECT_EQ(configDirectory(), fs::path("/home/u/.config") / kID);
  EXPECT_FALSE(userRuntimeDirectory().has_value());
}

TEST(Paths, WithoutHomeOrXdgThereIsNoFolder) {
  ScopedEnvironment home("HOME", std::nullopt);
  ScopedEnvironment data("XDG_DATA_HOME", std::nullopt);
  ScopedEnvironment cache("XDG_CACHE_HOME", std::nullopt);
  ScopedEnvironment config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_FALSE(homeDirectory().has_value());
  EXPECT_FALSE(applicationSupportDirectory().has_value());
  EXPECT_FALSE(cachesDirectory().has_value());
  EXPECT_FALSE(configDirectory().has_value());
}

TEST(Paths, PrivateTemporaryDirectoryIsOursAndComesBack) {
  TempDirectory tmp;
  ScopedEnvironment tmpdir("TMPDIR", tmp.path().string());
  const fs::path expected = tmp / (kID + "-" + std::to_string(::geteuid()));
  EXPECT_EQ(privateTemporaryDirectory(), expected);
  EXPECT_EQ(modeOf(expected), 0700u);
  fs::remove(expected);
  EXPECT_EQ(privateTemporaryDirectory(), expected);
  ASSERT_EQ(::chmod(expected.c_str(), 0750), 0);
  EXPECT_EQ(privateTemporaryDirectory(), expected);
  EXPECT_EQ(modeOf(expected), 0700u) << "a readable folder of ours is tightened";
}

TEST(Paths, RefusesALinkedOrSharedTemporaryDirectory) {
  TempDirectory tmp;
  ScopedEnvironment tmpdir("TMPDIR", tmp.path().string());
  ScopedEnvironment home("HOME", std::nullopt);
  ScopedEnvironment cache("XDG_CACHE_HOME", std::nullopt);
  const fs::path name = tmp / (kID + "-" + std::to_string(::geteuid()));
  fs::create_directory(tmp / "elsewhere");
  ASSERT_EQ(::chmod((tmp / "elsewhere").c_str(), 0755), 0);
  fs::create_directory_symlink(tmp / "elsewhere", name);
  EXPECT_EQ(errnoOf([] { (void)privateTemporaryDirectory(); }), ELOOP);
  EXPECT_EQ(modeOf(tmp / "elsewhere"), 0755u) << "the link's target must not be touched";

  fs::remove(name);
  fs::create_directory(name);
  ASSERT_EQ(::chmod(name.c_str(), 0777), 0);
  EXPECT_EQ(errnoOf([] { (void)privateTemporaryDirectory(); }), EPERM);
  EXPECT_EQ(modeOf(name), 0777u) << "a folder others can write is not ours to fix";

  fs::remove(name);
  pd::testing::writeText(name, "x");
  EXPECT_EQ(errnoOf([] { (void)privateTemporaryDirectory(); }), ENOTDIR);
}

TEST(Paths, TakenTemporaryNameFallsBackToTheCachesFolder) {
  TempDirectory tmp;
  ScopedEnvironment tmpdir("TMPDIR", tmp.path().string());
  ScopedEnvironment cache("XDG_CACHE_HOME", (tmp / "cache").string());
  fs::create_directory(tmp / "elsewhere");
  fs::create_directory_symlink(tmp / "elsewhere", tmp / (kID + "-" + std::to_string(::geteuid())));
  const fs::path expected = tmp / "cache" / kID / "tmp";
  EXPECT_EQ(privateTemporaryDirectory(), expected);
  EXPECT_EQ(modeOf(expected), 0700u);
}

TEST(Paths, PrivateFoldersAreMade0700AndASharedStickyFolderIsLeftAlone) {
  TempDirectory tmp;
  const mode_t previous = ::umask(0);
  std::error_code ec;
  createPrivateDirectories(tmp / "a" / "b", ec);
  ::umask(previous);
  EXPECT_FALSE(ec);
  EXPECT_EQ(modeOf(tmp / "a"), 0700u);
  EXPECT_EQ(modeOf(tmp / "a" / "b"), 0700u);
  // Run as root, /tmp is ours: closing it would lock every other user out of it.
  const fs::path shared = tmp / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  createPrivateDirectories(shared, ec);
  EXPECT_FALSE(ec);
  EXPECT_EQ(modeOf(shared), 01777u);
}

TEST(Paths, RefusesAFolderOfAnotherUser) {
  if (::geteuid() == 0) {
    TempDirectory tmp;
    const fs::path foreign = tmp / "foreign";
    fs::create_directory(foreign);
    ASSERT_EQ(::chmod(foreign.c_str(), 0700), 0);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(errnoOf([&] { ensurePrivateDirectory(foreign); }), EPERM);
  } else {
    EXPECT_EQ(errnoOf([] { ensurePrivateDirectory("/"); }), EPERM);
  }
}

TEST(Paths, RuntimeDirectoryUsesXdgRuntimeDirWhenItExists) {
  TempDirectory tmp;
  ScopedEnvironment tmpdir("TMPDIR", tmp.path().string());
  fs::create_directory(tmp / "run");
  ASSERT_EQ(::chmod((tmp / "run").c_str(), 0700), 0);
  {
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", (tmp / "run").string());
    EXPECT_EQ(runtimeDirectory(), tmp / "run" / kID);
    EXPECT_EQ(modeOf(tmp / "run" / kID), 0700u);
  }
  ScopedEnvironment missing("XDG_RUNTIME_DIR", (tmp / "gone").string());
  EXPECT_EQ(runtimeDirectory(), tmp / (kID + "-" + std::to_string(::geteuid())));
}

TEST(Paths, RuntimeDirectoryThatIsNotOursAloneGivesWayToThePrivateTemporaryOne) {
  TempDirectory tmp;
  ScopedEnvironment tmpdir("TMPDIR", tmp.path().string());
  const fs::path fallback = tmp / (kID + "-" + std::to_string(::geteuid()));
  // A shared folder where another user already took the name.
  fs::create_directory(tmp / "shared");
  ASSERT_EQ(::chmod((tmp / "shared").c_str(), 01777), 0);
  fs::create_directory(tmp / "theirs");
  fs::create_directory_symlink(tmp / "theirs", tmp / "shared" / kID);
  {
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", (tmp / "shared").string());
    EXPECT_EQ(runtimeDirectory(), fallback);
  }
  // Another user's runtime folder, as su leaves it behind.
  fs::path foreign = "/";
  if (::geteuid() == 0) {
    foreign = tmp / "foreign";
    fs::create_directory(foreign);
    ASSERT_EQ(::chmod(foreign.c_str(), 0700), 0);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  }
  ScopedEnvironment runtime("XDG_RUNTIME_DIR", foreign.string());
  EXPECT_EQ(runtimeDirectory(), fallback);
  EXPECT_FALSE(fs::exists(foreign / kID));
}

TEST(Paths, AtomicWriteReplacesWholeAndLeavesNothingBehind) {
  TempDirectory tmp;
  const fs::path file = tmp / "f.json";
  writeFileAtomically(file, "first");
  writeFileAtomically(file, "second", 0640);
  EXPECT_EQ(readText(file), "second");
  EXPECT_EQ(modeOf(file), 0640u);
  EXPECT_EQ(fileNames(tmp.path()), std::vector<std::string>{"f.json"});

  EXPECT_EQ(errnoOf([&] { writeFileAtomically(tmp / "missing" / "f", "x"); }), ENOENT);
  fs::create_directory(tmp / "dir");
  EXPECT_NE(errnoOf([&] { writeFileAtomically(tmp / "dir", "x"); }), 0); // cannot replace a folder
  EXPECT_EQ(fileNames(tmp.path()), (std::vector<std::string>{"dir", "f.json"}));
}

TEST(Paths, AtomicWriteTakesANameUpToTheLongestTheFolderAllows) {
  TempDirectory tmp;
  const std::string longest = std::string(251, 'n') + ".txt"; // 255 bytes, the most a name may have
  writeFileAtomically(tmp / longest, "first");
  writeFileAtomically(tmp / longest, "second");
  EXPECT_EQ(readText(tmp / longest), "second");
  EXPECT_EQ(fileNames(tmp.path()), std::vector<std::string>{longest});
}

} // namespace
} // namespace pd::platform::paths
