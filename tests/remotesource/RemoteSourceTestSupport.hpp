#pragma once

#include "platform/http/HttpClient.hpp"
#include "platform/log/LogStore.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "support/Blocking.hpp"
#include "support/FakeRemote.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pd::remotesource::test {

// One fake server for a whole suite (its certificates take a moment to make); each test starts
// with no faults and no events.
class FakeRemoteSuite : public ::testing::Test {
protected:
  static void SetUpTestSuite() { fake_ = std::make_unique<testing::FakeRemote>(); }
  static void TearDownTestSuite() { fake_.reset(); }

  void SetUp() override {
    fake().command({{"fault", "clear"}, {"host", "*"}});
    fake().clearEvents();
    logMark_ = platform::log::LogStore::shared().lastSequence();
  }

  static testing::FakeRemote& fake() { return *fake_; }

  std::shared_ptr<platform::http::Client> makeClient() const {
    return std::make_shared<platform::http::Client>(fake_->clientConfiguration());
  }

  // A manager over the given user hosts (policy auto), built-in instances off.
  std::shared_ptr<InvidiousInstanceManager> makeManager(const std::vector<std::string>& hosts,
                                                        InvidiousInstanceManager::Dependencies extra = {}) const {
    std::vector<std::pair<std::string, std::string>> withPolicies;
    for (const auto& host : hosts) withPolicies.emplace_back(host, "auto");
    return makeManagerWithPolicies(withPolicies, std::move(extra));
  }
  // The same over hosts with their proxy policy words, in list order.
  std::shared_ptr<InvidiousInstanceManager>
  makeManagerWithPolicies(const std::vector<std::pair<std::string, std::string>>& hosts,
                          InvidiousInstanceManager::Dependencies extra = {}) const {
    auto stored = nlohmann::json::array();
    for (const auto& [host, policy] : hosts) stored.push_back({{"host", host}, {"proxy", policy}});
    extra.storedUserInstances = [stored] { return std::optional<nlohmann::json>(stored); };
    extra.storedDefaultFallbackEnabled = [] { return std::optional<nlohmann::json>(false); };
    if (!extra.session) extra.session = makeClient();
    return InvidiousInstanceManager::make(std::move(extra));
  }

  // The "source" lines written since the test began.
  std::vector<std::string> sourceLines() const {
    std::vector<std::string> lines;
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(logMark_)) {
      if (entry.category == "source") lines.push_back(entry.message);
    }
    return lines;
  }
  std::vector<std::string> linesStartingWith(const std::string& prefix) const {
    auto lines = sourceLines();
    std::erase_if(lines, [&](const std::string& line) { return !line.starts_with(prefix); });
    return lines;
  }

  // Request paths the fake saw for a host, in order.
  std::vector<std::string> requestsTo(const std::string& host) {
    std::vector<std::string> paths;
    for (const auto& e : fake().requests()) {
      if (e["host"] == host) paths.push_back(e["path"].get<std::string>());
    }
    return paths;
  }
  std::vector<std::string> requestHosts() {
    std::vector<std::string> hosts;
    for (const auto& e : fake().requests()) hosts.push_back(e["host"].get<std::string>());
    return hosts;
  }

private:
  static inline std::unique_ptr<testing::FakeRemote> fake_;
  std::uint64_t logMark_ = 0;
};

} // namespace pd::remotesource::test
