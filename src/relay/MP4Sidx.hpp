#pragma once

// Reads the initialization segment's length and the first segment index of a fragmented MP4
// stream from its leading bytes. Pure: no state, no I/O, no logging.

#include "runtime/Error.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pd::relay {

struct MP4Segment {
  std::int64_t byteOffset = 0; // absolute, from the stream's first byte
  std::int64_t byteSize = 0;
  double durationSeconds = 0;

  friend bool operator==(const MP4Segment&, const MP4Segment&) = default;
};

// Domain "MP4SidxError", code the case's position, detail the bare case name.
class MP4SidxError : public Error {
public:
  enum class Case : std::int64_t { sidxNotFound, initSegmentNotFound, malformedAtom, truncated, hierarchical };

  explicit MP4SidxError(Case errorCase);
  Case errorCase() const noexcept { return case_; }

  friend bool operator==(const MP4SidxError& a, const MP4SidxError& b) noexcept { return a.case_ == b.case_; }

private:
  Case case_;
};

class MP4Sidx {
public:
  struct Index {
    std::vector<MP4Segment> segments;
    std::int64_t initSegmentSize = 0; // at least 1
  };

  // Throws MP4SidxError.
  static Index parse(std::span<const std::uint8_t> bytes);
  // The segments of the "sidx" box at `at` whose header declares `size`. Throws MP4SidxError.
  static std::vector<MP4Segment> parseSidx(std::span<const std::uint8_t> data, std::size_t at, std::uint32_t size);
};

} // namespace pd::relay
