// Our parser against liblo's deserialiser on one generated corpus of valid and broken
// datagrams. They must agree on validity and on every value, except where this parser is
// designed to read differently. Those differences are listed here, and every disagreement must
// be explained by one of them:
//
//   noTypeTags        an address with nothing after it is a message without arguments here;
//                     liblo wants a type-tag string.
//   fillerValues      filler bytes may hold anything here; liblo wants zeros.
//   firstTagUnchecked the first character of the type-tag string is dropped unseen here;
//                     liblo wants a comma.
//   unknownTags       tags other than i, f, s and b consume nothing and yield nothing here;
//                     liblo reads its further types (T F N I d h t c r m S) or rejects others.
//                     Tags are whole characters here, so "i" with a combining mark is unknown.
//   trailingBytes     bytes after the last argument (and sizes not a multiple of 4) are
//                     ignored here; liblo rejects them.
//   blobFillerMissing the filler of a final blob may be cut off here; liblo wants it.
//   bundles           a bundle is read here as a message whose address is "#bundle";
//                     liblo's message deserialiser rejects it.
//   invalidUTF8       addresses, tags and strings must be UTF-8 here; liblo takes any bytes.

#include "deckinput/OSCParser.hpp"
#include "platform/log/Utf8.hpp"

#include "LibloOracle.hpp"
#include "OSCBytes.hpp"

#include <gtest/gtest.h>
#include <lo/lo.h>
#include <lo/lo_lowlevel.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <cstring>
#include <map>
#include <optional>
#include <memory>
#include <random>

namespace pd::deckinput {
namespace {

using test::ByteRole;
using test::libloRead;
using test::libloSerialise;
using test::OSCBytes;
using test::sameValues;

// ---------------------------------------------------------------------------------------------
// Which of the listed differences a datagram shows, found by walking its layout.

enum Difference : unsigned {
  noTypeTags = 1U << 0,
  fillerValues = 1U << 1,
  firstTagUnchecked = 1U << 2,
  unknownTags = 1U << 3,
  trailingBytes = 1U << 4,
  blobFillerMissing = 1U << 5,
  bundles = 1U << 6,
  invalidUTF8 = 1U << 7,
};

const std::map<Difference, const char*> kDifferenceNames = {
    {noTypeTags, "noTypeTags"},   {fillerValues, "fillerValues"},   {firstTagUnchecked, "firstTagUnchecked"},
    {unknownTags, "unknownTags"}, {trailingBytes, "trailingBytes"}, {blobFillerMissing, "blobFillerMissing"},
    {bundles, "bundles"},         {invalidUTF8, "invalidUTF8"},
};

unsigned differencesIn(std::span<const std::uint8_t> bytes) {
  unsigned found = 0;
  const std::size_t size = bytes.size();
  std::size_t offset = 0;
  auto padded = [&](std::string_view& text) {
    if (offset >= size) {
      return false;
    }
    const void* nul = std::memchr(bytes.data() + offset, 0, size - offset);
    if (nul == nullptr) {
      return false;
    }
    const auto zero = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - bytes.data());
    const std::size_t next = (zero + 4) & ~std::size_t{3};
    if (next > size) {
      return false;
    }
    text = std::string_view(reinterpret_cast<const char*>(bytes.data() + offset), zero - offset);
    for (std::size_t i = zero + 1; i < next; ++i) {
      if (bytes[i] != 0) {
        found |= fillerValues;
      }
    }
    if (!platform::log::isValidUtf8(text)) {
      found |= invalidUTF8;
    }
    offset = next;
    return true;
  };

