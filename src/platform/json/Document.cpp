#include "platform/json/Document.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace pd::platform::json {

namespace {

using Kind = DecodingError::Kind;

// The tree's own operations (copy, compare, dump) recurse; bounding the nesting here keeps
// every later use of a parsed tree within the stack.
bool nestsDeeperThan(std::string_view bytes, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : bytes) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

std::string typeName(const nlohmann::json& node) {
  switch (node.type()) {
  case nlohmann::json::value_t::null: return "null";
  case nlohmann::json::value_t::boolean: return "a bool";
  case nlohmann::json::value_t::number_integer:
  case nlohmann::json::value_t::number_unsigned:
  case nlohmann::json::value_t::number_float: return "a number";
  case nlohmann::json::value_t::string: return "a string";
  case nlohmann::json::value_t::array: return "an array";
  case nlohmann::json::value_t::object: return "a dictionary";
  default: return "an unsupported value";
  }
}

// -2^63 and 2^63 are exact in double; every double in [-2^63, 2^63) converts to int64. A number
// parsed as a double is exactly -2^63 only when its text lay below the int64 range (the parser
// keeps -9223372036854775808 itself as an integer) or was rounded onto it, so it is refused as
// 2^63 is above.
constexpr double kTwoPow63 = 9223372036854775808.0;
constexpr double kTwoPow64 = 18446744073709551616.0;

} // namespace

Document Document::parse(std::string_view bytes, std::size_t maxBytes) {
  if (bytes.size() > maxBytes) {
    throw DecodingError(Kind::dataCorrupted, {},
                        "The given data is " + std::to_string(bytes.size()) + " bytes, more than the limit of " +
                            std::to_string(maxBytes));
  }
  if (nestsDeeperThan(bytes, kMaxDepth)) {
    throw DecodingError(Kind::dataCorrupted, {},
                        "The given data nests deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  try {
    auto tree =
        std::make_shared<const nlohmann::json>(nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, true, false));
    return Document(std::move(tree));
  } catch (const nlohmann::json::exception& e) {
    throw DecodingError(Kind::dataCorrupted, {}, std::string("The given data was not valid JSON: ") + e.what());
  }
}

Document Document::parse(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
  return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), maxBytes);
}

std::optional<Document> Document::tryParse(std::span<const std::uint8_t> bytes, std::size_t maxBytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.size() > maxBytes || nestsDeeperThan(text, kMaxDepth)) return std::nullopt;
  auto tree = nlohmann::json::parse(text.begin(), text.end(), nullptr, false, false);
  if (tree.is_discarded()) return std::nullopt;
  return Document(std::make_shared<const nlohmann::json>(std::move(tree)));
}

Value Document::root() const { return Value(tree_, tree_.get(), {}); }

Value::Type Value::type() const noexcept {
  switch (node_->type()) {
  case nlohmann::json::value_t::boolean: return Type::boolean;
  case nlohmann::json::value_t::number_integer:
  case nlohmann::json::value_t::number_unsigned:
  case nlohmann::json::value_t::number_float: return Type::number;
  case nlohmann::json::value_t::string: return Type::string;
  case nlohmann::json::value_t::array: return Type::array;
  case nlohmann::json::value_t::object: return Type::object;
  default: return Type::null;
  }
}

void Value::mismatch(std::string_view expected) const {
  if (node_->is_null()) {
    throw DecodingError(Kind::valueNotFound, path_,
                        "Expected " + std::string(expected) + " value but found null instead.");
  }
  throw DecodingError(Kind::typeMismatch, path_,
                      "Expected to decode " + std::string(expected) + " but found " + typeName(*node_) + " instead.");
}

void Value::outOfRange() const {
  throw DecodingError(Kind::dataCorrupted, path_, "Parsed JSON number <" + node_->dump() + "> does not fit.");
}

const nlohmann::json& Value::expectObject() const {
  if (!node_->is_object()) mismatch("a dictionary");
  return *node_;
}

Value Value::operator[](std::string_view key) const {
  const auto& object = expectObject();
  const auto it = object.find(key);
  if (it == object.end()) {
    throw DecodingError(Kind::keyNotFound, path_, "No value associated with key \"" + std::string(key) + "\".");
  }
  CodingPath childPath = path_;
  childPath.emplace_back(std::string(key));
  return Value(owner_, &*it, std::move(childPath));
}

Value Value::element(std::size_t index) const {
  if (!node_->is_array()) mismatch("an array");
  CodingPath childPath = path_;
  childPath.emplace_back(index);
  if (index >= node_->size()) {
    throw DecodingError(Kind::valueNotFound, std::move(childPath), "Unkeyed container is at end.");
  }
  return Value(owner_, &(*node_)[index], std::move(childPath));
}

std::optional<Value> Value::optional(std::string_view key) const {
  const auto& object = expectObject();
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  CodingPath childPath = path_;
  childPath.emplace_back(std::string(key));
  return Value(owner_, &*it, std::move(childPath));
}

bool Value::contains(std::string_view key) const {
  const auto& object = expectObject();
  return object.find(key) != object.end();
}

std::size_t Value::size() const {
  if (!node_->is_structured()) mismatch("an array or a dictionary");
  return node_->size();
}

Value::Elements Value::elements() const {
  if (!node_->is_array()) mismatch("an array");
  return Elements(*this);
}

std::vector<std::string> Value::keys() const {
  const auto& object = expectObject();
  std::vector<std::string> out;
  out.reserve(object.size());
  for (const auto& item : object.items()) out.push_back(item.key());
  return out;
}

bool Value::asBool() const {
  if (!node_->is_boolean()) mismatch("Bool");
  return node_->get<bool>();
}

std::string Value::asString() const {
  if (!node_->is_string()) mismatch("String");
  return node_->get<std::string>();
}

double Value::asDouble() const {
  if (!node_->is_number()) mismatch("Double");
  const double value = node_->get<double>();
  // The parser refuses a number beyond the double range (1e400), but a document built in memory
  // may still hold an infinity or NaN.
  if (!std::isfinite(value)) {
    throw DecodingError(Kind::dataCorrupted, path_, "Parsed JSON number <" + node_->dump() + "> is not representable.");
  }
  return value;
}

std::int64_t Value::asInt64() const {
  if (!node_->is_number()) mismatch("Int64");
  if (node_->is_number_integer() && !node_->is_number_unsigned()) {
    return node_->get<std::int64_t>();
  }
  if (node_->is_number_unsigned()) {
    const auto value = node_->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) outOfRange();
    return static_cast<std::int64_t>(value);
  }
  const double value = node_->get<double>();
  if (!std::isfinite(value) || std::trunc(value) != value || value <= -kTwoPow63 || value >= kTwoPow63) {
    outOfRange();
  }
  return static_cast<std::int64_t>(value);
}

std::uint64_t Value::asUInt64() const {
  if (!node_->is_number()) mismatch("UInt64");
  if (node_->is_number_unsigned()) return node_->get<std::uint64_t>();
  if (node_->is_number_integer()) {
    const auto value = node_->get<std::int64_t>();
    if (value < 0) outOfRange();
    return static_cast<std::uint64_t>(value);
  }
  const double value = node_->get<double>();
  if (!std::isfinite(value) || std::trunc(value) != value || value < 0.0 || value >= kTwoPow64) {
    outOfRange();
  }
  return static_cast<std::uint64_t>(value);
}

} // namespace pd::platform::json
