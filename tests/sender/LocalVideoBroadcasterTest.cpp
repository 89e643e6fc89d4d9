// The broadcaster with its real HTTP server, relay and API service, against a recording link
// port: the session token's rotation, the announcements, local sends with their acknowledgement
// and tempo, and the temporary copies.

#include "SenderTestSupport.hpp"

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "runtime/Task.hpp"
#include "sender/TemporaryCopies.hpp"
#include "support/CurlGet.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

namespace pd::sender::test {
namespace {

using Case = LocalVideoBroadcaster::PlaybackState::Case;
using PlaybackState = LocalVideoBroadcaster::PlaybackState;
using Target = LocalVideoBroadcaster::Target;

// The body of a GET, or the status as text when it is not 200.
std::string fetch(const std::string& url) {
  const auto [status, body] = testing::curlGet(url);
  return status == "200" ? body : status;
}

std::filesystem::path dropCopy(const std::filesystem::path& folder, const std::string& name,
                               const std::string& content = "not a video") {
  const auto drop = folder / ("PalendrixDrop-" + name);
  std::filesystem::create_directories(drop);
  testing::writeText(drop / (name + ".mp4"), content);
  return drop / (name + ".mp4");
}

class LocalVideoBroadcasterTest : public BroadcasterFixture {
protected:
  void SetUp() override { make(); }

