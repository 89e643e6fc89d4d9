#include "mediaserver/LibraryTestFiles.hpp"
#include "mediaserver/LibraryTestSupport.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/MediaServerTestSupport.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>

namespace pd::mediaserver {
namespace {

using test::awaitTask;
using namespace std::chrono_literals;
using Library = MacLocalVideoLibrary;

// What the ffmpeg tools write, their messages included.
std::string run(const std::string& command) { return pd::testing::commandOutput(command + " 2>&1"); }

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// An id of the library's form, one per name.
std::string idFor(const std::string& name) {
  char hex[25];
  std::snprintf(hex, sizeof hex, "%016zx%08x", std::hash<std::string>()(name), 0U);
  return std::string("file-") + hex;
}

// Clips made once for the suite with the ffmpeg tool.
class Clips : public ::testing::Environment {
public:
  static inline std::unique_ptr<test::TempFolder> folder;
  static std::filesystem::path at(const std::string& name) { return folder->path() / name; }

  void SetUp() override {
    folder = std::make_unique<test::TempFolder>();
    const std::string make = "ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=rate=30:size=";
    run(make + "640x360 -t 2 -c:v libx264 -pix_fmt yuv420p " + quoted(at("landscape.mp4")));
    run("ffmpeg -nostdin -y -v error -i " + quoted(at("landscape.mp4")) + " -c copy -metadata:s:v:0 rotate=90 " +
        quoted(at("portrait.mov")));
    run(make + "320x360 -t 2 -vf setsar=2 -c:v libx264 -pix_fmt yuv420p " + quoted(at("wide pixels.mp4")));
    run(make + "640x360 -t 0.5 -c:v libx264 -pix_fmt yuv420p " + quoted(at("short.mp4")));
    std::ofstream(at("corrupt.mp4"), std::ios::binary) << std::string(4096, '\x42');
  }
  void TearDown() override { folder.reset(); }
};

const auto* const kClips = ::testing::AddGlobalTestEnvironment(new Clips);

struct ThumbnailFixture : ::testing::Test {
  test::TempFolder caches;
  std::shared_ptr<Library> library = Library::create({{}, {}, caches.path(), {}, {}});

  std::optional<std::filesystem::path> thumbnail(const std::string& clip, const std::string& id) {
    return awaitTask(
        [lib = library, entry = Library::Entry{id, Clips::at(clip), {}}]() { return lib->thumbnail(entry); });
  }
};

std::pair<int, int> sizeOf(const std::filesystem::path& image) {
  const auto text =
      run("ffprobe -v error -select_streams v -show_entries stream=width,height -of csv=p=0 " + quoted(image));
  int w = 0;
  int h = 0;
  std::sscanf(text.c_str(), "%d,%d", &w, &h);
  return {w, h};
}

// SSIM of our thumbnail against the ffmpeg tool's rotated frame at 1 s, scaled to the same size.
double similarityToTool(const std::string& clip, const std::filesystem::path& ours) {
  const auto [w, h] = sizeOf(ours);
  const auto reference = ours.parent_path() / "reference.png";
  run("ffmpeg -nostdin -y -v error -ss 1 -i " + quoted(Clips::at(clip)) +
      " -frames:v 1 -vf scale=" + std::to_string(w) + ":" + std::to_string(h) + " " + quoted(reference));
  const auto text = run("ffmpeg -nostdin -v info -i " + quoted(ours) + " -i " + quoted(reference) +
                        " -lavfi '[0:v]format=yuv420p[a];[1:v]format=yuv420p[b];[a][b]ssim' -f null -");
  std::filesystem::remove(reference);
  const auto at = text.find("All:");
  return at == std::string::npos ? 0.0 : std::strtod(text.c_str() + at + 4, nullptr);
}

TEST_F(ThumbnailFixture, FramesAtOneSecondAreTurnedShapedAndFittedLikeTheTool) {
  struct Case {
    std::string clip;
    std::pair<int, int> size;
  };
  for (const auto& c : {Case{"landscape.mp4", {320, 180}}, Case{"portrait.mov", {101, 180}},
                        Case{"wide pixels.mp4", {320, 180}}, Case{"short.mp4", {320, 180}}}) {
    SCOPED_TRACE(c.clip);
    const auto made = thumbnail(c.clip, idFor(c.clip));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->parent_path(), caches.path() / "MacLocalVideoThumbnails");
    EXPECT_EQ(sizeOf(*made), c.size);
    if (c.clip != "short.mp4") { // the tool gives no frame past a clip's end
      EXPECT_GE(similarityToTool(c.clip, *made), 0.9);
    }
  }
}

TEST_F(ThumbnailFixture, UndecodableClipsGiveNothingAndAreTriedAgain) {
  EXPECT_FALSE(thumbnail("corrupt.mp4", idFor("corrupt")));
  std::filesystem::copy_file(Clips::at("landscape.mp4"), Clips::at("corrupt.mp4"),
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_TRUE(thumbnail("corrupt.mp4", idFor("corrupt")));
  std::ofstream(Clips::at("corrupt.mp4"), std::ios::binary | std::ios::trunc) << std::string(4096, '\x42');
}

TEST(ThumbnailIDTest, IdsNotOfTheLibrarysFormNameNoFile) {
  test::TempFolder caches;
  std::atomic<int> fileWork{0};
  auto library = Library::create({{}, {}, caches.path(), {}, [&fileWork] { ++fileWork; }});
  for (const std::string id : {"../../landscape", "file-000000000000000000000/..", "file-ABCDEF000000000000000000",
                               "file-0000000000000000000000000", ""}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(awaitTask(
        [library, entry = Library::Entry{id, Clips::at("landscape.mp4"), {}}]() { return library->thumbnail(entry); }));
  }
  EXPECT_EQ(fileWork, 0);
  EXPECT_TRUE(std::filesystem::is_empty(caches.path() / "MacLocalVideoThumbnails"));
}

TEST_F(ThumbnailFixture, ServedThumbnailsAreTouchedAndOnesRemovedByHandAreMadeAgain) {
  const auto made = thumbnail("landscape.mp4", idFor("served"));
  ASSERT_TRUE(made);
  const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, made->c_str(), old, 0), 0);
  EXPECT_EQ(thumbnail("landscape.mp4", idFor("served")), made);
  struct stat info {};
  ASSERT_EQ(::stat(made->c_str(), &info), 0);
  EXPECT_GT(info.st_mtim.tv_sec, 1'000'000'000);

  std::filesystem::remove(*made);
  EXPECT_EQ(thumbnail("landscape.mp4", idFor("served")), made);
  EXPECT_TRUE(std::filesystem::exists(*made));
}

TEST_F(ThumbnailFixture, ALinkLeftAtAThumbnailsNameIsReplacedNotServed) {
  const auto secret = caches.path() / "secret.txt";
  std::ofstream(secret) << "not a picture";
  const auto name = caches.path() / "MacLocalVideoThumbnails" / (idFor("linked") + ".jpg");
  std::filesystem::create_symlink(secret, name);
  const auto made = thumbnail("landscape.mp4", idFor("linked"));
  ASSERT_EQ(made, name);
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(*made)));
  EXPECT_EQ(sizeOf(*made), (std::pair<int, int>{320, 180}));
  std::string left;
  std::getline(std::ifstream(secret), left);
  EXPECT_EQ(left, "not a picture");
}

