#pragma once

// The OSC 1.0 datagram parser, without logging: one datagram gives one message or one failure
// reason. OSCServerService::parseMessage adds the log lines around it.
//
// Layout: address (padded string), type-tag string (padded string whose first character is
// dropped unseen), then one argument per tag. Tags are whole user-perceived characters; i, f, s
// and b are read, every other tag yields nothing and consumes nothing. No bundles: a bundle is
// read as a message whose address is its marker string.

#include "deckinput/OSCAddress.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace pd::deckinput {

struct OSCParseFailure {
  enum class Reason : std::uint8_t {
    addressRead,
    typeTagTruncated,
    int32Arg,
    floatArg,
    stringArg,
    blobHeader,
    blobSize,
  };

  Reason reason;
  // The size field as read, negative values included; only meaningful for blobSize.
  std::int64_t blobSize = 0;

  // "address_read", "type_tag_truncated", "int32_arg", "float_arg", "string_arg", "blob_header",
  // "blob_size".
  static std::string_view reasonWord(Reason reason) noexcept;

  friend bool operator==(const OSCParseFailure&, const OSCParseFailure&) = default;
};

using OSCParseResult = std::variant<OSCMessage, OSCParseFailure>;

class OSCParser {
public:
  // Parses one datagram. A failure discards the whole datagram. Never throws for any input
  // (only std::bad_alloc can escape).
  static OSCParseResult parse(std::span<const std::uint8_t> bytes);
  // The same, building the message in place: nothing on success, else the failure (and then
  // the message holds nothing of use).
  static std::optional<OSCParseFailure> parseInto(std::span<const std::uint8_t> bytes, OSCMessage& message);

  // Reads a NUL-terminated, 4-byte padded string at offset. Nothing when offset is at or past
  // the end, when no NUL follows, or when the filler after the NUL is cut off; offset is then
  // unchanged. Bytes that are not valid UTF-8 also give nothing, but offset has moved past them.
  static std::optional<std::string> readPaddedString(std::span<const std::uint8_t> bytes, std::size_t& offset);
};

} // namespace pd::deckinput
