#pragma once

// Writes JSON text that is always valid: strings are written as UTF-8 with invalid bytes
// replaced by U+FFFD, output is compact (no blanks). A number that is not finite has no JSON
// form; rather than writing null in its place, write() refuses it with an EncodingError, so a
// caller never sends a document that silently lost a value.
//
// Key order: objects of nlohmann::json are std::maps and always come out sorted by the bytes
// of their keys; objects of nlohmann::ordered_json keep their insertion order unless
// `sortedKeys` is set.

#include "runtime/Error.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace pd::platform::json {

struct WriteOptions {
  bool sortedKeys = false; // order every object's keys by their bytes
  bool escapeSlashes = false; // write "/" as "\/" as the desktop platform's serializer does
};

// Raised for a value that JSON cannot express (NaN, infinity). Domain
// "EncodingError.invalidValue", code 0.
class EncodingError : public Error {
public:
  explicit EncodingError(std::string description) : Error("EncodingError.invalidValue", 0, std::move(description)) {}
};

std::string write(const nlohmann::json& value, const WriteOptions& options = {});
std::string write(const nlohmann::ordered_json& value, const WriteOptions& options = {});

} // namespace pd::platform::json
