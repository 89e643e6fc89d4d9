#pragma once

// A service's TXT record: "key=value" strings (or a bare "key", which has no value). Keys
// compare without regard to ASCII case and the first of a repeated key wins, as DNS-SD says.
// Values are bytes from the network, kept as received.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::bonjour {

class TxtRecord {
public:
  // A record's 65535 bytes may hold thousands of tiny strings; a peer publishes a few keys, so
  // the first this many bound what a record from the network can make us hold.
  static constexpr std::size_t kMaxEntries = 256;

  struct Entry {
    std::string key;
    std::optional<std::string> value; // none: the key stands alone, without "="
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  TxtRecord() = default;
  // One string per entry. Strings with an empty key and repeats of a key are skipped; at most
  // kMaxEntries are kept.
  static TxtRecord fromStrings(const std::vector<std::string>& strings);
  // Adds one string as fromStrings does. False once kMaxEntries are kept: a reader of a longer
  // record can stop there, while skipped strings never count against the bound.
  bool add(std::string_view text);

  bool contains(std::string_view key) const noexcept;
  // The key's value; none when the key is missing or stands alone.
  std::optional<std::string> value(std::string_view key) const;
  const std::vector<Entry>& entries() const noexcept { return entries_; }

  friend bool operator==(const TxtRecord&, const TxtRecord&) = default;

private:
  const Entry* find(std::string_view key) const noexcept;
  std::vector<Entry> entries_;
};

} // namespace pd::platform::bonjour
