#pragma once

#include <string>
#include <string_view>

namespace pd::link {

// A text the tablet shows in a narrow label: its first 64 user-perceived characters, then cut
// further, at character boundaries, until it fits 192 bytes of UTF-8. Invalid UTF-8 is
// replaced first.
std::string clippedForMessage(std::string_view text);

} // namespace pd::link
