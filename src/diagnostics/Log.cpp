#include "diagnostics/Log.hpp"

#ifndef PD_APP_ID
#define PD_APP_ID "tech.quelbo.PalendrixDisplay"
#endif

namespace pd::diagnostics {

using platform::log::Logger;

const std::string& Log::subsystem() {
  static const std::string* const value = new std::string(PD_APP_ID);
  return *value;
}

Logger Log::makeLogger(std::string_view category) { return Logger(subsystem(), std::string(category)); }

// Never destroyed, so that static destructors and late threads can still log.
#define PD_DIAGNOSTICS_LOGGER(name)                                                                                    \
  const Logger& Log::name() {                                                                                          \
    static Logger* const instance = new Logger(makeLogger(#name));                                                     \
    return *instance;                                                                                                  \
  }

PD_DIAGNOSTICS_LOGGER(network)
PD_DIAGNOSTICS_LOGGER(session)
PD_DIAGNOSTICS_LOGGER(heartbeat)
PD_DIAGNOSTICS_LOGGER(video)
PD_DIAGNOSTICS_LOGGER(syphon)
PD_DIAGNOSTICS_LOGGER(osc)
PD_DIAGNOSTICS_LOGGER(bpm)
PD_DIAGNOSTICS_LOGGER(localvideo)
PD_DIAGNOSTICS_LOGGER(source)
PD_DIAGNOSTICS_LOGGER(app)

#undef PD_DIAGNOSTICS_LOGGER

} // namespace pd::diagnostics
