// Feeds arbitrary header values to the Content-Range parser. Whatever it accepts must be a range
// that could have been asked for (start at most end) and must read back the same from its own
// canonical form.

#include "relay/RemoteMedia.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = pd::relay::parseContentRange(text);
  if (!parsed) return 0;
  if (parsed->start > parsed->end) __builtin_trap();
  const std::string canonical = "bytes " + std::to_string(parsed->start) + "-" + std::to_string(parsed->end) + "/" +
                                (parsed->total ? std::to_string(*parsed->total) : std::string("*"));
  const auto again = pd::relay::parseContentRange(canonical);
  if (!again || again->start != parsed->start || again->end != parsed->end) __builtin_trap();
  if (parsed->total && again->total != parsed->total) __builtin_trap();
  return 0;
}