  std::string_view address;
  if (!padded(address)) {
    return found;
  }
  if (address == "#bundle") {
    found |= bundles;
  }
  if (offset == size) {
    return found | noTypeTags;
  }
  std::string_view tags;
  if (!padded(tags)) {
    return found;
  }
  if (tags.empty() || tags.front() != ',') {
    found |= firstTagUnchecked;
  }
  for (const char c : tags) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      // Whole-character tags: the walk below would no longer follow this parser.
      return found | unknownTags;
    }
  }
  for (std::size_t i = 1; i < tags.size(); ++i) {
    switch (tags[i]) {
    case 'i':
    case 'f':
      if (offset >= size || size - offset < 4) {
        return found;
      }
      offset += 4;
      break;
    case 's': {
      std::string_view text;
      if (!padded(text)) {
        return found;
      }
      break;
    }
    case 'b': {
      if (offset >= size || size - offset < 4) {
        return found;
      }
      const std::uint32_t raw = (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
                                (std::uint32_t{bytes[offset + 2]} << 8) | std::uint32_t{bytes[offset + 3]};
      offset += 4;
      if (raw > 0x7FFFFFFF || raw > size - offset) {
        return found;
      }
      offset += raw;
      const std::size_t end = (offset + 3) & ~std::size_t{3};
      if (end > size) {
        found |= blobFillerMissing;
      } else {
        for (std::size_t k = offset; k < end; ++k) {
          if (bytes[k] != 0) {
            found |= fillerValues;
          }
        }
      }
      offset = end;
      break;
    }
    default: found |= unknownTags; break;
    }
  }
  if (offset < size) {
    found |= trailingBytes;
  }
  return found;
}

std::string describe(unsigned differences) {
  std::string text;
  for (const auto& [bit, name] : kDifferenceNames) {
    if ((differences & bit) != 0) {
      text += text.empty() ? "" : "+";
      text += name;
    }
  }
  return text.empty() ? "none" : text;
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const auto b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
    text.push_back(' ');
  }
  return text;
}

// Tally of the comparison, printed once at the end of each test.
struct Tally {
  std::size_t cases = 0;
  std::size_t bothAccept = 0;
  std::size_t bothReject = 0;
  std::map<std::string, std::size_t> explained;

  void print(const char* name) const {
    std::cout << "[differential " << name << "] cases=" << cases << " both_accept=" << bothAccept
              << " both_reject=" << bothReject;
    for (const auto& [what, count] : explained) {
      std::cout << " " << what << "=" << count;
    }
    std::cout << "\n";
  }
};

// The general rule, applied to every datagram of the corpus.
void compare(std::span<const std::uint8_t> bytes, Tally& tally) {
  ++tally.cases;
  const auto ours = OSCParser::parse(bytes);
  const auto theirs = libloRead(bytes);
  const auto* message = std::get_if<OSCMessage>(&ours);
  const unsigned differences = differencesIn(bytes);

  if (message != nullptr && theirs.ok) {
    if (differences == 0) {
      ++tally.bothAccept;
      EXPECT_EQ(message->address.string, theirs.address) << hex(bytes);
      std::vector<OSCArgumentValue> theirValues;
      for (const auto& value : theirs.arguments) {
        ASSERT_TRUE(value.has_value()) << "liblo read type outside i f s b without a listed difference: " << hex(bytes);
        theirValues.push_back(*value);
      }
      EXPECT_TRUE(sameValues(message->arguments, theirValues)) << hex(bytes);
    } else {
      // Only tags that liblo reads and this parser skips let both accept a datagram that shows
      // differences; the walk after such a tag no longer follows liblo, so the other flags
      // may be its artefacts.
      EXPECT_NE(differences & unknownTags, 0U) << describe(differences) << ": " << hex(bytes);
      // liblo's nullary types (T F N I) consume nothing either: the remaining values agree.
      if (theirs.types.find_first_not_of("ifsbTFNI") == std::string::npos) {
        std::vector<OSCArgumentValue> theirValues;
        for (const auto& value : theirs.arguments) {
          if (value) {
            theirValues.push_back(*value);
          }
        }
        EXPECT_TRUE(sameValues(message->arguments, theirValues)) << hex(bytes);
      }
      ++tally.explained["both_accept_" + describe(differences)];
    }
  } else if (message != nullptr) {
    EXPECT_NE(differences, 0U) << "accepted here, rejected by liblo (error " << theirs.error
                               << ") without a listed difference: " << hex(bytes);
    ++tally.explained["ours_only_" + describe(differences)];
  } else if (theirs.ok) {
    EXPECT_NE(differences & (invalidUTF8 | unknownTags), 0U)
        << "rejected here (" << OSCParseFailure::reasonWord(std::get<OSCParseFailure>(ours).reason)
        << "), accepted by liblo without a listed difference: " << hex(bytes);
    ++tally.explained["liblo_only_" + describe(differences)];
  } else {
    ++tally.bothReject;
  }
}

// ---------------------------------------------------------------------------------------------
// The corpus.

struct Canonical {
  std::string address;
  std::vector<OSCArgumentValue> arguments;
  OSCBytes bytes;
};