TEST_F(ThumbnailFixture, FilesMadeBeforeAreAnsweredInOneGoTouchedAndTheRestLeftToAJob) {
  const auto made = thumbnail("landscape.mp4", idFor("kept"));
  const auto gone = thumbnail("short.mp4", idFor("gone"));
  ASSERT_TRUE(made && gone);
  const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, made->c_str(), old, 0), 0);
  std::filesystem::remove(*gone);
  const std::vector<Library::Entry> entries{{idFor("kept"), Clips::at("landscape.mp4"), {}},
                                            {idFor("never made"), Clips::at("landscape.mp4"), {}},
                                            {"file-NOT-OURS", Clips::at("landscape.mp4"), {}},
                                            {idFor("gone"), Clips::at("short.mp4"), {}}};
  const auto kept = awaitTask([lib = library, entries]() { return lib->keptThumbnails(entries); });
  EXPECT_EQ(kept, (std::vector<std::optional<std::filesystem::path>>{made, std::nullopt, std::nullopt, std::nullopt}));
  struct stat info {};
  ASSERT_EQ(::stat(made->c_str(), &info), 0);
  EXPECT_GT(info.st_mtim.tv_sec, 1'000'000'000);
  // The file that vanished is forgotten, so its job makes it again.
  EXPECT_EQ(thumbnail("short.mp4", idFor("gone")), gone);
  EXPECT_TRUE(std::filesystem::exists(*gone));
}

TEST(ThumbnailPurgeTest, StartUpKeepsTheNewestTwoThousandWithinThirtyDays) {
  test::TempFolder caches;
  const auto folder = caches.path() / "MacLocalVideoThumbnails";
  std::filesystem::create_directories(folder);
  const auto now = std::time(nullptr);
  auto make = [&](const std::string& name, std::time_t when) {
    std::ofstream(folder / name) << "j";
    const timespec times[2] = {{when, 0}, {when, 0}};
    ::utimensat(AT_FDCWD, (folder / name).c_str(), times, 0);
  };
  for (int i = 0; i < 2050; ++i) {
    make("file-" + std::to_string(i) + ".jpg", now - 60 - i);
  }
  make(".hidden", now - 10); // newest: kept
  make("stranger.txt", now - 31 * 86'400); // too old although within the first 2000
  std::filesystem::create_symlink("/", folder / "zz-link");
  const timespec linkTimes[2] = {{now, 0}, {now, 0}};
  ::utimensat(AT_FDCWD, (folder / "zz-link").c_str(), linkTimes, AT_SYMLINK_NOFOLLOW);
  test::CategoryLines lines("source");
  Library::create({{}, {}, caches.path(), {}, {}});
  EXPECT_EQ(lines.all(), (std::vector<std::string>{"local_thumbnail_purge removed=53 kept=2000"}));
  EXPECT_TRUE(std::filesystem::exists(folder / ".hidden"));
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "zz-link"));
  EXPECT_TRUE(std::filesystem::exists(folder / "file-1997.jpg"));
  EXPECT_FALSE(std::filesystem::exists(folder / "file-1998.jpg"));
  EXPECT_FALSE(std::filesystem::exists(folder / "stranger.txt"));
}

