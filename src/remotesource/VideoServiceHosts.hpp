#pragma once

#include <array>
#include <string>
#include <string_view>

namespace pd::remotesource {

// The video service's own host names, lower case and without dots around them: links to its videos
// are recognised by the main domain (and any subdomain of it) and by the short-link host; its
// thumbnails lie under the two image domains.
struct VideoServiceHosts {
  std::string mainDomain;
  std::string shortLinkHost;
  std::array<std::string, 2> imageDomains;

  bool operator==(const VideoServiceHosts&) const = default;
};

inline constexpr std::string_view kDefaultVideoServiceMainDomain = "youtube.com";
inline constexpr std::string_view kDefaultVideoServiceShortLinkHost = "youtu.be";
inline constexpr std::array<std::string_view, 2> kDefaultVideoServiceImageDomains = {"ytimg.com", "ggpht.com"};

VideoServiceHosts defaultVideoServiceHosts();

// The names in force: the defaults unless a ScopedVideoServiceHosts replaces them.
VideoServiceHosts videoServiceHosts();

// Replaces the names for the lifetime of the object, so tests can aim at hosts of their own.
class ScopedVideoServiceHosts {
public:
  explicit ScopedVideoServiceHosts(VideoServiceHosts hosts);
  ~ScopedVideoServiceHosts();
  ScopedVideoServiceHosts(const ScopedVideoServiceHosts&) = delete;
  ScopedVideoServiceHosts& operator=(const ScopedVideoServiceHosts&) = delete;

private:
  VideoServiceHosts previous_;
};

} // namespace pd::remotesource
