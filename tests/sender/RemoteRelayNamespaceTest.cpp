// YouTube sends whose bytes go through the relay with its real address policy: run through
// tools/testenv/netns-run.sh, where the fake video API listens on 3fff::10 (an address the policy
// counts as remote) and a hosts file names the instance and the CDN server there.

#include "SenderTestSupport.hpp"

#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSearchItem.hpp"
#include "support/FakeRemote.hpp"

#include <gtest/gtest.h>

#include <netdb.h>
#include <sys/socket.h>

namespace pd::sender::test {
namespace {

using Target = LocalVideoBroadcaster::Target;

bool insideTestNamespace() {
  ::addrinfo hints{};
  hints.ai_family = AF_INET6;
  ::addrinfo* found = nullptr;
  if (::getaddrinfo("inv.remote.test", nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

// A muxed stream of the given announced length, served from the named media file.
nlohmann::json muxedVideo(const std::string& title, const std::string& clen) {
  return {{"title", title},
          {"formatStreams",
           {{{"url", "@stream?itag=18"},
             {"type", "video/mp4; codecs=\"avc1.42001E, mp4a.40.2\""},
             {"qualityLabel", "120p"},
             {"bitrate", "300000"},
             {"itag", "18"},
             {"clen", clen},
             {"resolution", "160x120"},
             {"size", "160x120"}}}}};
}

class RemoteRelayNamespaceTest : public BroadcasterFixture {
protected:
  void SetUp() override {
    if (!insideTestNamespace()) GTEST_SKIP() << "run through tools/testenv/netns-run.sh (ctest does)";
    remote = std::make_unique<testing::FakeRemote>(
        std::vector<std::string>{"--bind", "3fff::10", "--name", "r4---sn-fake01.cdn.test"});
    platform::http::Client::Configuration client;
    client.extraCAFile = remote->caFile();
    client.connectTo = {":443:[3fff::10]:" + std::to_string(remote->httpsPort()),
                        ":80:[3fff::10]:" + std::to_string(remote->httpPort())};
    make({250ms, 150ms}, client, "inv.remote.test");
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

} // namespace
} // namespace pd::sender::test
