#include "api/SessionTokenStore.hpp"

#include "platform/crypto/Random.hpp"

namespace pd::api {

SessionTokenStore::SessionTokenStore() : token_(platform::crypto::makeHexToken32()) {}

SessionTokenStore::Snapshot SessionTokenStore::current() const {
  const std::scoped_lock lock(lock_);
  return {token_, generation_};
}

std::int64_t SessionTokenStore::generation() const {
  const std::scoped_lock lock(lock_);
  return generation_;
}

SessionTokenStore::Snapshot SessionTokenStore::rotate() {
  auto fresh = platform::crypto::makeHexToken32();
  const std::scoped_lock lock(lock_);
  token_ = std::move(fresh);
  ++generation_;
  return {token_, generation_};
}

} // namespace pd::api
