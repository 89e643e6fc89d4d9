#pragma once

// The JSON control messages as the tablet writes and reads them: one JSON object per datagram, its
// "type" naming the message.

#include "tablet-emulator/AnnexB.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pd::tools::tablet {

using Json = nlohmann::json;

inline constexpr std::int64_t currentProtocolVersion = 3;

enum class StreamMode { mix, raw };
std::string_view toText(StreamMode mode);
// Exact and case-sensitive: "Mix" is not a mode.
std::optional<StreamMode> streamModeFromText(std::string_view text);

enum class LoadStatus { ready, failed, replaced };
std::string_view toText(LoadStatus status);
std::optional<LoadStatus> loadStatusFromText(std::string_view text);

// The seven feature words of the current protocol, in their order.
const std::vector<std::string>& defaultFeatures();

// Seconds since 2001-01-01 UTC, the wire's absolute time.
double referenceSeconds(std::chrono::system_clock::time_point time);
// Milliseconds since 1970, truncated toward zero.
std::int64_t unixMilliseconds(std::chrono::system_clock::time_point time);

// Compact JSON; text that is not valid UTF-8 is replaced rather than thrown on.
std::string serialize(const Json& value);

// Inbound parsing. Nesting is bounded before the parser sees the bytes, so a hostile datagram cannot
// drive the recursive parts of the JSON library (dumping, comparing) arbitrarily deep.
inline constexpr std::size_t maxNestingDepth = 32;
bool nestingExceeds(ByteSpan bytes, std::size_t maxDepth);

struct ParsedMessage {
  std::string type;
  Json body;
};
enum class ParseError { notJson, tooDeep, notObject, missingType };
std::string_view toText(ParseError error);
std::variant<ParsedMessage, ParseError> parseControlMessage(ByteSpan bytes);

// Field readers: a missing key and a value of the wrong kind both give nothing. An integer needs a JSON
// number with an integral value inside the 64-bit range.
std::optional<std::int64_t> integerField(const Json& object, std::string_view key);
std::optional<std::string> stringField(const Json& object, std::string_view key);
std::optional<bool> boolField(const Json& object, std::string_view key);

struct HandshakeAckFields {
  std::string device;
  std::int64_t seq = 0;
  std::optional<std::string> linkId;
  std::optional<std::string> peerId;
  std::optional<std::string> sessionId;
  std::optional<std::string> interfaceName;
  std::optional<std::string> interfaceType;
  StreamMode mode = StreamMode::mix;
  std::optional<std::string> modeWord; // sent instead of `mode`'s word
  bool omitMode = false;
  std::optional<std::int64_t> protocolVersion = currentProtocolVersion;
  std::optional<std::string> appVersion;
  std::optional<std::vector<std::string>> features;
};

Json handshakeAck(const HandshakeAckFields& fields);
// "occupiedBy" is left out when empty.
Json handshakeReject(std::int64_t seq, const std::string& reason, const std::string& occupiedBy);
Json modeChangeRequest(StreamMode mode);
Json ping(std::int64_t seq, std::chrono::system_clock::time_point now, StreamMode mode);
Json pong(std::int64_t seq, std::chrono::system_clock::time_point now);
Json loadVideoAck(const std::string& target, const std::string& url, LoadStatus status,
                  const std::optional<std::string>& reason);
Json streamStop(const std::vector<std::uint8_t>& streams, const std::optional<std::string>& reason);

} // namespace pd::tools::tablet
