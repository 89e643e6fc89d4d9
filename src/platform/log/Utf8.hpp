#pragma once

#include <string>
#include <string_view>

namespace pd::platform::log {

bool isValidUtf8(std::string_view text) noexcept;

// Replaces every ill-formed UTF-8 sequence with U+FFFD, one per maximal invalid subpart (the
// Unicode recommendation, which is also what decoders such as ICU do).
std::string toValidUtf8(std::string_view text);

// Cuts `text` to at most `maxBytes` without splitting a character. `text` must be valid UTF-8.
void truncateUtf8(std::string& text, std::size_t maxBytes) noexcept;

} // namespace pd::platform::log
