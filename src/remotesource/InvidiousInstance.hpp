#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace pd::remotesource {

// Whether an instance's stream addresses are fetched from the video CDN directly, through the
// instance's proxy, or directly unless a lookup is escalated. Log lines and the stored list use
// the raw values.
enum class ProxyPolicy { automatic, directOnly, proxyOnly };

inline constexpr std::array<ProxyPolicy, 3> kAllProxyPolicies = {ProxyPolicy::automatic, ProxyPolicy::directOnly,
                                                                 ProxyPolicy::proxyOnly};

// "auto", "direct", "proxy"
std::string_view rawValue(ProxyPolicy policy) noexcept;
// Exactly one of the three raw values; anything else (other case included) is none.
std::optional<ProxyPolicy> proxyPolicyFromRawValue(std::string_view raw) noexcept;

struct InvidiousInstance {
  // Canonical host text: what stands between "https://" and the API path.
  std::string host;
  ProxyPolicy proxy = ProxyPolicy::automatic;

  const std::string& id() const noexcept { return host; }
  friend bool operator==(const InvidiousInstance&, const InvidiousInstance&) = default;
};

} // namespace pd::remotesource
