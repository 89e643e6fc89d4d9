#include "relay/RemoteMedia.hpp"

#include "platform/text/Ascii.hpp"

#include <charconv>

namespace pd::relay {

namespace {

// An optional sign and decimal digits, nothing else, within 64 bits.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > kMax + 1u) return std::nullopt;
    return magnitude == kMax + 1u ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

} // namespace

bool identityMatches(const remotesource::MediaIdentity& old, const remotesource::MediaIdentity& fresh,
                     std::optional<std::int64_t> knownTotal) {
  if (old.itag != fresh.itag) return false;
  if (!old.contentLength || !fresh.contentLength || *old.contentLength != *fresh.contentLength) return false;
  if (knownTotal && *knownTotal != *old.contentLength) return false;
  return old.lastModified == fresh.lastModified;
}

std::optional<ContentRange> parseContentRange(std::optional<std::string_view> header) {
  if (!header) return std::nullopt;
  std::string_view text = *header;
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  constexpr std::string_view kPrefix = "bytes ";
  if (!platform::text::asciiStartsWithIgnoreCase(text, kPrefix)) return std::nullopt;
  const auto slash = text.find('/');
  if (slash == std::string_view::npos || slash < kPrefix.size()) return std::nullopt;
  const std::string_view rangePart = text.substr(kPrefix.size(), slash - kPrefix.size());
  const std::string_view totalPart = text.substr(slash + 1);

  // At most one split at "-", empty pieces skipped: "-5-10" reads as 5 and 10, "5--10" as 5 and -10.
  std::string_view pieces[2];
  int count = 0;
  std::size_t pieceStart = 0;
  std::size_t at = 0;
  for (; at < rangePart.size(); ++at) {
    if (rangePart[at] != '-') continue;
    if (at > pieceStart) {
      pieces[count++] = rangePart.substr(pieceStart, at - pieceStart);
      pieceStart = at + 1;
      break;
    }
    pieceStart = at + 1;
  }
  if (pieceStart < rangePart.size()) pieces[count++] = rangePart.substr(pieceStart);
  if (count != 2) return std::nullopt;
  const auto start = parseDecimal(pieces[0]);
  const auto end = parseDecimal(pieces[1]);
  if (!start || !end || *end < *start) return std::nullopt;
  ContentRange range{*start, *end, std::nullopt};
  if (totalPart != "*" && !totalPart.empty()) range.total = parseDecimal(totalPart);
  return range;
}

} // namespace pd::relay
