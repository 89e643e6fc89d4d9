#include "deckinput/LocalBPMDetectionService.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "platform/media/AudioSampleReader.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace pd::deckinput {

using diagnostics::Log;
using diagnostics::LogErrorFields;

namespace {

constexpr int kOutputRate = 44100;
constexpr int kMostErrorsExamined = 8;

bool isTransientErrno(std::int64_t code) noexcept {
  if (code < std::numeric_limits<int>::min() || code > std::numeric_limits<int>::max()) return false;
  switch (static_cast<int>(code)) {
  case EINTR:
  case ENOENT:
  case EIO:
  case ENXIO:
  case ENODEV:
  case EAGAIN:
  case ENETDOWN:
  case ENETUNREACH:
  case ENETRESET:
  case ECONNABORTED:
  case ECONNRESET:
  case ETIMEDOUT:
  case EHOSTDOWN:
  case EHOSTUNREACH:
  case ESTALE: return true;
  default: return false;
  }
}

bool isTransientOne(const std::exception& error) noexcept {
  if (const auto* ours = dynamic_cast<const Error*>(&error)) {
    if (ours->domain() == "POSIX") return isTransientErrno(ours->code());
    if (ours->domain() == "FileReadError") {
      const auto code = static_cast<FileReadError::Code>(ours->code());
      return code == FileReadError::Code::unknown || code == FileReadError::Code::noPermission ||
             code == FileReadError::Code::noSuchFile;
    }
    return false;
  }
  if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
    const auto& category = system->code().category();
    if (category == std::generic_category() || category == std::system_category())
      return isTransientErrno(system->code().value());
  }
  return false;
}

std::int64_t millisecondsSince(runtime::Clock::MonotonicTime start) {
  const auto elapsed = runtime::Clock::current().monotonic() - start;
  return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

} // namespace

runtime::Awaitable<BPMDetectionResult> LocalBPMDetectionService::detectBPM(std::filesystem::path url) const {
  if (runtime::MainThread::isMainThread()) {
    std::fprintf(stderr, "LocalBPMDetectionService::detectBPM blocks for seconds: run it off the main thread\n");
    std::abort();
  }
  const auto& log = Log::bpm();
  const std::string file = url.filename().string();
  log.notice("bpm_detect_start file=%s", file);
  const auto start = runtime::Clock::current().monotonic();
  std::exception_ptr failure;
  try {
    const platform::media::AudioPCMBuffer buffer = extractSamples(url, analysisDuration);
    const BPMAnalyzer::Result result = bpmAnalyzer.analyze(buffer, static_cast<float>(outputSampleRate));
    log.notice("bpm_detect_complete bpm=%ld confidence=%.*f dur_ms=%ld", result.bpm, 2, result.confidence,
               millisecondsSince(start));
    co_return BPMDetectionResult{result.bpm, result.confidence, false};
  } catch (const BPMAnalyzerError& error) {
    log.error("bpm_detect_fail reason=%{public}s file=%s dur_ms=%ld", error.caseName(), file, millisecondsSince(start));
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
    const auto fields = LogErrorFields::fields(failure, true);
    log.error("bpm_detect_fail err_domain=%{public}s err_code=%ld error=%s file=%s dur_ms=%ld", fields.domain,
              fields.code, fields.detail, file, millisecondsSince(start));
  }
  co_return BPMDetectionResult{std::nullopt, 0.0f, isTransientFailure(failure)};
}

platform::media::AudioPCMBuffer LocalBPMDetectionService::extractSamples(const std::filesystem::path& url,
                                                                         double maxDuration) const {
  const auto& log = Log::bpm();
  auto reader = platform::media::AudioSampleReader::open(url);
  if (!reader->hasAudioTrack()) {
    log.error("bpm_extract_fail reason=no_audio_track file=%s", url.filename().string());
    throw BPMAnalyzerError(BPMAnalyzerError::Case::insufficientData);
  }
  reader->createDecoder();
  try {
    reader->startReading(kOutputRate);
  } catch (...) {
    const auto fields = LogErrorFields::fields(std::current_exception(), true);
    log.error("bpm_extract_fail reason=reader_start err_domain=%{public}s err_code=%ld error=%s", fields.domain,
              fields.code, fields.detail);
    throw;
  }

  // The product is range-checked before it becomes a count: NaN or less than one sample caps
  // at the first buffer, and room is reserved only up to what a sane cap needs.
  const double product = maxDuration * kOutputRate;
  const std::size_t cap = product >= 1 ? static_cast<std::size_t>(std::min(product, 1e15)) : 0;
  std::vector<float> samples;
  samples.reserve(std::min<std::size_t>(cap, std::size_t{1} << 28));
  bool reachedCap = false;
  do {
    if (!reader->appendNextBuffer(samples)) break;
    reachedCap = samples.size() >= cap;
  } while (!reachedCap);
  if (reachedCap) reader->cancelReading();

  const auto count = static_cast<std::int64_t>(samples.size());
  log.debug("bpm_pipeline_step step=pcm_collect samples=%ld dur_s=%.*f", count, 1,
            static_cast<double>(count) / kOutputRate);
  if (samples.empty()) throw BPMAnalyzerError(BPMAnalyzerError::Case::insufficientData);
  std::vector<std::vector<float>> channels;
  channels.push_back(std::move(samples));
  return platform::media::AudioPCMBuffer(kOutputRate, std::move(channels));
}

bool LocalBPMDetectionService::isTransientFailure(const std::exception_ptr& error) {
  std::exception_ptr current = error;
  for (int examined = 0; examined < kMostErrorsExamined && current; ++examined) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& failure) {
      if (isTransientOne(failure)) return true;
      const auto* nested = dynamic_cast<const std::nested_exception*>(&failure);
      if (nested == nullptr) return false;
      current = nested->nested_ptr();
    } catch (...) {
      return false;
    }
  }
  return false;
}

} // namespace pd::deckinput
