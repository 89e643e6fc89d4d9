// Feeds arbitrary bytes to the crash record reader: the records come from a process that was
// dying when it wrote them, so anything may be in them.

#include "platform/metrics/CrashRecord.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pd::platform::metrics;
  const auto crash = parseCrashRecord(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!crash) return 0;
  if (crash->signal <= 0 || crash->frames.size() > kMaxCrashFrames || crash->pid < 0) __builtin_trap();
  DiagnosticPayload payload;
  payload.timeStampBegin = crash->time;
  payload.timeStampEnd = crash->time;
  payload.crashDiagnostics.push_back(*crash);
  if (payload.jsonRepresentation().empty()) __builtin_trap();
  return 0;
}
