// YouTube sends whose bytes go through the relay with its real address policy: run through
// tools/testenv/netns-run.sh, where the fake video API listens on 3fff::10 (an address the policy
// counts as remote) and a hosts file names the instance and the CDN server there.

#include "EmulatorLink.hpp"
#include "NamespaceRemote.hpp"

#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSearchItem.hpp"
#include "support/FakeRemote.hpp"
#include "tablet-emulator/HttpProbe.hpp"

#include <gtest/gtest.h>

namespace pd::sender::test {
namespace {

using Target = LocalVideoBroadcaster::Target;

class RemoteRelayNamespaceTest : public BroadcasterFixture {
protected:
  void SetUp() override {
    if (!insideTestNamespace()) GTEST_SKIP() << "run through tools/testenv/netns-run.sh (ctest does)";
    remote = startRemote();
    make({250ms, 150ms}, clientOf(*remote), "inv.remote.test");
  }
  remotesource::VideoSearchItem item(const std::string& id) {
    return {id, id, std::nullopt, std::nullopt, std::nullopt};
  }

  remotesource::ScopedVideoCDNDomainSuffix cdn{".cdn.test"};
  std::unique_ptr<testing::FakeRemote> remote;
};

TEST_F(RemoteRelayNamespaceTest, AMuxedVideoIsRelayedAndItsTempoComesFromTheRelayedBytes) {
  const auto clip = clickClip(20);
  const auto size = std::to_string(std::filesystem::file_size(clip));
  remote->command({{"media", "muxClip"}, {"file", clip.string()}});
  remote->command({{"fixture", "video:muxClip"}, {"json", muxedVideo("Clicks", size)}});
  broadcaster->sendRemoteVideo(item("muxClip"), Target::a);
  runUntil([&] { return !link->of("video_bpm").empty(); }, 60s);
  ASSERT_EQ(link->of("load_video").size(), 1u);
  const auto url = link->of("load_video").front().url;
  EXPECT_EQ(link->of("video_bpm").front().bpm, 120);
  EXPECT_EQ(link->of("video_bpm").front().url, url);
  EXPECT_EQ(broadcaster->deck(Target::a).status.get(), "BPM: 120");
  EXPECT_EQ(log.count("remote_video_send video=muxClip target=A kind=muxed op="), 1u);
  // The analysis download left nothing behind.
  for (const auto& entry : std::filesystem::directory_iterator(broadcaster->temporaryFolder())) {
    EXPECT_EQ(entry.path().filename().string().find("PalendrixRemoteBPM-"), std::string::npos);
  }

  // A muxed stream over 256 MiB is not downloaded for its tempo.
  remote->command({{"fixture", "video:hugeClip"}, {"json", muxedVideo("Huge", "268435457")}});
  remote->command({{"media", "hugeClip"}, {"file", clip.string()}});
  broadcaster->sendRemoteVideo(item("hugeClip"), Target::b);
  runUntil([&] { return link->of("video_bpm").size() == 2; }, 30s);
  EXPECT_EQ(log.count("remote_bpm_skip target=B reason=muxed_too_large size_b=268435457"), 1u);
  EXPECT_EQ(link->of("video_bpm").back().bpm, 0);
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(),
            "送信しました / この動画は BPM を自動解析できません（iPad 側で手動設定可）");
}

TEST_F(RemoteRelayNamespaceTest, AnHLSPresentationPlaysFromItsPlaylistsAndADropSupersedesAHeldSend) {
  const auto [video, audio] = adaptiveStreams(PD_SENDER_FIXTURES, 20);
  remote->command({{"media", "adaptiveVideo"}, {"file", video.string()}});
  remote->command({{"media", "adaptiveAudio"}, {"file", audio.string()}});
  remote->command({{"fixture", "video:adaptive"}, {"json", adaptiveVideo(video, audio)}});
  broadcaster->sendRemoteVideo(item("adaptive"), Target::a);
  runUntil([&] { return !link->of("video_bpm").empty(); }, 60s);
  ASSERT_EQ(link->of("load_video").size(), 1u);
  const auto url = link->of("load_video").front().url;
  EXPECT_TRUE(url.ends_with(".m3u8"));
  EXPECT_EQ(log.count("remote_video_send video=adaptive target=A kind=hls op="), 1u);
  // The tempo comes from the first 2 MiB of the sound stream.
  EXPECT_EQ(link->of("video_bpm").front().bpm, 120);
  // A tablet walks the master, the first media playlist, its map and first segment.
  const auto walked = tools::tablet::HttpProbe::fetchEvent(url, std::nullopt);
  EXPECT_TRUE(walked["ok"].get<bool>()) << walked.dump();
  EXPECT_EQ(walked["status"], 206);
  EXPECT_GT(walked["bytes"].get<std::int64_t>(), 0);

  // A send held at the media server, then a dropped copy for the same deck: only the copy goes out.
  remote->fault("*", "/videoplayback", {{"fault", "gate"}});
  remote->command({{"fixture", "video:held"}, {"json", adaptiveVideo(video, audio)}});
  remote->clearEvents();
  broadcaster->sendRemoteVideo(item("held"), Target::a);
  // Its segment index is being read when the drop comes.
  runUntil([&] { return remote->waitFor([](const nlohmann::json& e) { return e["event"] == "media"; }, 5ms); });
  const auto folder = broadcaster->temporaryFolder();
  std::filesystem::create_directories(folder / "PalendrixDrop-held");
  testing::writeText(folder / "PalendrixDrop-held" / "drop.mp4", "x");
  broadcaster->sendLocalFile(folder / "PalendrixDrop-held" / "drop.mp4", Target::a, true);
  runUntil([&] { return link->of("load_video").size() == 2; });
  remote->command({{"media_release", 100}});
  runFor(500ms);
  ASSERT_EQ(link->of("load_video").size(), 2u);
  EXPECT_EQ(link->of("load_video").back().title, "drop");
  EXPECT_EQ(broadcaster->deck(Target::a).fileName.get(), "drop.mp4");
  EXPECT_FALSE(log.has("remote_video_send video=held"));
  // The next send to the deck takes the drop folder with it; deck B saw nothing of this.
  testing::writeText(caches / "next.mp4", "x");
  broadcaster->sendLocalFile(caches / "next.mp4", Target::a, false);
  runUntil([&] { return !std::filesystem::exists(folder / "PalendrixDrop-held"); });
  EXPECT_EQ(broadcaster->deck(Target::b).status.get(), "");
}

// The same presentation for a tablet that finds the receiver over Avahi inside the namespace and
// fetches what it is sent before it answers.
class EmulatorNamespaceTest : public EmulatorLinkFixture {
protected:
  void SetUp() override {
    if (!insideTestNamespace()) GTEST_SKIP() << "run through tools/testenv/netns-run.sh (ctest does)";
    PD_REQUIRE_PRIVATE_AVAHI();
    remote = startRemote();
    start(clientOf(*remote), "inv.remote.test");
  }

