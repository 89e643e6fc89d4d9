#include "link/ControlMessage.hpp"

#include "platform/json/Document.hpp"

#include <nlohmann/json.hpp>

#include <cmath>

namespace pd::link {

std::optional<std::int64_t> integralValue(const nlohmann::json& value) noexcept {
  if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(unsignedValue);
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    // 2^63 itself is out of range; every double below it converts exactly.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(number) || number != std::trunc(number) || number < -limit || number >= limit) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(number);
  }
  return std::nullopt;
}

std::optional<ControlMessage> ControlMessage::parse(std::span<const std::uint8_t> bytes) {
  // Without exceptions: a sender may make every datagram a failure, and each throw would cost
  // the network queue microseconds.
  const auto document = platform::json::Document::tryParse(bytes);
  if (!document) return std::nullopt;
  const auto& tree = document->tree();
  if (!tree.is_object()) return std::nullopt;
  const auto type = tree.find("type");
  if (type == tree.end() || !type->is_string()) return std::nullopt;
  return ControlMessage(document->sharedTree(), tree, type->get<std::string>());
}

ControlMessage::ControlMessage(std::shared_ptr<const nlohmann::json> root, const nlohmann::json& object,
                               std::string type)
    : root_(std::move(root)), object_(&object), type_(std::move(type)) {}
ControlMessage::ControlMessage(const ControlMessage&) = default;
ControlMessage::ControlMessage(ControlMessage&&) noexcept = default;
ControlMessage& ControlMessage::operator=(const ControlMessage&) = default;
ControlMessage& ControlMessage::operator=(ControlMessage&&) noexcept = default;
ControlMessage::~ControlMessage() = default;

const nlohmann::json* ControlMessage::member(std::string_view key) const {
  const auto& object = *object_;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> ControlMessage::string(std::string_view key) const {
  const auto* value = member(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::int64_t> ControlMessage::integer(std::string_view key) const {
  const auto* value = member(key);
  return value ? integralValue(*value) : std::nullopt;
}

std::optional<std::int64_t> ControlMessage::number(std::string_view key) const {
  const auto* value = member(key);
  if (!value || !value->is_number()) return std::nullopt;
  if (!value->is_number_float()) return integralValue(*value);
  return integralValue(nlohmann::json(std::trunc(value->get<double>())));
}

std::optional<bool> ControlMessage::boolean(std::string_view key) const {
  const auto* value = member(key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<std::vector<std::string>> ControlMessage::strings(std::string_view key) const {
  const auto* value = member(key);
  if (!value || !value->is_array()) return std::nullopt;
  std::vector<std::string> words;
  words.reserve(value->size());
  for (const auto& element : *value) {
    if (!element.is_string()) return std::nullopt;
    words.push_back(element.get<std::string>());
  }
  return words;
}

std::optional<ControlMessage> ControlMessage::object(std::string_view key) const {
  const auto* value = member(key);
  if (!value || !value->is_object()) return std::nullopt;
  return ControlMessage(root_, *value, std::string());
}

std::optional<ControlMessage::Truncated> ControlMessage::truncatedNumbers(std::string_view key) const {
  const auto* value = member(key);
  if (!value || !value->is_array()) return std::nullopt;
  Truncated result;
  result.elementCount = value->size();
  for (const auto& element : *value) {
    if (element.is_number()) result.values.push_back(std::trunc(element.get<double>()));
  }
  return result;
}

} // namespace pd::link
