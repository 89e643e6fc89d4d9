#pragma once

// Builds OSC datagrams byte by byte for the tests, remembering what each byte is for, so that
// mutation tests know which part of the layout they broke.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pd::deckinput::test {

enum class ByteRole : std::uint8_t {
  addressText,
  addressNul,
  addressFiller,
  tagComma,
  tagChar,
  tagNul,
  tagFiller,
  int32Data,
  floatData,
  stringText,
  stringNul,
  stringFiller,
  blobSize,
  blobData,
  blobFiller,
  extra,
};

struct OSCBytes {
  std::vector<std::uint8_t> bytes;
  std::vector<ByteRole> roles;

  std::span<const std::uint8_t> span() const { return bytes; }

  OSCBytes& raw(std::string_view data, ByteRole role = ByteRole::extra) {
    for (const char c : data) {
      push(static_cast<std::uint8_t>(c), role);
    }
    return *this;
  }
  // Text, NUL, then zero filler up to the next multiple of 4.
  OSCBytes& padded(std::string_view text, ByteRole textRole, ByteRole nulRole, ByteRole fillerRole) {
    raw(text, textRole);
    push(0, nulRole);
    while (bytes.size() % 4 != 0) {
      push(0, fillerRole);
    }
    return *this;
  }
  OSCBytes& address(std::string_view text) {
    return padded(text, ByteRole::addressText, ByteRole::addressNul, ByteRole::addressFiller);
  }
  // The comma is written here; `tags` holds only the tag characters.
  OSCBytes& tags(std::string_view tagText) {
    push(',', ByteRole::tagComma);
    raw(tagText, ByteRole::tagChar);
    push(0, ByteRole::tagNul);
    while (bytes.size() % 4 != 0) {
      push(0, ByteRole::tagFiller);
    }
    return *this;
  }
  OSCBytes& be32(std::uint32_t value, ByteRole role) {
    push(static_cast<std::uint8_t>(value >> 24), role);
    push(static_cast<std::uint8_t>(value >> 16), role);
    push(static_cast<std::uint8_t>(value >> 8), role);
    push(static_cast<std::uint8_t>(value), role);
    return *this;
  }
  OSCBytes& int32(std::int32_t value) { return be32(static_cast<std::uint32_t>(value), ByteRole::int32Data); }
  OSCBytes& float32(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return be32(bits, ByteRole::floatData);
  }
  OSCBytes& string(std::string_view text) {
    return padded(text, ByteRole::stringText, ByteRole::stringNul, ByteRole::stringFiller);
  }
  OSCBytes& blob(std::span<const std::uint8_t> data, bool withFiller = true) {
    be32(static_cast<std::uint32_t>(data.size()), ByteRole::blobSize);
    for (const auto b : data) {
      push(b, ByteRole::blobData);
    }
    while (withFiller && bytes.size() % 4 != 0) {
      push(0, ByteRole::blobFiller);
    }
    return *this;
  }

private:
  void push(std::uint8_t byte, ByteRole role) {
    bytes.push_back(byte);
    roles.push_back(role);
  }
};

} // namespace pd::deckinput::test
