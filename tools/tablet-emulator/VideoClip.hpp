#pragma once

// A video file prepared for sending: its access units, already length-prefixed, in file order.

#include "tablet-emulator/AnnexB.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pd::tools::tablet {

inline constexpr std::size_t maxClipFileBytes = 512u * 1024u * 1024u;

struct VideoClip {
  std::vector<Bytes> accessUnits;
  std::size_t keyframes = 0; // random-access units carrying all three parameter sets
  std::size_t skippedOversize = 0; // units the receiver would refuse at the chosen payload size
  std::size_t skippedWithoutPicture = 0;
  std::size_t largestAccessUnit = 0;
  bool startsWithKeyframe = false; // a receiver can start decoding at the first unit (and on every loop)
};

// Prepares an Annex-B stream. Units that cannot be sent whole (too long, or too many fragments at
// `payloadSize`) and units without a picture are left out and counted.
VideoClip prepareClip(ByteSpan annexB, std::size_t payloadSize);

// Reads a whole file of at most `maxBytes`; throws std::runtime_error naming the path and the cause.
Bytes readFileBounded(const std::string& path, std::size_t maxBytes);

} // namespace pd::tools::tablet
