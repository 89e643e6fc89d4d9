#pragma once

// The grammar of the logger's format strings, shared by the compile-time check and the
// renderer so that both read a conversion the same way. Included by Logger.hpp; callers
// normally never use it directly.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace pd::platform::log::detail {

// What a call-site argument may stand for.
enum class ArgClass : std::uint8_t { integer, boolean, floating, string, unsupported };

enum class Privacy : std::uint8_t { unspecified, publicValue, privateValue, maskHash };

struct Conversion {
  enum class Type : std::uint8_t { percent, integer, floating, string };
  Type type = Type::percent;
  char letter = '%'; // d i u o x X f F e E g G s %
  Privacy privacy = Privacy::unspecified;
  bool boolean = false; // %{bool}d
  bool precisionArgument = false; // "%.*f": an integer argument before the value
  std::string_view printfModifiers; // flags, width and precision, e.g. "-08" or ".3"
  std::size_t end = 0; // index just past the conversion letter
};

constexpr bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr std::string_view trimBlanks(std::string_view text) noexcept {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Reads the conversion that starts at format[percent] == '%'. Returns nullptr and fills
// `out`, or returns a description of what is wrong.
constexpr const char* parseConversion(std::string_view format, std::size_t percent, Conversion& out) noexcept {
  out = Conversion{};
  std::size_t i = percent + 1;
  const std::size_t n = format.size();
  if (i >= n) return "format ends inside a conversion";
  if (format[i] == '%') {
    out.type = Conversion::Type::percent;
    out.end = i + 1;
    return nullptr;
  }

  bool sawPublic = false, sawPrivate = false, sawMask = false;
  if (format[i] == '{') {
    const std::size_t close = format.find('}', i);
    if (close == std::string_view::npos) return "unterminated {...} marker";
    std::string_view attributes = format.substr(i + 1, close - i - 1);
    while (true) {
      const std::size_t comma = attributes.find(',');
      const std::string_view word = trimBlanks(attributes.substr(0, comma));
      if (word == "public") sawPublic = true;
      else if (word == "private") sawPrivate = true;
      else if (word == "mask.hash") sawMask = true;
      else if (word == "bool") out.boolean = true;
      else return "unknown {...} marker word";
      if (comma == std::string_view::npos) break;
      attributes.remove_prefix(comma + 1);
    }
    if (sawPublic && (sawPrivate || sawMask)) return "public and private markers together";
    i = close + 1;
  }
  out.privacy = sawMask      ? Privacy::maskHash
                : sawPrivate ? Privacy::privateValue
                : sawPublic  ? Privacy::publicValue
                             : Privacy::unspecified;

  const std::size_t modifiersBegin = i;
  std::size_t flags = 0;
  bool alternateForm = false;
  while (i < n && (format[i] == '-' || format[i] == '+' || format[i] == ' ' || format[i] == '#' || format[i] == '0')) {
    alternateForm = alternateForm || format[i] == '#';
    ++i;
    ++flags;
  }
  if (flags > 5) return "too many flags";
  std::size_t digits = 0;
  while (i < n && isDigit(format[i])) {
    ++i;
    ++digits;
  }
  if (digits > 3) return "field width too large";
  if (i < n && format[i] == '.') {
    ++i;
    if (i < n && format[i] == '*') {
      out.precisionArgument = true;
      ++i;
    } else {
      digits = 0;
      while (i < n && isDigit(format[i])) {
        ++i;
        ++digits;
      }
      if (digits > 3) return "precision too large";
    }
  }
  if (i < n && format[i] == '*') return "'*' width is not supported";
  out.printfModifiers = format.substr(modifiersBegin, i - modifiersBegin);

  // Length modifiers only document the C type; values are rendered from the argument itself.
  std::size_t lengthChars = 0;
  bool lengthL = false;
  if (i + 1 < n && ((format[i] == 'h' && format[i + 1] == 'h') || (format[i] == 'l' && format[i + 1] == 'l'))) {
    lengthChars = 2;
  } else if (i < n &&
             (format[i] == 'h' || format[i] == 'l' || format[i] == 'z' || format[i] == 'j' || format[i] == 't')) {
    lengthChars = 1;
    lengthL = format[i] == 'l';
  } else if (i < n && format[i] == 'L') {
    return "long double conversions are not supported";
  }
  i += lengthChars;
  if (i >= n) return "format ends inside a conversion";

  out.letter = format[i];
  out.end = i + 1;
  switch (out.letter) {
  case 'd':
  case 'i':
  case 'u':
    if (alternateForm) return "'#' flag on a decimal conversion"; // undefined in C
    out.type = Conversion::Type::integer;
    break;
  case 'o':
  case 'x':
  case 'X': out.type = Conversion::Type::integer; break;
  case 'f':
  case 'F':
  case 'e':
  case 'E':
  case 'g':
  case 'G':
    if (lengthChars != 0 && !lengthL) return "length modifier on a floating conversion";
    out.type = Conversion::Type::floating;
    break;
  case 's':
    if (lengthChars != 0) return "length modifier on %s";
    if (!out.printfModifiers.empty()) return "flags, width or precision on %s";
    out.type = Conversion::Type::string;
    break;
  case '%': return "'%' conversion with flags or markers";
  default: return "unknown conversion letter";
  }
  if (out.boolean) {
    if (out.letter != 'd' && out.letter != 'i' && out.letter != 'u') return "{bool} needs %d";
    if (!out.printfModifiers.empty()) return "flags, width or precision on {bool}";
  }
  if (sawMask && out.type != Conversion::Type::string) return "mask.hash needs %s";
  if (out.precisionArgument && out.type != Conversion::Type::floating)
    return "'.*' precision needs a floating conversion";
  return nullptr;
}

// Checks a whole format string against the classes of its arguments. nullptr when sound.
constexpr const char* validateFormat(std::string_view format, const ArgClass* classes, std::size_t count) noexcept {
  std::size_t used = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    Conversion conversion;
    if (const char* error = parseConversion(format, i, conversion)) return error;
    i = conversion.end - 1;
    if (conversion.type == Conversion::Type::percent) continue;
    if (conversion.precisionArgument) {
      if (used == count) return "more conversions than arguments";
      if (classes[used++] != ArgClass::integer) return "'.*' precision needs an integral, non-bool argument";
    }
    if (used == count) return "more conversions than arguments";
    const ArgClass given = classes[used++];
    switch (conversion.type) {
    case Conversion::Type::integer:
      if (conversion.boolean ? given != ArgClass::boolean : given != ArgClass::integer)
        return conversion.boolean ? "%{bool}d needs a bool argument"
                                  : "integer conversion needs an integral, non-bool argument";
      break;
    case Conversion::Type::floating:
      if (given != ArgClass::floating) return "floating conversion needs a float or double argument";
      break;
    case Conversion::Type::string:
      if (given != ArgClass::string) return "%s needs a string argument";
      break;
    case Conversion::Type::percent: break;
    }
  }
  if (used != count) return "more arguments than conversions";
  return nullptr;
}

template <typename T>
constexpr ArgClass classify() noexcept {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, bool>) return ArgClass::boolean;
  else if constexpr (std::is_integral_v<U>) return ArgClass::integer;
  else if constexpr (std::is_same_v<U, float> || std::is_same_v<U, double>) return ArgClass::floating;
  else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view> ||
                     std::is_same_v<U, const char*> || std::is_same_v<U, char*>)
    return ArgClass::string;
  else if constexpr (std::is_array_v<U> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<U>>, char>)
    return ArgClass::string;
  else return ArgClass::unsupported;
}

template <typename... Args>
constexpr const char* validateFor(std::string_view format) noexcept {
  if constexpr (sizeof...(Args) == 0) {
    return validateFormat(format, nullptr, 0);
  } else {
    constexpr ArgClass classes[] = {classify<Args>()...};
    for (ArgClass c : classes)
      if (c == ArgClass::unsupported) return "argument type cannot be logged";
    return validateFormat(format, classes, sizeof...(Args));
  }
}

// Deliberately not constexpr: reaching it in a constant expression fails the compilation, and
// the compiler's message names this function.
inline void logFormatStringDoesNotMatchItsArguments(const char*) {}

} // namespace pd::platform::log::detail
