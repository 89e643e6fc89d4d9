#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pd::platform::text {

// The bytes a URL's percent-encoded text stands for: each "%" and two hex digits (either case)
// becomes its byte, everything else stays. None when a "%" is not followed by two hex digits. The
// result may hold any byte, NUL and invalid UTF-8 included: what a caller accepts is its own.
std::optional<std::string> percentDecoded(std::string_view text);

} // namespace pd::platform::text
