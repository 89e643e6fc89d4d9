#pragma once

// The fake video-API server of tools/fake-remote as a test fixture: started privately on
// loopback, faults scripted per host and path, its request events read back. Every client made
// from clientConfiguration() reaches only this server, whatever host a URL names.

#include "platform/http/HttpClient.hpp"
#include "platform/TestSupport.hpp"
#include "support/ChildProcess.hpp"

#include <netinet/in.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pd::testing {

class FakeRemote {
public:
  // Further arguments of fake_remote.py, such as "--bind" and "--name".
  explicit FakeRemote(const std::vector<std::string>& arguments = {})
      : process_("/usr/bin/python3", withState(arguments)) {
    // Long enough that only a fake that hangs misses it, even on a crowded machine.
    const auto ready = nextEvent(std::chrono::seconds(60));
    if (!ready || (*ready)["event"] != "ready") throw std::runtime_error("fake remote did not start");
    httpsPort_ = (*ready)["https_port"].get<int>();
    httpPort_ = (*ready)["http_port"].get<int>();
    caFile_ = (*ready)["ca"].get<std::string>();
  }

  int httpsPort() const noexcept { return httpsPort_; }
  const std::string& caFile() const noexcept { return caFile_; }
  int httpPort() const noexcept { return httpPort_; }

  // Every https and http host goes to the fake; anything not on loopback is refused outright.
  platform::http::Client::Configuration clientConfiguration() const {
    platform::http::Client::Configuration configuration;
    configuration.extraCAFile = caFile_;
    configuration.connectTo = {":443:127.0.0.1:" + std::to_string(httpsPort_),
                               ":80:127.0.0.1:" + std::to_string(httpPort_)};
    configuration.connectFilter = [](const ::sockaddr& address) {
      if (address.sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const ::sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
      }
      return false;
    };
    return configuration;
  }

  // Sends one rule or fixture and waits until the fake has taken it.
  void command(nlohmann::json rule) {
    rule["id"] = ++lastId_;
    process_.writeLine(rule.dump());
    const int id = lastId_;
    if (!waitFor([id](const nlohmann::json& e) { return e["event"] == "ack" && e["id"] == id; })) {
      throw std::runtime_error("fake remote did not acknowledge " + rule.dump());
    }
  }
  void fault(const std::string& host, const std::string& path, nlohmann::json rule) {
    rule["host"] = host;
    rule["path"] = path;
    command(std::move(rule));
  }

  // Events seen so far and any that arrive within `settle`.
  const std::vector<nlohmann::json>& events(std::chrono::milliseconds settle = std::chrono::milliseconds(50)) {
    while (nextEvent(settle)) {}
    return events_;
  }
  std::vector<nlohmann::json> requests(std::chrono::milliseconds settle = std::chrono::milliseconds(50)) {
    std::vector<nlohmann::json> out;
    for (const auto& e : events(settle)) {
      if (e["event"] == "request") out.push_back(e);
    }
    return out;
  }
  void clearEvents() {
    events();
    events_.clear();
  }

  // True once an event (already seen or new) satisfies the predicate.
  bool waitFor(const std::function<bool(const nlohmann::json&)>& predicate,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (const auto& e : events_) {
      if (predicate(e)) return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto e = nextEvent(std::chrono::milliseconds(100));
      if (e && predicate(*e)) return true;
    }
    return false;
  }

private:
  std::vector<std::string> withState(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{std::string(PD_SOURCE_DIR) + "/tools/fake-remote/fake_remote.py", "--state-dir",
                                 directory_.path()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return all;
  }
  std::optional<nlohmann::json> nextEvent(std::chrono::milliseconds limit) {
    const auto line = process_.readLine(limit);
    if (!line) return std::nullopt;
    auto event = nlohmann::json::parse(*line, nullptr, false);
    if (event.is_discarded()) return std::nullopt;
    events_.push_back(event);
    return event;
  }

  TempDirectory directory_;
  ChildProcess process_;
  std::vector<nlohmann::json> events_;
  int httpsPort_ = 0;
  int httpPort_ = 0;
  int lastId_ = 0;
  std::string caFile_;
};

} // namespace pd::testing
