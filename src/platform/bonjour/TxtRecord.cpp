#include "platform/bonjour/TxtRecord.hpp"

#include "platform/text/Ascii.hpp"

namespace pd::platform::bonjour {

TxtRecord TxtRecord::fromStrings(const std::vector<std::string>& strings) {
  TxtRecord record;
  for (const auto& text : strings) {
    if (!record.add(text)) break;
  }
  return record;
}

bool TxtRecord::add(std::string_view text) {
  if (entries_.size() >= kMaxEntries) return false;
  const auto equals = text.find('=');
  const auto key = text.substr(0, equals);
  if (key.empty() || find(key) != nullptr) return true;
  Entry entry{std::string(key), std::nullopt};
  if (equals != std::string_view::npos) entry.value = std::string(text.substr(equals + 1));
  entries_.push_back(std::move(entry));
  return true;
}

const TxtRecord::Entry* TxtRecord::find(std::string_view key) const noexcept {
  for (const auto& entry : entries_) {
    if (platform::text::asciiEqualsIgnoreCase(entry.key, key)) return &entry;
  }
  return nullptr;
}

bool TxtRecord::contains(std::string_view key) const noexcept { return find(key) != nullptr; }

std::optional<std::string> TxtRecord::value(std::string_view key) const {
  const Entry* entry = find(key);
  if (entry == nullptr) return std::nullopt;
  return entry->value;
}

} // namespace pd::platform::bonjour
