#pragma once

#include <string>
#include <string_view>

namespace pd::remotesource {

// The video CDN's domain suffix: lower case, after a leading ".". Proxied sound addresses are
// turned back into direct ones only for servers under it, and the relay's default destination
// rules allow it.
inline constexpr std::string_view kDefaultVideoCDNDomainSuffix = ".googlevideo.com";

std::string videoCDNDomainSuffix();

// Replaces the suffix for the lifetime of the object, so tests can aim at hosts of their own.
class ScopedVideoCDNDomainSuffix {
public:
  explicit ScopedVideoCDNDomainSuffix(std::string suffix);
  ~ScopedVideoCDNDomainSuffix();
  ScopedVideoCDNDomainSuffix(const ScopedVideoCDNDomainSuffix&) = delete;
  ScopedVideoCDNDomainSuffix& operator=(const ScopedVideoCDNDomainSuffix&) = delete;

private:
  std::string previous_;
};

} // namespace pd::remotesource