const std::vector<std::string> kTextPieces = {"a", "Z", "7", " ", "/", "-", "é", "デ", "🎵", "ü"};

class Corpus {
public:
  explicit Corpus(std::uint32_t seed) : random_(seed) {}

  std::string text(std::size_t maxPieces) {
    std::string result;
    const std::size_t count = pick(maxPieces + 1);
    for (std::size_t i = 0; i < count; ++i) {
      result += kTextPieces[pick(kTextPieces.size())];
    }
    return result;
  }

  OSCArgumentValue value(char tag) {
    switch (tag) {
    case 'i': {
      static const std::int32_t kEdges[] = {0, 1, -1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000U)};
      return OSCArgumentValue::int32(pick(3) == 0 ? kEdges[pick(5)] : static_cast<std::int32_t>(random_()));
    }
    case 'f': {
      // Any bit pattern: NaNs with payloads, infinities, subnormals, negative zero.
      const std::uint32_t bits = static_cast<std::uint32_t>(random_());
      float value;
      std::memcpy(&value, &bits, sizeof value);
      return OSCArgumentValue::float32(value);
    }
    case 's': return OSCArgumentValue::string(text(6));
    default: {
      OSCArgumentValue::Blob blob(pick(10));
      for (auto& b : blob) {
        b = static_cast<std::uint8_t>(random_());
      }
      return OSCArgumentValue::blob(std::move(blob));
    }
    }
  }

  Canonical build(std::string address, const std::string& tags) {
    Canonical c{std::move(address), {}, {}};
    c.bytes.address(c.address).tags(tags);
    for (const char tag : tags) {
      c.arguments.push_back(value(tag));
      append(c.bytes, c.arguments.back());
    }
    return c;
  }

  Canonical random() {
    std::string tags;
    const std::size_t count = pick(13);
    for (std::size_t i = 0; i < count; ++i) {
      tags.push_back("ifsb"[pick(4)]);
    }
    return build("/" + text(5), tags);
  }

  std::size_t pick(std::size_t bound) { return bound == 0 ? 0 : static_cast<std::size_t>(random_() % bound); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(random_()); }

  static void append(OSCBytes& bytes, const OSCArgumentValue& value) {
    if (const auto* i = value.asInt32()) {
      bytes.int32(*i);
    } else if (const auto* f = value.asFloat()) {
      bytes.float32(*f);
    } else if (const auto* s = value.asString()) {
      bytes.string(*s);
    } else {
      bytes.blob(*value.asBlob());
    }
  }

private:
  std::mt19937 random_;
};

// Every tag with every padding length, each alone and after an address of every length, plus
// random messages of up to 12 arguments.
std::vector<Canonical> canonicalCorpus() {
  Corpus corpus(20240611);
  std::vector<Canonical> all;
  for (std::size_t addressLength = 0; addressLength < 8; ++addressLength) {
    const std::string address = "/" + std::string(addressLength, 'd');
    all.push_back(corpus.build(address, ""));
    for (const char tag : std::string("ifsb")) {
      for (int repeat = 0; repeat < 12; ++repeat) {
        all.push_back(corpus.build(address, std::string(1, tag)));
        all.push_back(corpus.build(address, std::string(1, tag) + "i"));
      }
    }
  }
  for (int i = 0; i < 1500; ++i) {
    all.push_back(corpus.random());
  }
  return all;
}

class OSCParserDifferential : public ::testing::Test {
protected:
  static void SetUpTestSuite() { corpus_ = new std::vector<Canonical>(canonicalCorpus()); }
  static void TearDownTestSuite() {
    delete corpus_;
    corpus_ = nullptr;
  }
  static const std::vector<Canonical>& corpus() { return *corpus_; }

private:
  static inline std::vector<Canonical>* corpus_ = nullptr;
};

OSCMessage mustParse(std::span<const std::uint8_t> bytes) {
  auto result = OSCParser::parse(bytes);
  if (auto* message = std::get_if<OSCMessage>(&result)) {
    return std::move(*message);
  }
  ADD_FAILURE() << "rejected: " << hex(bytes);
  return {};
}

