#pragma once

// Where the stages of the video pipeline report work they dropped because it belonged to an
// earlier link epoch. The ingest keeps the count; frame sharing holds it weakly through its
// owner, so a stage never calls back into the link to reach it.

#include <cstdint>
#include <optional>
#include <string_view>

namespace pd::video {

enum class StaleEpochSource : std::uint8_t { display, syphon, syphonLate, recv, json };
std::string_view toString(StaleEpochSource source) noexcept;

class StaleEpochSink {
public:
  // Any thread.
  virtual void recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream) = 0;

protected:
  ~StaleEpochSink() = default;
};

} // namespace pd::video
