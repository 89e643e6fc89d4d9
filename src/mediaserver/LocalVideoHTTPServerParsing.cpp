// The server's pure parsers: request head, query, header lookup, byte ranges, content types.

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/log/Utf8.hpp"
#include "platform/text/Ascii.hpp"
#include "platform/text/PercentEncoding.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

namespace pd::mediaserver {

namespace {

using platform::text::asciiLowerCopy;

// Decodes one UTF-8 scalar at the front (or back) of text; 0 bytes when malformed.
std::size_t decodeFront(std::string_view text, char32_t& out) noexcept {
  const auto b0 = static_cast<unsigned char>(text[0]);
  std::size_t n = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || n > text.size()) {
    return 0;
  }
  char32_t value = n == 1 ? b0 : n == 2 ? (b0 & 0x1Fu) : n == 3 ? (b0 & 0x0Fu) : (b0 & 0x07u);
  for (std::size_t i = 1; i < n; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[i]) & 0x3Fu);
  }
  out = value;
  return n;
}

// Unicode white space of the space-separator category, and the tab.
bool isUnicodeSpace(char32_t c) noexcept {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The text is valid UTF-8 here (the head was checked as a whole).
std::string_view trimUnicodeSpaces(std::string_view text) noexcept {
  while (!text.empty()) {
    char32_t c = 0;
    const auto n = decodeFront(text, c);
    if (n == 0 || !isUnicodeSpace(c)) {
      break;
    }
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0u) == 0x80u) {
      --start;
    }
    char32_t c = 0;
    const auto n = decodeFront(text.substr(start), c);
    if (n == 0 || start + n != text.size() || !isUnicodeSpace(c)) {
      break;
    }
    text.remove_suffix(n);
  }
  return text;
}

std::string_view trimSpacesAndTabs(std::string_view text) noexcept {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string decodedQueryPart(std::string_view raw) {
  std::string plus(raw);
  std::replace(plus.begin(), plus.end(), '+', ' ');
  // A key or value that would not decode to UTF-8 stays as sent.
  if (auto decoded = platform::text::percentDecoded(plus); decoded && platform::log::isValidUtf8(*decoded)) {
    return *decoded;
  }
  return std::string(raw);
}

// A signed 64-bit decimal: an optional sign, then one or more ASCII digits, nothing else.
std::optional<std::int64_t> parseDecimal(std::string_view text) noexcept {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      return std::nullopt;
    }
    magnitude = magnitude * 10 + digit;
  }
  constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > maxPositive) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > maxPositive + 1) return std::nullopt;
  if (magnitude == maxPositive + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

// Splits at every occurrence of the separator, keeping empty pieces.
std::vector<std::string_view> splitKeepingEmpty(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  std::size_t from = 0;
  while (true) {
    const auto at = text.find(separator, from);
    if (at == std::string_view::npos) {
      pieces.push_back(text.substr(from));
      return pieces;
    }
    pieces.push_back(text.substr(from, at - from));
    from = at + separator.size();
  }
}

} // namespace

std::optional<LocalVideoHTTPServer::RequestHead> LocalVideoHTTPServer::parseHead(std::string_view head) {
  if (!platform::log::isValidUtf8(head)) {
    return std::nullopt;
  }
  RequestHead parsed;
  for (const auto line : splitKeepingEmpty(head, "\r\n")) {
    parsed.lines.emplace_back(line);
  }
  const auto parts = splitKeepingEmpty(parsed.lines.front(), " ");
  if (parts.size() < 2) {
    return std::nullopt;
  }
  parsed.method.assign(parts[0]);
  std::transform(parsed.method.begin(), parsed.method.end(), parsed.method.begin(), platform::text::asciiUpper);
  std::string_view target = parts[1];
  if (!target.empty() && target.front() == '/') {
    target.remove_prefix(1);
  }
  if (const auto mark = target.find('?'); mark != std::string_view::npos) {
    parsed.path.assign(target.substr(0, mark));
    parsed.query.emplace(target.substr(mark + 1));
  } else {
    parsed.path.assign(target);
  }
  return parsed;
}

