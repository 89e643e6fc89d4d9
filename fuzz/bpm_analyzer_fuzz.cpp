// The tempo analyser on arbitrary samples and sample rates: it must never crash or hit undefined
// behaviour, and whatever it answers must lie in its documented ranges.
//
// Input: byte 0 chooses the forms below; bytes 1..4 the rate (raw float bits, or 8,000 Hz plus
// a 16-bit step of 2 Hz); bytes 5..6 the length (up to 200,000 samples, so that analyses reach
// the autocorrelation); the rest is the audio, tiled to that length (raw float bits, or 8-bit
// samples, which make beats from short inputs).

#include "deckinput/BPMAnalyzer.hpp"
#include "platform/log/Logger.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    pd::platform::log::setStderrEnabled(false);
    pd::platform::log::setDebugEnabled(true); // the debug lines' arguments get formatted too
    return true;
  }();
  (void)quiet;
  if (size < 7) return 0;

  const bool rawRate = (data[0] & 1) != 0;
  const bool rawSamples = (data[0] & 2) != 0;
  float rate = 0;
  if (rawRate) std::memcpy(&rate, data + 1, sizeof rate);
  else rate = 8000.0f + 2.0f * static_cast<float>(data[1] | (data[2] << 8));
  const std::size_t length = static_cast<std::size_t>(data[5] | (data[6] << 8)) % 25'001 * 8;
  const std::uint8_t* audio = data + 7;
  const std::size_t audioSize = size - 7;

  std::vector<float> samples(length, 0.0f);
  if (rawSamples && audioSize >= sizeof(float)) {
    const std::size_t count = audioSize / sizeof(float);
    for (std::size_t i = 0; i < length; ++i)
      std::memcpy(&samples[i], audio + (i % count) * sizeof(float), sizeof(float));
  } else if (!rawSamples && audioSize > 0) {
    for (std::size_t i = 0; i < length; ++i)
      samples[i] = static_cast<float>(static_cast<std::int8_t>(audio[i % audioSize])) / 128.0f;
  }

  try {
    const auto result = pd::deckinput::BPMAnalyzer().analyze(samples, rate);
    check(result.bpm >= 90 && result.bpm <= 180);
    check(result.confidence >= 0.0f && result.confidence <= 1.0f);
  } catch (const pd::deckinput::BPMAnalyzerError& error) {
    check(!error.errorDescription().empty());
  }
  return 0;
}
