#include "platform/bonjour/BrowseResultGatherer.hpp"

#include <algorithm>

namespace pd::platform::bonjour {

namespace {

bool sameService(const net::ServiceEndpoint& endpoint, const BrowseResultGatherer::InstanceKey& key) {
  return endpoint.name == key.name && endpoint.type == key.type && endpoint.domain == key.domain;
}

} // namespace

std::string_view toString(BrowserState state) noexcept {
  switch (state) {
  case BrowserState::setup: return "setup";
  case BrowserState::ready: return "ready";
  case BrowserState::failed: return "failed";
  case BrowserState::waiting: return "waiting";
  case BrowserState::cancelled: return "cancelled";
  }
  return "setup";
}

BrowseResultGatherer::Service* BrowseResultGatherer::serviceOf(const InstanceKey& key) noexcept {
  for (auto& service : services_) {
    if (sameService(service.endpoint, key)) return &service;
  }
  return nullptr;
}

BrowseResultGatherer::Instance* BrowseResultGatherer::instanceOf(const InstanceKey& key) noexcept {
  Service* service = serviceOf(key);
  if (service == nullptr) return nullptr;
  for (auto& instance : service->instances) {
    if (instance.key == key) return &instance;
  }
  return nullptr;
}

bool BrowseResultGatherer::contains(const InstanceKey& key) const noexcept {
  for (const auto& service : services_) {
    if (!sameService(service.endpoint, key)) continue;
    for (const auto& instance : service.instances) {
      if (instance.key == key) return true;
    }
  }
  return false;
}

std::vector<BrowseChange> BrowseResultGatherer::add(const InstanceKey& key, const net::Interface& interface,
                                                    bool* accepted) {
  if (accepted != nullptr) *accepted = true;
  if (instanceOf(key) != nullptr) return {};
  if (instanceCount_ >= kMaxInstances) {
    if (accepted != nullptr) *accepted = false;
    return {};
  }
  Service* service = serviceOf(key);
  if (service == nullptr) {
    services_.push_back(Service{net::ServiceEndpoint{key.name, key.type, key.domain}, {}, false, {}});
    service = &services_.back();
  }
  service->instances.push_back(Instance{key, interface, std::nullopt, 0, false});
  ++instanceCount_;
  return refresh(*service);
}

std::vector<BrowseChange> BrowseResultGatherer::setTxtRecord(const InstanceKey& key, TxtRecord record) {
  Instance* instance = instanceOf(key);
  if (instance == nullptr) return {};
  instance->txtRecord = std::move(record);
  instance->txtStamp = ++txtCounter_;
  instance->settled = true;
  return refresh(*serviceOf(key));
}

std::vector<BrowseChange> BrowseResultGatherer::resolutionFailed(const InstanceKey& key) {
  Instance* instance = instanceOf(key);
  if (instance == nullptr) return {};
  instance->settled = true;
  return refresh(*serviceOf(key));
}

std::vector<BrowseChange> BrowseResultGatherer::remove(const InstanceKey& key) {
  Service* service = serviceOf(key);
  if (service == nullptr) return {};
  auto& instances = service->instances;
  const auto found =
      std::find_if(instances.begin(), instances.end(), [&](const Instance& instance) { return instance.key == key; });
  if (found == instances.end()) return {};
  instances.erase(found);
  --instanceCount_;
  if (!instances.empty()) return refresh(*service);
  std::vector<BrowseChange> changes;
  if (service->visible) {
    changes.push_back(BrowseChange{BrowseChange::Kind::removed, service->published, std::nullopt});
  }
  services_.erase(services_.begin() + (service - services_.data()));
  return changes;
}

std::vector<BrowseChange> BrowseResultGatherer::clear() {
  std::vector<BrowseChange> changes;
  for (const auto& service : services_) {
    if (service.visible) changes.push_back(BrowseChange{BrowseChange::Kind::removed, service.published, std::nullopt});
  }
  services_.clear();
  instanceCount_ = 0;
  return changes;
}

std::vector<BrowseChange> BrowseResultGatherer::refresh(Service& service) {
  BrowseResult result;
  result.endpoint = service.endpoint;
  bool anySettled = false;
  std::uint64_t newestTxt = 0;
  for (const auto& instance : service.instances) {
    anySettled = anySettled || instance.settled;
    const bool known = std::any_of(result.interfaces.begin(), result.interfaces.end(),
                                   [&](const net::Interface& seen) { return seen.index == instance.interface.index; });
    if (!known) result.interfaces.push_back(instance.interface);
    if (instance.txtRecord && instance.txtStamp > newestTxt) {
      newestTxt = instance.txtStamp;
      result.txtRecord = instance.txtRecord;
    }
  }
  if (!service.visible) {
    if (!anySettled) return {};
    service.visible = true;
    service.published = result;
    return {BrowseChange{BrowseChange::Kind::added, std::move(result), std::nullopt}};
  }
  if (result == service.published) return {};
  BrowseChange change{BrowseChange::Kind::changed, result, service.published};
  service.published = std::move(result);
  return {std::move(change)};
}

std::vector<BrowseResult> BrowseResultGatherer::results() const {
  std::vector<BrowseResult> visible;
  for (const auto& service : services_) {
    if (service.visible) visible.push_back(service.published);
  }
  return visible;
}

} // namespace pd::platform::bonjour
