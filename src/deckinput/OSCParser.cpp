#include "deckinput/OSCParser.hpp"

#include "platform/log/Utf8.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace pd::deckinput {

namespace {

constexpr std::size_t kAlign = 4;

constexpr std::size_t roundUp4(std::size_t value) noexcept { return (value + (kAlign - 1)) & ~(kAlign - 1); }

// After a blob whose filler is missing the offset may lie up to 3 bytes past the end.
constexpr std::size_t remaining(std::size_t size, std::size_t offset) noexcept {
  return offset < size ? size - offset : 0;
}

std::uint32_t readBigEndian32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

bool isAscii(std::string_view text) noexcept {
  std::size_t i = 0;
  std::uint64_t bits = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    bits |= word;
  }
  for (; i < text.size(); ++i) {
    bits |= static_cast<unsigned char>(text[i]);
  }
  return (bits & 0x8080808080808080ULL) == 0;
}

// The first NUL in [p, end), or null; ascii tells whether every byte before it is below 0x80.
// Padded strings are short, so eight bytes at a time beats a call to memchr, and the same pass
// saves most texts the UTF-8 check.
const std::uint8_t* findNul(const std::uint8_t* p, const std::uint8_t* end, bool& ascii) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t seen = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      // The lowest set bit marks the first zero byte exactly (borrows only spoil higher ones).
      const std::uint64_t zero = (word - kOnes) & ~word & kHigh;
      if (zero != 0) {
        const int index = std::countr_zero(zero) / 8;
        seen |= index == 0 ? 0 : word & ((std::uint64_t{1} << (8 * index)) - 1);
        ascii = (seen & kHigh) == 0;
        return p + index;
      }
      seen |= word;
      p += 8;
    }
  }
  for (; p < end; ++p) {
    if (*p == 0) {
      ascii = (seen & kHigh) == 0;
      return p;
    }
    seen |= *p;
  }
  return nullptr;
}

enum class PaddedRead : std::uint8_t { ok, missing, invalidText };

// The raw form of readPaddedString: the text as a view into the datagram.
PaddedRead readPaddedView(std::span<const std::uint8_t> bytes, std::size_t& offset, std::string_view& text) noexcept {
  const std::size_t size = bytes.size();
  if (offset >= size) {
    return PaddedRead::missing;
  }
  const auto* start = bytes.data() + offset;
  bool ascii = false;
  const auto* nul = findNul(start, bytes.data() + size, ascii);
  if (nul == nullptr) {
    return PaddedRead::missing;
  }
  const auto zero = static_cast<std::size_t>(nul - bytes.data());
  // The NUL and its filler end at the next multiple of 4 after the NUL's own offset.
  const std::size_t next = (zero + kAlign) & ~(kAlign - 1);
  if (next > size) {
    return PaddedRead::missing;
  }
  const std::string_view raw(reinterpret_cast<const char*>(start), zero - offset);
  offset = next;
  if (!ascii && !platform::log::isValidUtf8(raw)) {
    return PaddedRead::invalidText;
  }
  text = raw;
  return PaddedRead::ok;
}

// The tags of a type-tag text that holds other than ASCII: one entry per user-perceived
// character after the first, the character itself when it is one ASCII character, else 0 (no
// known tag).
std::string tagsOfText(std::string_view text) {
  std::string tags;
  // Created once per thread: making a break iterator costs far more than using one.
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(made) : nullptr;
  }();
  const icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
  const auto tagAt = [&](std::int32_t start, std::int32_t end) {
    return end - start == 1 && unicode.charAt(start) < 0x80 ? static_cast<char>(unicode.charAt(start)) : char{0};
  };
  if (!iterator) {
    // ICU fails here only when out of memory; then every code point counts as a character
    // (a combining mark no longer hides the tag before it).
    for (std::int32_t i = unicode.moveIndex32(0, 1); i < unicode.length(); i = unicode.moveIndex32(i, 1)) {
      tags.push_back(tagAt(i, unicode.moveIndex32(i, 1)));
    }
    return tags;
  }
  iterator->setText(unicode);
  std::int32_t start = iterator->first();
  bool first = true;
  for (std::int32_t end = iterator->next(); end != icu::BreakIterator::DONE; start = end, end = iterator->next()) {
    if (!first) {
      tags.push_back(tagAt(start, end));
    }
    first = false;
  }
  return tags;
}

