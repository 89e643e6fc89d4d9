#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pd::platform::crypto {

// Fills the buffer from the kernel's random source (getrandom). Never fails silently: a
// kernel that cannot give randomness terminates the process, as nothing sound can follow.
void fillRandom(std::span<std::uint8_t> out);

// A random (version 4) UUID in its standard upper-case text form, 36 characters.
std::string makeUUIDString();

// The same UUID without hyphens, lower case: 32 hex digits (link ids, session tokens).
std::string makeHexToken32();

// Lower-case hex of the bytes.
std::string toHex(std::span<const std::uint8_t> bytes);

using Sha256Digest = std::array<std::uint8_t, 32>;
Sha256Digest sha256(std::span<const std::uint8_t> bytes);
Sha256Digest sha256(std::string_view text);

} // namespace pd::platform::crypto
