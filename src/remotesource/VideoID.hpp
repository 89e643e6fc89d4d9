#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pd::remotesource {

// The video id of a pasted link to one of the video service's videos: a watch link's "v", a short
// link's first path part, or the part after "shorts", "live" or "embed". A link without a scheme
// counts only when it begins with one of the service's own host names. The id's form is not judged
// here (isValidVideoID, or the source's lookup, does that); bare ids and plain words give nothing.
std::optional<std::string> extractVideoID(std::string_view text);

// Exactly 11 ASCII letters, digits, "_" or "-".
bool isValidVideoID(std::string_view id);

} // namespace pd::remotesource
