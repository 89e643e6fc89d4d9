#include "ui/sender/DropIntake.hpp"

#include "platform/TestSupport.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

namespace pd::ui {
namespace {

namespace fs = std::filesystem;
using testing::LogWindow;

// The few types these drops use, as a MIME database answers them.
class TableTypes final : public MediaTypes {
public:
  std::optional<std::string> typeForFileName(std::string_view name) const override {
    if (name.ends_with(".mp4")) return "video/mp4";
    if (name.ends_with(".mov")) return "video/quicktime";
    if (name.ends_with(".txt")) return "text/plain";
    return std::nullopt;
  }
  bool isVideo(std::string_view type) const override {
    return type == "video/mp4" || type == "video/quicktime" || type == "application/x-matroska";
  }
  std::string preferredSuffix(std::string_view type) const override {
    if (type == "video/mp4") return "mp4";
    if (type == "application/x-matroska") return "mkv";
    return {};
  }
};

const SendGate kOpen{true, true, false};

TEST(DropIntakeTest, TheGateRefusesWithItsReasonBeforeLookingAtTheOffer) {
  const TableTypes types;
  const DropOffer offer{{"text/uri-list"}, "file:///v/a.mp4\r\n", ""};
  struct Case {
    SendGate gate;
    std::string line;
  };
  for (const auto& c : {Case{{false, false, true}, "dnd_reject reason=not_connected"},
                        Case{{true, false, true}, "dnd_reject reason=version_mismatch"},
                        Case{{true, false, false}, "dnd_reject reason=version_mismatch"},
                        Case{{true, true, true}, "dnd_reject reason=load_video_unsupported"}}) {
    const LogWindow log;
    EXPECT_FALSE(planDrop(c.gate, offer, Deck::a, types).accepted());
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
  }
}

TEST(DropIntakeTest, FileURLRoadWinsAndResolvesTheFirstLocalItem) {
  const TableTypes types;
  const LogWindow log;
  // Both a file URL and video bytes: the URL road. Only the first item counts.
  const DropOffer offer{
      {"video/mp4", "text/uri-list"}, "# comment\r\nfile:///home/u/My%20Clip.mp4\r\nfile:///home/u/b.txt\r\n", ""};
  const auto plan = planDrop(kOpen, offer, Deck::b, types);
  EXPECT_EQ(plan.road, DropPlan::Road::fileURL);
  EXPECT_EQ(plan.file, fs::path("/home/u/My Clip.mp4"));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"dnd_drop target=B types=video/mp4/text/uri-list",
                                                   "dnd_resolve_ok kind=file_url file=<private>"}));
}

TEST(DropIntakeTest, FileURLThatIsNotAVideoIsReportedWithItsTypeOrUnknown) {
  const TableTypes types;
  const LogWindow log;
  auto plan = planDrop(kOpen, {{"text/uri-list"}, "file://localhost/d/notes.txt", ""}, Deck::a, types);
  EXPECT_EQ(plan.road, DropPlan::Road::notVideo);
  EXPECT_EQ(plan.fileName, "notes.txt");
  plan = planDrop(kOpen, {{"text/uri-list"}, "file:/d/clip.xyz\n", ""}, Deck::a, types);
  EXPECT_EQ(plan.road, DropPlan::Road::notVideo);
  EXPECT_EQ(plan.fileName, "clip.xyz");
  EXPECT_TRUE(log.has("dnd_reject reason=not_video type=text/plain file=<private>"));
  EXPECT_TRUE(log.has("dnd_reject reason=not_video type=unknown file=<private>"));
  // A folder's address ends in "/": the status names the folder.
  for (const auto& [list, name] : {std::pair{"file:///d/My%20Clips/", "My Clips"},
                                   std::pair{"file:///d/x.mp4//", "x.mp4"}, std::pair{"file:///", "/"}}) {
    plan = planDrop(kOpen, {{"text/uri-list"}, list, ""}, Deck::a, types);
    EXPECT_EQ(plan.fileName, name) << list;
  }
}

TEST(DropIntakeTest, NonLocalOrMalformedURLsEndInUrlResolve) {
  const TableTypes types;
  for (const std::string list :
       {"http://example.invalid/a.mp4", "file://otherhost/a.mp4", "file:///a%2.mp4", "file:///a%00.mp4",
        "file:relative.mp4", "file:///a.mp4?x=1", "# only a comment\r\n", ""}) {
    SCOPED_TRACE(list);
    const LogWindow log;
    const auto plan = planDrop(kOpen, {{"text/uri-list"}, list, ""}, Deck::a, types);
    // Accepted, then nothing is sent.
    EXPECT_EQ(plan.road, DropPlan::Road::dropped);
    EXPECT_TRUE(log.has("dnd_resolve_fail reason=url_resolve item=<private> err_domain=- err_code=0 error=<private>"));
  }
}

