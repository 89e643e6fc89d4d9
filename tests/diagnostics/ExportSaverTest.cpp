// Saving a finished export over the user's chosen file: replaced in one step, never lost.

#include "RingTestSupport.hpp"
#include "support/ChildProcess.hpp"

#include "diagnostics/ExportSaver.hpp"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <utility>

namespace pd::diagnostics::test {
namespace {

using pd::testing::ChildProcess;
using pd::testing::errnoOf;
using pd::testing::fileNames;

class ExportSaverTest : public ::testing::Test {
protected:
  ExportSaverTest() {
    fs::create_directories(out);
    writeText(source, std::string(256 * 1024, 'e'));
  }

  TempDirectory scratch;
  fs::path source = scratch.path() / "export.ndjson";
  fs::path out = scratch.path() / "out";
  fs::path destination = out / "saved.ndjson";
};

TEST_F(ExportSaverTest, ReplacesAnExistingFileKeepingItsPermissionsAndLeavesNothingBeside) {
  writeText(destination, "older");
  fs::permissions(destination, fs::perms::owner_read | fs::perms::owner_write);
  ExportSaver::saveReplacing(source, destination);
  EXPECT_EQ(readText(destination), readText(source));
  EXPECT_EQ(fs::status(destination).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fileNames(out), std::vector<std::string>{"saved.ndjson"});
  EXPECT_TRUE(fs::exists(source)) << "the caller removes the export";
}

TEST_F(ExportSaverTest, ANewFileGetsWhatTheUmaskLeavesOf0644) {
  for (const auto& [mask, expected] : {std::pair<mode_t, unsigned>{077, 0600}, {027, 0640}, {0, 0644}}) {
    fs::remove(destination);
    // In a child: the mask belongs to the whole process.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::umask(mask);
      try {
        ExportSaver::saveReplacing(source, destination);
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "umask " << std::oct << mask;
    EXPECT_EQ(readText(destination), readText(source));
    EXPECT_EQ(static_cast<unsigned>(fs::status(destination).permissions() & fs::perms::all), expected)
        << "umask " << std::oct << mask;
  }
}

TEST_F(ExportSaverTest, ACopyThatFailsHalfwayLeavesTheOldFileWholeAndNoTemporaryCopy) {
  writeText(destination, "the user's older file");
  // A file-size limit stops the copy after 64 KiB, as a full disk would.
  struct rlimit before {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = before;
  limited.rlim_cur = 64 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int error = errnoOf([&] { ExportSaver::saveReplacing(source, destination); });
  ::setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(readText(destination), "the user's older file");
  EXPECT_EQ(fileNames(out), std::vector<std::string>{"saved.ndjson"});
}

TEST_F(ExportSaverTest, AKernelCopyRefusedAfterAnInterruptionOrAPartFinishesByReadingWithoutLossOrRepeat) {
  std::string content;
  for (int i = 0; content.size() < 200 * 1024; ++i) content += std::to_string(i) + ',';
  writeText(source, content);
  for (const int refusal : {EXDEV, ENOSYS, EOPNOTSUPP, EINVAL}) {
    // Interrupted, then an odd-sized part copied by the kernel, interrupted again, then refused.
    int calls = 0;
    ExportSaver::saveReplacing(source, destination, [&](int from, int to, std::size_t) -> ssize_t {
      switch (calls++) {
      case 1: return ::copy_file_range(from, nullptr, to, nullptr, 1001, 0);
      case 0:
      case 2: errno = EINTR; return -1;
      default: errno = refusal; return -1;
      }
    });
    EXPECT_EQ(calls, 4) << "refusal " << refusal;
    const std::string saved = readText(destination);
    EXPECT_TRUE(saved == content) << "refusal " << refusal << ": " << saved.size() << " of " << content.size();
  }
  // A kernel that copies a part and then says 0 before the end, as some file systems do.
  int calls = 0;
  ExportSaver::saveReplacing(source, destination, [&](int from, int to, std::size_t) -> ssize_t {
    return calls++ == 0 ? ::copy_file_range(from, nullptr, to, nullptr, 1001, 0) : 0;
  });
  const std::string saved = readText(destination);
  EXPECT_TRUE(saved == content) << "early 0: " << saved.size() << " of " << content.size();
}

TEST_F(ExportSaverTest, AMissingExportOrFolderFailsWithItsErrno) {
  const auto save = [](const fs::path& from, const fs::path& to) {
    return errnoOf([&] { ExportSaver::saveReplacing(from, to); });
  };
  EXPECT_EQ(save(scratch.path() / "gone.ndjson", destination), ENOENT);
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_EQ(save(source, scratch.path() / "no-folder" / "saved.ndjson"), ENOENT);
  fs::create_directories(out / "a-folder");
  EXPECT_NE(save(source, out / "a-folder"), 0) << "a folder is not replaced by a file";
  EXPECT_EQ(fileNames(out), std::vector<std::string>{"a-folder"});
}

TEST_F(ExportSaverTest, OnAFullDiskTheOldFileStaysWhole) {
  ChildProcess child(PD_LOGRING_TEST_HELPER, {"save-full", (scratch.path() / "mnt").string(), source.string()});
  const auto lines = child.readAll(30s);
  const int status = child.waitStatus();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace for a tiny tmpfs";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(lines, std::vector<std::string>{"error=28 old=intact files=1"}); // ENOSPC
}

} // namespace
} // namespace pd::diagnostics::test
