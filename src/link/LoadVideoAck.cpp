#include "link/LoadVideoAck.hpp"

#include <algorithm>

namespace pd::link {

namespace {

template <std::size_t N>
std::string_view reduce(const std::array<std::string_view, N>& words, const std::optional<std::string>& reason) noexcept {
  if (!reason) return "-";
  const auto found = std::find(words.begin(), words.end(), std::string_view(*reason));
  return found != words.end() ? *found : std::string_view("other");
}

} // namespace

std::string_view toString(LoadVideoAck::Status status) noexcept {
  switch (status) {
  case LoadVideoAck::Status::ready: return "ready";
  case LoadVideoAck::Status::failed: return "failed";
  case LoadVideoAck::Status::replaced: return "replaced";
  }
  return "ready";
}

std::optional<LoadVideoAck::Status> loadVideoAckStatusFromText(std::string_view text) noexcept {
  if (text == "ready") return LoadVideoAck::Status::ready;
  if (text == "failed") return LoadVideoAck::Status::failed;
  if (text == "replaced") return LoadVideoAck::Status::replaced;
  return std::nullopt;
}

std::string_view loggedLoadFailureReason(const std::optional<std::string>& reason) noexcept {
  return reduce(kLoadFailureReasons, reason);
}

std::string_view loggedStreamStopReason(const std::optional<std::string>& reason) noexcept {
  return reduce(kStreamStopReasons, reason);
}

} // namespace pd::link
