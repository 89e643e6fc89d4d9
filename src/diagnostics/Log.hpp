#pragma once

#include "platform/log/Logger.hpp"

#include <string>
#include <string_view>

namespace pd::diagnostics {

// The process's log subsystem and its ten categories. Each logger is made once, on first use,
// and then shared read-only by every thread.
class Log {
public:
  Log() = delete;

  // "tech.quelbo.PalendrixDisplay": the application id (there is no bundle to ask on Linux).
  static const std::string& subsystem();
  static platform::log::Logger makeLogger(std::string_view category);

  static const platform::log::Logger& network();
  static const platform::log::Logger& session();
  static const platform::log::Logger& heartbeat();
  static const platform::log::Logger& video();
  static const platform::log::Logger& syphon();
  static const platform::log::Logger& osc();
  static const platform::log::Logger& bpm();
  static const platform::log::Logger& localvideo();
  static const platform::log::Logger& source();
  static const platform::log::Logger& app();
};

} // namespace pd::diagnostics
