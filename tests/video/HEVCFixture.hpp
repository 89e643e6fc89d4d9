#pragma once

// HEVC streams for the decoder's tests and benchmarks, encoded at run time with the ffmpeg
// command-line tool and libx265 (Debian's ffmpeg package) and cut into the access units the
// tablet sends: NAL units behind 4-byte big-endian lengths, one coded picture per unit.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pd::video::fixture {

struct Clip {
  std::string file; // the Annex-B stream, kept until the process exits
  std::vector<std::vector<std::uint8_t>> accessUnits;
  std::vector<bool> randomAccess; // per unit: an IRAP picture
  std::size_t pictures() const { return accessUnits.size(); }
  // The first random-access unit at or after `index`; pictures() when there is none.
  std::size_t nextRandomAccess(std::size_t index) const;
};

struct PatternShape {
  // One keyframe, the first picture, with parameter sets before every picture.
  bool singleKeyframe = false;
  // "bt601", "bt709", "bt2020": the colour description the stream carries; empty for none.
  std::string matrix;
  auto operator<=>(const PatternShape&) const = default;
};

// ffmpeg's moving test pattern, shaped like the tablet's stream (no B-frames, parameter sets
// before every keyframe, a keyframe every `fps` pictures), by tools/fixtures/make-hevc-fixture.sh.
// nullopt when ffmpeg or libx265 is missing; the reason goes to stderr.
std::optional<Clip> testPattern(int width, int height, int frames, int fps, const PatternShape& shape = {});

// A stream of another kind: `source` is an ffmpeg lavfi source ("color=c=white:size=64x48"),
// `pixelFormat` the encoder's input format ("yuv420p10le", "yuvj420p" for full range). Same
// encoder shape as testPattern, a keyframe every 30 pictures.
std::optional<Clip> encode(const std::string& source, const std::string& pixelFormat, int frames);

// The clip with the conformance window of every SPS replaced (luma samples from each edge), by
// ffmpeg's hevc_metadata filter; the pictures stay as coded. nullopt when ffmpeg fails.
struct Window {
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
};
std::optional<Clip> withWindow(const Clip& clip, const Window& window);

// True when a missing encoder must fail the test rather than skip it (CI=true).
bool encoderRequired();

// NAL units joined into one access unit, each behind its 4-byte big-endian length.
std::vector<std::uint8_t> lengthPrefixed(const std::vector<std::vector<std::uint8_t>>& units);

} // namespace pd::video::fixture