TEST(DropIntakeTest, WithoutURLsTheFirstVideoFormatIsCopiedAndNoneIsRefused) {
  const TableTypes types;
  {
    const LogWindow log;
    const auto plan =
        planDrop(kOpen, {{"text/plain", "image/png", "application/x-matroska", "video/mp4"}, "", ""}, Deck::a, types);
    EXPECT_EQ(plan.road, DropPlan::Road::copy);
    EXPECT_EQ(plan.format, "application/x-matroska");
    EXPECT_EQ(plan.fileName, "video.mkv");
    EXPECT_TRUE(log.has("dnd_drop target=A types=text/plain/image/png/application/x-matroska/video/mp4"));
  }
  {
    const LogWindow log;
    EXPECT_FALSE(planDrop(kOpen, {{"text/plain", "image/png"}, "", ""}, Deck::a, types).accepted());
    EXPECT_TRUE(log.has("dnd_resolve_fail reason=no_supported_type"));
  }
  {
    const LogWindow log;
    EXPECT_FALSE(planDrop(kOpen, {}, Deck::a, types).accepted());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"dnd_resolve_fail reason=no_provider"});
  }
}

TEST(DropIntakeTest, ACopyIsRefusedAboveTheLargestTemporaryVideoOrTheFreeSpace) {
  constexpr std::int64_t limit = 268'435'456;
  struct Case {
    std::int64_t size;
    std::optional<std::int64_t> available;
    std::optional<sender::CopyRefusal> refusal;
    std::string line;
  };
  for (const auto& c : {
           Case{limit, limit, std::nullopt, ""},
           Case{limit + 1, 10, sender::CopyRefusal::tooLarge,
                "dnd_reject reason=too_large size_b=268435457 limit_b=268435456"},
           Case{11, 10, sender::CopyRefusal::noSpace, "dnd_reject reason=no_space size_b=11 limit_b=10"},
       }) {
    SCOPED_TRACE(c.size);
    const LogWindow log;
    EXPECT_EQ(refuseCopy(c.size, c.available), c.refusal);
    EXPECT_EQ(log.lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
  }
}

TEST(DropIntakeTest, CopyNameNeverLeavesItsFolder) {
  EXPECT_EQ(copyFileName("Clip 1.mp4", "mp4"), "Clip 1.mp4");
  EXPECT_EQ(copyFileName("../x.mp4", "mp4"), "x.mp4");
  EXPECT_EQ(copyFileName("/etc/passwd", "mp4"), "passwd");
  EXPECT_EQ(copyFileName("..", "mp4"), "video.mp4");
  EXPECT_EQ(copyFileName("a/..", "mp4"), "video.mp4");
  EXPECT_EQ(copyFileName("a/.", "mp4"), "video.mp4");
  EXPECT_EQ(copyFileName("dir/", "mp4"), "video.mp4");
  EXPECT_EQ(copyFileName("", ""), "video");
  EXPECT_EQ(copyFileName(std::string_view("a\0b.mp4", 7), "mp4"), "video.mp4");
  EXPECT_EQ(copyFileName(std::string(300, 'n'), "mp4"), "video.mp4");
  EXPECT_EQ(copyFileName("", "x/y"), "video");
}

class TemporaryCopyTest : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("pd-drop-test-" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all);
    fs::remove_all(root_);
  }
  fs::path root_;
};

TEST_F(TemporaryCopyTest, WritesOneNewFolderPerDropHoldingTheBytes) {
  const LogWindow log;
  const auto first = writeTemporaryCopy(root_, "clip.mp4", "abc");
  const auto second = writeTemporaryCopy(root_, "clip.mp4", "defg");
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->parent_path(), second->parent_path());
  for (const auto& copy : {*first, *second}) {
    EXPECT_EQ(copy.parent_path().parent_path(), root_);
    const std::string folder = copy.parent_path().filename().string();
    ASSERT_EQ(folder.size(), kDropFolderPrefix.size() + 36);
    EXPECT_TRUE(folder.starts_with(kDropFolderPrefix));
    // The UUID is upper case.
    EXPECT_EQ(folder.find_first_of("abcdef", kDropFolderPrefix.size()), std::string::npos);
  }
  EXPECT_EQ(testing::readText(*first), "abc");
  EXPECT_EQ(testing::readText(*second), "defg");
  EXPECT_EQ(log.count("dnd_resolve_ok kind=temp_copy file="), 2u);
}

TEST_F(TemporaryCopyTest, EmptyBytesAndWriteFailuresAreLoggedAndWriteNothing) {
  const LogWindow log;
  EXPECT_FALSE(writeTemporaryCopy(root_, "clip.mp4", ""));
  EXPECT_TRUE(log.has("dnd_resolve_fail reason=file_representation err_domain=- err_code=0 error=<private>"));
  EXPECT_TRUE(fs::is_empty(root_));
  EXPECT_FALSE(writeTemporaryCopy(root_ / "missing", "clip.mp4", "abc"));
  EXPECT_TRUE(log.has("temp_copy_fail err_domain=POSIX err_code=2 error=<private>"));

  // A write that stops part-way, as on a full disk (a 1 MiB file-size limit here), takes its
  // folder and what was written with it.
  const std::string bytes(2'097'152, 'v');
  ::rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  ::rlimit small = saved;
  small.rlim_cur = 1'048'576;
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto copy = writeTemporaryCopy(root_, "clip.mp4", bytes);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(copy);
  EXPECT_TRUE(log.has("temp_copy_fail err_domain=POSIX err_code=27 error=<private>"));
  EXPECT_TRUE(fs::is_empty(root_));
}

} // namespace
} // namespace pd::ui
