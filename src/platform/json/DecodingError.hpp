#pragma once

#include "runtime/Error.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pd::platform::json {

// One step of a coding path: an object key or an array index.
using CodingKey = std::variant<std::string, std::size_t>;
using CodingPath = std::vector<CodingKey>;

// Raised by the JSON reader when a document does not have the expected shape. The case
// words are part of log lines: keyNotFound, typeMismatch, valueNotFound, dataCorrupted.
class DecodingError : public Error {
public:
  enum class Kind { keyNotFound, typeMismatch, valueNotFound, dataCorrupted };

  // For keyNotFound, `path` is the path of the object that lacks the key (without the key).
  DecodingError(Kind kind, CodingPath path, std::string description);

  Kind kind() const noexcept { return kind_; }
  const CodingPath& codingPath() const noexcept { return path_; }

  static std::string_view caseWord(Kind kind) noexcept;
  // Pieces joined by "."; an index reads "[n]". Empty path: "-".
  static std::string joinedPath(const CodingPath& path);

private:
  Kind kind_;
  CodingPath path_;
};

} // namespace pd::platform::json