std::map<std::string, std::string> LocalVideoHTTPServer::parseQuery(const std::optional<std::string>& query) {
  std::map<std::string, std::string> result;
  if (!query || query->empty()) {
    return result;
  }
  for (const auto piece : splitKeepingEmpty(*query, "&")) {
    if (piece.empty()) {
      continue;
    }
    const auto equals = piece.find('=');
    auto key = decodedQueryPart(piece.substr(0, equals));
    if (result.contains(key)) {
      continue;
    }
    result.emplace(std::move(key),
                   equals == std::string_view::npos ? std::string() : decodedQueryPart(piece.substr(equals + 1)));
  }
  return result;
}

std::optional<std::string> LocalVideoHTTPServer::headerValue(std::string_view name,
                                                             const std::vector<std::string>& lines) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    if (platform::text::asciiEqualsIgnoreCase(trimUnicodeSpaces(line.substr(0, colon)), name)) {
      return std::string(trimUnicodeSpaces(line.substr(colon + 1)));
    }
  }
  return std::nullopt;
}

std::optional<LocalVideoHTTPServer::ByteRange> LocalVideoHTTPServer::parseRange(std::string_view value,
                                                                                std::int64_t size) {
  if (size < 1 || !platform::text::asciiStartsWithIgnoreCase(value, "bytes=")) {
    return std::nullopt;
  }
  const auto rest = value.substr(6);
  std::string_view piece = rest;
  for (const auto candidate : splitKeepingEmpty(rest, ",")) {
    if (!candidate.empty()) {
      piece = candidate;
      break;
    }
  }
  const auto dash = piece.find('-');
  if (dash == std::string_view::npos) {
    return std::nullopt;
  }
  const auto first = trimSpacesAndTabs(piece.substr(0, dash));
  const auto second = trimSpacesAndTabs(piece.substr(dash + 1));
  std::int64_t start = 0;
  std::int64_t end = size - 1;
  if (first.empty()) {
    const auto suffix = parseDecimal(second);
    if (second.empty() || !suffix || *suffix < 1) {
      return std::nullopt;
    }
    start = *suffix >= size ? 0 : size - *suffix;
  } else {
    const auto parsedStart = parseDecimal(first);
    if (!parsedStart) {
      return std::nullopt;
    }
    start = *parsedStart;
    if (!second.empty()) {
      const auto parsedEnd = parseDecimal(second);
      if (!parsedEnd) {
        return std::nullopt;
      }
      end = *parsedEnd;
    }
  }
  end = std::min(end, size - 1);
  if (start < 0 || start > end || start >= size) {
    return std::nullopt;
  }
  return ByteRange{start, end};
}

std::string LocalVideoHTTPServer::contentType(const std::filesystem::path& file) {
  auto extension = file.extension().string();
  if (!extension.empty()) {
    extension.erase(0, 1);
  }
  extension = asciiLowerCopy(extension);
  static const std::array<std::pair<std::string_view, std::string_view>, 7> kTypes{{
      {"mp4", "video/mp4"},
      {"m4v", "video/x-m4v"},
      {"mov", "video/quicktime"},
      {"m4a", "audio/mp4"},
      {"mp3", "audio/mpeg"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
  }};
  for (const auto& [known, type] : kTypes) {
    if (extension == known) {
      return std::string(type);
    }
  }
  return "application/octet-stream";
}

std::string LocalVideoHTTPServer::sanitizedContentType(const std::optional<std::string>& value) {
  std::string candidate;
  if (value) {
    for (const auto piece : splitKeepingEmpty(*value, ";")) {
      if (!piece.empty()) {
        candidate = asciiLowerCopy(trimSpacesAndTabs(piece));
        break;
      }
    }
  }
  static constexpr std::array<std::string_view, 9> kAllowed{"video/mp4",  "audio/mp4",   "video/webm",
                                                            "audio/webm", "video/x-m4v", "video/quicktime",
                                                            "image/jpeg", "image/webp",  "image/png"};
  if (std::find(kAllowed.begin(), kAllowed.end(), candidate) != kAllowed.end()) {
    return candidate;
  }
  return "application/octet-stream";
}

} // namespace pd::mediaserver
