#pragma once

// Reading the tablet's control messages: one JSON object per datagram, named by its "type".
// Every field reader treats a missing key and a value of the wrong kind alike, as absent, so a
// handler only ever decides what absence means.

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pd::link {

class ControlMessage {
public:
  // The datagram as a message: an object with a string "type". None for anything else (not
  // JSON, too deep, not an object, no type, a type that is not a string).
  static std::optional<ControlMessage> parse(std::span<const std::uint8_t> bytes);

  ControlMessage(const ControlMessage&);
  ControlMessage(ControlMessage&&) noexcept;
  ControlMessage& operator=(const ControlMessage&);
  ControlMessage& operator=(ControlMessage&&) noexcept;
  ~ControlMessage();

  const std::string& type() const noexcept { return type_; }

  std::optional<std::string> string(std::string_view key) const;
  // A JSON number with an integral value that fits 64 bits; a fraction or a value out of range
  // reads as absent.
  std::optional<std::int64_t> integer(std::string_view key) const;
  // Any JSON number, truncated toward zero; absent when that does not fit 64 bits.
  std::optional<std::int64_t> number(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;
  // Absent unless every element is a string.
  std::optional<std::vector<std::string>> strings(std::string_view key) const;
  // A nested object, as a message of its own without a type.
  std::optional<ControlMessage> object(std::string_view key) const;
  // The integer part (toward zero) of each numeric element, when the key holds an array; the
  // size of the array alongside, so a caller can tell that elements were skipped.
  struct Truncated {
    std::vector<double> values;
    std::size_t elementCount = 0;
  };
  std::optional<Truncated> truncatedNumbers(std::string_view key) const;

private:
  ControlMessage(std::shared_ptr<const nlohmann::json> root, const nlohmann::json& object, std::string type);
  const nlohmann::json* member(std::string_view key) const;

  // The parsed document, shared by the message and the objects read from it; `object_` lies in it.
  std::shared_ptr<const nlohmann::json> root_;
  const nlohmann::json* object_ = nullptr;
  std::string type_;
};

// A JSON number's value as a 64-bit integer when it is integral and in range.
std::optional<std::int64_t> integralValue(const nlohmann::json& value) noexcept;

} // namespace pd::link
