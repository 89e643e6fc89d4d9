#pragma once

#include <string>
#include <string_view>

namespace pd::platform::text {

// Text without leading and trailing white space and line breaks (Unicode White_Space, which
// includes U+3000 and the other wide spaces). Invalid UTF-8 is never trimmed away.
std::string trimmingWhitespaceAndNewlines(std::string_view text);

// Whether the UTF-8 text holds a White_Space character anywhere; an invalid sequence is not one.
bool containsWhitespace(std::string_view text);

// Unicode lower-casing without language rules; invalid UTF-8 comes out replaced.
std::string lowercased(std::string_view text);

} // namespace pd::platform::text
