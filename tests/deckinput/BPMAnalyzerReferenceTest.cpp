// The analyser against an independent numpy model in float32, fed the very same samples.
#include "BPMTestSupport.hpp"
#include "platform/TestSupport.hpp"

#include "deckinput/BPMAnalyzer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace pd::deckinput {
namespace {

using test::kMinute;
using test::kRate;
constexpr float kTwoPi = 6.2831853f;

struct Signal {
  std::string name;
  std::vector<float> samples;
};

// Adds `voice(t)` for t in [0, length) seconds at every `period` seconds from `offset` on.
void addEvery(std::vector<float>& samples, double period, double offset, double length,
              const std::function<float(double)>& voice) {
  const auto span = static_cast<std::size_t>(length * kRate);
  for (double at = offset; at * kRate < static_cast<double>(samples.size()); at += period) {
    const auto start = static_cast<std::size_t>(at * kRate);
    for (std::size_t i = 0; i < span && start + i < samples.size(); ++i)
      samples[start + i] += voice(static_cast<double>(i) / kRate);
  }
}

std::vector<Signal> signals() {
  std::vector<Signal> result;
  test::Lcg random(2024);
  for (double bpm : {75.0, 95.0, 120.0, 140.0, 165.0, 190.0}) {
    std::vector<float> samples(kMinute, 0.0f);
    addEvery(samples, 60.0 / bpm, 0.1, 0.01,
             [&](double t) { return random.noise() * static_cast<float>(std::exp(-t * 400)); });
    result.push_back({"clicks " + std::to_string(static_cast<int>(bpm)), std::move(samples)});
  }
  for (double bpm : {100.0, 128.0, 174.0}) {
    const double beat = 60.0 / bpm;
    std::vector<float> samples(kMinute, 0.0f);
    addEvery(samples, 2 * beat, 0.05, 0.25, [](double t) {
      return 0.8f * std::sin(kTwoPi * static_cast<float>(55 * t)) * static_cast<float>(std::exp(-t * 12));
    });
    addEvery(samples, 2 * beat, 0.05 + beat, 0.15,
             [&](double t) { return 0.5f * random.noise() * static_cast<float>(std::exp(-t * 25)); });
    addEvery(samples, beat / 2, 0.05, 0.04,
             [&](double t) { return 0.15f * random.noise() * static_cast<float>(std::exp(-t * 90)); });
    result.push_back({"drums " + std::to_string(static_cast<int>(bpm)), std::move(samples)});
  }
  {
    // Noise swelling on every beat of 110 BPM under a constant hiss.
    std::vector<float> samples(kMinute);
    const double beat = 60.0 / 110.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const double phase = std::fmod(static_cast<double>(i) / kRate, beat) / beat;
      samples[i] = random.noise() * static_cast<float>(0.1 + 0.9 * std::exp(-phase * 8));
    }
    result.push_back({"pulsed noise 110", std::move(samples)});
  }
  return result;
}

std::string reference(const std::filesystem::path& file) {
  const std::string command = "/usr/bin/python3 '" PD_BPM_REFERENCE "' '" + file.string() + "' 44100";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  ::pclose(pipe);
  return output;
}

TEST(BPMAnalyzerReferenceTest, AgreesWithTheFloat32ModelOnBeatsDrumsAndPulsedNoise) {
  pd::testing::TempDirectory folder;
  for (const auto& signal : signals()) {
    const auto file = folder / "samples.f32";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(signal.samples.data()),
               static_cast<std::streamsize>(signal.samples.size() * sizeof(float)));
    std::istringstream expected(reference(file));
    std::int64_t bpm = 0;
    float confidence = -1;
    ASSERT_TRUE(expected >> bpm >> confidence) << signal.name << ": " << expected.str();

    const auto ours = BPMAnalyzer().analyze(signal.samples, kRate);
    EXPECT_EQ(ours.bpm, bpm) << signal.name;
    EXPECT_NEAR(ours.confidence, confidence, 1e-4) << signal.name;
    EXPECT_GT(confidence, 0.2f) << signal.name << ": the signal has no clear peak to compare";
  }
}

} // namespace
} // namespace pd::deckinput
