#pragma once

#include <cstdint>
#include <vector>

namespace pd::mediaserver {

// What the API handler answers for one route: an HTTP status and a JSON body.
struct ReceiverAPIResponse {
  std::int64_t status = 200;
  std::vector<std::uint8_t> body;
};

} // namespace pd::mediaserver
