// Feeds arbitrary bytes to what the log export reads besides manifests: stored payload files
// (their time stamps decide what is exported), launch start times and the kernel release.

#include "diagnostics/LogExporter.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using pd::diagnostics::LogExporter;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)LogExporter::payloadTime(text);
  (void)LogExporter::parseTimestamp(text);
  if (!LogExporter::osDescription(text).starts_with("Linux ")) __builtin_trap();
  return 0;
}