TEST_F(OSCParserDifferential, CanonicalMessagesAgreeExactly) {
  Tally tally;
  for (const auto& c : corpus()) {
    // The builder writes exactly what liblo writes, so these really are canonical. (liblo
    // cannot make an empty blob, though it reads one.)
    const bool emptyBlob = std::any_of(c.arguments.begin(), c.arguments.end(), [](const OSCArgumentValue& a) {
      return a.asBlob() != nullptr && a.asBlob()->empty();
    });
    if (!emptyBlob) {
      ASSERT_EQ(c.bytes.bytes, libloSerialise(c.address, c.arguments)) << c.address;
    }
    compare(c.bytes.span(), tally);
    const auto message = mustParse(c.bytes.span());
    EXPECT_EQ(message.address.string, c.address);
    EXPECT_TRUE(sameValues(message.arguments, c.arguments)) << hex(c.bytes.span());
  }
  EXPECT_EQ(tally.bothAccept, corpus().size());
  tally.print("canonical");
}

TEST_F(OSCParserDifferential, EveryTruncationIsRejectedExceptWhereListed) {
  Tally tally;
  for (const auto& c : corpus()) {
    const auto& full = c.bytes.bytes;
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      const std::span<const std::uint8_t> prefix(full.data(), cut);
      compare(prefix, tally);
      EXPECT_FALSE(libloRead(prefix).ok);
      const auto ours = OSCParser::parse(prefix);
      // Cut right after the address: a message without arguments.
      const bool afterAddress =
          cut % 4 == 0 && cut > 0 &&
          (c.bytes.roles[cut - 1] == ByteRole::addressFiller || c.bytes.roles[cut - 1] == ByteRole::addressNul);
      // Cut inside the filler that ends the message after a final blob: the message whole.
      const bool inFinalBlobFiller =
          std::all_of(c.bytes.roles.begin() + static_cast<std::ptrdiff_t>(cut), c.bytes.roles.end(),
                      [](ByteRole role) { return role == ByteRole::blobFiller; });
      if (afterAddress) {
        ASSERT_TRUE(std::holds_alternative<OSCMessage>(ours)) << hex(prefix);
        EXPECT_TRUE(std::get<OSCMessage>(ours).arguments.empty());
      } else if (inFinalBlobFiller) {
        ASSERT_TRUE(std::holds_alternative<OSCMessage>(ours)) << hex(prefix);
        EXPECT_TRUE(sameValues(std::get<OSCMessage>(ours).arguments, c.arguments));
      } else {
        EXPECT_TRUE(std::holds_alternative<OSCParseFailure>(ours)) << "cut " << cut << ": " << hex(prefix);
      }
    }
  }
  tally.print("truncated");
}

