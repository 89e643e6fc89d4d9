#include "remotesource/VideoID.hpp"

#include "remotesource/QueryItem.hpp"
#include "remotesource/VideoServiceHosts.hpp"

#include "platform/text/Ascii.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <algorithm>
#include <array>
#include <vector>

namespace pd::remotesource {

namespace {

// A link typed without a scheme is taken as https only when it starts with one of the service's
// own hosts, so that words which merely look like a path are never read as a link.
std::string withScheme(std::string_view text, const VideoServiceHosts& hosts) {
  const std::string lowered = platform::text::asciiLowerCopy(text);
  if (lowered.find("://") != std::string::npos) return std::string(text);
  const std::array<std::string, 5> prefixes = {hosts.mainDomain + "/", "www." + hosts.mainDomain + "/",
                                               "m." + hosts.mainDomain + "/", "music." + hosts.mainDomain + "/",
                                               hosts.shortLinkHost + "/"};
  for (const auto& prefix : prefixes) {
    if (lowered.starts_with(prefix)) return "https://" + std::string(text);
  }
  return std::string(text);
}

bool isMainDomainOrBelow(std::string_view host, std::string_view mainDomain) {
  if (host == mainDomain) return true;
  return host.size() > mainDomain.size() && host.ends_with(mainDomain) &&
         host[host.size() - mainDomain.size() - 1] == '.';
}

} // namespace

std::optional<std::string> extractVideoID(std::string_view text) {
  const VideoServiceHosts hosts = videoServiceHosts();
  const std::string candidate = withScheme(text, hosts);
  if (candidate.empty()) return std::nullopt;
  const auto parsed = boost::urls::parse_uri_reference(candidate);
  if (!parsed) return std::nullopt;
  const boost::urls::url_view& url = *parsed;
  if (!url.has_authority()) return std::nullopt;
  const std::string host = platform::text::asciiLowerCopy(url.host());
  if (host.empty()) return std::nullopt;

  std::vector<std::string> parts;
  for (const auto& segment : url.segments()) {
    if (!segment.empty()) parts.push_back(segment);
  }

  if (host == hosts.shortLinkHost) {
    if (parts.empty()) return std::nullopt;
    return parts.front();
  }
  if (!isMainDomainOrBelow(host, hosts.mainDomain) || parts.empty()) return std::nullopt;
  // "+" stays as it is: only percent escapes are decoded in a query value here.
  if (parts[0] == "watch") return queryItem(url, "v", false);
  if (parts.size() >= 2 && (parts[0] == "shorts" || parts[0] == "live" || parts[0] == "embed")) return parts[1];
  return std::nullopt;
}

bool isValidVideoID(std::string_view id) {
  return id.size() == 11 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
         });
}

} // namespace pd::remotesource
