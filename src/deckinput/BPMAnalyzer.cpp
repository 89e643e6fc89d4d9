#include "deckinput/BPMAnalyzer.hpp"

#include "diagnostics/Log.hpp"
#include "platform/fft/RealFFT.hpp"
#include "platform/media/AudioPCMBuffer.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace pd::deckinput {

using diagnostics::Log;

namespace {

constexpr std::size_t kFrameSize = static_cast<std::size_t>(BPMAnalyzer::fftSize);
constexpr std::size_t kHop = static_cast<std::size_t>(BPMAnalyzer::hopSize);
constexpr std::size_t kBins = kFrameSize / 2;
// Fewer samples than one frame and its hop give no spectra; this many or fewer are refused
// outright.
constexpr std::size_t kMinimumSamples = 4096;

const char* describe(BPMAnalyzerError::Case c) {
  switch (c) {
  case BPMAnalyzerError::Case::insufficientData: return "解析に十分なオーディオデータがありません";
  case BPMAnalyzerError::Case::analysisFailure: return "BPM解析に失敗しました";
  case BPMAnalyzerError::Case::invalidSampleRate: return "無効なサンプルレートです";
  case BPMAnalyzerError::Case::noOnsetDetected: return "ビートが検出できませんでした";
  }
  return "";
}

// Sums are taken in double for accuracy; one beyond float's range becomes an infinity rather
// than an undefined conversion.
float narrow(double value) noexcept {
  constexpr auto largest = static_cast<double>(std::numeric_limits<float>::max());
  constexpr float infinity = std::numeric_limits<float>::infinity();
  if (value > largest) return infinity;
  if (value < -largest) return -infinity;
  return static_cast<float>(value);
}

// Truncation toward zero that saturates instead of overflowing: a lag that does not fit is
// refused by the lag-window check, not converted.
std::int64_t truncateToLag(float value) noexcept {
  if (!(value >= 0)) return 0;
  if (value >= 9.2e18f) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(value);
}

// Frame i's magnitudes live at [i * kBins, (i + 1) * kBins).
struct Spectra {
  std::vector<float> magnitudes;
  std::size_t count = 0;
};

Spectra computeSpectra(std::span<const float> samples) {
  const auto fft = platform::fft::RealFFT::create(kFrameSize);
  if (!fft) {
    Log::bpm().debug("bpm_pipeline_fail reason=fft_setup");
    return {};
  }
  if (samples.size() < kFrameSize + kHop) return {};
  Spectra spectra;
  spectra.count = (samples.size() - kFrameSize) / kHop;
  spectra.magnitudes.resize(spectra.count * kBins);

  // The periodic Hamming window (denominator N, not N - 1), not normalised.
  std::array<float, kFrameSize> window{};
  for (std::size_t k = 0; k < kFrameSize; ++k)
    window[k] = static_cast<float>(
        0.54 - 0.46 * std::cos(2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(kFrameSize)));

  const std::span<float> input = fft->input();
  const std::span<const std::complex<float>> output = fft->output();
  for (std::size_t frame = 0; frame < spectra.count; ++frame) {
    const float* source = samples.data() + frame * kHop;
    for (std::size_t k = 0; k < kFrameSize; ++k) input[k] = source[k] * window[k];
    fft->execute();
    // Scaled by 2 and with DC and Nyquist sharing bin 0, as a packed real FFT delivers them;
    // the factor cancels when the envelope is normalised, the shared bin does not.
    float* magnitude = spectra.magnitudes.data() + frame * kBins;
    const float dc = 2.0f * output[0].real();
    const float nyquist = 2.0f * output[kBins].real();
    magnitude[0] = std::sqrt(dc * dc + nyquist * nyquist);
    for (std::size_t k = 1; k < kBins; ++k) {
      const float re = 2.0f * output[k].real();
      const float im = 2.0f * output[k].imag();
      magnitude[k] = std::sqrt(re * re + im * im);
    }
  }
  return spectra;
}

std::vector<float> spectralFlux(const Spectra& spectra) {
  if (spectra.count < 2) return {};
  std::vector<float> flux(spectra.count - 1);
  for (std::size_t i = 1; i < spectra.count; ++i) {
    const float* previous = spectra.magnitudes.data() + (i - 1) * kBins;
    const float* current = previous + kBins;
    double sum = 0;
    for (std::size_t k = 0; k < kBins; ++k) {
      const float rise = current[k] - previous[k];
      // Written so that a NaN difference stays NaN and shows up in the envelope.
      sum += rise < 0 ? 0.0 : static_cast<double>(rise);
    }
    flux[i - 1] = narrow(sum);
  }
  float maximum = -std::numeric_limits<float>::infinity();
  for (float value : flux) maximum = std::max(maximum, value);
  if (maximum > 0) {
    const float scale = 1.0f / maximum;
    for (float& value : flux) value *= scale;
  }
  return flux;
}

struct Estimate {
  float tempo = 0;
  float confidence = 0;
};

Estimate estimateTempo(std::span<const float> onset, std::int64_t hop, float sampleRate) {
  const auto n = static_cast<std::int64_t>(onset.size());
  if (n == 0) return {};
  const float frameTime = static_cast<float>(hop) / sampleRate;
  const std::int64_t minLag = truncateToLag((60.0f / BPMAnalyzer::maxBPM) / frameTime);
  const std::int64_t maxLag = truncateToLag((60.0f / BPMAnalyzer::minBPM) / frameTime);
  if (!(minLag >= 1 && maxLag > minLag && n > maxLag)) {
    Log::bpm().debug("bpm_pipeline_fail reason=invalid_lag_range min_lag=%ld max_lag=%ld count=%ld", minLag, maxLag, n);
    return {};
  }

  std::vector<float> autocorrelation(static_cast<std::size_t>(maxLag - minLag + 1));
  for (std::int64_t lag = minLag; lag <= maxLag; ++lag) {
    const auto overlap = static_cast<std::size_t>(n - lag);
    double sum = 0;
    for (std::size_t j = 0; j < overlap; ++j)
      sum += static_cast<double>(onset[j]) * static_cast<double>(onset[j + static_cast<std::size_t>(lag)]);
    autocorrelation[static_cast<std::size_t>(lag - minLag)] = narrow(sum / static_cast<double>(overlap));
  }

  // Strictly greater: among equal maxima the shortest beat period wins.
  float peak = -std::numeric_limits<float>::infinity();
  std::size_t peakIndex = 0;
  double total = 0;
  for (std::size_t i = 0; i < autocorrelation.size(); ++i) {
    if (autocorrelation[i] > peak) {
      peak = autocorrelation[i];
      peakIndex = i;
    }
    total += static_cast<double>(autocorrelation[i]);
  }
  const float mean = narrow(total / static_cast<double>(autocorrelation.size()));
  const std::int64_t bestLag = minLag + static_cast<std::int64_t>(peakIndex);

  Estimate estimate;
  estimate.tempo = 60.0f / (frameTime * static_cast<float>(bestLag));
  if (mean > 0) {
    const float ratio = (peak - mean) / mean;
    estimate.confidence = ratio >= 0 ? std::min(ratio, 1.0f) : 0.0f;
  }
  return estimate;
}

bool validRate(float sampleRate) noexcept { return sampleRate > 0 && std::isfinite(sampleRate); }

} // namespace