TEST_F(OSCParserDifferential, ListedDifferencesReadAsDesigned) {
  Tally tally;
  Corpus random(7);
  for (const auto& c : corpus()) {
    const auto& roles = c.bytes.roles;

    // fillerValues: each filler byte set in turn; the values stay those of the canonical form.
    for (std::size_t i = 0; i < roles.size(); ++i) {
      if (roles[i] == ByteRole::addressFiller || roles[i] == ByteRole::tagFiller ||
          roles[i] == ByteRole::stringFiller || roles[i] == ByteRole::blobFiller) {
        auto bytes = c.bytes.bytes;
        bytes[i] = 'x';
        compare(bytes, tally);
        EXPECT_FALSE(libloRead(bytes).ok);
        const auto message = mustParse(bytes);
        EXPECT_TRUE(sameValues(message.arguments, c.arguments)) << hex(bytes);
      }
    }

    // firstTagUnchecked: any ASCII character in place of the comma.
    {
      auto bytes = c.bytes.bytes;
      const auto comma =
          static_cast<std::size_t>(std::find(roles.begin(), roles.end(), ByteRole::tagComma) - roles.begin());
      do {
        bytes[comma] = static_cast<std::uint8_t>(0x20 + random.pick(0x5F));
      } while (bytes[comma] == ',');
      compare(bytes, tally);
      EXPECT_FALSE(libloRead(bytes).ok);
      EXPECT_TRUE(sameValues(mustParse(bytes).arguments, c.arguments)) << hex(bytes);
    }

    // noTypeTags: the address alone.
    {
      const auto addressEnd =
          static_cast<std::size_t>(std::find(roles.begin(), roles.end(), ByteRole::tagComma) - roles.begin());
      const std::span<const std::uint8_t> bytes(c.bytes.bytes.data(), addressEnd);
      compare(bytes, tally);
      EXPECT_EQ(libloRead(bytes).error, LO_ENOTYPE);
      EXPECT_TRUE(mustParse(bytes).arguments.empty());
    }

    // trailingBytes: 1 to 7 extra bytes.
    {
      auto bytes = c.bytes.bytes;
      const std::size_t extra = 1 + random.pick(7);
      for (std::size_t i = 0; i < extra; ++i) {
        bytes.push_back(random.byte());
      }
      compare(bytes, tally);
      EXPECT_FALSE(libloRead(bytes).ok);
      EXPECT_TRUE(sameValues(mustParse(bytes).arguments, c.arguments)) << hex(bytes);
    }

    // unknownTags: tags placed among the others. Nullary ones liblo also reads (as extra
    // arguments); ones nobody knows liblo rejects; "i" with a combining mark is one unknown
    // character here and an invalid type to liblo.
    std::string tags;
    for (const auto& a : c.arguments) {
      tags.push_back("ifsb"[static_cast<int>(a.kind())]);
    }
    for (const std::string_view inserted : {"T", "N", "x", "i\xcc\x81"}) {
      const std::size_t at = random.pick(tags.size() + 1);
      std::string mixed = tags;
      mixed.insert(at, inserted);
      OSCBytes b;
      b.address(c.address).tags(mixed);
      for (const auto& a : c.arguments) {
        Corpus::append(b, a);
      }
      compare(b.span(), tally);
      const auto theirs = libloRead(b.span());
      EXPECT_EQ(theirs.ok, inserted == "T" || inserted == "N") << inserted;
      EXPECT_TRUE(sameValues(mustParse(b.span()).arguments, c.arguments)) << hex(b.span());
    }

    // invalidUTF8: a string of the message made undecodable.
    for (std::size_t i = 0; i < roles.size(); ++i) {
      if (roles[i] == ByteRole::addressText || roles[i] == ByteRole::stringText) {
        auto bytes = c.bytes.bytes;
        bytes[i] = 0xFF;
        compare(bytes, tally);
        EXPECT_TRUE(libloRead(bytes).ok);
        const auto ours = OSCParser::parse(bytes);
        ASSERT_TRUE(std::holds_alternative<OSCParseFailure>(ours)) << hex(bytes);
        EXPECT_EQ(std::get<OSCParseFailure>(ours).reason, roles[i] == ByteRole::addressText
                                                              ? OSCParseFailure::Reason::addressRead
                                                              : OSCParseFailure::Reason::stringArg);
        break;
      }
    }
  }

  // bundles: a bundle holding one of the messages.
  for (std::size_t n = 0; n < 50; ++n) {
    const auto& inner = corpus()[random.pick(corpus().size())];
    OSCBytes b;
    b.address("#bundle").be32(0, ByteRole::extra).be32(1, ByteRole::extra);
    b.be32(static_cast<std::uint32_t>(inner.bytes.bytes.size()), ByteRole::extra);
    b.bytes.insert(b.bytes.end(), inner.bytes.bytes.begin(), inner.bytes.bytes.end());
    b.roles.resize(b.bytes.size(), ByteRole::extra);
    compare(b.span(), tally);
    EXPECT_FALSE(libloRead(b.span()).ok);
    const auto message = mustParse(b.span());
    EXPECT_EQ(message.address.string, "#bundle");
    EXPECT_TRUE(message.arguments.empty());
  }
  tally.print("listed");
}

TEST_F(OSCParserDifferential, RandomCorruptionOnlyDiffersWhereListed) {
  Tally tally;
  Corpus random(99);
  for (const auto& c : corpus()) {
    for (int round = 0; round < 12; ++round) {
      auto bytes = c.bytes.bytes;
      const std::size_t changes = 1 + random.pick(3);
      for (std::size_t k = 0; k < changes; ++k) {
        const std::size_t at = random.pick(bytes.size());
        // Small values often hit the interesting ones: NUL, the comma, the tag letters.
        static const std::uint8_t kInteresting[] = {0, ',', 'i', 'f', 's', 'b', 'T', 0x80, 0xFF, 0x7F};
        bytes[at] = random.pick(2) == 0 ? kInteresting[random.pick(sizeof kInteresting)] : random.byte();
      }
      if (random.pick(4) == 0) {
        bytes.resize(random.pick(bytes.size() + 1));
      }
      compare(bytes, tally);
    }
  }
  tally.print("corrupted");
}

} // namespace
} // namespace pd::deckinput
