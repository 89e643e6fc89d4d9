#pragma once

// A remote video whose bytes the relay fetches under its real address policy, for tests and the
// send benchmark run through tools/testenv/netns-run.sh with tests/sender/netns/hosts: the fake
// video API on 3fff::10 (an address the policy counts as remote) and separate picture and sound
// streams as adaptive streams come.

#include "platform/http/HttpClient.hpp"
#include "support/FakeRemote.hpp"

#include <nlohmann/json.hpp>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pd::sender::test {

// True inside the namespace, where the hosts file names the instance.
inline bool insideTestNamespace() {
  ::addrinfo hints{};
  hints.ai_family = AF_INET6;
  ::addrinfo* found = nullptr;
  if (::getaddrinfo("inv.remote.test", nullptr, &hints, &found) != 0) return false;
  ::freeaddrinfo(found);
  return true;
}

// The fake video API on the namespace's remote-looking address, serving the CDN server's name too.
inline std::unique_ptr<testing::FakeRemote> startRemote() {
  return std::make_unique<testing::FakeRemote>(
      std::vector<std::string>{"--bind", "3fff::10", "--name", "r4---sn-fake01.cdn.test"});
}

// Every request on the standard ports goes to the fake, which the hosts file places at 3fff::10.
inline platform::http::Client::Configuration clientOf(const testing::FakeRemote& remote) {
  platform::http::Client::Configuration client;
  client.extraCAFile = remote.caFile();
  client.connectTo = {":443:[3fff::10]:" + std::to_string(remote.httpsPort()),
                      ":80:[3fff::10]:" + std::to_string(remote.httpPort())};
  return client;
}

// Separate picture and sound streams, fragmented with a global segment index as adaptive streams
// are, made once per folder: the picture from the fixture maker, the sound 120 BPM clicks.
inline std::pair<std::filesystem::path, std::filesystem::path> adaptiveStreams(const std::filesystem::path& folder,
                                                                               int seconds) {
  std::filesystem::create_directories(folder);
  const auto video = folder / ("adaptive-video-" + std::to_string(seconds) + "s.mp4");
  const auto audio = folder / ("adaptive-clicks-" + std::to_string(seconds) + "s.mp4");
  if (!std::filesystem::exists(video)) {
    const auto partial = folder / (std::to_string(::getpid()) + ".partial-video.mp4");
    const std::string command = "'" + std::string(PD_SOURCE_DIR) + "/tools/fixtures/make-fmp4-fixture.sh' video '" +
                                partial.string() + "' " + std::to_string(seconds);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make-fmp4-fixture.sh failed");
    std::filesystem::rename(partial, video);
  }
  if (!std::filesystem::exists(audio)) {
    const auto partial = folder / (std::to_string(::getpid()) + ".partial-audio.mp4");
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i "
                                "\"aevalsrc=exprs='sin(2*PI*880*t)*exp(-200*mod(t\\,0.5))':s=44100:d=" +
                                std::to_string(seconds) +
                                "\" "
                                "-c:a aac -b:a 96k -vn -f mp4 -movflags +dash+global_sidx -frag_duration 2000000 '" +
                                partial.string() + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed");
    std::filesystem::rename(partial, audio);
  }
  return {video, audio};
}

// A muxed stream of the given announced length, served from the media file named by the video's id.
inline nlohmann::json muxedVideo(const std::string& title, const std::string& clen) {
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

inline nlohmann::json adaptiveVideo(const std::filesystem::path& video, const std::filesystem::path& audio) {
  const auto cdn = std::string("https://r4---sn-fake01.cdn.test/videoplayback?itag=");
  return {{"title", "Adaptive"},
          {"adaptiveFormats",
           {{{"url", cdn + "137&id=adaptiveVideo"},
             {"type", "video/mp4; codecs=\"avc1.4d400d\""},
             {"qualityLabel", "180p"},
             {"bitrate", "300000"},
             {"itag", "137"},
             {"clen", std::to_string(std::filesystem::file_size(video))},
             {"size", "320x180"}},
            {{"url", cdn + "140&id=adaptiveAudio"},
             {"type", "audio/mp4; codecs=\"mp4a.40.2\""},
             {"bitrate", "96000"},
             {"itag", "140"},
             {"clen", std::to_string(std::filesystem::file_size(audio))}}}}};
}

} // namespace pd::sender::test
