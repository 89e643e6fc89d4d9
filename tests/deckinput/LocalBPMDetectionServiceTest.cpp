// The detection service on real files that ffmpeg makes at test time, decoded by real FFmpeg.
#include "BPMTestSupport.hpp"
#include "platform/TestSupport.hpp"
#include "runtime/TestSupport.hpp"
#include "support/ChildProcess.hpp"

#include "deckinput/LocalBPMDetectionService.hpp"
#include "platform/media/AudioSampleReader.hpp"
#include "platform/media/MediaError.hpp"
#include "runtime/Clock.hpp"
#include "runtime/ThreadPools.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/error.h>
}

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <future>
#include <limits>
#include <random>
#include <string>
#include <system_error>

namespace pd::deckinput {
namespace {

using namespace std::chrono_literals;
using test::BPMLogCapture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr std::size_t kCap = 2'646'000;

// Fixtures are made once per build tree and shared by the test processes; each is written under
// a private name and renamed into place, so concurrent makers never see half a file.
std::filesystem::path fixture(const std::string& name, const std::string& ffmpegArguments) {
  const std::filesystem::path folder = PD_BPM_FIXTURES;
  const auto path = folder / name;
  if (std::filesystem::exists(path)) return path;
  std::filesystem::create_directories(folder);
  const auto partial = folder / (std::to_string(::getpid()) + ".partial." + name);
  const std::string command = "ffmpeg -nostdin -v error -y " + ffmpegArguments + " '" + partial.string() + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("ffmpeg failed: " + command);
  std::filesystem::rename(partial, path);
  return path;
}

// A burst of 880 Hz decaying within a few milliseconds on every beat, in stereo.
std::string clicks(int bpm, int seconds) {
  return "-f lavfi -i \"aevalsrc=exprs='sin(2*PI*880*t)*exp(-200*mod(t\\," + std::to_string(60.0 / bpm) +
         "))':s=44100:d=" + std::to_string(seconds) + "\" -ac 2";
}
std::string video(int seconds) {
  return "-f lavfi -i testsrc2=size=160x120:rate=25:duration=" + std::to_string(seconds);
}

std::filesystem::path clicksWithH264() {
  return fixture("clicks120-h264.mp4", clicks(120, 20) + " " + video(20) + " -c:v libx264 -preset ultrafast -c:a aac");
}

class LocalBPMDetectionServiceTest : public ::testing::Test {
protected:
  BPMDetectionResult detect(const std::filesystem::path& file) {
    const LocalBPMDetectionService service;
    auto task = runtime::spawn(runtime::backgroundPool().executor(), [&] { return service.detectBPM(file); });
    if (!runtime::test::waitUntilFinished(task, 60s)) throw std::runtime_error("detectBPM did not finish");
    return task.state()->result();
  }

