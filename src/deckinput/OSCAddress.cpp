#include "deckinput/OSCAddress.hpp"

#include "platform/crypto/Random.hpp"

#include <cstdio>
#include <cstring>
#include <span>

namespace pd::deckinput {

std::string OSCArgumentValue::description() const {
  struct Describe {
    std::string operator()(std::int32_t value) const { return std::to_string(value); }
    std::string operator()(float value) const {
      // The widest float, FLT_MAX, takes 44 characters with four decimals.
      char buffer[64];
      const int written = std::snprintf(buffer, sizeof buffer, "%.4f", static_cast<double>(value));
      return written > 0 ? std::string(buffer, static_cast<std::size_t>(written)) : std::string();
    }
    std::string operator()(const std::string& value) const { return "\"" + value + "\""; }
    std::string operator()(const Blob& value) const { return "Blob(" + std::to_string(value.size()) + " bytes)"; }
  };
  return std::visit(Describe{}, payload_);
}

OSCMessage::Id OSCMessage::makeId() {
  // Ids only tell messages apart inside this process, so a fast generator seeded once per
  // thread from the kernel does; a system call per message would cost more than the parse.
  // SplitMix64 steps through every 64-bit value once: ids of one thread never repeat.
  thread_local std::uint64_t state = [] {
    std::uint64_t seed = 0;
    platform::crypto::fillRandom(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(&seed), sizeof seed));
    return seed;
  }();
  const auto next = [] {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  Id id;
  const std::uint64_t high = next();
  const std::uint64_t low = next();
  std::memcpy(id.data(), &high, sizeof high);
  std::memcpy(id.data() + sizeof high, &low, sizeof low);
  id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40); // version 4
  id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80); // RFC 4122 variant
  return id;
}

std::string OSCMessage::idString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < id.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      text.push_back('-');
    }
    text.push_back(kDigits[id[i] >> 4]);
    text.push_back(kDigits[id[i] & 0x0F]);
  }
  return text;
}

std::string OSCMessage::argumentsDescription() const {
  std::string text;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i != 0) {
      text += ", ";
    }
    text += arguments[i].description();
  }
  return text;
}

} // namespace pd::deckinput
