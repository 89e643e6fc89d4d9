#pragma once

// Turns the discovery library's per-interface events into one result per service.
//
// The library reports a service once for every interface and protocol it is seen on, and its
// TXT record only through a separate resolution of each of those instances. A service is shown
// once one of its instances has settled (its TXT record arrived, or its resolution failed), so
// that a tablet does not first appear without its version; from then on it is shown while any
// instance remains. Its interfaces are those of all its instances, each once, in the order
// first seen; its TXT record is the one resolved last.

#include "platform/bonjour/ServiceBrowser.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pd::platform::bonjour {

class BrowseResultGatherer {
public:
  // Bounds what a crowded or hostile network can make us hold.
  static constexpr std::size_t kMaxInstances = 256;

  struct InstanceKey {
    std::int32_t interfaceIndex = 0;
    std::int32_t protocol = 0;
    std::string name;
    std::string type;
    std::string domain;
    friend bool operator==(const InstanceKey&, const InstanceKey&) = default;
  };

  // Each returns the changes it caused (empty when the visible results stayed the same).
  // add() returns false in `accepted` when the instance is new but over the bound.
  std::vector<BrowseChange> add(const InstanceKey& key, const net::Interface& interface, bool* accepted = nullptr);
  std::vector<BrowseChange> remove(const InstanceKey& key);
  std::vector<BrowseChange> setTxtRecord(const InstanceKey& key, TxtRecord record);
  std::vector<BrowseChange> resolutionFailed(const InstanceKey& key);
  // Forgets everything; every visible result is reported removed.
  std::vector<BrowseChange> clear();

  // The visible results, in the order their services were first seen.
  std::vector<BrowseResult> results() const;
  bool contains(const InstanceKey& key) const noexcept;

private:
  struct Instance {
    InstanceKey key;
    net::Interface interface;
    std::optional<TxtRecord> txtRecord;
    std::uint64_t txtStamp = 0; // order of TXT arrival, 0 while none
    bool settled = false;
  };
  struct Service {
    net::ServiceEndpoint endpoint;
    std::vector<Instance> instances;
    bool visible = false;
    BrowseResult published;
  };

  Service* serviceOf(const InstanceKey& key) noexcept;
  Instance* instanceOf(const InstanceKey& key) noexcept;
  std::vector<BrowseChange> refresh(Service& service);

  std::vector<Service> services_;
  std::size_t instanceCount_ = 0;
  std::uint64_t txtCounter_ = 0;
};

} // namespace pd::platform::bonjour
