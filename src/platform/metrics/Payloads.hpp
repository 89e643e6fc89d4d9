#pragma once

// The payloads that the metrics layer delivers: diagnostic payloads (crashes of earlier runs,
// hangs) and metric payloads (resource use over an interval). Each has a JSON form that names
// its time span as "timeStampBegin" and "timeStampEnd" in the form "yyyy-MM-dd HH:mm:ss Z".

#include "runtime/Clock.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::metrics {

// One fatal signal of an earlier run, as its crash record told it.
struct CrashDiagnostic {
  int signal = 0;
  int code = 0; // si_code
  std::uint64_t faultAddress = 0;
  std::int32_t pid = 0;
  std::uint64_t tid = 0;
  runtime::Clock::WallTime time{};
  std::uint64_t imageBase = 0; // load address of the executable, for symbolising frames
  std::vector<std::uint64_t> frames; // return addresses, innermost first
  std::string appVersion;
  bool complete = false; // the handler finished the record

  bool operator==(const CrashDiagnostic&) const = default;
};

struct HangDiagnostic {
  std::chrono::nanoseconds duration{0};
  bool operator==(const HangDiagnostic&) const = default;
};

struct DiagnosticPayload {
  runtime::Clock::WallTime timeStampBegin{};
  runtime::Clock::WallTime timeStampEnd{};
  std::vector<CrashDiagnostic> crashDiagnostics;
  std::vector<HangDiagnostic> hangDiagnostics;

  std::string jsonRepresentation() const;
};

// Resource use of the process, as getrusage reports it (totals since the process began).
struct ResourceUsage {
  std::int64_t userMicros = 0;
  std::int64_t systemMicros = 0;
  std::int64_t peakResidentKiB = 0;
  std::int64_t minorFaults = 0;
  std::int64_t majorFaults = 0;
  std::int64_t blockInputs = 0;
  std::int64_t blockOutputs = 0;
  std::int64_t voluntarySwitches = 0;
  std::int64_t involuntarySwitches = 0;

  static ResourceUsage current() noexcept;
};

struct MetricPayload {
  runtime::Clock::WallTime timeStampBegin{};
  runtime::Clock::WallTime timeStampEnd{};
  ResourceUsage atBegin; // the totals when the interval began
  ResourceUsage atEnd;

  // Counters as differences over the interval; the peak resident size as of the end.
  std::string jsonRepresentation() const;
};

// "2024-05-01 10:00:00 +0000": the payloads' time form, always in UTC.
std::string formatPayloadTime(runtime::Clock::WallTime time);

// "SIGSEGV" and the like; "SIG<n>" for a number without a name here.
std::string signalName(int signal);

} // namespace pd::platform::metrics
