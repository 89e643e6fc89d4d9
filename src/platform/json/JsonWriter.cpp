#include "platform/json/JsonWriter.hpp"

#include <cmath>
#include <vector>

namespace pd::platform::json {

namespace {

// Iterative, so that a deep document cannot exhaust the stack here.
template <typename Json>
void requireFiniteNumbers(const Json& root) {
  std::vector<const Json*> pending{&root};
  while (!pending.empty()) {
    const Json* node = pending.back();
    pending.pop_back();
    if (node->is_number_float()) {
      const double value = node->template get<double>();
      if (!std::isfinite(value)) {
        throw EncodingError(std::string("Invalid number value (") + (std::isnan(value) ? "NaN" : "infinite") +
                            ") in JSON write");
      }
    } else if (node->is_structured()) {
      for (const auto& child : *node) pending.push_back(&child);
    }
  }
}

template <typename Json>
std::string dumpChecked(const Json& value, const WriteOptions& options) {
  std::string text = value.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
  if (!options.escapeSlashes) return text;
  // Outside strings JSON text has no "/" at all (numbers and literals cannot hold one), so
  // every slash in the output belongs to a string and is escaped.
  std::string escaped;
  escaped.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

} // namespace

std::string write(const nlohmann::json& value, const WriteOptions& options) {
  requireFiniteNumbers(value);
  return dumpChecked(value, options);
}

std::string write(const nlohmann::ordered_json& value, const WriteOptions& options) {
  requireFiniteNumbers(value);
  if (options.sortedKeys) return dumpChecked(nlohmann::json(value), options);
  return dumpChecked(value, options);
}

} // namespace pd::platform::json
