#include "remotesource/VideoServiceHosts.hpp"

#include <mutex>
#include <utility>

namespace pd::remotesource {

namespace {

std::mutex& hostsLock() {
  static std::mutex lock;
  return lock;
}

VideoServiceHosts& hostsValue() {
  static VideoServiceHosts value = defaultVideoServiceHosts();
  return value;
}

VideoServiceHosts exchange(VideoServiceHosts next) {
  const std::scoped_lock lock(hostsLock());
  return std::exchange(hostsValue(), std::move(next));
}

} // namespace

VideoServiceHosts defaultVideoServiceHosts() {
  return {std::string(kDefaultVideoServiceMainDomain),
          std::string(kDefaultVideoServiceShortLinkHost),
          {std::string(kDefaultVideoServiceImageDomains[0]), std::string(kDefaultVideoServiceImageDomains[1])}};
}

VideoServiceHosts videoServiceHosts() {
  const std::scoped_lock lock(hostsLock());
  return hostsValue();
}

ScopedVideoServiceHosts::ScopedVideoServiceHosts(VideoServiceHosts hosts) : previous_(exchange(std::move(hosts))) {}

ScopedVideoServiceHosts::~ScopedVideoServiceHosts() { exchange(std::move(previous_)); }

} // namespace pd::remotesource
