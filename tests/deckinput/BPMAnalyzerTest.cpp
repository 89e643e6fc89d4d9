#include "BPMTestSupport.hpp"

#include "deckinput/BPMAnalyzer.hpp"
#include "platform/media/AudioPCMBuffer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <limits>
#include <vector>

namespace pd::deckinput {
namespace {

using test::BPMLogCapture;
using Case = BPMAnalyzerError::Case;
using ::testing::ElementsAre;

using test::kMinute;
using test::kRate;

// Pairs of one-sample clicks exactly `lag` envelope entries apart, each pair at least 90 entries
// from the next: the only repeat the autocorrelation can find in the beat window is `lag`.
std::vector<float> clickPairs(std::size_t lag) {
  std::vector<float> samples(kMinute, 0.0f);
  test::Lcg random(static_cast<std::uint32_t>(lag));
  for (std::size_t at = 4 * 512; at + lag * 512 < samples.size(); at += (lag + 90 + random.next() % 40) * 512) {
    samples[at] = 1.0f;
    samples[at + lag * 512] = 1.0f;
  }
  return samples;
}

Case failureOf(const std::vector<float>& samples, float rate) {
  try {
    BPMAnalyzer().analyze(samples, rate);
  } catch (const BPMAnalyzerError& error) {
    return error.errorCase();
  }
  ADD_FAILURE() << "no error for " << samples.size() << " samples at " << rate;
  return Case::analysisFailure;
}

TEST(BPMAnalyzerTest, ErrorsCarryTheirDescriptionsAndCaseNames) {
  const BPMAnalyzerError error(Case::noOnsetDetected);
  EXPECT_EQ(error.domain(), "BPMAnalyzerError");
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(error.errorDescription(), "ビートが検出できませんでした");
  EXPECT_EQ(error.caseName(), "noOnsetDetected");
  EXPECT_EQ(BPMAnalyzerError(Case::insufficientData).errorDescription(), "解析に十分なオーディオデータがありません");
  EXPECT_EQ(BPMAnalyzerError(Case::analysisFailure).errorDescription(), "BPM解析に失敗しました");
  EXPECT_EQ(BPMAnalyzerError(Case::invalidSampleRate).errorDescription(), "無効なサンプルレートです");
}

TEST(BPMAnalyzerTest, TheRateIsJudgedBeforeTheLengthAndTheLengthBeforeAnything) {
  const std::vector<float> few(10, 0.5f);
  for (float rate : {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
    EXPECT_EQ(failureOf(few, rate), Case::invalidSampleRate) << rate;
  EXPECT_EQ(failureOf(std::vector<float>(4096, 0.5f), kRate), Case::insufficientData);

  const platform::media::AudioPCMBuffer noChannels(kRate, {});
  EXPECT_THROW(BPMAnalyzer().analyze(noChannels, 0.0f), BPMAnalyzerError);
  try {
    BPMAnalyzer().analyze(noChannels, kRate);
    ADD_FAILURE();
  } catch (const BPMAnalyzerError& error) {
    EXPECT_EQ(error.errorCase(), Case::insufficientData);
  }
}

// 47,104 samples make 88 frames and 87 envelope entries, one more than the longest lag (86).
TEST(BPMAnalyzerTest, ATempoNeedsAnEnvelopeLongerThanTheLongestLag) {
  test::Lcg random(7);
  std::vector<float> noise(47'104);
  for (float& sample : noise) sample = random.noise();

  BPMLogCapture log;
  EXPECT_EQ(failureOf(std::vector<float>(noise.begin(), noise.begin() + 4097), kRate), Case::analysisFailure);
  EXPECT_EQ(failureOf(std::vector<float>(noise.begin(), noise.end() - 1), kRate), Case::analysisFailure);
  EXPECT_NO_THROW(BPMAnalyzer().analyze(noise, kRate));
  const auto lines = log.lines();
  EXPECT_THAT(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              ElementsAre("debug bpm_pipeline_start samples=4097 rate_hz=44100.000000",
                          "debug bpm_pipeline_step step=spectrum count=4", "debug bpm_pipeline_step step=onset count=3",
                          "debug bpm_pipeline_fail reason=invalid_lag_range min_lag=25 max_lag=86 count=3"));
  EXPECT_EQ(lines[7], "debug bpm_pipeline_fail reason=invalid_lag_range min_lag=25 max_lag=86 count=86");
}

// Lags are truncated, not rounded (0.3 s is 25.84 entries at 44.1 kHz, so lag 25 is in the
// window), and the tempo is folded into [90, 180) before it is rounded.
TEST(BPMAnalyzerTest, EachLagOfTheWindowGivesItsFoldedTempo) {
  const std::pair<std::size_t, std::int64_t> table[] = {{25, 103}, {26, 99},  {30, 172}, {35, 148},
                                                        {43, 120}, {60, 172}, {86, 120}};
  for (const auto& [lag, bpm] : table) {
    const auto result = BPMAnalyzer().analyze(clickPairs(lag), kRate);
    EXPECT_EQ(result.bpm, bpm) << "lag " << lag;
    EXPECT_FLOAT_EQ(result.confidence, 1.0f) << "lag " << lag;
  }

  BPMLogCapture log;
  BPMAnalyzer().analyze(clickPairs(43), kRate);
  EXPECT_THAT(log.lines(), ElementsAre("debug bpm_pipeline_start samples=2646000 rate_hz=44100.000000",
                                       "debug bpm_pipeline_step step=spectrum count=5163",
                                       "debug bpm_pipeline_step step=onset count=5162",
                                       "debug bpm_pipeline_complete bpm=120 confidence=1.00"));
}

// Each analysis plans its own FFT; planning is serialised inside, so analyses may overlap freely.
TEST(BPMAnalyzerTest, AnalysesRunAtTheSameTimeAgree) {
  const auto samples = clickPairs(35);
  std::vector<std::future<BPMAnalyzer::Result>> runs;
  for (int i = 0; i < 6; ++i)
    runs.push_back(std::async(std::launch::async, [&samples] { return BPMAnalyzer().analyze(samples, kRate); }));
  for (auto& run : runs) EXPECT_EQ(run.get().bpm, 148);
}

// Silence or a stationary sound has no onsets at all: that is no beat, not the shortest lag.
TEST(BPMAnalyzerTest, AnEnvelopeWithoutOnsetsIsNoBeat) {
  EXPECT_EQ(failureOf(std::vector<float>(kMinute, 0.0f), kRate), Case::noOnsetDetected);
  std::vector<float> tone(kMinute);
  for (std::size_t i = 0; i < tone.size(); ++i) tone[i] = std::sin(static_cast<float>(i % 8) * 0.78539816f);
  EXPECT_EQ(failureOf(tone, kRate), Case::noOnsetDetected);
}

TEST(BPMAnalyzerTest, NonFiniteAudioOrUnusableRatesFailInsteadOfPickingATempo) {
  auto withNaN = clickPairs(43);
  withNaN[100'000] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(failureOf(withNaN, kRate), Case::analysisFailure);
  auto huge = clickPairs(43);
  for (std::size_t i = 200'000; i < 210'000; ++i) huge[i] = 3e38f;
  EXPECT_EQ(failureOf(huge, kRate), Case::analysisFailure);

  // So fast a rate that the lags do not fit an integer; so slow that the shortest lag is 0.
  BPMLogCapture log;
  EXPECT_EQ(failureOf(clickPairs(43), 3e38f), Case::analysisFailure);
  EXPECT_EQ(failureOf(clickPairs(43), 1000.0f), Case::analysisFailure);
  const auto lines = log.lines();
  EXPECT_EQ(lines.at(3), "debug bpm_pipeline_fail reason=invalid_lag_range min_lag=9223372036854775807 "
                         "max_lag=9223372036854775807 count=5162");
  EXPECT_EQ(lines.at(7), "debug bpm_pipeline_fail reason=invalid_lag_range min_lag=0 max_lag=1 count=5162");
}

} // namespace
} // namespace pd::deckinput
