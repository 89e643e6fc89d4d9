#pragma once

// The tablet's answer to a load request, and the reason words that its answers and its
// stream-stop notices may carry.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pd::link {

struct LoadVideoAck {
  enum class Status : std::uint8_t { ready, failed, replaced };

  std::string target; // "A" or "B"
  std::string url;    // the address the load request carried
  Status status = Status::ready;
  std::optional<std::string> reason; // exactly as received; none when the message had none

  // An absent reason and an empty one differ.
  friend bool operator==(const LoadVideoAck&, const LoadVideoAck&) = default;
};

// "ready", "failed", "replaced".
std::string_view toString(LoadVideoAck::Status status) noexcept;
// Exact and case-sensitive.
std::optional<LoadVideoAck::Status> loadVideoAckStatusFromText(std::string_view text) noexcept;

inline constexpr std::array<std::string_view, 3> kLoadFailureReasons = {"invalid_url", "load_failed",
                                                                        "playback_failed"};
inline constexpr std::array<std::string_view, 3> kStreamStopReasons = {"mode_change", "background", "user"};

// A reason as log lines show it: a known word unchanged, any other text "other", none "-".
std::string_view loggedLoadFailureReason(const std::optional<std::string>& reason) noexcept;
std::string_view loggedStreamStopReason(const std::optional<std::string>& reason) noexcept;

} // namespace pd::link