BPMAnalyzerError::BPMAnalyzerError(Case c)
    : Error("BPMAnalyzerError", static_cast<std::int64_t>(c), describe(c)), case_(c) {}

std::string_view BPMAnalyzerError::caseName() const noexcept {
  switch (case_) {
  case Case::insufficientData: return "insufficientData";
  case Case::analysisFailure: return "analysisFailure";
  case Case::invalidSampleRate: return "invalidSampleRate";
  case Case::noOnsetDetected: return "noOnsetDetected";
  }
  return "";
}

BPMAnalyzer::Result BPMAnalyzer::analyze(const platform::media::AudioPCMBuffer& buffer, float sampleRate) const {
  if (!validRate(sampleRate)) throw BPMAnalyzerError(BPMAnalyzerError::Case::invalidSampleRate);
  if (buffer.channelCount() == 0 || buffer.frameLength() <= kMinimumSamples)
    throw BPMAnalyzerError(BPMAnalyzerError::Case::insufficientData);
  return analyze(buffer.channel(0), sampleRate);
}

BPMAnalyzer::Result BPMAnalyzer::analyze(std::span<const float> samples, float sampleRate) const {
  // An infinite rate would make every lag zero and the tempo a division by zero.
  if (!validRate(sampleRate)) throw BPMAnalyzerError(BPMAnalyzerError::Case::invalidSampleRate);
  if (samples.size() <= kMinimumSamples) throw BPMAnalyzerError(BPMAnalyzerError::Case::insufficientData);
  const auto& log = Log::bpm();
  log.debug("bpm_pipeline_start samples=%ld rate_hz=%f", static_cast<std::int64_t>(samples.size()), sampleRate);

  const Spectra spectra = computeSpectra(samples);
  if (spectra.count == 0) throw BPMAnalyzerError(BPMAnalyzerError::Case::analysisFailure);
  log.debug("bpm_pipeline_step step=spectrum count=%ld", static_cast<std::int64_t>(spectra.count));

  const std::vector<float> onset = spectralFlux(spectra);
  if (onset.empty()) throw BPMAnalyzerError(BPMAnalyzerError::Case::noOnsetDetected);
  log.debug("bpm_pipeline_step step=onset count=%ld", static_cast<std::int64_t>(onset.size()));
  // Samples of any value reach here: an overflowing or NaN spectrum would let NaN comparisons
  // pick a tempo.
  if (!std::all_of(onset.begin(), onset.end(), [](float v) { return std::isfinite(v); }))
    throw BPMAnalyzerError(BPMAnalyzerError::Case::analysisFailure);
  // A flat envelope (silence, any stationary sound) has no beat: every lag would tie and the
  // shortest would be reported as a tempo.
  if (std::none_of(onset.begin(), onset.end(), [](float v) { return v > 0; }))
    throw BPMAnalyzerError(BPMAnalyzerError::Case::noOnsetDetected);

  Estimate estimate = estimateTempo(onset, hopSize, sampleRate);
  if (!(estimate.tempo > 0) || !std::isfinite(estimate.tempo))
    throw BPMAnalyzerError(BPMAnalyzerError::Case::analysisFailure);
  float tempo = estimate.tempo;
  while (tempo < 90) tempo = tempo + tempo;
  while (tempo >= 180) tempo = tempo * 0.5f;

  Result result;
  result.bpm = static_cast<std::int64_t>(std::lround(tempo));
  result.confidence = estimate.confidence;
  log.debug("bpm_pipeline_complete bpm=%ld confidence=%.*f", result.bpm, 2, result.confidence);
  return result;
}

} // namespace pd::deckinput
