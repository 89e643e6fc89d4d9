#pragma once

#include "runtime/Error.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace pd::platform::media {
class AudioPCMBuffer;
} // namespace pd::platform::media

namespace pd::deckinput {

// Domain "BPMAnalyzerError", code the case's position, detail the user-facing description.
class BPMAnalyzerError : public Error {
public:
  enum class Case : std::uint8_t { insufficientData, analysisFailure, invalidSampleRate, noOnsetDetected };

  explicit BPMAnalyzerError(Case c);

  Case errorCase() const noexcept { return case_; }
  // "insufficientData" …: the word failure lines print as their reason.
  std::string_view caseName() const noexcept;
  const std::string& errorDescription() const noexcept { return detail(); }

private:
  Case case_;
};

// Estimates the tempo of mono audio: magnitude spectra of Hamming-windowed frames, their
// positive spectral flux as an onset envelope, and the autocorrelation of that envelope over
// the beat periods of minBPM to maxBPM, folded into [90, 180). Pure computation; an instance
// keeps no state between calls, so any number of analyses may run at once.
class BPMAnalyzer final {
public:
  static constexpr std::int64_t fftSize = 2048;
  static constexpr std::int64_t hopSize = 512;
  static constexpr float minBPM = 60;
  static constexpr float maxBPM = 200;

  struct Result {
    std::int64_t bpm = 0; // 90 to 180
    float confidence = 0; // 0 to 1
  };

  // Reads the first channel's frameLength() samples. Throws BPMAnalyzerError.
  Result analyze(const platform::media::AudioPCMBuffer& buffer, float sampleRate) const;
  // Throws BPMAnalyzerError.
  Result analyze(std::span<const float> samples, float sampleRate) const;
};

} // namespace pd::deckinput
