// A real encoder's stream through the whole sending path: the fixture script makes it, the emulator
// splits it into access units and datagrams, and the reassembled units must decode frame for frame.

#include "EmulatorTestSupport.hpp"

#include "tablet-emulator/VideoClip.hpp"
#include "tablet-emulator/VideoDatagram.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace pd::tools::tablet {
namespace {

namespace fs = std::filesystem;

bool onCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

std::string run(const std::string& command, int& status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    status = -1;
    return output;
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  status = ::pclose(pipe);
  return output;
}

class FixtureRoundTrip : public ::testing::Test {
protected:
  void SetUp() override {
    int status = 0;
    run("command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1", status);
    if (status != 0) {
      if (onCi()) {
        FAIL() << "ffmpeg/ffprobe missing (Debian package ffmpeg)";
      }
      GTEST_SKIP() << "ffmpeg/ffprobe missing (Debian package ffmpeg)";
    }
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr ? base : "/tmp") + "/pd-emulator-fixture.XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    const char* made = ::mkdtemp(buffer.data());
    ASSERT_NE(made, nullptr);
    dir_ = made;
  }
  void TearDown() override {
    if (!dir_.empty()) {
      std::error_code ec;
      fs::remove_all(dir_, ec);
    }
  }

  fs::path dir_;
};

TEST_F(FixtureRoundTrip, EveryFrameSurvivesFragmentationAndDecodes) {
  const fs::path clipPath = dir_ / "clip.hevc";
  int status = 0;
  const std::string script = std::string(PD_TOOLS_DIR) + "/fixtures/make-hevc-fixture.sh";
  const std::string made = run(script + " '" + clipPath.string() + "' 96 64 45 15 2>&1", status);
  ASSERT_EQ(status, 0) << made;

  const Bytes file = readFileBounded(clipPath.string(), maxClipFileBytes);
  // Small slices so that most frames span several datagrams.
  constexpr std::size_t payload = 200;
  const VideoClip clip = prepareClip(file, payload);
  ASSERT_EQ(clip.accessUnits.size(), 45u) << "one access unit per encoded frame";
  EXPECT_EQ(clip.keyframes, 3u) << "a keyframe with parameter sets every 15 frames";
  EXPECT_TRUE(clip.startsWithKeyframe);
  EXPECT_EQ(clip.skippedOversize, 0u);

  test::Reassembler reassembler;
  SequenceCounter sequences;
  Bytes rebuilt;
  std::size_t multiSlice = 0;
  for (const Bytes& au : clip.accessUnits) {
    const auto fragments = fragmentAccessUnit(au, 0, sequences.next(), payload);
    ASSERT_EQ(fragments.error, FragmentResult::Error::none);
    multiSlice += fragments.datagrams.size() > 1 ? 1 : 0;
    std::optional<test::Reassembler::Frame> frame;
    for (const Bytes& datagram : fragments.datagrams) {
      std::string error;
      frame = reassembler.add(datagram, error);
      ASSERT_TRUE(error.empty()) << error;
    }
    ASSERT_TRUE(frame);
    const Bytes annexB = test::lengthPrefixedToAnnexB(frame->payload);
    ASSERT_FALSE(annexB.empty()) << "length prefixes do not add up";
    rebuilt.insert(rebuilt.end(), annexB.begin(), annexB.end());
  }
  EXPECT_GT(multiSlice, 0u);

  const fs::path rebuiltPath = dir_ / "rebuilt.hevc";
  {
    std::ofstream out(rebuiltPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(rebuilt.data()), static_cast<std::streamsize>(rebuilt.size()));
  }
  const std::string frames = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                 "stream=nb_read_frames -of csv=p=0 '" +
                                     rebuiltPath.string() + "' 2>&1",
                                 status);
  ASSERT_EQ(status, 0) << frames;
  EXPECT_EQ(std::stoi(frames), 45) << frames;
}

} // namespace
} // namespace pd::tools::tablet
