#include "deckinput/OSCParser.hpp"

#include "OSCBytes.hpp"

#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace pd::deckinput {
namespace {

using test::ByteRole;
using test::OSCBytes;
using Reason = OSCParseFailure::Reason;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

OSCMessage parsed(std::span<const std::uint8_t> bytes) {
  auto result = OSCParser::parse(bytes);
  if (const auto* failure = std::get_if<OSCParseFailure>(&result)) {
    ADD_FAILURE() << "unexpected failure " << OSCParseFailure::reasonWord(failure->reason);
    return {};
  }
  return std::get<OSCMessage>(std::move(result));
}

OSCParseFailure failed(std::span<const std::uint8_t> bytes) {
  auto result = OSCParser::parse(bytes);
  if (std::holds_alternative<OSCMessage>(result)) {
    ADD_FAILURE() << "parsed although it should fail";
    return {Reason::addressRead};
  }
  return std::get<OSCParseFailure>(result);
}

// Every kind at every padding length, and the listed differences from liblo (no type tags, filler
// values, the first tag character dropped unseen, unknown tags, trailing bytes, bundles, invalid
// UTF-8), are read over the whole corpus by the differential test; the cases here pin the rest.

TEST(OSCParser, MessagesWithoutArguments) {
  // Address and a type-tag string of only the comma.
  const auto eight = bytesOf(std::string_view("/a\0\0,\0\0\0", 8));
  auto message = parsed(eight);
  EXPECT_EQ(message.address.string, "/a");
  EXPECT_TRUE(message.arguments.empty());

  // An empty address is taken as it is, as is one without a leading slash.
  EXPECT_EQ(parsed(bytesOf(std::string_view("\0\0\0\0", 4))).address.string, "");
  EXPECT_EQ(parsed(bytesOf(std::string_view("ab\0\0,\0\0\0", 8))).address.string, "ab");
}

TEST(OSCParser, AddressFailures) {
  // No filler after the NUL.
  EXPECT_EQ(failed(bytesOf(std::string_view("/abc\0", 5))).reason, Reason::addressRead);
  // No NUL at all, and nothing at all.
  EXPECT_EQ(failed(bytesOf("/abc")).reason, Reason::addressRead);
  EXPECT_EQ(failed({}).reason, Reason::addressRead);
}

TEST(OSCParser, TypeTagStringCutOffOrUndecodable) {
  // Bytes follow the address but hold no complete tag string.
  EXPECT_EQ(failed(bytesOf(std::string_view("/ab\0,ii", 7))).reason, Reason::typeTagTruncated);
  EXPECT_EQ(failed(bytesOf(std::string_view("/ab\0,i\0", 7))).reason, Reason::typeTagTruncated);
  // An undecodable tag string that ends the datagram leaves a message without arguments ...
  auto atEnd = parsed(bytesOf(std::string_view("/ab\0,\xff\0\0", 8)));
  EXPECT_TRUE(atEnd.arguments.empty());
  // ... and one followed by more bytes is a failure.
  EXPECT_EQ(failed(bytesOf(std::string_view("/ab\0,\xff\0\0\0\0\0\1", 12))).reason, Reason::typeTagTruncated);
}

TEST(OSCParser, ExtremeNumbersKeepTheirBits) {
  OSCBytes b;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  b.address("/n").tags("iiff").int32(std::numeric_limits<std::int32_t>::min()).int32(-1).float32(-0.0F).float32(nan);
  const auto message = parsed(b.span());
  ASSERT_EQ(message.arguments.size(), 4U);
  EXPECT_EQ(std::get<std::int32_t>(message.arguments[0].rawValue()), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(std::get<std::int32_t>(message.arguments[1].rawValue()), -1);
  EXPECT_TRUE(std::signbit(std::get<float>(message.arguments[2].rawValue())));
  EXPECT_TRUE(std::isnan(std::get<float>(message.arguments[3].rawValue())));
  // IEEE equality: NaN is unequal to itself, -0 equals +0.
  EXPECT_NE(message.arguments[3], message.arguments[3]);
  EXPECT_EQ(message.arguments[2], OSCArgumentValue::float32(0.0F));
}

TEST(OSCParser, ShortArgumentsFailWithTheirReason) {
  OSCBytes twoInts;
  twoInts.address("/a").tags("ii").int32(7);
  EXPECT_EQ(failed(twoInts.span()).reason, Reason::int32Arg);

  OSCBytes shortFloat;
  shortFloat.address("/a").tags("f").raw("\x3f\x80", ByteRole::floatData);
  EXPECT_EQ(failed(shortFloat.span()).reason, Reason::floatArg);

  OSCBytes noStringNul;
  noStringNul.address("/a").tags("s").raw("abc", ByteRole::stringText);
  EXPECT_EQ(failed(noStringNul.span()).reason, Reason::stringArg);

  // Malformed UTF-8: a broken sequence, an overlong "/", a surrogate.
  for (const std::string_view bad : {std::string_view("\xc3\x28\0\0", 4), std::string_view("\xc0\xaf\0\0", 4),
                                     std::string_view("\xed\xa0\x80\0", 4)}) {
    OSCBytes badString;
    badString.address("/a").tags("s").raw(bad, ByteRole::stringText);
    EXPECT_EQ(failed(badString.span()).reason, Reason::stringArg);
  }

  OSCBytes noBlobSize;
  noBlobSize.address("/a").tags("b").raw(std::string_view("\0\0", 2), ByteRole::blobSize);
  EXPECT_EQ(failed(noBlobSize.span()).reason, Reason::blobHeader);
}

TEST(OSCParser, BlobSizesOutOfRangeReportTheSizeAsRead) {
  OSCBytes negative;
  negative.address("/a").tags("b").be32(0xFFFFFFFE, ByteRole::blobSize);
  auto failure = failed(negative.span());
  EXPECT_EQ(failure.reason, Reason::blobSize);
  EXPECT_EQ(failure.blobSize, -2);

  OSCBytes huge;
  huge.address("/a").tags("b").be32(0x7FFFFFFF, ByteRole::blobSize).raw("abcd", ByteRole::blobData);
  failure = failed(huge.span());
  EXPECT_EQ(failure.reason, Reason::blobSize);
  EXPECT_EQ(failure.blobSize, 0x7FFFFFFF);

  OSCBytes oneShort;
  oneShort.address("/a").tags("b").be32(5, ByteRole::blobSize).raw("abcd", ByteRole::blobData);
  EXPECT_EQ(failed(oneShort.span()).blobSize, 5);
}

TEST(OSCParser, BlobFillerRules) {
  // A zero-size blob: the next argument starts right after the size field.
  OSCBytes empty;
  empty.address("/a").tags("bi").blob({}).int32(9);
  auto message = parsed(empty.span());
  ASSERT_EQ(message.arguments.size(), 2U);
  EXPECT_TRUE(std::get<OSCArgumentValue::Blob>(message.arguments[0].rawValue()).empty());
  EXPECT_EQ(std::get<std::int32_t>(message.arguments[1].rawValue()), 9);

  // The last blob may lack its filler.
  const std::vector<std::uint8_t> five{1, 2, 3, 4, 5};
  OSCBytes lastUnpadded;
  lastUnpadded.address("/a").tags("b").blob(five, false);
  message = parsed(lastUnpadded.span());
  ASSERT_EQ(message.arguments.size(), 1U);
  EXPECT_EQ(std::get<OSCArgumentValue::Blob>(message.arguments[0].rawValue()), five);

  // An argument after an unpadded blob has no bytes left: the offset lies past the end.
  OSCBytes followed;
  followed.address("/a").tags("bi").blob(five, false);
  EXPECT_EQ(failed(followed.span()).reason, Reason::int32Arg);
  OSCBytes followedByString;
  followedByString.address("/a").tags("bs").blob(five, false);
  EXPECT_EQ(failed(followedByString.span()).reason, Reason::stringArg);
  OSCBytes followedByBlob;
  followedByBlob.address("/a").tags("bb").blob(five, false);
  EXPECT_EQ(failed(followedByBlob.span()).reason, Reason::blobHeader);
}

// An 8-byte type elsewhere consumes nothing here either: the next argument is read from its bytes.
TEST(OSCParser, UnknownTagsConsumeNothing) {
  OSCBytes d;
  d.address("/a").tags("di").int32(0x40000000).int32(0);
  const auto message = parsed(d.span());
  ASSERT_EQ(message.arguments.size(), 1U);
  EXPECT_EQ(message.arguments[0], OSCArgumentValue::int32(0x40000000));
}

TEST(OSCParser, TagsAreWholeCharacters) {
  // A combining mark on the leading comma is dropped with it.
  OSCBytes commaAccent;
  commaAccent.address("/a").tags("\xcc\x81i").int32(4);
  auto message = parsed(commaAccent.span());
  ASSERT_EQ(message.arguments.size(), 1U);
  EXPECT_EQ(message.arguments[0], OSCArgumentValue::int32(4));

  // CR LF is one character; a lone CR is its own.
  OSCBytes crlf;
  crlf.address("/a").tags("\r\ni\ri").int32(1).int32(2);
  message = parsed(crlf.span());
  EXPECT_EQ(message.arguments, (std::vector{OSCArgumentValue::int32(1), OSCArgumentValue::int32(2)}));

  // A wide character beside known tags.
  OSCBytes emoji;
  emoji.address("/a").tags("\xf0\x9f\x8e\xb5s").string("x");
  message = parsed(emoji.span());
  ASSERT_EQ(message.arguments.size(), 1U);
  EXPECT_EQ(message.arguments[0], OSCArgumentValue::string("x"));
}

TEST(OSCParser, EveryMessageGetsAFreshIdAndTime) {
  runtime::ManualClock clock;
  const runtime::ScopedClock scoped(clock);
  OSCBytes b;
  b.address("/a");
  const auto first = parsed(b.span());
  EXPECT_EQ(first.receivedAt, clock.wall());
  clock.advance(std::chrono::seconds(3));
  const auto second = parsed(b.span());
  EXPECT_EQ(second.receivedAt, clock.wall());
  EXPECT_NE(first.id, second.id);
  EXPECT_NE(first, second);
  const std::string text = first.idString();
  ASSERT_EQ(text.size(), 36U);
  EXPECT_EQ(text[8], '-');
  EXPECT_EQ(text[14], '4');
}

TEST(OSCPaddedString, OffsetRules) {
  const auto bytes = bytesOf(std::string_view("abc\0de\0\0fg\0", 11));
  std::size_t offset = 0;
  EXPECT_EQ(OSCParser::readPaddedString(bytes, offset), "abc");
  EXPECT_EQ(offset, 4U); // NUL at 3
  EXPECT_EQ(OSCParser::readPaddedString(bytes, offset), "de");
  EXPECT_EQ(offset, 8U);
  // "fg" and its NUL end at 11, but the filler to 12 is missing.
  EXPECT_EQ(OSCParser::readPaddedString(bytes, offset), std::nullopt);
  EXPECT_EQ(offset, 8U);
  offset = 11;
  EXPECT_EQ(OSCParser::readPaddedString(bytes, offset), std::nullopt);
  EXPECT_EQ(offset, 11U);

  // A NUL at offset 4 puts the next field at 8.
  const auto four = bytesOf(std::string_view("abcd\0\0\0\0", 8));
  offset = 0;
  EXPECT_EQ(OSCParser::readPaddedString(four, offset), "abcd");
  EXPECT_EQ(offset, 8U);

  // Undecodable text: nothing, but the offset has moved.
  const auto bad = bytesOf(std::string_view("\xc0\xaf\0\0", 4));
  offset = 0;
  EXPECT_EQ(OSCParser::readPaddedString(bad, offset), std::nullopt);
  EXPECT_EQ(offset, 4U);
}

TEST(OSCArgumentValue, Descriptions) {
  EXPECT_EQ(OSCArgumentValue::int32(-5).description(), "-5");
  EXPECT_EQ(OSCArgumentValue::float32(0.5F).description(), "0.5000");
  EXPECT_EQ(OSCArgumentValue::float32(128.0F).description(), "128.0000");
  EXPECT_EQ(OSCArgumentValue::float32(std::numeric_limits<float>::max()).description(),
            "340282346638528859811704183484516925440.0000");
  EXPECT_EQ(OSCArgumentValue::string("x").description(), "\"x\"");
  EXPECT_EQ(OSCArgumentValue::blob({1, 2, 3}).description(), "Blob(3 bytes)");

  OSCMessage message;
  EXPECT_EQ(message.argumentsDescription(), "");
  message.arguments = {OSCArgumentValue::int32(1), OSCArgumentValue::string("x")};
  EXPECT_EQ(message.argumentsDescription(), "1, \"x\"");
}

} // namespace
} // namespace pd::deckinput