  link::LoadVideoAck ack(const std::string& target, const std::string& url, link::LoadVideoAck::Status status,
                         std::optional<std::string> reason = std::nullopt) {
    return {target, url, status, std::move(reason)};
  }
  // Sends a file that is no video to the deck and waits until its analysis has failed.
  std::string sendAndSettle(const std::filesystem::path& file, Target target, bool isTemporaryCopy = false) {
    const auto before = link->of("video_bpm").size();
    broadcaster->sendLocalFile(file, target, isTemporaryCopy);
    runUntil([&] { return link->of("video_bpm").size() > before; });
    return link->of("load_video").back().url;
  }
};

// For tests that look at a load still awaiting its acknowledgement after its analysis has settled:
// on a busy machine the analysis may start only after the fixture's short time-out has passed.
class LocalVideoBroadcasterPatientAckTest : public LocalVideoBroadcasterTest {
protected:
  static constexpr std::chrono::milliseconds kAckTimeout = 2s;
  void SetUp() override { make({kAckTimeout, 150ms}); }
};

TEST_F(LocalVideoBroadcasterTest, AFreshBroadcasterIsIdleWithAFreshTokenAndItsValuesFollowTheirRules) {
  for (const auto target : {Target::a, Target::b}) {
    const auto& deck = broadcaster->deck(target);
    EXPECT_EQ(deck.status.get(), "");
    EXPECT_EQ(deck.fileName.get(), std::nullopt);
    EXPECT_EQ(deck.bpm.get(), std::nullopt);
    EXPECT_FALSE(deck.isAnalyzing.get());
    EXPECT_EQ(deck.playback.get(), PlaybackState{});
  }
  EXPECT_TRUE(std::regex_match(broadcaster->sessionToken(), std::regex("[0-9a-f]{32}")));
  EXPECT_EQ(broadcaster->sessionGeneration(), 0);
  EXPECT_NE(broadcaster->remotePreparer(), nullptr);

  EXPECT_EQ(LocalVideoBroadcaster::targetFromRaw("A"), Target::a);
  EXPECT_EQ(LocalVideoBroadcaster::targetFromRaw("B"), Target::b);
  for (const auto* text : {"a", "b", "", "AB", " A"})
    EXPECT_EQ(LocalVideoBroadcaster::targetFromRaw(text), std::nullopt);

  EXPECT_EQ(PlaybackState::failed(std::nullopt), PlaybackState::failed(std::nullopt));
  EXPECT_NE(PlaybackState::failed(std::nullopt), PlaybackState::failed(""));
  EXPECT_NE(PlaybackState::failed(std::nullopt), PlaybackState{});
  EXPECT_EQ(PlaybackState::failed("x"), PlaybackState::failed("x"));
  EXPECT_NE(PlaybackState::failed("x"), PlaybackState::failed("y"));
}

TEST_F(LocalVideoBroadcasterPatientAckTest, TheTokenRotatesOnlyWhenAnotherTabletLinksAndTheDecksForgetWhatWasServed) {
  const auto first = broadcaster->sessionToken();
  link->callbacks.onPeerEstablished(std::string("P1"));
  link->callbacks.onPeerEstablished(std::string("P1"));
  EXPECT_EQ(broadcaster->sessionToken(), first);
  EXPECT_EQ(log.count("session_token_rotate"), 0u);

  testing::writeText(caches / "a.mp4", "x");
  const auto url = sendAndSettle(caches / "a.mp4", Target::a);
  ASSERT_EQ(broadcaster->deck(Target::a).playback.get().state, Case::awaiting);
  link->callbacks.onPeerEstablished(std::string("P2"));
  EXPECT_NE(broadcaster->sessionToken(), first);
  EXPECT_EQ(broadcaster->sessionGeneration(), 1);
  EXPECT_EQ(log.count("session_token_rotate reason=peer_changed"), 1u);
  EXPECT_EQ(broadcaster->servedURL(Target::a), std::nullopt);
  EXPECT_EQ(broadcaster->deck(Target::a).playback.get(), PlaybackState{});
  // What plays stays: the file, its status and its token.
  EXPECT_EQ(broadcaster->deck(Target::a).fileName.get(), "a.mp4");
  EXPECT_NE(fetch(url), "404");
  // The timer of the forgotten load never fires.
  runFor(kAckTimeout + 200ms);
  EXPECT_FALSE(log.has("load_video_ack_timeout"));

  // Every link without an identity after the first one rotates.
  link->callbacks.onPeerEstablished(std::nullopt);
  link->callbacks.onPeerEstablished(std::nullopt);
  EXPECT_EQ(broadcaster->sessionGeneration(), 3);
}

TEST(LocalVideoBroadcasterFirstLinkTest, AFirstLinkWithoutIdentityKeepsTheTokenAndTheNextAnonymousOneRotates) {
  runtime::test::MainLoop loop;
  testing::TempDirectory caches;
  auto link = std::make_shared<RecordingSenderLink>();
  auto broadcaster = LocalVideoBroadcaster::create(testing::broadcasterDependencies(link, caches.path()));
  link->callbacks.onPeerEstablished(std::nullopt);
  EXPECT_EQ(broadcaster->sessionGeneration(), 0);
  link->callbacks.onPeerEstablished(std::nullopt);
  EXPECT_EQ(broadcaster->sessionGeneration(), 1);
}

TEST_F(LocalVideoBroadcasterTest, AnnouncementsCarryThePortAndTheTokenCurrentAtEachSendingUntilTheLinkEnds) {
  link->callbacks.onPeerEstablished(std::string("P1"));
  link->callbacks.onRemoteSourcePeerReady();
  // A second start at once (a port change) replaces the loop; its first message is no repeat.
  broadcaster->startSourceEndpointAnnouncements();
  runUntil([&] { return link->of("source_endpoint").size() >= 3; });
  const auto sent = link->of("source_endpoint");
  EXPECT_FALSE(sent[0].isRepeat);
  EXPECT_TRUE(sent[1].isRepeat);
  EXPECT_TRUE(sent[2].isRepeat);
  EXPECT_GT(sent[0].port, 0);
  EXPECT_EQ(sent[0].token, broadcaster->sessionToken());

  link->callbacks.onPeerEstablished(std::string("P2"));
  const auto rotated = broadcaster->sessionToken();
  runUntil([&] { return link->of("source_endpoint").back().token == rotated; });

  link->connected = false;
  runFor(300ms);
  const auto count = link->sent.size();
  runFor(400ms);
  EXPECT_EQ(link->sent.size(), count);

  // A tablet without the feature hears nothing.
  link->connected = true;
  link->features = std::vector<std::string>{"load_video"};
  broadcaster->startSourceEndpointAnnouncements();
  runFor(300ms);
  EXPECT_EQ(link->sent.size(), count);
}

TEST_F(LocalVideoBroadcasterTest, ALocalFileIsServedAnnouncedAcknowledgedLateAndItsTempoSent) {
  const auto clip = clickClip(20);
  broadcaster->sendLocalFile(clip, Target::a, false);
  EXPECT_EQ(broadcaster->deck(Target::a).status.get(), "「clicks120-20s.mp4」を準備中...");
  runUntil([&] { return !link->of("load_video").empty(); });
  const auto load = link->of("load_video").front();
  EXPECT_EQ(load.target, "A");
  EXPECT_EQ(load.title, "clicks120-20s");
  EXPECT_TRUE(std::regex_match(load.url, std::regex("http://127\\.0\\.0\\.1:[0-9]+/[0-9A-F-]{36}")));
  EXPECT_EQ(broadcaster->deck(Target::a).fileName.get(), "clicks120-20s.mp4");
  EXPECT_EQ(broadcaster->deck(Target::a).status.get(), "送信しました / BPM 解析中...");
  EXPECT_TRUE(broadcaster->deck(Target::a).isAnalyzing.get());
  EXPECT_EQ(fetch(load.url), testing::readText(clip));
  EXPECT_EQ(log.count("local_video_send target=A"), 1u);

  // No answer within the time-out, then a late one that still counts.
  runUntil([&] { return broadcaster->deck(Target::a).playback.get().state == Case::noResponse; });
  EXPECT_EQ(log.count("load_video_ack_timeout target=A after_s=0"), 1u);
  link->callbacks.onLoadVideoAck(ack("A", load.url, link::LoadVideoAck::Status::ready));
  EXPECT_EQ(broadcaster->deck(Target::a).playback.get().state, Case::ready);

  runUntil([&] { return !link->of("video_bpm").empty(); }, 60s);
  const auto bpm = link->of("video_bpm").front();
  EXPECT_EQ(bpm.bpm, 120);
  EXPECT_EQ(bpm.target, "A");
  EXPECT_EQ(bpm.url, load.url);
  EXPECT_EQ(broadcaster->deck(Target::a).bpm.get(), 120);
  EXPECT_EQ(broadcaster->deck(Target::a).status.get(), "BPM: 120");
  EXPECT_FALSE(broadcaster->deck(Target::a).isAnalyzing.get());
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "");
}

TEST_F(LocalVideoBroadcasterPatientAckTest, AcknowledgementsCountOnlyForTheServedURLUntilATerminalAnswer) {
  testing::writeText(caches / "one.mp4", "x");
  const auto first = sendAndSettle(caches / "one.mp4", Target::a);
  EXPECT_EQ(broadcaster->deck(Target::a).status.get(), "BPM 解析失敗（iPad 側で手動設定可）");
  EXPECT_EQ(link->of("video_bpm").back().bpm, 0);
  EXPECT_EQ(link->of("video_bpm").back().url, first);
  const auto second = sendAndSettle(caches / "one.mp4", Target::a);

  link->callbacks.onLoadVideoAck(ack("A", first, link::LoadVideoAck::Status::ready));
  EXPECT_EQ(log.count("load_video_ack_discard target=A reason=stale"), 1u);
  link->callbacks.onLoadVideoAck(ack("a", second, link::LoadVideoAck::Status::ready));
  EXPECT_EQ(broadcaster->deck(Target::a).playback.get().state, Case::awaiting);
  link->callbacks.onLoadVideoAck(ack("A", second, link::LoadVideoAck::Status::failed));
  EXPECT_EQ(broadcaster->deck(Target::a).playback.get(), PlaybackState::failed(std::nullopt));
  link->callbacks.onLoadVideoAck(ack("A", second, link::LoadVideoAck::Status::ready));
  EXPECT_EQ(log.count("load_video_ack_discard target=A reason=after_terminal"), 1u);
  EXPECT_EQ(broadcaster->deck(Target::a).playback.get(), PlaybackState::failed(std::nullopt));
  // The earlier load's token went with the commit of the later one.
  EXPECT_EQ(fetch(first), "404");

  // A tablet that does not acknowledge.
  link->features = std::vector<std::string>{"load_video"};
  sendAndSettle(caches / "one.mp4", Target::b);
  EXPECT_EQ(broadcaster->deck(Target::b).playback.get().state, Case::unconfirmed);
  runFor(kAckTimeout + 200ms);
  EXPECT_FALSE(log.has("load_video_ack_timeout"));
}

TEST_F(LocalVideoBroadcasterTest, ANewerRequestWinsAndACommitRemovesThePreviousDropFolder) {
  const auto folder = broadcaster->temporaryFolder();
  const auto older = dropCopy(folder, "older");
  const auto newer = dropCopy(folder, "newer");
  broadcaster->sendLocalFile(older, Target::a, true);
  broadcaster->sendLocalFile(newer, Target::a, true);
  runUntil([&] { return !link->of("video_bpm").empty() && log.has("temp_copy_delete"); });
  EXPECT_FALSE(std::filesystem::exists(older.parent_path()));
  EXPECT_EQ(link->of("load_video").size(), 1u);
  EXPECT_EQ(link->of("load_video").front().title, "newer");
  EXPECT_TRUE(std::filesystem::exists(newer));
  EXPECT_EQ(log.count("temp_copy_delete file=<private>"), 1u);

  // The next load of the deck takes the copy's whole folder with it; deck B never moved.
  testing::writeText(caches / "plain.mp4", "x");
  sendAndSettle(caches / "plain.mp4", Target::a);
  runUntil([&] { return !std::filesystem::exists(newer.parent_path()); });
  EXPECT_TRUE(std::filesystem::exists(caches / "plain.mp4"));
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "");
  EXPECT_EQ(broadcaster->deck(Target::b).fileName.get(), std::nullopt);
}

