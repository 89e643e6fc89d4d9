#pragma once

// The values that carry one received OSC message through the system. They are plain values:
// built on the server's receive queue and handed to the main thread by copy.

#include "runtime/Clock.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace pd::deckinput {

// An address exactly as received; nothing checks it for a leading "/" or matches patterns.
struct OSCAddress {
  std::string string;

  friend bool operator==(const OSCAddress&, const OSCAddress&) = default;
};

// One argument: int32 (tag i), float (tag f), string (tag s) or blob (tag b).
class OSCArgumentValue {
public:
  enum class Kind : std::uint8_t { int32, float32, string, blob };
  using Blob = std::vector<std::uint8_t>;
  // Alternatives in the order of Kind.
  using Payload = std::variant<std::int32_t, float, std::string, Blob>;

  static OSCArgumentValue int32(std::int32_t value) { return OSCArgumentValue(std::in_place_index<0>, value); }
  static OSCArgumentValue float32(float value) { return OSCArgumentValue(std::in_place_index<1>, value); }
  static OSCArgumentValue string(std::string value) {
    return OSCArgumentValue(std::in_place_index<2>, std::move(value));
  }
  static OSCArgumentValue blob(Blob value) { return OSCArgumentValue(std::in_place_index<3>, std::move(value)); }

  // Builds the payload in place (for emplace_back): index as in Kind.
  template <std::size_t Index, typename... Args>
  explicit OSCArgumentValue(std::in_place_index_t<Index> index, Args&&... args)
      : payload_(index, std::forward<Args>(args)...) {}

  Kind kind() const noexcept { return static_cast<Kind>(payload_.index()); }
  // The payload itself, for callers that switch on it.
  const Payload& rawValue() const noexcept { return payload_; }

  const std::int32_t* asInt32() const noexcept { return std::get_if<0>(&payload_); }
  const float* asFloat() const noexcept { return std::get_if<1>(&payload_); }
  const std::string* asString() const noexcept { return std::get_if<2>(&payload_); }
  const Blob* asBlob() const noexcept { return std::get_if<3>(&payload_); }

  // "-5", "0.5000", "\"text\"", "Blob(12 bytes)".
  std::string description() const;

  // Same kind and equal payload; floats compare as IEEE values (NaN never equal, +0 == -0).
  friend bool operator==(const OSCArgumentValue&, const OSCArgumentValue&) = default;

private:
  Payload payload_;
};

// One received message. Identity is the fresh random id; nothing else is compared.
struct OSCMessage {
  using Id = std::array<std::uint8_t, 16>;

  Id id{};
  OSCAddress address;
  std::vector<OSCArgumentValue> arguments;
  runtime::Clock::WallTime receivedAt{};

  // A random (version 4) UUID. Drawn from a per-thread buffer of kernel randomness so that a
  // message does not cost a system call each.
  static Id makeId();
  // The id in the usual upper-case UUID text form, 36 characters.
  std::string idString() const;

  // The descriptions of all arguments joined with ", "; empty without arguments.
  std::string argumentsDescription() const;

  friend bool operator==(const OSCMessage& a, const OSCMessage& b) noexcept { return a.id == b.id; }
};

} // namespace pd::deckinput