  // dur_ms reads 0 on a clock that does not move.
  runtime::ManualClock clock;
  runtime::ScopedClock scopedClock{clock};
  BPMLogCapture log;
};

TEST_F(LocalBPMDetectionServiceTest, MeasuresTheFirstAudioTrackBesideH264OrHEVCVideo) {
  const auto result = detect(clicksWithH264());
  ASSERT_TRUE(result.bpm.has_value());
  EXPECT_EQ(*result.bpm, 120);
  EXPECT_FALSE(result.isTransientFailure);
  char confidence[16];
  std::snprintf(confidence, sizeof confidence, "%.2f", static_cast<double>(result.confidence));
  const auto lines = log.lines();
  EXPECT_EQ(lines.front(), "default bpm_detect_start file=<private>");
  EXPECT_EQ(lines.back(), "default bpm_detect_complete bpm=120 confidence=" + std::string(confidence) + " dur_ms=0");
  EXPECT_THAT(lines, ::testing::Contains(::testing::StartsWith("debug bpm_pipeline_step step=pcm_collect samples=8")));

  const auto hevc =
      fixture("clicks96-hevc.mp4", clicks(96, 20) + " " + video(20) +
                                       " -c:v libx265 -preset ultrafast -x265-params log-level=error -c:a aac");
  const auto slower = detect(hevc);
  ASSERT_TRUE(slower.bpm.has_value());
  EXPECT_NEAR(static_cast<double>(*slower.bpm), 96.0, 2.0);

  // The first audio track in the file's order, though FFmpeg would rank the richer second one best.
  const auto twoTracks =
      fixture("two-tracks.mkv", clicks(120, 10) + " " + clicks(96, 10) +
                                    " -map 0:a -map 1:a -c:a:0 aac -ac:a:0 1 -b:a:0 32k "
                                    "-c:a:1 pcm_s16le -ac:a:1 2 -disposition:a:0 0 -disposition:a:1 default");
  const auto first = detect(twoTracks);
  ASSERT_TRUE(first.bpm.has_value());
  EXPECT_EQ(*first.bpm, 120);
}

TEST_F(LocalBPMDetectionServiceTest, AVideoWithoutAudioHasNoTempoAndIsNotTransient) {
  const auto file = fixture("silent-video.mp4", video(2) + " -c:v libx264 -preset ultrafast");
  EXPECT_EQ(detect(file), (BPMDetectionResult{std::nullopt, 0.0f, false}));
  EXPECT_THAT(log.lines(), ElementsAre("default bpm_detect_start file=<private>",
                                       "error bpm_extract_fail reason=no_audio_track file=<private>",
                                       "error bpm_detect_fail reason=insufficientData file=<private> dur_ms=0"));
}

TEST_F(LocalBPMDetectionServiceTest, ATrackThatCannotBeDecodedOrIsTooShortIsNotTransient) {
  pd::testing::TempDirectory folder;
  // A WAV header announcing 16-bit mono 44.1 kHz samples, and no samples.
  const unsigned char header[] = {'R', 'I', 'F', 'F', 36, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
                                  ' ', 16,  0,   0,   0,  1, 0,   1,   0,   0x44, 0xAC, 0,   0,   0x88, 0x58,
                                  1,   0,   2,   0,   16, 0, 'd', 'a', 't', 'a',  0,    0,   0,   0};
  std::ofstream(folder / "empty.wav", std::ios::binary).write(reinterpret_cast<const char*>(header), sizeof header);
  EXPECT_EQ(detect(folder / "empty.wav"), (BPMDetectionResult{std::nullopt, 0.0f, false}));
  EXPECT_THAT(log.lines(), ElementsAre("default bpm_detect_start file=<private>",
                                       "debug bpm_pipeline_step step=pcm_collect samples=0 dur_s=0.0",
                                       "error bpm_detect_fail reason=insufficientData file=<private> dur_ms=0"));

  // The same header with a format tag no decoder knows, and samples: no reader can be made.
  BPMLogCapture unknownLog;
  std::ofstream unknown(folder / "unknown.wav", std::ios::binary);
  unknown.write(reinterpret_cast<const char*>(header), sizeof header);
  unknown.write(std::string(4096, '\x10').data(), 4096);
  unknown.seekp(20);
  unknown.write("\x34\x12", 2);
  unknown.close();
  EXPECT_EQ(detect(folder / "unknown.wav"), (BPMDetectionResult{std::nullopt, 0.0f, false}));
  EXPECT_EQ(unknownLog.lines().back(),
            "error bpm_detect_fail err_domain=MediaError err_code=" + std::to_string(AVERROR_DECODER_NOT_FOUND) +
                " error=<private> file=<private> dur_ms=0");

  BPMLogCapture shortLog;
  const auto second = fixture("one-second.wav", clicks(120, 1) + " -c:a pcm_s16le");
  EXPECT_EQ(detect(second), (BPMDetectionResult{std::nullopt, 0.0f, false}));
  EXPECT_THAT(
      shortLog.lines(),
      ::testing::AllOf(::testing::Contains("debug bpm_pipeline_step step=pcm_collect samples=44100 dur_s=1.0"),
                       ::testing::Contains("error bpm_detect_fail reason=analysisFailure file=<private> dur_ms=0")));
}

TEST_F(LocalBPMDetectionServiceTest, FilesThatCannotBeReadAreTransientGarbageIsNot) {
  pd::testing::TempDirectory folder;
  EXPECT_EQ(detect(folder / "vanished.mp4"), (BPMDetectionResult{std::nullopt, 0.0f, true}));
  EXPECT_EQ(log.lines().back(),
            "error bpm_detect_fail err_domain=MediaError err_code=-2 error=<private> file=<private> dur_ms=0");

  BPMLogCapture garbageLog;
  test::Lcg random(5);
  std::ofstream garbage(folder / "random.mp4", std::ios::binary);
  for (int i = 0; i < 65536; ++i) garbage.put(static_cast<char>(random.next() >> 24));
  garbage.close();
  EXPECT_EQ(detect(folder / "random.mp4"), (BPMDetectionResult{std::nullopt, 0.0f, false}));
  EXPECT_THAT(garbageLog.lines().back(),
              ::testing::MatchesRegex("error bpm_detect_fail err_domain=MediaError err_code=-[0-9]+ "
                                      "error=<private> file=<private> dur_ms=0"));

  // Root reads any file, so an unprivileged child tries instead.
  std::filesystem::permissions(folder.path(), std::filesystem::perms::others_exec, std::filesystem::perm_options::add);
  const auto locked = folder / "locked.mp4";
  std::filesystem::copy_file(clicksWithH264(), locked);
  std::filesystem::permissions(locked, std::filesystem::perms::none);
  pd::testing::ChildProcess probe(PD_BPM_DETECT_PROBE, {"65534", locked.string()});
  EXPECT_EQ(probe.readLine(30s), "bpm=- transient=1");
}

// Lets go a reader stuck in opening a FIFO, so that a failing run still ends.
struct FIFOWriterAtExit {
  std::filesystem::path fifo;
  ~FIFOWriterAtExit() {
    if (const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) ::close(fd);
  }
};

TEST_F(LocalBPMDetectionServiceTest, AFIFOInAFilesPlaceFailsAtOnceAndForGoodALinkIsFollowed) {
  pd::testing::TempDirectory folder;
  const auto fifo = folder / "swapped.mp4";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::future<std::unique_ptr<platform::media::AudioSampleReader>> opening;
  const FIFOWriterAtExit release{fifo}; // goes before the future, whose end waits for the reader
  opening = std::async(std::launch::async, [&fifo] { return platform::media::AudioSampleReader::open(fifo); });
  ASSERT_EQ(opening.wait_for(10s), std::future_status::ready) << "opening a FIFO blocked";
  std::exception_ptr failure;
  try {
    opening.get();
  } catch (const platform::media::MediaError& error) {
    EXPECT_EQ(error.code(), AVERROR(EINVAL));
    failure = std::current_exception();
  }
  ASSERT_TRUE(failure) << "a FIFO opened as media";
  EXPECT_FALSE(LocalBPMDetectionService::isTransientFailure(failure));

  const auto link = folder / "chosen.mp4";
  std::filesystem::create_symlink(clicksWithH264(), link);
  EXPECT_TRUE(platform::media::AudioSampleReader::open(link)->hasAudioTrack());
}

TEST_F(LocalBPMDetectionServiceTest, NaNSamplesInAFloatTrackFailTheAnalysis) {
  pd::testing::TempDirectory folder;
  std::vector<float> samples(441'000, 0.0f);
  for (std::size_t at = 0; at < samples.size(); at += 22'050) samples[at] = 1.0f;
  for (std::size_t i = 200'000; i < 200'100; ++i) samples[i] = std::numeric_limits<float>::quiet_NaN();
  std::ofstream(folder / "nan.f32", std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()),
             static_cast<std::streamsize>(samples.size() * sizeof(float)));
  const auto mov = fixture("nan-" + std::to_string(::getpid()) + ".mov",
                           "-f f32le -ar 44100 -ac 1 -i '" + (folder / "nan.f32").string() + "' -c:a pcm_f32le");
  const auto result = detect(mov);
  std::filesystem::remove(mov);
  EXPECT_EQ(result, (BPMDetectionResult{std::nullopt, 0.0f, false}));
  EXPECT_EQ(log.lines().back(), "error bpm_detect_fail reason=analysisFailure file=<private> dur_ms=0");
}

TEST_F(LocalBPMDetectionServiceTest, ALongFileIsDecodedOnlyUpToTheBufferThatReachesTheCap) {
  const auto part = fixture("sine-30s.m4a", "-f lavfi -i sine=frequency=440:duration=30:sample_rate=44100 -c:a aac");
  const auto tenMinutes = fixture("sine-10min.m4a", "-stream_loop 19 -i '" + part.string() + "' -c copy");
  const LocalBPMDetectionService service;

  // The bytes this thread read from files, not time: a loaded machine stretches processor time
  // as well as wall time (0.26 s for the capped decode against 0.72 s for the whole was seen),
  // while what a decode that stops at the cap reads does not depend on the machine.
  const auto bytesRead = [] {
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    std::int64_t value = -1;
    while (io >> key >> value)
      if (key == "rchar:") return value;
    ADD_FAILURE() << "no rchar in /proc/thread-self/io";
    return std::int64_t{-1};
  };
  const std::int64_t start = bytesRead();
  const auto capped = service.extractSamples(tenMinutes, service.analysisDuration);
  const std::int64_t cappedBytes = bytesRead() - start;
  EXPECT_GE(capped.frameLength(), kCap);
  EXPECT_LT(capped.frameLength(), kCap + 1024); // AAC decodes 1024 samples a buffer
  EXPECT_EQ(capped.sampleRate(), 44100.0);

  const std::int64_t fullStart = bytesRead();
  const auto whole = service.extractSamples(tenMinutes, 3600.0);
  const std::int64_t fullBytes = bytesRead() - fullStart;
  EXPECT_GT(whole.frameLength(), 9 * kCap);
  EXPECT_LT(cappedBytes, fullBytes / 3) << "capped " << cappedBytes << " bytes read, whole " << fullBytes;
}

TEST_F(LocalBPMDetectionServiceTest, AHeaderClaimingATinyRateStaysNearTheCapAndUnbroken) {
  pd::testing::TempDirectory folder;
  // 16-bit mono claimed at 1 Hz: every sample becomes 44,100, so one 2048-sample packet would be
  // 90 million samples. The samples rise by 64 steps of 32,768 each.
  const unsigned char header[] = {'R', 'I', 'F', 'F', 0x24, 0x40, 0,   0,   'W', 'A', 'V', 'E',  'f', 'm', 't',
                                  ' ', 16,  0,   0,   0,    1,    0,   1,   0,   1,   0,   0,    0,   2,   0,
                                  0,   0,   2,   0,   16,   0,    'd', 'a', 't', 'a', 0,   0x40, 0,   0};
  std::ofstream wav(folder / "one-hertz.wav", std::ios::binary);
  wav.write(reinterpret_cast<const char*>(header), sizeof header);
  for (int i = 0; i < 8192; ++i) {
    const int value = (i % 512) * 64;
    const char bytes[] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
    wav.write(bytes, 2);
  }
  wav.close();

  const LocalBPMDetectionService service;
  const auto samples = service.extractSamples(folder / "one-hertz.wav", service.analysisDuration);
  EXPECT_GE(samples.frameLength(), kCap);
  EXPECT_LT(samples.frameLength(), kCap + 70'000);
  // Past the converter's run-in from silence (16 claimed samples), each claimed second rises by
  // the same step: slices are joined without a gap, a repeat or a restart.
  const auto channel = samples.channel(0);
  const float step = 64.0f / 32768.0f;
  for (std::size_t at = 800'000; at + 44'100 < channel.size(); at += 997) {
    ASSERT_NEAR(channel[at + 44'100] - channel[at], step, step * 0.05f) << "at sample " << at;
  }
}

TEST_F(LocalBPMDetectionServiceTest, DamagedSoundCostsOnlyItsOwnPackets) {
  // The sound alone is damaged: the index comes first and only bytes after the media box's
  // header change, five of them in 20 s, at places a fixed seed picks. Whatever code the decoder
  // reports a damaged packet with, and whether it does so on the packet or on its frames, the
  // rest of the track still carries the beat. Measured on this thread: the service's own pool
  // runs at a lower priority, which a loaded machine starves.
  const auto whole =
      fixture("clicks120-5.1-faststart.m4a", clicks(120, 20) + " -ac 6 -c:a aac -b:a 192k -movflags +faststart");
  std::string bytes(std::filesystem::file_size(whole), '\0');
  std::ifstream(whole, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const auto media = bytes.find("mdat");
  ASSERT_NE(media, std::string::npos);
  ASSERT_GT(bytes.size(), media + 40'000);
  pd::testing::TempDirectory folder;
  const LocalBPMDetectionService service;
  for (unsigned seed = 0; seed < 8; ++seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> at(media + 4, bytes.size() - 1);
    std::string damaged = bytes;
    for (int flip = 0; flip < 5; ++flip) damaged[at(random)] = static_cast<char>(random() & 0xFF);
    const auto file = folder / ("damaged-" + std::to_string(seed) + ".m4a");
    std::ofstream(file, std::ios::binary).write(damaged.data(), static_cast<std::streamsize>(damaged.size()));
    std::optional<std::int64_t> tempo;
    try {
      tempo = service.bpmAnalyzer.analyze(service.extractSamples(file, service.analysisDuration), 44'100.0f).bpm;
    } catch (const std::exception& error) {
      ADD_FAILURE() << "seed " << seed << ": " << error.what();
    }
    EXPECT_EQ(tempo, std::optional<std::int64_t>(120)) << "seed " << seed;
  }
}

TEST_F(LocalBPMDetectionServiceTest, ATransportStreamIsReadOnPastAStretchOfDamage) {
  // A quarter megabyte of zeros halfway, as a dropout or a download's unfilled gap leaves: far
  // more than the demuxer searches for its sync byte at one go, after which it asks to be called
  // again. Measured on this thread, as above.
  const auto whole = fixture("clicks120-20s.ts", clicks(120, 20) + " -c:a aac -f mpegts");
  std::string bytes(std::filesystem::file_size(whole), '\0');
  std::ifstream(whole, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::size_t middle = bytes.size() / 2 / 188 * 188;
  ASSERT_EQ(bytes[middle], 0x47);
  bytes.insert(middle, std::string(256 * 1024, '\0'));
  pd::testing::TempDirectory folder;
  const auto file = folder / "gap.ts";
  std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  const LocalBPMDetectionService service;
  platform::media::AudioPCMBuffer samples;
  try {
    samples = service.extractSamples(file, service.analysisDuration);
  } catch (const std::exception& error) {
    FAIL() << error.what() << ", transient: " << LocalBPMDetectionService::isTransientFailure(std::current_exception());
  }
  // What comes after the gap counts too: only the packets it cut through are lost.
  EXPECT_GT(samples.frameLength(), 19 * 44'100u);
  EXPECT_EQ(service.bpmAnalyzer.analyze(samples, 44'100.0f).bpm, 120);
}

TEST(LocalBPMDetectionServiceDeathTest, RefusesToBlockTheMainThread) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        runtime::test::MainLoop loop;
        const LocalBPMDetectionService service;
        loop.run([&] { return service.detectBPM("any.mp4"); });
      },
      "off the main thread");
}

TEST(LocalBPMDetectionServiceTransienceTest, LooksAtMostEightErrorsDeepForPassingConditions) {
  const auto nestedUnder = [](std::exception_ptr inner, int wrappers) {
    for (int i = 0; i < wrappers; ++i) {
      try {
        try {
          std::rethrow_exception(inner);
        } catch (...) {
          std::throw_with_nested(Error("Wrapper", i, "wrapper"));
        }
      } catch (...) {
        inner = std::current_exception();
      }
    }
    return inner;
  };
  const auto transient = [](const std::exception_ptr& e) { return LocalBPMDetectionService::isTransientFailure(e); };
  const auto posix = [](int errnum) { return std::make_exception_ptr(PosixError(errnum, "")); };

  for (int errnum : {EINTR, ENOENT, EIO, ENXIO, ENODEV, EAGAIN, ENETDOWN, ENETUNREACH, ENETRESET, ECONNABORTED,
                     ECONNRESET, ETIMEDOUT, EHOSTDOWN, EHOSTUNREACH, ESTALE})
    EXPECT_TRUE(transient(posix(errnum))) << errnum;
  for (int errnum : {EACCES, EPERM, ENOSPC, EINVAL, 35, 60}) EXPECT_FALSE(transient(posix(errnum))) << errnum;
  for (auto code : {FileReadError::Code::unknown, FileReadError::Code::noPermission, FileReadError::Code::noSuchFile})
    EXPECT_TRUE(transient(std::make_exception_ptr(FileReadError(code, ""))));
  EXPECT_TRUE(transient(std::make_exception_ptr(std::system_error(ETIMEDOUT, std::generic_category()))));
  // A POSIX code beyond 32 bits is not the errno it would wrap to.
  EXPECT_FALSE(transient(std::make_exception_ptr(Error("POSIX", (std::int64_t{1} << 32) + ENOENT, ""))));

  EXPECT_TRUE(transient(nestedUnder(posix(ENOENT), 7)));
  EXPECT_FALSE(transient(nestedUnder(posix(ENOENT), 8)));
  EXPECT_FALSE(transient(nestedUnder(std::make_exception_ptr(42), 1)));
  EXPECT_FALSE(transient(std::make_exception_ptr(BPMAnalyzerError(BPMAnalyzerError::Case::insufficientData))));
  EXPECT_FALSE(transient(nullptr));
}

} // namespace
} // namespace pd::deckinput
