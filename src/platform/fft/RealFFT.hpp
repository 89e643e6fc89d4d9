#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <span>

struct fftwf_plan_s;

namespace pd::platform::fft {

// A forward real-to-complex FFT of a fixed size in single precision, with its own aligned input
// and output buffers: fill input(), call execute(), read output() (size / 2 + 1 bins of the
// standard, unscaled transform X[k] = sum x[m] e^(-2 pi i k m / size)).
//
// One instance belongs to one thread at a time; any number of instances may execute at once.
class RealFFT {
public:
  // nullptr when FFTW cannot plan the size (0, or memory exhausted).
  static std::unique_ptr<RealFFT> create(std::size_t size);

  ~RealFFT();
  RealFFT(const RealFFT&) = delete;
  RealFFT& operator=(const RealFFT&) = delete;

  std::size_t size() const noexcept { return size_; }
  std::span<float> input() noexcept { return {input_, size_}; }
  void execute() noexcept;
  std::span<const std::complex<float>> output() const noexcept { return {output_, size_ / 2 + 1}; }

private:
  RealFFT(std::size_t size, float* input, std::complex<float>* output, fftwf_plan_s* plan) noexcept
      : size_(size), input_(input), output_(output), plan_(plan) {}

  std::size_t size_;
  float* input_;
  std::complex<float>* output_;
  fftwf_plan_s* plan_;
};

} // namespace pd::platform::fft
