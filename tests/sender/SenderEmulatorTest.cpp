// The broadcaster as the receiver builds it, over a real link manager and the tablet emulator on
// a private Avahi daemon: the tablet fetches what it is sent, acknowledges, hears the tempo and
// the endpoint, and a second tablet gets a new session token while the old one is refused.

#include "EmulatorLink.hpp"

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

class SenderEmulatorTest : public EmulatorLinkFixture {
protected:
  void SetUp() override {
    PD_REQUIRE_PRIVATE_AVAHI();
    start();
  }
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
  commandAndWait(first, "ack none");
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
