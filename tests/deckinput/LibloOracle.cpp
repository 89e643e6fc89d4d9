#include "LibloOracle.hpp"

#include <lo/lo.h>
#include <lo/lo_lowlevel.h>

#include <cstdlib>
#include <cstring>

namespace pd::deckinput::test {

namespace {

// liblo 0.31 checks the arguments on a copy of its own that holds exactly the bytes after the type
// tags, and reads a blob's 4-byte size before it checks that 4 bytes remain: a datagram that ends
// less than 4 bytes after the start of a blob that liblo reaches makes it read past that copy,
// which no padding of the buffer handed to it can prevent. Whether liblo gets that far is worked
// out here, in its order of checks; such a datagram is one it must refuse anyway.
bool libloWouldReadPastTheEnd(std::span<const std::uint8_t> bytes) {
  // A string's padded end, as liblo checks it: terminated and padded within the datagram.
  const auto stringEnd = [&](std::size_t at) -> std::optional<std::size_t> {
    for (auto i = at; i < bytes.size(); ++i) {
      if (bytes[i] == 0) {
        const auto end = at + 4 * ((i - at) / 4 + 1);
        return end <= bytes.size() ? std::optional(end) : std::nullopt;
      }
    }
    return std::nullopt;
  };
  const auto typesAt = stringEnd(0);
  const auto argumentsAt = typesAt ? stringEnd(*typesAt) : std::nullopt;
  if (!argumentsAt || bytes[*typesAt] != ',') {
    return false;
  }
  std::size_t at = *argumentsAt;
  for (auto tag = *typesAt + 1; tag < bytes.size() && bytes[tag] != 0; ++tag) {
    const auto remain = bytes.size() - at;
    switch (bytes[tag]) {
    case 'b': {
      if (remain < 4) return true;
      const std::uint32_t size = (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
                                 (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
      const auto length = 4 * ((std::uint64_t{size} + 4 + 3) / 4);
      if (length > remain) return false;
      at += static_cast<std::size_t>(length);
      break;
    }
    case 'i':
    case 'f':
    case 'c':
    case 'r':
    case 'm':
      if (remain < 4) return false;
      at += 4;
      break;
    case 'h':
    case 't':
    case 'd':
      if (remain < 8) return false;
      at += 8;
      break;
    case 's':
    case 'S': {
      const auto end = stringEnd(at);
      if (!end) return false;
      at = *end;
      break;
    }
    case 'T':
    case 'F':
    case 'N':
    case 'I': break;
    default: return false;
    }
  }
  return false;
}

} // namespace

LibloReading libloRead(std::span<const std::uint8_t> bytes) {
  LibloReading reading;
  if (libloWouldReadPastTheEnd(bytes)) {
    reading.error = LO_ESIZE;
    return reading;
  }
  // A buffer of its own with zeros after the datagram (whose size is what liblo is told): nothing
  // liblo reads from it can depend on what lies beyond in memory.
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  copy.resize(copy.size() + 8);
  lo_message message = lo_message_deserialise(copy.data(), bytes.size(), &reading.error);
  if (message == nullptr) {
    return reading;
  }
  reading.ok = true;
  const char* path = lo_get_path(copy.data(), static_cast<ssize_t>(bytes.size()));
  reading.address = path != nullptr ? path : "<no path>";
  const char* types = lo_message_get_types(message);
  reading.types = types != nullptr ? types : "";
  lo_arg** argv = lo_message_get_argv(message);
  for (std::size_t i = 0; i < reading.types.size(); ++i) {
    // liblo's argument pointers point into its 4-aligned copy of the data: read them bytewise
    // rather than through its 8-aligned union.
    const auto* arg = reinterpret_cast<const char*>(argv[i]);
    switch (reading.types[i]) {
    case 'i': {
      std::int32_t value;
      std::memcpy(&value, arg, sizeof value);
      reading.arguments.emplace_back(OSCArgumentValue::int32(value));
      break;
    }
    case 'f': {
      float value;
      std::memcpy(&value, arg, sizeof value);
      reading.arguments.emplace_back(OSCArgumentValue::float32(value));
      break;
    }
    case 's': reading.arguments.emplace_back(OSCArgumentValue::string(arg)); break;
    case 'b': {
      std::int32_t size;
      std::memcpy(&size, arg, sizeof size);
      const auto* data = reinterpret_cast<const std::uint8_t*>(arg + sizeof size);
      reading.arguments.emplace_back(
          OSCArgumentValue::blob(OSCArgumentValue::Blob(data, data + static_cast<std::size_t>(size))));
      break;
    }
    default: reading.arguments.emplace_back(std::nullopt); break;
    }
  }
  lo_message_free(message);
  return reading;
}

std::vector<std::uint8_t> libloSerialise(const std::string& address, const std::vector<OSCArgumentValue>& arguments) {
  lo_message message = lo_message_new();
  for (const auto& argument : arguments) {
    if (const auto* i = argument.asInt32()) {
      lo_message_add_int32(message, *i);
    } else if (const auto* f = argument.asFloat()) {
      lo_message_add_float(message, *f);
    } else if (const auto* s = argument.asString()) {
      lo_message_add_string(message, s->c_str());
    } else if (const auto* b = argument.asBlob()) {
      lo_blob blob = lo_blob_new(static_cast<std::int32_t>(b->size()), b->data());
      lo_message_add_blob(message, blob);
      lo_blob_free(blob);
    }
  }
  std::size_t size = 0;
  void* data = lo_message_serialise(message, address.c_str(), nullptr, &size);
  std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
  std::free(data);
  lo_message_free(message);
  return bytes;
}

bool sameValue(const OSCArgumentValue& a, const OSCArgumentValue& b) {
  if (a.kind() != b.kind()) {
    return false;
  }
  if (a.kind() == OSCArgumentValue::Kind::float32) {
    return std::memcmp(a.asFloat(), b.asFloat(), sizeof(float)) == 0;
  }
  return a == b;
}

bool sameValues(const std::vector<OSCArgumentValue>& a, const std::vector<OSCArgumentValue>& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!sameValue(a[i], b[i])) {
      return false;
    }
  }
  return true;
}

} // namespace pd::deckinput::test
