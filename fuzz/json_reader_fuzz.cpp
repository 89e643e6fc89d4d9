// Feeds arbitrary bytes to the JSON reader and exercises every typed read on what it
// accepts. Any crash, sanitizer report or broken invariant is a finding; DecodingError is
// the expected answer to bad input.

#include "platform/json/Document.hpp"
#include "platform/json/JsonWriter.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

using pd::platform::json::DecodingError;
using pd::platform::json::Document;
using pd::platform::json::Value;

template <typename F>
void tolerate(F&& read) {
  try {
    read();
  } catch (const DecodingError& e) {
    // Every failure must render for a log line; an empty path reads "-".
    if (e.codingPath().empty() && DecodingError::joinedPath(e.codingPath()) != "-") __builtin_trap();
    if (!e.domain().starts_with("DecodingError.")) __builtin_trap();
  }
}

void exercise(const Value& value, std::size_t depth) {
  tolerate([&] { (void)value.asBool(); });
  tolerate([&] { (void)value.asString(); });
  tolerate([&] { (void)value.asDouble(); });
  tolerate([&] { (void)value.asInt64(); });
  tolerate([&] { (void)value.asUInt64(); });
  tolerate([&] { (void)value.asInteger<std::uint16_t>(); });
  tolerate([&] { (void)value.asInteger<std::int8_t>(); });
  tolerate([&] { (void)value.size(); });
  tolerate([&] { (void)value["\x01missing"]; });
  tolerate([&] { (void)value.optional("id"); });
  tolerate([&] { (void)value[std::size_t{1} << 40]; });
  tolerate([&] { (void)value[-1]; });
  if (value.codingPath().size() != depth) __builtin_trap();

  tolerate([&] {
    for (const std::string& key : value.keys()) exercise(value[key], depth + 1);
  });
  tolerate([&] {
    for (const Value& element : value.elements()) exercise(element, depth + 1);
  });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::optional<Document> document;
  try {
    document = Document::parse(bytes, 1 << 20);
  } catch (const DecodingError& e) {
    if (e.kind() != DecodingError::Kind::dataCorrupted || !e.codingPath().empty()) __builtin_trap();
    return 0;
  }
  exercise(document->root(), 0);

  // What was read can always be written, and reads back the same.
  const std::string text = pd::platform::json::write(document->tree(), {.escapeSlashes = true});
  if (Document::parse(text, 1 << 22).tree() != document->tree()) __builtin_trap();
  return 0;
}
