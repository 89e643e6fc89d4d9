#pragma once

#include "platform/log/LogStore.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pd::testing {

// The log lines written since the window opened.
class LogWindow {
public:
  LogWindow() : start_(platform::log::LogStore::shared().lastSequence()) {}
  std::vector<std::string> lines() const {
    std::vector<std::string> messages;
    for (auto& entry : platform::log::LogStore::shared().entriesAfter(start_)) messages.push_back(entry.message);
    return messages;
  }
  std::size_t count(const std::string& prefix) const {
    const auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
  }
  bool has(const std::string& prefix) const { return count(prefix) > 0; }

private:
  std::uint64_t start_;
};

} // namespace pd::testing
