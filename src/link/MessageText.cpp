#include "link/MessageText.hpp"

#include "platform/log/Utf8.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <memory>
#include <vector>

namespace pd::link {

namespace {

constexpr std::size_t kMaxCharacters = 64;
constexpr std::size_t kMaxBytes = 192;

// The UTF-8 byte offsets at which the text's user-perceived characters end, in order.
std::vector<std::size_t> characterEnds(const std::string& utf8) {
  std::vector<std::size_t> ends;
  const auto unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
  UErrorCode status = U_ZERO_ERROR;
  // One iterator per thread: making one costs far more than running it.
  thread_local const std::unique_ptr<icu::BreakIterator> graphemes(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  // Valid UTF-8 maps one to one onto UTF-16, so a boundary in one is a boundary in the other.
  std::size_t bytes = 0;
  std::int32_t previous = 0;
  const auto advanceTo = [&](std::int32_t boundary) {
    for (std::int32_t i = previous; i < boundary;) {
      const UChar32 c = unicode.char32At(i);
      bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
      i = unicode.moveIndex32(i, 1);
    }
    previous = boundary;
    ends.push_back(bytes);
  };
  if (graphemes) {
    graphemes->setText(unicode);
    graphemes->first();
    for (std::int32_t boundary = graphemes->next();
         boundary != icu::BreakIterator::DONE && ends.size() < kMaxCharacters; boundary = graphemes->next()) {
      advanceTo(boundary);
    }
  } else {
    // Without ICU's rules (only when it is out of memory) each code point counts as a character.
    for (std::int32_t i = 0; i < unicode.length() && ends.size() < kMaxCharacters;)
      advanceTo(i = unicode.moveIndex32(i, 1));
  }
  return ends;
}

} // namespace

std::string clippedForMessage(std::string_view text) {
  const std::string valid = platform::log::toValidUtf8(text);
  const auto ends = characterEnds(valid);
  std::size_t cut = ends.empty() ? 0 : ends.back();
  for (auto end = ends.rbegin(); end != ends.rend() && *end > kMaxBytes; ++end) {
    const auto next = std::next(end);
    cut = next == ends.rend() ? 0 : *next;
  }
  return valid.substr(0, cut);
}

} // namespace pd::link
