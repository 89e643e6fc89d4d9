#pragma once

// A link port that records what the sender sends and plays the tablet's side of the link facts,
// and a fixture that runs a real broadcaster (real HTTP server, relay and API service) on a test
// main loop.

#include "runtime/TestSupport.hpp"
#include "link/SenderLink.hpp"
#include "platform/TestSupport.hpp"
#include "platform/log/Logger.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "support/BroadcasterSupport.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pd::sender::test {

using namespace std::chrono_literals;

// Clicks at 120 BPM in stereo AAC beside a small H.264 picture, made once per build tree under a
// private name and renamed into place.
inline std::filesystem::path clickClip(int seconds) {
  const std::filesystem::path folder = PD_SENDER_FIXTURES;
  const auto path = folder / ("clicks120-" + std::to_string(seconds) + "s.mp4");
  if (std::filesystem::exists(path)) return path;
  std::filesystem::create_directories(folder);
  const auto partial = folder / (std::to_string(::getpid()) + ".partial.mp4");
  const auto duration = std::to_string(seconds);
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i "
                              "\"aevalsrc=exprs='sin(2*PI*880*t)*exp(-200*mod(t\\,0.5))':s=44100:d=" +
                              duration + "\" -f lavfi -i testsrc2=size=160x120:rate=25:duration=" + duration +
                              " -c:v libx264 -preset ultrafast -c:a aac '" + partial.string() + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed");
  std::filesystem::rename(partial, path);
  return path;
}

class RecordingSenderLink final : public link::SenderLink {
public:
  struct Sent {
    std::string type; // source_endpoint, load_video, video_bpm
    std::string target;
    std::string url;
    std::optional<std::string> title;
    std::int64_t bpm = 0;
    std::uint16_t port = 0;
    std::string token;
    bool isRepeat = false;
  };

  bool sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat) override {
    sent.push_back({"source_endpoint", {}, {}, {}, 0, httpPort, sessionToken, isRepeat});
    return available && connected;
  }
  bool sendLoadVideo(const std::string& target, const std::string& url,
                     const std::optional<std::string>& title) override {
    if (!(available && connected && sendsSucceed)) return false;
    sent.push_back({"load_video", target, url, title, 0, 0, {}, false});
    return true;
  }
  bool sendVideoBPM(const std::string& target, std::int64_t bpm, const std::optional<std::string>& url) override {
    if (!(available && connected)) return false;
    sent.push_back({"video_bpm", target, url.value_or(""), {}, bpm, 0, {}, false});
    return true;
  }
  std::optional<std::string> localHostForPeer() const override { return available ? host : std::nullopt; }
  std::optional<std::vector<std::string>> peerFeatures() const override { return available ? features : std::nullopt; }
  bool hasConnectedPeer() const override { return available && connected; }
  bool isAvailable() const override { return available; }
  void setCallbacks(Callbacks installed) override { callbacks = std::move(installed); }

  std::vector<Sent> of(const std::string& type) const {
    std::vector<Sent> out;
    for (const auto& message : sent) {
      if (message.type == type) out.push_back(message);
    }
    return out;
  }

  bool available = true;
  bool connected = true;
  bool sendsSucceed = true;
  std::optional<std::string> host = "127.0.0.1";
  std::optional<std::vector<std::string>> features =
      std::vector<std::string>{"load_video", "load_video_ack", "remote_source"};
  std::vector<Sent> sent;
  Callbacks callbacks;
};

class BroadcasterFixture : public ::testing::Test {
protected:
  BroadcasterFixture() { platform::log::setDebugEnabled(true); }
  ~BroadcasterFixture() override { platform::log::setDebugEnabled(false); }

  void make(LocalVideoBroadcaster::Timing timing = {250ms, 150ms}, platform::http::Client::Configuration client = {},
            std::optional<std::string> onlyInstance = std::nullopt) {
    auto dependencies =
        testing::broadcasterDependencies(link, caches.path(), std::move(client), std::move(onlyInstance));
    dependencies.timing = timing;
    broadcaster = LocalVideoBroadcaster::create(std::move(dependencies));
  }

  void runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    loop.runUntil(done, limit);
  }
  // Lets the main loop run for a while.
  void runFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    loop.runUntil([&] { return std::chrono::steady_clock::now() >= until; }, duration + 5s);
  }

  runtime::test::MainLoop loop;
  testing::TempDirectory caches;
  testing::LogWindow log;
  std::shared_ptr<RecordingSenderLink> link = std::make_shared<RecordingSenderLink>();
  std::shared_ptr<LocalVideoBroadcaster> broadcaster;
};

} // namespace pd::sender::test
