// The broadcaster as the receiver builds it, over a real link manager and the tablet emulator on
// a private Avahi daemon: the tablet fetches what it is sent, acknowledges, hears the tempo and
// the endpoint, and a second tablet gets a new session token while the old one is refused.

#include "EmulatorProcess.hpp"
#include "PrivateAvahi.hpp"
#include "SenderTestSupport.hpp"

#include "link/ManagerSenderLink.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/crypto/Random.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace pd::sender::test {
namespace {

using Case = LocalVideoBroadcaster::PlaybackState::Case;
using Target = LocalVideoBroadcaster::Target;

std::string sha256Of(const std::filesystem::path& file) {
  const auto bytes = testing::readText(file);
  const auto digest = platform::crypto::sha256(bytes);
  return platform::crypto::toHex(digest);
}

class SenderEmulatorTest : public ::testing::Test {
protected:
  void SetUp() override {
    PD_REQUIRE_PRIVATE_AVAHI();
    auto dependencies = link::NetworkManagerForMac::systemDependencies();
    dependencies.networkPeerID = [] { return std::string("33333333-4444-4555-8666-777777777777"); };
    manager = link::NetworkManagerForMac::create(std::move(dependencies));
    auto broadcasterDependencies =
        testing::broadcasterDependencies(std::make_shared<link::ManagerSenderLink>(manager), caches.path());
    broadcasterDependencies.timing = {300ms, 200ms};
    broadcaster = LocalVideoBroadcaster::create(std::move(broadcasterDependencies));
    manager->updateBrowsing("start");
  }
  void TearDown() override {
    broadcaster.reset();
    manager.reset();
    for (int i = 0; i < 50; ++i) pump();
  }

  void pump() {
    loop.context().restart();
    loop.context().poll();
  }
  // Links the manager to the emulator published under the name; `instead` leaves the current link.
  void link(link::test::Emulator& emulator, const std::string& name, bool instead = false) {
    ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
    std::optional<platform::bonjour::BrowseResult> tablet;
    loop.runUntil([&] {
      for (const auto& result : manager->discoveredPeers.get()) {
        if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) tablet = result;
      }
      return tablet.has_value();
    });
    const auto lo = std::find_if(tablet->interfaces.begin(), tablet->interfaces.end(),
                                 [](const platform::net::Interface& i) { return i.name == "lo"; });
    ASSERT_NE(lo, tablet->interfaces.end());
    if (instead) {
      manager->selectInterface(*tablet, *lo);
    } else {
      manager->connect(*tablet, *lo);
    }
  }
  nlohmann::json next(link::test::Emulator& emulator, const std::string& event, std::chrono::milliseconds limit = 10s) {
    const auto found = emulator.waitFor(
        event, [&] { pump(); }, limit);
    EXPECT_TRUE(found) << event;
    return found.value_or(nlohmann::json::object());
  }

  runtime::test::MainLoop loop;
  testing::TempDirectory caches;
  testing::LogWindow log;
  std::shared_ptr<link::NetworkManagerForMac> manager;
  std::shared_ptr<LocalVideoBroadcaster> broadcaster;
};

TEST_F(SenderEmulatorTest, TheTabletFetchesTheFileHearsItsTempoAndAnotherTabletGetsANewToken) {
  const auto clip = clickClip(60);
  const auto name = "Sender Tablet " + std::to_string(::getpid());
  link::test::Emulator first({"--interface", "lo", "--name", name, "--ack", "fetch", "--peer-id", "P1"});
  link(first, name);

  // The endpoint at once and then each period, with the token made at construction.
  const auto endpoint = next(first, "source_endpoint");
  const auto token = endpoint["message"]["sessionToken"].get<std::string>();
  EXPECT_EQ(token, broadcaster->sessionToken());
  EXPECT_EQ(next(first, "source_endpoint")["message"]["sessionToken"], token);

  broadcaster->sendLocalFile(clip, Target::a, false);
  const auto url = next(first, "load_video")["message"]["url"].get<std::string>();
  const auto fetched = next(first, "fetch_done");
  EXPECT_EQ(fetched["status"], 206);
  EXPECT_EQ(fetched["sha256"], sha256Of(clip));
  EXPECT_EQ(fetched["bytes"], std::filesystem::file_size(clip));
  loop.runUntil([&] { return broadcaster->deck(Target::a).playback.get().state == Case::ready; });
  const auto tempo = next(first, "video_bpm", 60s);
  EXPECT_EQ(tempo["message"]["bpm"], 120);
  EXPECT_EQ(tempo["message"]["url"], url);
  loop.runUntil([&] { return broadcaster->deck(Target::a).status.get() == "BPM: 120"; });

  // No answer: the time-out, then a late answer that still counts.
  first.command("ack none");
  broadcaster->sendLocalFile(clip, Target::a, false);
  const auto second = next(first, "load_video")["message"]["url"].get<std::string>();
  loop.runUntil([&] { return broadcaster->deck(Target::a).playback.get().state == Case::noResponse; });
  EXPECT_TRUE(log.has("load_video_ack_timeout target=A after_s=0"));
  first.command(R"(send-json {"type":"load_video_ack","target":"A","url":")" + second + R"(","status":"ready"})");
  loop.runUntil([&] { return broadcaster->deck(Target::a).playback.get().state == Case::ready; });

  // The tablet's API under the announced token, and refused under another.
  first.command("api bpm v=file-000000000000000000000000");
  EXPECT_NE(next(first, "api_response")["status"], 403);
  first.command("api-token 0123456789abcdef0123456789abcdef");
  first.command("api bpm v=file-000000000000000000000000");
  EXPECT_EQ(next(first, "api_response")["status"], 403);
  first.command("api-token -");

  // Another tablet links: one rotation, the new token announced, the old one refused.
  const auto otherName = "Other Tablet " + std::to_string(::getpid());
  link::test::Emulator other({"--interface", "lo", "--name", otherName, "--peer-id", "P2"});
  link(other, otherName, true);
  const auto rotated = next(other, "source_endpoint")["message"]["sessionToken"].get<std::string>();
  EXPECT_NE(rotated, token);
  EXPECT_EQ(log.count("session_token_rotate reason=peer_changed"), 1u);
  EXPECT_EQ(broadcaster->deck(Target::a).playback.get().state, Case::none);
  first.command("api bpm v=file-000000000000000000000000");
  EXPECT_EQ(next(first, "api_response")["status"], 403);
  other.command("api bpm v=file-000000000000000000000000");
  EXPECT_NE(next(other, "api_response")["status"], 403);
}

} // namespace
} // namespace pd::sender::test