// A send cut short by the broadcaster's end takes its temporary copy with it.
TEST_F(LocalVideoBroadcasterTest, ASendOutlivedByNoBroadcasterRemovesItsCopy) {
  const auto copy = dropCopy(broadcaster->temporaryFolder(), "orphan");
  broadcaster->sendLocalFile(copy, Target::a, true);
  broadcaster.reset();
  runUntil([&] { return !std::filesystem::exists(copy.parent_path()); });
  EXPECT_TRUE(link->of("load_video").empty());
}

TEST_F(LocalVideoBroadcasterTest, FailuresReachTheDeckStatusAndKeepWhatWasServed) {
  testing::writeText(caches / "clip.mp4", "x");
  const auto served = sendAndSettle(caches / "clip.mp4", Target::a);
  const auto folder = broadcaster->temporaryFolder();

  link->sendsSucceed = false;
  broadcaster->sendLocalFile(dropCopy(folder, "unsent"), Target::a, true);
  runUntil([&] { return !std::filesystem::exists(folder / "PalendrixDrop-unsent"); });
  EXPECT_EQ(broadcaster->deck(Target::a).status.get(),
            "「unsent.mp4」の送信に失敗しました（iPad との接続を確認してください）");
  EXPECT_EQ(broadcaster->servedURL(Target::a), served);
  EXPECT_EQ(broadcaster->deck(Target::a).fileName.get(), "clip.mp4");

  link->sendsSucceed = true;
  link->host.reset();
  broadcaster->sendLocalFile(caches / "clip.mp4", Target::b, false);
  runUntil([&] { return broadcaster->deck(Target::b).status.get() != "「clip.mp4」を準備中..."; });
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "「clip.mp4」を送れません（Mac の IP を取得できません）");

  link->connected = false;
  broadcaster->sendLocalFile(dropCopy(folder, "unlinked"), Target::b, true);
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "iPad が未接続です");
  link->available = false;
  broadcaster->sendLocalFile(caches / "clip.mp4", Target::b, false);
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "内部エラー");
  runUntil([&] { return !std::filesystem::exists(folder / "PalendrixDrop-unlinked"); });
  broadcaster->reportNotVideo("notes.txt", Target::b);
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "動画ファイルではありません: notes.txt");
  broadcaster->reportCopyRefused("big.mp4", Target::b, CopyRefusal::noSpace);
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "一時フォルダの空き容量が足りません: big.mp4");
}