  remotesource::ScopedVideoCDNDomainSuffix cdn{".cdn.test"};
  std::unique_ptr<testing::FakeRemote> remote;
};

TEST_F(EmulatorNamespaceTest, TheTabletWalksTheRelayedPlaylistsAndHearsTheTempoOfTheSound) {
  const auto [video, audio] = adaptiveStreams(PD_SENDER_FIXTURES, 20);
  remote->command({{"media", "adaptiveVideo"}, {"file", video.string()}});
  remote->command({{"media", "adaptiveAudio"}, {"file", audio.string()}});
  remote->command({{"fixture", "video:adaptive"}, {"json", adaptiveVideo(video, audio)}});
  const auto name = "Namespace Tablet " + std::to_string(::getpid());
  link::test::Emulator tablet({"--interface", "lo", "--name", name, "--ack", "fetch"});
  link(tablet, name);
  next(tablet, "source_endpoint");

  broadcaster->sendRemoteVideo({"adaptive", "Adaptive", std::nullopt, std::nullopt, std::nullopt}, Target::a);
  const auto url = next(tablet, "load_video", 30s)["message"]["url"].get<std::string>();
  EXPECT_TRUE(url.ends_with(".m3u8"));
  const auto fetched = next(tablet, "fetch_done", 30s);
  EXPECT_TRUE(fetched["ok"].get<bool>()) << fetched.dump();
  EXPECT_EQ(fetched["status"], 206);
  loop.runUntil([&] {
    return broadcaster->deck(Target::a).playback.get().state == LocalVideoBroadcaster::PlaybackState::Case::ready;
  });
  const auto tempo = next(tablet, "video_bpm", 60s);
  EXPECT_EQ(tempo["message"]["bpm"], 120);
  EXPECT_EQ(tempo["message"]["url"], url);
}

} // namespace
} // namespace pd::sender::test
