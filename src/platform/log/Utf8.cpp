#include "platform/log/Utf8.hpp"

#include <cstdint>
#include <cstring>

namespace pd::platform::log {

namespace {

// Length of the well-formed sequence at text[i] (1 to 4), or 0 with `subpart` set to the length
// of the maximal ill-formed subpart that starts there (at least 1).
std::size_t sequenceAt(const unsigned char* p, std::size_t n, std::size_t i, std::size_t& subpart) noexcept {
  const unsigned char lead = p[i];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF; // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0; // no overlong forms
    else if (lead == 0xED) high = 0x9F; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    else if (lead == 0xF4) high = 0x8F; // nothing above U+10FFFF
  } else {
    subpart = 1;
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const std::size_t at = i + k;
    const unsigned char lo = k == 1 ? low : 0x80;
    const unsigned char hi = k == 1 ? high : 0xBF;
    if (at >= n || p[at] < lo || p[at] > hi) {
      subpart = k;
      return 0;
    }
  }
  return length;
}

bool allAscii8(const unsigned char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ULL) == 0;
}

// Index of the first byte that does not begin a well-formed sequence, or n.
std::size_t firstInvalid(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    if (i + 8 <= n && allAscii8(p + i)) {
      i += 8;
      continue;
    }
    std::size_t subpart = 0;
    const std::size_t length = sequenceAt(p, n, i, subpart);
    if (length == 0) return i;
    i += length;
  }
  return n;
}

} // namespace

bool isValidUtf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  return firstInvalid(p, text.size()) == text.size();
}

std::string toValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = firstInvalid(p, n);
  if (i == n) return std::string(text);

  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(n + 8);
  out.append(text.substr(0, i));
  while (i < n) {
    std::size_t subpart = 0;
    const std::size_t length = sequenceAt(p, n, i, subpart);
    if (length == 0) {
      out.append(kReplacement);
      i += subpart;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

void truncateUtf8(std::string& text, std::size_t maxBytes) noexcept {
  if (text.size() <= maxBytes) return;
  std::size_t cut = maxBytes;
  // Step back over continuation bytes to the start of the character that would be split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

} // namespace pd::platform::log
