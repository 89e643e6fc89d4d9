#pragma once

// Ranged reads of the stream bytes the own HTTP server hands out, over the loopback address:
// the start of a stream into memory for its segment index, and into a file for tempo analysis.

#include "runtime/Task.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::http {
class Client;
}

namespace pd::relay {

// At most maxBytes (at least 1) from the start of `url`; the transfer stops as soon as that many
// have arrived, whatever the server sends. Throws RemoteVideoPrepareError for a status other
// than 200 and 206, and the client's transport errors.
runtime::Awaitable<std::vector<std::uint8_t>> fetchPrefix(platform::http::Client& client, std::string url,
                                                          std::size_t maxBytes);

// Until it is whole, fetchLocalRange's download lies beside its destination under a hidden name
// that starts with this, for a destination named `name`; a process that ends meanwhile leaves it.
std::string partialNamePrefix(std::string_view name);

// Replaces `destination` with at most `length` (at least 1) bytes from the start of `url` and
// answers how many it holds. A failed status leaves the destination untouched. Throws
// RemoteVideoPrepareError, the client's transport errors and PosixError.
runtime::Awaitable<std::int64_t> fetchLocalRange(platform::http::Client& client, std::string url, std::int64_t length,
                                                 std::filesystem::path destination);

} // namespace pd::relay
