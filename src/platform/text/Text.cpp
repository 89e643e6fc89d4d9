#include "platform/text/Text.hpp"

#include <unicode/brkiter.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace pd::platform::text {
namespace {

icu::UnicodeString fromUTF8(std::string_view bytes) {
  // fromUTF8 substitutes U+FFFD for ill-formed sequences.
  return icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<std::int32_t>(bytes.size())));
}

std::string toUTF8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// ICU transliterators are not thread-safe; one instance per thread avoids a lock per query.
const icu::Transliterator* widthTransform() {
  thread_local std::unique_ptr<icu::Transliterator> transform = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> made(
        icu::Transliterator::createInstance("Fullwidth-Halfwidth", UTRANS_FORWARD, status));
    return U_SUCCESS(status) ? std::move(made) : nullptr;
  }();
  return transform.get();
}

} // namespace

std::string repairedUTF8(std::string_view bytes) { return toUTF8(fromUTF8(bytes)); }

std::vector<std::string> splitOnWhitespace(std::string_view text) {
  const auto unicode = fromUTF8(text);
  std::vector<std::string> pieces;
  std::int32_t start = -1;
  std::int32_t index = 0;
  while (index < unicode.length()) {
    const UChar32 c = unicode.char32At(index);
    const auto next = unicode.moveIndex32(index, 1);
    if (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {
      if (start >= 0) {
        pieces.push_back(toUTF8(unicode.tempSubStringBetween(start, index)));
        start = -1;
      }
    } else if (start < 0) {
      start = index;
    }
    index = next;
  }
  if (start >= 0) {
    pieces.push_back(toUTF8(unicode.tempSubStringBetween(start, unicode.length())));
  }
  return pieces;
}

std::optional<std::string> fullwidthToHalfwidth(std::string_view text) {
  const auto* transform = widthTransform();
  if (transform == nullptr) {
    return std::nullopt;
  }
  auto unicode = fromUTF8(text);
  // Composed first: the transform turns a combining voiced or semi-voiced mark into the spacing
  // half-width one even after a kana that has no half-width form, so a decomposed name (as some
  // file systems and copy tools write them) and its composed twin would come out different.
  UErrorCode status = U_ZERO_ERROR;
  if (const auto* normalizer = icu::Normalizer2::getNFCInstance(status); U_SUCCESS(status)) {
    auto composed = normalizer->normalize(unicode, status);
    if (U_SUCCESS(status)) {
      unicode = std::move(composed);
    }
  }
  transform->transliterate(unicode);
  return toUTF8(unicode);
}

std::string nfc(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const auto* normalizer = icu::Normalizer2::getNFCInstance(status);
  const auto unicode = fromUTF8(text);
  if (U_FAILURE(status)) {
    return toUTF8(unicode);
  }
  auto normal = normalizer->normalize(unicode, status);
  return U_SUCCESS(status) ? toUTF8(normal) : toUTF8(unicode);
}

std::vector<std::u32string> graphemes(std::string_view text) {
  const auto unicode = fromUTF8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) {
    throw std::runtime_error("no grapheme break iterator");
  }
  breaks->setText(unicode);
  std::vector<std::u32string> clusters;
  std::int32_t start = breaks->first();
  for (std::int32_t end = breaks->next(); end != icu::BreakIterator::DONE; start = end, end = breaks->next()) {
    std::u32string cluster;
    for (std::int32_t i = start; i < end; i = unicode.moveIndex32(i, 1)) {
      cluster.push_back(static_cast<char32_t>(unicode.char32At(i)));
    }
    clusters.push_back(std::move(cluster));
  }
  return clusters;
}

std::size_t graphemeCount(std::string_view text) { return graphemes(text).size(); }

struct FileNameOrder::Impl {
  std::mutex lock; // Collator::compare is const but ICU documents collators as not thread-safe.
  std::unique_ptr<icu::Collator> collator;
};

FileNameOrder::FileNameOrder() : impl_(std::make_unique<Impl>()) {
  // A C or POSIX environment names no language, and ICU reads it as en_US_POSIX, whose collation
  // puts every capital before every small letter: no file browser lists "Zebra" before "apple".
  icu::Locale locale = icu::Locale::getDefault();
  if (std::string_view(locale.getVariant()) == "POSIX") {
    locale = icu::Locale::getRoot();
  }
  UErrorCode status = U_ZERO_ERROR;
  impl_->collator.reset(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status) || !impl_->collator) {
    status = U_ZERO_ERROR;
    impl_->collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
  }
  if (!impl_->collator) {
    throw std::runtime_error("no collator");
  }
  status = U_ZERO_ERROR;
  impl_->collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  // Secondary strength: accents count, case and width (tertiary differences) do not.
  impl_->collator->setAttribute(UCOL_STRENGTH, UCOL_SECONDARY, status);
}

FileNameOrder::~FileNameOrder() = default;

int FileNameOrder::compare(std::string_view a, std::string_view b) const {
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult result = UCOL_EQUAL;
  {
    std::scoped_lock guard(impl_->lock);
    result = impl_->collator->compareUTF8(icu::StringPiece(a.data(), static_cast<std::int32_t>(a.size())),
                                          icu::StringPiece(b.data(), static_cast<std::int32_t>(b.size())), status);
  }
  if (U_SUCCESS(status) && result != UCOL_EQUAL) {
    return result == UCOL_LESS ? -1 : 1;
  }
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

std::string FileNameOrder::sortKey(std::string_view name) const {
  const auto unicode = fromUTF8(name);
  std::string key(64 + name.size() * 4, '\0');
  {
    std::scoped_lock guard(impl_->lock);
    auto length = impl_->collator->getSortKey(unicode, reinterpret_cast<std::uint8_t*>(key.data()),
                                              static_cast<std::int32_t>(key.size()));
    if (length > static_cast<std::int32_t>(key.size())) {
      key.resize(static_cast<std::size_t>(length));
      length = impl_->collator->getSortKey(unicode, reinterpret_cast<std::uint8_t*>(key.data()),
                                           static_cast<std::int32_t>(key.size()));
    }
    // The collation key ends in a NUL byte, so a key that is a prefix of another sorts first;
    // the name's bytes follow it and decide between names that collate alike, as compare() does.
    key.resize(static_cast<std::size_t>(std::max<std::int32_t>(length, 0)));
  }
  key.append(name);
  return key;
}

} // namespace pd::platform::text
