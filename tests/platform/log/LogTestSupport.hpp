#pragma once

#include "platform/log/LogStore.hpp"
#include "platform/log/Logger.hpp"

#include <string>

namespace pd::platform::log::test {

// Lines land in the shared store; each test reads back what it wrote after a noted sequence.
inline std::string lastMessage() {
  const auto entries = LogStore::shared().entriesAfter(LogStore::shared().lastSequence() - 1);
  return entries.empty() ? std::string("<none>") : entries.back().message;
}

// Keeps stderr quiet and the debug switch as it was.
struct QuietLogging {
  bool debugWas = isDebugEnabled();
  bool stderrWas = isStderrEnabled();
  QuietLogging() { setStderrEnabled(false); }
  ~QuietLogging() {
    setDebugEnabled(debugWas);
    setStderrEnabled(stderrWas);
  }
};

} // namespace pd::platform::log::test