TEST(ThumbnailPurgeTest, AFolderLinkedElsewhereIsNotPurged) {
  test::TempFolder caches;
  const auto elsewhere = caches.path() / "Pictures";
  std::filesystem::create_directories(elsewhere / "2019");
  std::ofstream(elsewhere / "2019" / "beach.jpg") << "photo";
  std::ofstream(elsewhere / "old.txt") << "note";
  const timespec old[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 365 * 86'400, 0}};
  for (const auto* name : {"2019", "old.txt"}) ::utimensat(AT_FDCWD, (elsewhere / name).c_str(), old, 0);
  std::filesystem::create_directory_symlink(elsewhere, caches.path() / "MacLocalVideoThumbnails");
  test::CategoryLines lines("source");
  Library::create({{}, {}, caches.path(), {}, {}});
  EXPECT_EQ(lines.all(), std::vector<std::string>{});
  EXPECT_TRUE(std::filesystem::exists(elsewhere / "2019" / "beach.jpg"));
  EXPECT_TRUE(std::filesystem::exists(elsewhere / "old.txt"));
}

TEST_F(ThumbnailFixture, DurationsMatchTheProbeToolAndUnreadableOnesGiveNothing) {
  for (const auto* clip : {"landscape.mp4", "portrait.mov", "short.mp4"}) {
    SCOPED_TRACE(clip);
    const auto tool = std::strtod(
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + quoted(Clips::at(clip))).c_str(), nullptr);
    const auto ours = awaitTask(
        [lib = library, entry = Library::Entry{clip, Clips::at(clip), {}}]() { return lib->duration(entry); });
    ASSERT_TRUE(ours);
    EXPECT_NEAR(*ours, tool, 0.001);
  }
  EXPECT_FALSE(awaitTask(
      [lib = library, entry = Library::Entry{"c", Clips::at("corrupt.mp4"), {}}]() { return lib->duration(entry); }));
}

// Lets go a reader stuck in opening a FIFO, so a failing run still ends and its folder can go.
struct FIFOWriterAtExit {
  std::vector<std::filesystem::path> fifos;
  ~FIFOWriterAtExit() {
    for (const auto& fifo : fifos) {
      if (const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
        ::close(fd);
      }
    }
  }
};

TEST_F(ThumbnailFixture, NamesSwappedForAFIFOOrALinkAfterTheScanGiveNothingAndHoldNoThread) {
  test::TempFolder folder;
  FIFOWriterAtExit release;
  std::vector<runtime::Task<std::optional<double>>> durations;
  // As many as the volume runs at once: a job blocked for good on each would leave none for others.
  for (int i = 0; i < 4; ++i) {
    const auto fifo = folder.path() / ("swapped " + std::to_string(i) + ".mp4");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    release.fifos.push_back(fifo);
    durations.push_back(runtime::spawn(
        runtime::sharedPool().executor(),
        [lib = library, entry = Library::Entry{idFor(fifo.string()), fifo, {}}]() { return lib->duration(entry); }));
  }
  for (const auto& task : durations) {
    ASSERT_TRUE(runtime::test::waitUntilFinished(task, 10s));
    EXPECT_FALSE(task.state()->result());
  }
  const auto link = folder.path() / "linked.mp4";
  std::filesystem::create_symlink(Clips::at("landscape.mp4"), link);
  for (const auto& swapped : {release.fifos[0], link}) {
    SCOPED_TRACE(swapped);
    const Library::Entry entry{idFor(swapped.string()), swapped, {}};
    EXPECT_FALSE(awaitTask([lib = library, entry]() { return lib->thumbnail(entry); }, 10s));
    if (swapped == link) {
      EXPECT_FALSE(awaitTask([lib = library, entry]() { return lib->duration(entry); }, 10s));
    }
  }
  const auto real =
      awaitTask([lib = library,
                 entry = Library::Entry{"real", Clips::at("landscape.mp4"), {}}]() { return lib->duration(entry); },
                10s);
  EXPECT_TRUE(real);
}

} // namespace
} // namespace pd::mediaserver
