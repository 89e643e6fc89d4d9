// Compiled by CTest with one CASE_ macro defined; every case but CASE_SOUND must fail.
#include "platform/log/Logger.hpp"

#include <cstdint>
#include <string>

enum class Mode { mix, raw };

void exercise(const pd::platform::log::Logger& log, const std::string& text) {
#if defined(CASE_SOUND)
  log.notice("config_snapshot rev=%ld host=%{public}s port=%hu on=%{bool}d t=%.3f %%", 1L, text, std::uint16_t{8000},
             true, 0.5);
#elif defined(CASE_TYPE)
  log.notice("n=%d", text);
#elif defined(CASE_STRING_FOR_INT)
  log.notice("s=%{public}s", 42);
#elif defined(CASE_COUNT_MISSING)
  log.notice("a=%d b=%d", 1);
#elif defined(CASE_COUNT_SURPLUS)
  log.notice("a=%d", 1, 2);
#elif defined(CASE_BOOL_AS_INT)
  log.error("flag=%d", true);
#elif defined(CASE_INT_AS_BOOL)
  log.error("flag=%{bool}d", 1);
#elif defined(CASE_UNKNOWN_LETTER)
  log.fault("x=%@", text);
#elif defined(CASE_ENUM_ARGUMENT)
  log.debug("mode=%d", Mode::mix);
#elif defined(CASE_RUNTIME_TEXT)
  log.notice(text);
#endif
  (void)log;
  (void)text;
}
