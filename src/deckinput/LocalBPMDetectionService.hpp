#pragma once

#include "deckinput/BPMAnalyzer.hpp"
#include "deckinput/BPMDetectionResult.hpp"
#include "platform/media/AudioPCMBuffer.hpp"
#include "runtime/Task.hpp"

#include <exception>
#include <filesystem>

namespace pd::deckinput {

// Measures the tempo of a media file on this computer from up to the first analysisDuration
// seconds of its first audio track, decoded to mono float at outputSampleRate. Callers make a
// fresh service for every file; separate services share nothing.
class LocalBPMDetectionService final {
public:
  const BPMAnalyzer bpmAnalyzer{};
  const double analysisDuration = 60.0; // seconds
  const double outputSampleRate = 44100.0;

  // Never throws: a failure is a result without bpm. Decoding and analysis block the calling
  // thread for up to seconds, so callers spawn it on runtime::backgroundPool(); calling it on the
  // main thread aborts. There is no cancellation point: a cancelled caller still gets a result.
  runtime::Awaitable<BPMDetectionResult> detectBPM(std::filesystem::path url) const;

  // Blocking. Throws what opening and decoding throw, or BPMAnalyzerError::insufficientData when
  // there is no audio track or nothing decodes. Stops after the buffer that reaches the cap.
  platform::media::AudioPCMBuffer extractSamples(const std::filesystem::path& url, double maxDuration) const;

  // Whether the error, or one of the errors nested beneath it (eight in all at most), is a
  // passing condition of a file or the network.
  static bool isTransientFailure(const std::exception_ptr& error);
};

} // namespace pd::deckinput
