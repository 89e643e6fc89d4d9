#include "relay/RemoteMediaRelay.hpp"

namespace pd::relay {

std::vector<std::string> RemoteMediaRelay::tokensFor(const Descriptor& descriptor) const {
  std::vector<std::string> tokens;
  for (const auto& [token, entry] : entries_) {
    if (entry.cache == descriptor) tokens.push_back(token);
  }
  return tokens;
}

bool RemoteMediaRelay::hasToken(const std::string& token) const { return entries_.contains(token); }

bool RemoteMediaRelay::upstreamBusy() const {
  return activeUpstream_ > 0 || !upstreamWaiters_.empty() || foregroundDemand_ > 0;
}

runtime::Awaitable<RemoteMediaRelay::Bytes> RemoteMediaRelay::prefetchChunk(std::string token, std::int64_t index) {
  // The disk write takes its bytes as its own; a prefetched chunk stays out of the memory cache,
  // so this is its only copy.
  const auto shared = co_await chunk(std::move(token), index, true);
  co_return Bytes(*shared);
}

} // namespace pd::relay
