#include "platform/log/Logger.hpp"

#include "platform/crypto/Random.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/text/Ascii.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>

namespace pd::platform::log {

std::string_view levelName(Level level) noexcept {
  switch (level) {
  case Level::debug: return "debug";
  case Level::notice: return "default";
  case Level::error: return "error";
  case Level::fault: return "fault";
  }
  return "default";
}

namespace {
std::atomic<bool> stderrEnabled{true};
} // namespace

void setDebugEnabled(bool enabled) noexcept { detail::debugState.store(enabled ? 1 : 0, std::memory_order_relaxed); }
bool isDebugEnabled() noexcept { return detail::debugOn(); }
void setStderrEnabled(bool enabled) noexcept { stderrEnabled.store(enabled, std::memory_order_relaxed); }
bool isStderrEnabled() noexcept { return stderrEnabled.load(std::memory_order_relaxed); }

namespace detail {

bool initialiseDebugState() noexcept {
  const char* value = std::getenv("PALENDRIX_LOG_DEBUG");
  const int fromEnvironment = (value != nullptr && std::string_view(value) == "1") ? 1 : 0;
  int expected = -1;
  // A setDebugEnabled() that came first wins over the environment.
  if (!debugState.compare_exchange_strong(expected, fromEnvironment, std::memory_order_relaxed)) return expected != 0;
  return fromEnvironment != 0;
}

namespace {

constexpr std::string_view kPrivate = "<private>";

const std::array<std::uint8_t, 16>& processSalt() {
  static const std::array<std::uint8_t, 16> salt = [] {
    std::array<std::uint8_t, 16> bytes{};
    crypto::fillRandom(bytes);
    return bytes;
  }();
  return salt;
}

void appendBase64(std::string& out, const std::uint8_t* data, std::size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  if (const std::size_t rest = size - i; rest > 0) {
    std::uint32_t v = std::uint32_t{data[i]} << 16;
    if (rest == 2) v |= std::uint32_t{data[i + 1]} << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
}

// Equal values give equal marks within one process, and nothing that outlives it can be
// matched against a guessed value: the salt is random per process.
void appendMaskHash(std::string& out, std::string_view value) {
  const auto& salt = processSalt();
  std::string salted;
  salted.reserve(salt.size() + value.size());
  salted.append(reinterpret_cast<const char*>(salt.data()), salt.size());
  salted.append(value);
  const crypto::Sha256Digest digest = crypto::sha256(salted);
  out.append("<mask.hash: '");
  appendBase64(out, digest.data(), 16);
  out.append("'>");
}

template <typename T>
void appendPrintf(std::string& out, const char* format, T value) {
  char buffer[128];
  const int needed = std::snprintf(buffer, sizeof buffer, format, value);
  if (needed < 0) return;
  const auto length = static_cast<std::size_t>(needed);
  if (length < sizeof buffer) {
    out.append(buffer, length);
    return;
  }
  const std::size_t at = out.size();
  out.resize(at + length + 1);
  std::snprintf(out.data() + at, length + 1, format, value);
  out.resize(at + length);
}

// "%" + flags/width/precision + length + letter; the modifiers are at most 12 characters.
struct PrintfFormat {
  std::array<char, 24> text{};
  PrintfFormat(std::string_view modifiers, std::string_view length, char letter) {
    std::size_t i = 0;
    text[i++] = '%';
    for (char c : modifiers) text[i++] = c;
    for (char c : length) text[i++] = c;
    text[i++] = letter;
    text[i] = '\0';
  }
  const char* c_str() const noexcept { return text.data(); }
};

void appendDigits(std::string& out, auto value, int base, bool upper) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, base);
  if (upper) std::transform(buffer, result.ptr, buffer, platform::text::asciiUpper);
  out.append(buffer, result.ptr);
}

void appendInteger(std::string& out, const Conversion& conversion, const Arg& arg) {
  if (conversion.boolean) {
    out.append(arg.b ? "true" : "false");
    return;
  }
  const bool isSigned = arg.kind == Arg::Kind::signedInt;
  const char letter = conversion.letter;
  if (letter == 'd' || letter == 'i' || letter == 'u') {
    if (conversion.printfModifiers.empty()) {
      if (isSigned) appendDigits(out, arg.i, 10, false);
      else appendDigits(out, arg.u, 10, false);
    } else if (isSigned) {
      appendPrintf(out, PrintfFormat(conversion.printfModifiers, "ll", 'd').c_str(), static_cast<long long>(arg.i));
    } else {
      appendPrintf(out, PrintfFormat(conversion.printfModifiers, "ll", 'u').c_str(),
                   static_cast<unsigned long long>(arg.u));
    }
    return;
  }
  // %o %x %X show the bits of the argument's own type, as printf does for a matching type.
  std::uint64_t bits = isSigned ? static_cast<std::uint64_t>(arg.i) : arg.u;
  if (arg.bytes > 0 && arg.bytes < 8) bits &= (std::uint64_t{1} << (8u * arg.bytes)) - 1u;
  if (conversion.printfModifiers.empty()) {
    appendDigits(out, bits, letter == 'o' ? 8 : 16, letter == 'X');
  } else {
    appendPrintf(out, PrintfFormat(conversion.printfModifiers, "ll", letter).c_str(),
                 static_cast<unsigned long long>(bits));
  }
}

// "%.*f" with its precision argument written into the modifiers, as printf reads it: a negative
// precision counts as none; the grammar's own limit of three digits bounds the rest.
std::string withPrecision(std::string_view modifiers, const Arg& precision) {
  const std::size_t star = modifiers.find(".*");
  std::string text(modifiers.substr(0, star));
  const std::int64_t value = precision.kind == Arg::Kind::signedInt ? precision.i
                             : precision.u > 999u                   ? 999
                                                                    : static_cast<std::int64_t>(precision.u);
  if (value >= 0) {
    text.push_back('.');
    text.append(std::to_string(std::min<std::int64_t>(value, 999)));
  }
  text.append(modifiers.substr(star + 2));
  return text;
}

void appendArgument(std::string& out, const Conversion& conversion, const Arg& arg, const Arg* precision) {
  switch (conversion.type) {
  case Conversion::Type::integer:
    if (conversion.privacy == Privacy::privateValue) out.append(kPrivate);
    else appendInteger(out, conversion, arg);
    return;
  case Conversion::Type::floating:
    if (conversion.privacy == Privacy::privateValue) out.append(kPrivate);
    else if (precision != nullptr)
      appendPrintf(out,
                   PrintfFormat(withPrecision(conversion.printfModifiers, *precision), "", conversion.letter).c_str(),
                   arg.d);
    else appendPrintf(out, PrintfFormat(conversion.printfModifiers, "", conversion.letter).c_str(), arg.d);
    return;
  case Conversion::Type::string:
    if (arg.isNull) out.append("(null)");
    else if (conversion.privacy == Privacy::publicValue) out.append(arg.s);
    else if (conversion.privacy == Privacy::maskHash) appendMaskHash(out, arg.s);
    else out.append(kPrivate);
    return;
  case Conversion::Type::percent: out.push_back('%'); return;
  }
}

} // namespace

std::string renderMessage(std::string_view format, std::span<const Arg> args) {
  std::string out;
  out.reserve(format.size() + 24 * args.size());
  std::size_t literalStart = 0;
  std::size_t next = 0;
  for (std::size_t i = format.find('%'); i != std::string_view::npos; i = format.find('%', literalStart)) {
    out.append(format.substr(literalStart, i - literalStart));
    Conversion conversion;
    if (parseConversion(format, i, conversion) != nullptr) {
      // Unreachable through Logger, whose formats are checked when compiled.
      literalStart = i;
      break;
    }
    if (conversion.type == Conversion::Type::percent) {
      out.push_back('%');
    } else {
      const Arg* precision = nullptr;
      if (conversion.precisionArgument && next < args.size()) precision = &args[next++];
      if (next < args.size()) appendArgument(out, conversion, args[next++], precision);
    }
    literalStart = conversion.end;
  }
  out.append(format.substr(std::min(literalStart, format.size())));
  return out;
}

} // namespace detail

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::emit(Level level, std::string_view format, std::span<const detail::Arg> args) const {
  dispatchLine(level, subsystem_, category_, detail::renderMessage(format, args));
}

} // namespace pd::platform::log
