#include "platform/json/DecodingError.hpp"

namespace pd::platform::json {

DecodingError::DecodingError(Kind kind, CodingPath path, std::string description)
    : Error("DecodingError." + std::string(caseWord(kind)), 0, std::move(description)),
      kind_(kind),
      path_(std::move(path)) {}

std::string_view DecodingError::caseWord(Kind kind) noexcept {
  switch (kind) {
  case Kind::keyNotFound: return "keyNotFound";
  case Kind::typeMismatch: return "typeMismatch";
  case Kind::valueNotFound: return "valueNotFound";
  case Kind::dataCorrupted: return "dataCorrupted";
  }
  return "dataCorrupted";
}

std::string DecodingError::joinedPath(const CodingPath& path) {
  if (path.empty()) return "-";
  std::string out;
  for (const CodingKey& key : path) {
    if (!out.empty()) out += '.';
    if (const auto* name = std::get_if<std::string>(&key)) {
      out += *name;
    } else {
      out += '[';
      out += std::to_string(std::get<std::size_t>(key));
      out += ']';
    }
  }
  return out;
}

} // namespace pd::platform::json