TEST_F(LocalVideoBroadcasterTest, TheAPIRoadAnswersThroughTheServiceUnderTheSessionToken) {
  const auto port = loop.run(
      [&]() -> runtime::Awaitable<std::uint16_t> { co_return co_await broadcaster->httpServer().ensureReady(); });
  const auto base = "http://127.0.0.1:" + std::to_string(port) + "/search?q=x&s=";
  EXPECT_EQ(fetch(base + "wrong"), "403");
  EXPECT_EQ(log.count("receiver_api_auth_fail route=search"), 1u);

  // A server that outlives the broadcaster says the service is gone.
  const auto server = broadcaster->httpServer().shared_from_this();
  broadcaster.reset();
  EXPECT_EQ(testing::curlGet(base + "wrong"),
            std::make_pair(std::string("503"), std::string(R"({"error":"unavailable"})")));
}

TEST(LocalVideoBroadcasterSweepTest, ConstructionSweepsOldDropsAndKeepsOnesMadeSinceTheStart) {
  runtime::test::MainLoop loop;
  testing::TempDirectory caches;
  testing::LogWindow log;
  const auto folder = temporaryFolder(caches.path());
  std::filesystem::create_directories(folder / "PalendrixDrop-old");
  ::usleep(20'000);
  auto dependencies = testing::broadcasterDependencies(std::make_shared<RecordingSenderLink>(), caches.path());
  dependencies.sweepKeepsSince = std::chrono::system_clock::now();
  ::usleep(20'000);
  std::filesystem::create_directories(folder / "PalendrixDrop-new");
  auto broadcaster = LocalVideoBroadcaster::create(std::move(dependencies));
  loop.runUntil([&] { return log.has("temp_copy_delete"); });
  EXPECT_FALSE(std::filesystem::exists(folder / "PalendrixDrop-old"));
  EXPECT_TRUE(std::filesystem::exists(folder / "PalendrixDrop-new"));
  EXPECT_EQ(broadcaster->temporaryFolder(), folder);
}

TEST(TemporaryCopiesTest, TheSweepRemovesOldDropsAndAnalysisDownloadsOnlyAndFollowsNoLink) {
  testing::TempDirectory folder;
  testing::TempDirectory outside;
  testing::LogWindow log;
  const auto old = folder / "PalendrixDrop-old";
  std::filesystem::create_directories(old / ".hidden");
  testing::writeText(old / ".hidden" / "copy.mp4", "x");
  testing::writeText(folder / "PalendrixDrop-file", "x");
  testing::writeText(folder / "PalendrixRemoteBPM-old.mp4", "x");
  // What a download cut short by the process's end leaves (see relay::fetchLocalRange).
  testing::writeText(folder / ".PalendrixRemoteBPM-old.mp4.partial-Ab12Cd", "x");
  testing::writeText(outside / "kept.mp4", "x");
  std::filesystem::create_directory_symlink(outside.path(), folder / "PalendrixDrop-link");
  testing::writeText(folder / "other.mp4", "x");
  ::usleep(20'000);
  const auto start = std::chrono::system_clock::now();
  ::usleep(20'000);
  std::filesystem::create_directories(folder / "PalendrixDrop-racing");
  testing::writeText(folder / "PalendrixRemoteBPM-racing.mp4", "x");
  testing::writeText(folder / ".PalendrixRemoteBPM-racing.mp4.partial-Ef34Gh", "x");

  sweepLeftovers(folder.path(), start);
  EXPECT_THAT(testing::fileNames(folder.path()),
              ::testing::UnorderedElementsAre("PalendrixDrop-racing", "PalendrixRemoteBPM-racing.mp4",
                                              ".PalendrixRemoteBPM-racing.mp4.partial-Ef34Gh", "other.mp4"));
  EXPECT_TRUE(std::filesystem::exists(outside / "kept.mp4"));
  EXPECT_EQ(log.count("temp_copy_delete file=<private>"), 5u);
  sweepLeftovers(folder / "missing", start);

  // A copy's folder goes only when it lies directly in the temporary folder.
  EXPECT_EQ(removalTarget(folder / "PalendrixDrop-x" / "a.mp4", folder.path()), folder / "PalendrixDrop-x");
  EXPECT_EQ(removalTarget(outside / "PalendrixDrop-x" / "a.mp4", folder.path()), outside / "PalendrixDrop-x" / "a.mp4");
  EXPECT_EQ(removalTarget(folder / "Other-x" / "a.mp4", folder.path()), folder / "Other-x" / "a.mp4");

  // A removal that fails says so instead of claiming it was done.
  removeTemporaryItem("/proc/self/status");
  EXPECT_EQ(log.count("temp_copy_delete_fail file=<private> err_domain=POSIX"), 1u);
  EXPECT_EQ(log.count("temp_copy_delete file="), 5u);
}

TEST(TemporaryCopiesTest, AnEntryDatedBeyondTheClockCountsAsChangedLateAndStays) {
  testing::TempDirectory folder;
  const auto future = folder / "PalendrixDrop-future";
  std::filesystem::create_directories(future);
  // The year 2286: past what the clock's nanoseconds hold, yet a date ext4 and tmpfs keep.
  const ::timespec stamps[2] = {{10'000'000'000, 0}, {10'000'000'000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, future.c_str(), stamps, AT_SYMLINK_NOFOLLOW), 0);
  struct ::stat info {};
  ASSERT_EQ(::lstat(future.c_str(), &info), 0);
  if (info.st_mtim.tv_sec != 10'000'000'000) GTEST_SKIP() << "the file system does not keep this date";
  testing::writeText(folder / "PalendrixDrop-now", "x");

  // Its status changed now, before keepSince; its modification lies after it.
  sweepLeftovers(folder.path(), std::chrono::system_clock::now() + std::chrono::hours(1));
  EXPECT_THAT(testing::fileNames(folder.path()), ::testing::UnorderedElementsAre("PalendrixDrop-future"));
}

TEST(TemporaryCopiesTest, TheTemporaryFolderLivesUnderTheCachesPrivately) {
  testing::TempDirectory caches;
  const auto folder = temporaryFolder(caches / "app");
  EXPECT_EQ(folder, caches / "app" / "tmp");
  EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  EXPECT_LE(processStartTime(), std::chrono::system_clock::now());
  EXPECT_GT(processStartTime(), std::chrono::system_clock::now() - std::chrono::hours(24));
}

} // namespace
} // namespace pd::sender::test
