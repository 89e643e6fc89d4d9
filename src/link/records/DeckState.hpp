#pragma once

#include "runtime/Clock.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace pd::link {

// One DJ deck's state as the deck input last heard it: transport flags, tempo and beat,
// pitch, and the track's metadata. Identified by its deck number; the deck input updates
// single fields and the link sends a few of them to the tablet.
struct DeckState {
  std::int64_t deckNumber = 0;
  bool isPlaying = false;
  bool isOnAir = false;
  std::optional<runtime::Clock::WallTime> lastPlayingUpdate;
  float musicBPM = 0.0F;
  std::int64_t beat = 0;
  std::int64_t beatWithinBar = 0;
  // 1.0 plays the track at its own speed.
  float pitchMultiplier = 1.0F;
  std::string musicTitle;
  std::string musicArtist;
  std::string album;
  std::string genre;
  std::string key;
  std::string label;
  std::string originalArtist;
  std::string remixer;
  std::string color;
  std::string comment;
  std::string dateAdded;
  float duration = 0.0F; // seconds
  std::int64_t bitRate = 0;
  std::int64_t rating = 0;
  std::int64_t tempoMeta = 0;
  std::int64_t year = 0;
  std::int64_t artworkId = 0;
  bool hasCues = false;
  std::string rawMetadata;
  runtime::Clock::WallTime lastUpdateTime{};

  // Everything at its initial value, lastUpdateTime now. Inline, so that the deck input can
  // use the record without linking the link library.
  explicit DeckState(std::int64_t number) : deckNumber(number), lastUpdateTime(runtime::Clock::current().wall()) {}

  // The record's identity: two records of one deck are the same deck whatever their fields.
  std::int64_t id() const noexcept { return deckNumber; }

  // Field by field (floats as IEEE values).
  friend bool operator==(const DeckState&, const DeckState&) = default;
};

} // namespace pd::link
