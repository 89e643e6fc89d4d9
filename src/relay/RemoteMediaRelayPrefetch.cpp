#include "relay/RemoteMediaRelay.hpp"

namespace pd::relay {

std::vector<std::string> RemoteMediaRelay::tokensFor(const Descriptor& descriptor) const {
  std::vector<std::string> tokens;
  for (const auto& [token, entry] : entries_) {
    if (entry.cache == descriptor) tokens.push_back(token);
  }
  return tokens;
}

void RemoteMediaRelay::prefetchCompleteChanged(const Descriptor& descriptor, bool complete) {
  std::scoped_lock lock(memoryLock_);
  if (complete) {
    prefetchComplete_.insert(descriptor);
  } else {
    prefetchComplete_.erase(descriptor);
  }
}

bool RemoteMediaRelay::hasToken(const std::string& token) const { return entries_.contains(token); }

bool RemoteMediaRelay::upstreamBusy() const {
  return activeUpstream_ > 0 || !upstreamWaiters_.empty() || foregroundDemand_ > 0;
}

runtime::Awaitable<RemoteMediaRelay::SharedBytes> RemoteMediaRelay::prefetchChunk(std::string token,
                                                                                  std::int64_t index) {
  auto shared = co_await chunk(std::move(token), index, true);
  co_return shared;
}

} // namespace pd::relay
