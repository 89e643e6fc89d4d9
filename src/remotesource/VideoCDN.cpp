#include "remotesource/VideoCDN.hpp"

#include <mutex>
#include <utility>

namespace pd::remotesource {

namespace {

std::mutex& suffixLock() {
  static std::mutex lock;
  return lock;
}

std::string& suffixValue() {
  static std::string value(kDefaultVideoCDNDomainSuffix);
  return value;
}

std::string exchange(std::string next) {
  const std::scoped_lock lock(suffixLock());
  return std::exchange(suffixValue(), std::move(next));
}

} // namespace

std::string videoCDNDomainSuffix() {
  const std::scoped_lock lock(suffixLock());
  return suffixValue();
}

ScopedVideoCDNDomainSuffix::ScopedVideoCDNDomainSuffix(std::string suffix) : previous_(exchange(std::move(suffix))) {}

ScopedVideoCDNDomainSuffix::~ScopedVideoCDNDomainSuffix() { exchange(std::move(previous_)); }

} // namespace pd::remotesource