// The tags after the first character. Among ASCII characters only CR LF forms one character
// of two; later in the text both of its halves are unknown tags and consume nothing anyway.
std::string_view tagsAfterFirst(std::string_view text, std::string& storage) {
  if (!isAscii(text)) {
    storage = tagsOfText(text);
    return storage;
  }
  if (text.starts_with("\r\n")) {
    return text.substr(2);
  }
  return text.empty() ? text : text.substr(1);
}

} // namespace

std::string_view OSCParseFailure::reasonWord(Reason reason) noexcept {
  switch (reason) {
  case Reason::addressRead: return "address_read";
  case Reason::typeTagTruncated: return "type_tag_truncated";
  case Reason::int32Arg: return "int32_arg";
  case Reason::floatArg: return "float_arg";
  case Reason::stringArg: return "string_arg";
  case Reason::blobHeader: return "blob_header";
  case Reason::blobSize: return "blob_size";
  }
  return "unknown";
}

std::optional<std::string> OSCParser::readPaddedString(std::span<const std::uint8_t> bytes, std::size_t& offset) {
  std::string_view text;
  if (readPaddedView(bytes, offset, text) != PaddedRead::ok) {
    return std::nullopt;
  }
  return std::string(text);
}

OSCParseResult OSCParser::parse(std::span<const std::uint8_t> bytes) {
  OSCMessage message;
  if (const auto failure = parseInto(bytes, message)) {
    return *failure;
  }
  return message;
}

std::optional<OSCParseFailure> OSCParser::parseInto(std::span<const std::uint8_t> bytes, OSCMessage& message) {
  using Reason = OSCParseFailure::Reason;
  const std::size_t size = bytes.size();
  std::size_t offset = 0;

  std::string_view address;
  if (readPaddedView(bytes, offset, address) != PaddedRead::ok) {
    return OSCParseFailure{Reason::addressRead};
  }

  message.arguments.clear();
  std::string_view tags;
  if (readPaddedView(bytes, offset, tags) != PaddedRead::ok) {
    // No type-tag string at all is a message without arguments; a cut-off one is not.
    if (offset < size) {
      return OSCParseFailure{Reason::typeTagTruncated};
    }
  } else {
    std::string storage;
    const std::string_view tagList = tagsAfterFirst(tags, storage);
    // Every argument read takes at least four bytes: a datagram of unknown tags reserves no more
    // than its bytes can fill.
    message.arguments.reserve(std::min(tagList.size(), remaining(size, offset) / 4));
    for (const char tag : tagList) {
      switch (tag) {
      case 'i':
      case 'f': {
        if (remaining(size, offset) < 4) {
          return OSCParseFailure{tag == 'i' ? Reason::int32Arg : Reason::floatArg};
        }
        const std::uint32_t bits = readBigEndian32(bytes.data() + offset);
        if (tag == 'i') {
          message.arguments.emplace_back(std::in_place_index<0>, std::bit_cast<std::int32_t>(bits));
        } else {
          message.arguments.emplace_back(std::in_place_index<1>, std::bit_cast<float>(bits));
        }
        offset = roundUp4(offset + 4);
        break;
      }
      case 's': {
        std::string_view text;
        if (readPaddedView(bytes, offset, text) != PaddedRead::ok) {
          return OSCParseFailure{Reason::stringArg};
        }
        message.arguments.emplace_back(std::in_place_index<2>, text);
        break;
      }
      case 'b': {
        if (remaining(size, offset) < 4) {
          return OSCParseFailure{Reason::blobHeader};
        }
        const auto length = std::bit_cast<std::int32_t>(readBigEndian32(bytes.data() + offset));
        offset += 4;
        if (length < 0 || static_cast<std::size_t>(length) > remaining(size, offset)) {
          return OSCParseFailure{Reason::blobSize, length};
        }
        const auto* begin = bytes.data() + offset;
        message.arguments.emplace_back(std::in_place_index<3>, begin, begin + length);
        // The blob's own filler may be missing at the end of the datagram.
        offset = roundUp4(offset + static_cast<std::size_t>(length));
        break;
      }
      default: break; // any other tag yields nothing and consumes nothing
      }
    }
  }

  message.id = OSCMessage::makeId();
  message.address.string.assign(address);
  message.receivedAt = runtime::Clock::current().wall();
  return std::nullopt;
}

} // namespace pd::deckinput
