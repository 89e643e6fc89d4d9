// Feeds arbitrary bytes to the log ring's manifest reader, which reads files that may have been
// damaged or written by something else. DecodingError is the expected answer to bad input; a
// manifest that decodes must survive its own encoding unchanged.

#include "diagnostics/LogRing.hpp"
#include "platform/json/DecodingError.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using pd::diagnostics::LogRing;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  LogRing::Manifest manifest;
  try {
    manifest = LogRing::Manifest::decode(bytes);
  } catch (const pd::platform::json::DecodingError&) {
    return 0;
  }
  const LogRing::Manifest again = LogRing::Manifest::decode(manifest.encode());
  if (!(again == manifest)) __builtin_trap();
  (void)LogRing::launchSortKey("/nonexistent", manifest);
  return 0;
}
