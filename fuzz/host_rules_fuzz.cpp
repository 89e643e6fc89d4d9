// Feeds arbitrary text to the host rules and arbitrary bytes to the stored-list reader. The
// rules must agree with each other: a sanitized list holds only valid, normalized, distinct,
// non-built-in hosts, and normalizing is idempotent.

#include "remotesource/InvidiousInstanceManager.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

using pd::remotesource::InvidiousInstance;
using pd::remotesource::InvidiousInstanceManager;
using pd::remotesource::ProxyPolicy;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const auto normalized = InvidiousInstanceManager::normalizeHost(text);
  (void)InvidiousInstanceManager::isValidHost(text);
  if (InvidiousInstanceManager::isValidHost(normalized) &&
      InvidiousInstanceManager::normalizeHost(normalized) != normalized) {
    __builtin_trap();
  }

  std::vector<InvidiousInstance> typed;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      typed.push_back({text.substr(start, i - start), static_cast<ProxyPolicy>(typed.size() % 3)});
      start = i + 1;
    }
  }
  std::set<std::string> seen;
  for (const auto& instance : InvidiousInstanceManager::sanitizeUserInstances(typed)) {
    if (!InvidiousInstanceManager::isValidHost(instance.host)) __builtin_trap();
    if (InvidiousInstanceManager::builtInHosts().contains(instance.host)) __builtin_trap();
    if (!seen.insert(instance.host).second) __builtin_trap();
  }

  const auto stored = nlohmann::json::parse(text, nullptr, false);
  if (!stored.is_discarded()) {
    const auto loaded = InvidiousInstanceManager::decodeStoredInstances(stored);
    if (InvidiousInstanceManager::decodeStoredInstances(InvidiousInstanceManager::encodeInstances(loaded)) != loaded) {
      __builtin_trap();
    }
  }
  return 0;
}
