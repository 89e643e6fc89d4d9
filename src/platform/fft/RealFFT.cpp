#include "platform/fft/RealFFT.hpp"

#include <fftw3.h>

#include <climits>
#include <mutex>

namespace pd::platform::fft {

namespace {

// FFTW's planner keeps global state (wisdom, the twiddle cache): making and destroying plans must
// be serialised across the process, while executing distinct plans is safe from any thread.
std::mutex& plannerMutex() {
  static std::mutex mutex;
  return mutex;
}

struct AlignedFree {
  void operator()(void* memory) const noexcept { fftwf_free(memory); }
};

} // namespace

std::unique_ptr<RealFFT> RealFFT::create(std::size_t size) {
  if (size == 0 || size > static_cast<std::size_t>(INT_MAX)) return nullptr;
  std::unique_ptr<float, AlignedFree> input(fftwf_alloc_real(size));
  std::unique_ptr<fftwf_complex, AlignedFree> output(fftwf_alloc_complex(size / 2 + 1));
  if (!input || !output) return nullptr;
  fftwf_plan plan = nullptr;
  {
    std::scoped_lock lock(plannerMutex());
    // Estimating leaves the buffers untouched and costs microseconds; measuring would cost more
    // than the few thousand transforms an analysis runs.
    plan = fftwf_plan_dft_r2c_1d(static_cast<int>(size), input.get(), output.get(), FFTW_ESTIMATE);
  }
  if (plan == nullptr) return nullptr;
  // fftwf_complex is float[2], laid out as std::complex<float> is required to be.
  auto* complexOutput = reinterpret_cast<std::complex<float>*>(output.release());
  return std::unique_ptr<RealFFT>(new RealFFT(size, input.release(), complexOutput, plan));
}

RealFFT::~RealFFT() {
  {
    std::scoped_lock lock(plannerMutex());
    fftwf_destroy_plan(plan_);
  }
  fftwf_free(output_);
  fftwf_free(input_);
}

void RealFFT::execute() noexcept { fftwf_execute(plan_); }

} // namespace pd::platform::fft
