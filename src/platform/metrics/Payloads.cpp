#include "platform/metrics/Payloads.hpp"

#include "platform/json/JsonWriter.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace pd::platform::metrics {

namespace {

std::string hexText(std::uint64_t value) {
  char buffer[24];
  const int length = std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return std::string(buffer, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof buffer) - 1)));
}

std::int64_t micros(const timeval& value) noexcept {
  return static_cast<std::int64_t>(value.tv_sec) * 1'000'000 + static_cast<std::int64_t>(value.tv_usec);
}

// A counter that went down (it cannot, but the totals come from outside) counts as zero.
std::int64_t delta(std::int64_t end, std::int64_t begin) noexcept { return end >= begin ? end - begin : 0; }

} // namespace

std::string formatPayloadTime(runtime::Clock::WallTime time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss clock{seconds - day};
  char buffer[48];
  const int length = std::snprintf(
      buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d +0000", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
      static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
  return std::string(buffer, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof buffer) - 1)));
}

std::string signalName(int signal) {
  switch (signal) {
  case SIGSEGV: return "SIGSEGV";
  case SIGBUS: return "SIGBUS";
  case SIGFPE: return "SIGFPE";
  case SIGILL: return "SIGILL";
  case SIGABRT: return "SIGABRT";
  case SIGTRAP: return "SIGTRAP";
  case SIGSYS: return "SIGSYS";
  default: return "SIG" + std::to_string(signal);
  }
}

std::string DiagnosticPayload::jsonRepresentation() const {
  nlohmann::ordered_json root;
  root["timeStampBegin"] = formatPayloadTime(timeStampBegin);
  root["timeStampEnd"] = formatPayloadTime(timeStampEnd);
  if (!crashDiagnostics.empty()) {
    auto crashes = nlohmann::ordered_json::array();
    for (const CrashDiagnostic& crash : crashDiagnostics) {
      nlohmann::ordered_json meta;
      meta["signal"] = crash.signal;
      meta["signalName"] = signalName(crash.signal);
      meta["signalCode"] = crash.code;
      meta["faultAddress"] = hexText(crash.faultAddress);
      meta["pid"] = crash.pid;
      meta["tid"] = std::to_string(crash.tid);
      meta["crashedAt"] = formatPayloadTime(crash.time);
      meta["appVersion"] = crash.appVersion;
      meta["imageBase"] = hexText(crash.imageBase);
      meta["recordComplete"] = crash.complete;
      auto stack = nlohmann::ordered_json::array();
      for (const std::uint64_t frame : crash.frames) stack.push_back(hexText(frame));
      nlohmann::ordered_json entry;
      entry["diagnosticMetaData"] = std::move(meta);
      entry["callStack"] = std::move(stack);
      crashes.push_back(std::move(entry));
    }
    root["crashDiagnostics"] = std::move(crashes);
  }
  if (!hangDiagnostics.empty()) {
    auto hangs = nlohmann::ordered_json::array();
    for (const HangDiagnostic& hang : hangDiagnostics) {
      nlohmann::ordered_json entry;
      entry["hangDurationMs"] = std::chrono::duration_cast<std::chrono::milliseconds>(hang.duration).count();
      hangs.push_back(std::move(entry));
    }
    root["hangDiagnostics"] = std::move(hangs);
  }
  return json::write(root);
}

ResourceUsage ResourceUsage::current() noexcept {
  rusage usage{};
  ResourceUsage out;
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return out;
  out.userMicros = micros(usage.ru_utime);
  out.systemMicros = micros(usage.ru_stime);
  out.peakResidentKiB = usage.ru_maxrss;
  out.minorFaults = usage.ru_minflt;
  out.majorFaults = usage.ru_majflt;
  out.blockInputs = usage.ru_inblock;
  out.blockOutputs = usage.ru_oublock;
  out.voluntarySwitches = usage.ru_nvcsw;
  out.involuntarySwitches = usage.ru_nivcsw;
  return out;
}

std::string MetricPayload::jsonRepresentation() const {
  nlohmann::ordered_json root;
  root["timeStampBegin"] = formatPayloadTime(timeStampBegin);
  root["timeStampEnd"] = formatPayloadTime(timeStampEnd);
  root["cpuMetrics"] = {{"userTimeMs", delta(atEnd.userMicros, atBegin.userMicros) / 1000},
                        {"systemTimeMs", delta(atEnd.systemMicros, atBegin.systemMicros) / 1000}};
  root["memoryMetrics"] = {{"peakResidentKiB", atEnd.peakResidentKiB}};
  root["diskIOMetrics"] = {{"blockInputs", delta(atEnd.blockInputs, atBegin.blockInputs)},
                           {"blockOutputs", delta(atEnd.blockOutputs, atBegin.blockOutputs)}};
  root["pageFaultMetrics"] = {{"minor", delta(atEnd.minorFaults, atBegin.minorFaults)},
                              {"major", delta(atEnd.majorFaults, atBegin.majorFaults)}};
  root["contextSwitchMetrics"] = {{"voluntary", delta(atEnd.voluntarySwitches, atBegin.voluntarySwitches)},
                                  {"involuntary", delta(atEnd.involuntarySwitches, atBegin.involuntarySwitches)}};
  return json::write(root);
}

} // namespace pd::platform::metrics
