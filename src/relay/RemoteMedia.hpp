#pragma once

// One remote resource as handed to the relay, and the pure helpers around it.

#include "remotesource/ResolvedStream.hpp"
#include "runtime/Task.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::relay {

// A fresh address of the same resource after the upstream refused the old one.
struct RemoteMediaRefresh {
  std::string url;
  std::optional<remotesource::MediaIdentity> identity;
  // Absent keeps the old rules.
  std::optional<std::vector<std::string>> allowedHosts;
};

class RemoteMedia {
public:
  using Refresh = std::function<runtime::Awaitable<RemoteMediaRefresh>()>;

  std::string url;
  std::optional<std::int64_t> contentLength;
  // Already sanitised by whoever made the value.
  std::string contentType;
  // Absent for plain images.
  std::optional<remotesource::MediaIdentity> identity;
  // Empty: the address cannot be refreshed.
  Refresh refresh;
  // Destination rules: ".suffix" or an exact "host" / "host:port".
  std::vector<std::string> allowedHosts;
  // Absent: never disk-cached.
  std::optional<std::string> cacheVideoID;
};

// Whether a refreshed identity still names the same bytes. An old identity without a length can
// never be confirmed.
bool identityMatches(const remotesource::MediaIdentity& old, const remotesource::MediaIdentity& fresh,
                     std::optional<std::int64_t> knownTotal);

struct ContentRange {
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::optional<std::int64_t> total; // absent for "*"
  friend bool operator==(const ContentRange&, const ContentRange&) = default;
};

// "bytes <start>-<end>/<total or *>", case-insensitive, spaces and tabs around it ignored.
std::optional<ContentRange> parseContentRange(std::optional<std::string_view> text);

// A total length the relay accepts: 1 to 2^40 bytes.
inline bool isAcceptableTotal(std::int64_t value) { return ((static_cast<std::uint64_t>(value) - 1u) >> 40) == 0u; }

} // namespace pd::relay
