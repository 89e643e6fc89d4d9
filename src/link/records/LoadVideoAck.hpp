#pragma once

// The tablet's answer to a load request, and the reason words that its answers and its
// stream-stop notices may carry.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pd::link {

struct LoadVideoAck {
  enum class Status : std::uint8_t { ready, failed, replaced };

  std::string target; // "A" or "B"
  std::string url; // the address the load request carried
  Status status = Status::ready;
  std::optional<std::string> reason; // exactly as received; none when the message had none

  // An absent reason and an empty one differ.
  friend bool operator==(const LoadVideoAck&, const LoadVideoAck&) = default;
};

// "ready", "failed", "replaced".
constexpr std::string_view toString(LoadVideoAck::Status status) noexcept {
  switch (status) {
  case LoadVideoAck::Status::ready: return "ready";
  case LoadVideoAck::Status::failed: return "failed";
  case LoadVideoAck::Status::replaced: return "replaced";
  }
  return "ready";
}
// Exact and case-sensitive.
constexpr std::optional<LoadVideoAck::Status> loadVideoAckStatusFromText(std::string_view text) noexcept {
  if (text == "ready") return LoadVideoAck::Status::ready;
  if (text == "failed") return LoadVideoAck::Status::failed;
  if (text == "replaced") return LoadVideoAck::Status::replaced;
  return std::nullopt;
}

inline constexpr std::array<std::string_view, 3> kLoadFailureReasons = {"invalid_url", "load_failed",
                                                                        "playback_failed"};
inline constexpr std::array<std::string_view, 3> kStreamStopReasons = {"mode_change", "background", "user"};

namespace detail {
template <std::size_t N>
std::string_view loggedReason(const std::array<std::string_view, N>& words,
                              const std::optional<std::string>& reason) noexcept {
  if (!reason) return "-";
  const auto found = std::find(words.begin(), words.end(), std::string_view(*reason));
  return found != words.end() ? *found : std::string_view("other");
}
} // namespace detail

// A reason as log lines show it: a known word unchanged, any other text "other", none "-".
inline std::string_view loggedLoadFailureReason(const std::optional<std::string>& reason) noexcept {
  return detail::loggedReason(kLoadFailureReasons, reason);
}
inline std::string_view loggedStreamStopReason(const std::optional<std::string>& reason) noexcept {
  return detail::loggedReason(kStreamStopReasons, reason);
}

} // namespace pd::link
