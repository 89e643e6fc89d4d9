// Runs an instance manager over the real netlink path monitor and prints its "source" log lines
// on stdout as they come. Started by the namespace test inside a private network namespace,
// where it is the only thing that sees the test's interface changes. Its probes go to a closed
// loopback port.

#include "platform/http/HttpClient.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/net/PathMonitor.hpp"
#include "remotesource/InvidiousInstanceManager.hpp"
#include "runtime/ThreadPools.hpp"

#include <netinet/in.h>
#include <sys/prctl.h>

#include <csignal>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <thread>

int main() {
  using namespace pd;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the test's shell
  platform::log::setStderrEnabled(false);
  platform::http::Client::Configuration configuration;
  configuration.connectTo = {":443:127.0.0.1:9"};
  configuration.connectFilter = [](const ::sockaddr& address) { return address.sa_family == AF_INET; };
  remotesource::InvidiousInstanceManager::Dependencies dependencies;
  dependencies.storedUserInstances = [] {
    return std::optional(nlohmann::json::parse(R"([{"host":"a.remote.test","proxy":"auto"}])"));
  };
  dependencies.storedDefaultFallbackEnabled = [] { return std::optional(nlohmann::json(false)); };
  dependencies.session = std::make_shared<platform::http::Client>(configuration);
  dependencies.makePathMonitor = [] { return platform::net::makeNetlinkPathMonitor(); };
  auto manager = remotesource::InvidiousInstanceManager::make(std::move(dependencies));
  runtime::spawnDetached(runtime::sharedPool().executor(),
                         [manager]() -> runtime::Awaitable<void> { co_await manager->startMonitoring(); });

  std::uint64_t seen = 0;
  for (;;) {
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(seen)) {
      seen = entry.sequence;
      if (entry.category == "source") std::printf("%s\n", entry.message.c_str());
    }
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
