#pragma once

// What the application-shell tests share: a private set of XDG folders per test, the log
// lines written since a mark, and a child process with pipes (tests/support).

#include "TestSupport.hpp" // tests/platform: TempDirectory, ScopedEnvironment, writeText
#include "support/ChildProcess.hpp"

#include "platform/log/LogStore.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pd::testing {

// Points every XDG folder of the process into one fresh temporary folder.
class XdgSandbox {
public:
  XdgSandbox()
      : data_("XDG_DATA_HOME", (root_ / "data").string()),
        cache_("XDG_CACHE_HOME", (root_ / "cache").string()),
        config_("XDG_CONFIG_HOME", (root_ / "config").string()),
        runtime_("XDG_RUNTIME_DIR", (root_ / "run").string()) {
    std::filesystem::create_directories(root_ / "run");
    std::filesystem::permissions(root_ / "run", std::filesystem::perms::owner_all);
  }
  const std::filesystem::path& root() const noexcept { return root_.path(); }
  std::filesystem::path appSupport() const { return root_ / "data" / PD_APP_ID; }
  std::filesystem::path caches() const { return root_ / "cache" / PD_APP_ID; }
  std::filesystem::path runtime() const { return root_ / "run" / PD_APP_ID; }

private:
  TempDirectory root_;
  ScopedEnvironment data_, cache_, config_, runtime_;
};

// The lines logged from its creation on.
class LogCapture {
public:
  LogCapture() : mark_(platform::log::LogStore::shared().lastSequence()) {}

  std::vector<platform::log::LogEntry> entries() const { return platform::log::LogStore::shared().entriesAfter(mark_); }
  std::vector<std::string> messagesContaining(const std::string& needle) const {
    std::vector<std::string> found;
    for (const auto& entry : entries()) {
      if (entry.message.find(needle) != std::string::npos) {
        found.push_back(entry.message);
      }
    }
    return found;
  }

private:
  std::uint64_t mark_;
};

} // namespace pd::testing
