// The pure rules behind the instance list: host canonical form and validity, the cleaned user
// list, its stored form and the effective list.

#include "remotesource/InvidiousInstanceManager.hpp"

#include "platform/text/Ascii.hpp"
#include "platform/text/Trim.hpp"

#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>

namespace pd::remotesource {

namespace {

bool parsesAsURL(const std::string& text) { return boost::urls::parse_uri(text).has_value(); }

} // namespace

std::string_view rawValue(ProxyPolicy policy) noexcept {
  switch (policy) {
  case ProxyPolicy::directOnly: return "direct";
  case ProxyPolicy::proxyOnly: return "proxy";
  case ProxyPolicy::automatic: break;
  }
  return "auto";
}

std::optional<ProxyPolicy> proxyPolicyFromRawValue(std::string_view raw) noexcept {
  for (const auto policy : kAllProxyPolicies) {
    if (rawValue(policy) == raw) return policy;
  }
  return std::nullopt;
}

const std::vector<InvidiousInstance>& InvidiousInstanceManager::defaultInstances() {
  // The two built-in public instances; tests never reach them (they route hosts to a local fake).
  static const std::vector<InvidiousInstance> instances = {
      {"inv.nadeko.net", ProxyPolicy::automatic},
      {"invidious.nerdvpn.de", ProxyPolicy::automatic},
  };
  return instances;
}

const std::set<std::string>& InvidiousInstanceManager::builtInHosts() {
  static const std::set<std::string> hosts = [] {
    std::set<std::string> set;
    for (const auto& instance : defaultInstances()) set.insert(instance.host);
    return set;
  }();
  return hosts;
}

std::string InvidiousInstanceManager::normalizeHost(std::string_view host) {
  std::string text = platform::text::trimmingWhitespaceAndNewlines(host);
  if (platform::text::asciiStartsWithIgnoreCase(text, "https://")) text.erase(0, 8);
  if (platform::text::asciiStartsWithIgnoreCase(text, "http://")) text.erase(0, 7);
  while (!text.empty() && text.back() == '/') text.pop_back();
  const auto slash = text.find('/');
  if (slash == std::string::npos) return platform::text::lowercased(text);
  return platform::text::lowercased(std::string_view(text).substr(0, slash)) + text.substr(slash);
}

bool InvidiousInstanceManager::isValidHost(std::string_view host) {
  if (host.empty()) return false;
  if (platform::text::containsWhitespace(host)) return false;
  if (host.find_first_of("?#@\\") != std::string_view::npos) return false;
  const std::string_view authority = host.substr(0, host.find('/'));
  if (authority.find('%') != std::string_view::npos) return false;

  const std::string base = "https://" + std::string(host);
  const auto parsed = boost::urls::parse_uri(base);
  if (!parsed) return false;
  if (parsed->encoded_host().empty() || parsed->has_query() || parsed->has_fragment() || parsed->has_userinfo()) {
    return false;
  }
  if (!parsesAsURL(base + "/api/v1/stats")) return false;

  std::string_view port;
  if (authority.starts_with('[')) {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return false;
    const auto rest = authority.substr(close + 1);
    if (rest.empty()) return true;
    if (!rest.starts_with(':')) return false;
    port = rest.substr(1);
  } else {
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos) return true;
    port = authority.substr(colon + 1);
  }
  if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  return error == std::errc() && end == port.data() + port.size() && value >= 1 && value <= 65535;
}

std::vector<InvidiousInstance>
InvidiousInstanceManager::normalizedUnique(const std::vector<InvidiousInstance>& instances) {
  std::vector<InvidiousInstance> result;
  std::set<std::string> seen;
  for (const auto& instance : instances) {
    std::string host = normalizeHost(instance.host);
    if (host.empty() || !seen.insert(host).second) continue;
    result.push_back({std::move(host), instance.proxy});
  }
  return result;
}

std::vector<InvidiousInstance>
InvidiousInstanceManager::sanitizeUserInstances(const std::vector<InvidiousInstance>& instances) {
  auto result = normalizedUnique(instances);
  std::erase_if(result, [](const InvidiousInstance& instance) {
    return builtInHosts().contains(instance.host) || !isValidHost(instance.host);
  });
  return result;
}

std::vector<InvidiousInstance> InvidiousInstanceManager::decodeStoredInstances(const nlohmann::json& stored) {
  if (!stored.is_array()) return {};
  std::vector<InvidiousInstance> decoded;
  for (const auto& element : stored) {
    if (!element.is_object()) return {};
    const auto host = element.find("host");
    const auto proxy = element.find("proxy");
    if (host == element.end() || proxy == element.end() || !host->is_string() || !proxy->is_string()) return {};
    const auto policy = proxyPolicyFromRawValue(proxy->get_ref<const std::string&>());
    if (!policy) return {};
    decoded.push_back({host->get<std::string>(), *policy});
  }
  return sanitizeUserInstances(decoded);
}

nlohmann::json InvidiousInstanceManager::encodeInstances(const std::vector<InvidiousInstance>& instances) {
  auto array = nlohmann::json::array();
  for (const auto& instance : instances) {
    array.push_back({{"host", instance.host}, {"proxy", std::string(rawValue(instance.proxy))}});
  }
  return array;
}

std::vector<InvidiousInstance>
InvidiousInstanceManager::effectiveList(const std::vector<InvidiousInstance>& userInstances,
                                        bool defaultFallbackEnabled) {
  auto list = userInstances;
  if (defaultFallbackEnabled) list.insert(list.end(), defaultInstances().begin(), defaultInstances().end());
  if (list.empty()) list = defaultInstances();
  return list;
}

} // namespace pd::remotesource
