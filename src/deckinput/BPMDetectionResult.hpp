#pragma once

#include <cstdint>
#include <optional>

namespace pd::deckinput {

// The outcome of measuring a file's tempo. A failure has no bpm and confidence 0; it is
// transient when trying the same file again later may succeed.
struct BPMDetectionResult {
  std::optional<std::int64_t> bpm; // 90 to 180
  float confidence = 0; // 0 to 1
  bool isTransientFailure = false;

  bool operator==(const BPMDetectionResult&) const = default;
};

} // namespace pd::deckinput
