#pragma once

#include "platform/log/LogStore.hpp"
#include "platform/log/Logger.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pd::deckinput::test {

// The analyser's sample rate, and a minute of samples at it.
inline constexpr float kRate = 44100;
inline constexpr std::size_t kMinute = 2'646'000;

// The "bpm" lines written since construction, as "level message"; debug output is on meanwhile.
class BPMLogCapture {
public:
  BPMLogCapture() : start_(platform::log::LogStore::shared().lastSequence()) { platform::log::setDebugEnabled(true); }
  ~BPMLogCapture() { platform::log::setDebugEnabled(debugWas_); }
  BPMLogCapture(const BPMLogCapture&) = delete;
  BPMLogCapture& operator=(const BPMLogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    for (auto& entry : platform::log::LogStore::shared().entriesAfter(start_)) {
      if (entry.category == "bpm")
        result.push_back(std::string(platform::log::levelName(entry.level)) + " " + entry.message);
    }
    return result;
  }

private:
  bool debugWas_ = platform::log::isDebugEnabled();
  std::uint64_t start_;
};

// A deterministic generator, so that every run analyses the same audio.
class Lcg {
public:
  explicit Lcg(std::uint32_t seed) : state_(seed) {}
  std::uint32_t next() { return state_ = state_ * 1664525u + 1013904223u; }
  // Uniform in [-1, 1).
  float noise() { return static_cast<float>(next() >> 8) / 8388608.0f - 1.0f; }

private:
  std::uint32_t state_;
};

} // namespace pd::deckinput::test
