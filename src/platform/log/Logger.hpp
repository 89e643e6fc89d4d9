#pragma once

// The process's structured logger. Call sites look like
//
//   Log::app().notice("config_snapshot snapshot_rev=%ld host=%{public}s port=%hu", rev, host, port);
//
// The format string is checked against the argument types at compile time: a mismatch, a
// missing or surplus argument, or an unknown conversion does not compile. Markers:
//   %{public}s              written as is
//   %s, %{private}s         written as "<private>" in every sink
//   %{private,mask.hash}s   written as "<mask.hash: '...'>", a salted hash that is stable
//                           within the process, so equal values can be matched in one log
//   %{bool}d                a bool written as "true"/"false"
// Integers (%d %i %u %o %x %X with hh h l ll z j t, flags, width, precision) and floating
// values (%f %e %g and their capitals) are public unless marked {private}. "%%" writes '%'.
// An integer is always written with its own value: the length modifier documents the C type
// but never truncates, so a value that would not fit the modifier's type is not wrapped.
//
// Strings: std::string, std::string_view, const char* (null reads "(null)") and char
// arrays. Integers: any integral type but bool, which only %{bool}d takes. Floating: float
// and double. Every line goes to the in-process LogStore and, when enabled, to stderr,
// redacted the same way in both; invalid UTF-8 is replaced by U+FFFD.

#include "platform/log/FormatGrammar.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace pd::platform::log {

// The unified log's levels; `notice` is the one the platform calls "default".
enum class Level : std::uint8_t { debug = 0, notice = 1, error = 2, fault = 3 };

// "debug", "default", "error", "fault"
std::string_view levelName(Level level) noexcept;

// Process-wide switches. Debug output is off unless PALENDRIX_LOG_DEBUG=1 is set in the
// environment or setDebugEnabled(true) is called; the stderr sink is on unless turned off.
void setDebugEnabled(bool enabled) noexcept;
bool isDebugEnabled() noexcept;
void setStderrEnabled(bool enabled) noexcept;
bool isStderrEnabled() noexcept;

namespace detail {

// -1: not yet read from the environment; 0: off; 1: on. Constant-initialised, so it can be
// read from any static initialiser.
inline std::atomic<int> debugState{-1};
bool initialiseDebugState() noexcept;

inline bool debugOn() noexcept {
  const int state = debugState.load(std::memory_order_relaxed);
  if (state >= 0) [[likely]]
    return state != 0;
  return initialiseDebugState();
}

// One argument, type-erased for the renderer.
struct Arg {
  enum class Kind : std::uint8_t { signedInt, unsignedInt, floating, boolean, string };
  Kind kind = Kind::signedInt;
  std::uint8_t bytes = 0; // size of the original integer type, for %x and %o
  bool isNull = false; // a null const char*
  union {
    std::int64_t i;
    std::uint64_t u;
    double d;
    bool b;
  };
  std::string_view s;

  Arg() : i(0) {}
};

template <typename T>
Arg makeArg(const T& value) noexcept {
  using U = std::remove_cvref_t<T>;
  Arg arg;
  if constexpr (std::is_same_v<U, bool>) {
    arg.kind = Arg::Kind::boolean;
    arg.b = value;
  } else if constexpr (std::is_integral_v<U>) {
    static_assert(sizeof(U) <= 8, "integer wider than 64 bits");
    arg.bytes = static_cast<std::uint8_t>(sizeof(U));
    if constexpr (std::is_signed_v<U>) {
      arg.kind = Arg::Kind::signedInt;
      arg.i = static_cast<std::int64_t>(value);
    } else {
      arg.kind = Arg::Kind::unsignedInt;
      arg.u = static_cast<std::uint64_t>(value);
    }
  } else if constexpr (std::is_floating_point_v<U>) {
    arg.kind = Arg::Kind::floating;
    arg.d = static_cast<double>(value);
  } else if constexpr (std::is_array_v<U>) {
    arg.kind = Arg::Kind::string;
    // A char array need not hold a terminator; never read past its end.
    arg.s = std::string_view(value, ::strnlen(value, std::extent_v<U>));
  } else if constexpr (std::is_pointer_v<U>) {
    arg.kind = Arg::Kind::string;
    if (value == nullptr) arg.isNull = true;
    else arg.s = std::string_view(value);
  } else {
    arg.kind = Arg::Kind::string;
    arg.s = std::string_view(value);
  }
  return arg;
}

// Renders `format` with `args` (already checked against each other) as the stored message.
std::string renderMessage(std::string_view format, std::span<const Arg> args);

} // namespace detail

// A format string whose conversions were checked against Args at compile time.
template <typename... Args>
class FormatString {
public:
  template <typename S>
    requires std::is_convertible_v<const S&, std::string_view>
  consteval FormatString(const S& text) // NOLINT(google-explicit-constructor)
      : text_(text) {
    if (const char* problem = detail::validateFor<Args...>(text_)) {
      detail::logFormatStringDoesNotMatchItsArguments(problem);
    }
  }
  constexpr std::string_view view() const noexcept { return text_; }

private:
  std::string_view text_;
};

// One logger per subsystem and category. Cheap to copy; safe to use from any thread.
class Logger {
public:
  Logger(std::string subsystem, std::string category);

  const std::string& subsystem() const noexcept { return subsystem_; }
  const std::string& category() const noexcept { return category_; }
  bool isEnabled(Level level) const noexcept { return level != Level::debug || detail::debugOn(); }

  // High-rate traffic: with debug output off this returns before any formatting.
  template <typename... Args>
  void debug(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
    if (!detail::debugOn()) [[likely]]
      return;
    write(Level::debug, format.view(), args...);
  }
  template <typename... Args>
  void notice(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
    write(Level::notice, format.view(), args...);
  }
  template <typename... Args>
  void error(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
    write(Level::error, format.view(), args...);
  }
  template <typename... Args>
  void fault(FormatString<std::type_identity_t<Args>...> format, const Args&... args) const {
    write(Level::fault, format.view(), args...);
  }

private:
  template <typename... Args>
  void write(Level level, std::string_view format, const Args&... args) const {
    const std::array<detail::Arg, sizeof...(Args)> erased{detail::makeArg(args)...};
    emit(level, format, erased);
  }
  void emit(Level level, std::string_view format, std::span<const detail::Arg> args) const;

  std::string subsystem_;
  std::string category_;
};

} // namespace pd::platform::log
