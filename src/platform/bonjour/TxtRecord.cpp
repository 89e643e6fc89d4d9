#include "platform/bonjour/TxtRecord.hpp"

#include "platform/text/Ascii.hpp"

namespace pd::platform::bonjour {

TxtRecord TxtRecord::fromStrings(const std::vector<std::string>& strings) {
  TxtRecord record;
  for (const auto& text : strings) {
    if (record.entries_.size() >= kMaxEntries) break;
    const auto equals = text.find('=');
    Entry entry;
    entry.key = text.substr(0, equals);
    if (entry.key.empty() || record.find(entry.key) != nullptr) continue;
    if (equals != std::string::npos) entry.value = text.substr(equals + 1);
    record.entries_.push_back(std::move(entry));
  }
  return record;
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
