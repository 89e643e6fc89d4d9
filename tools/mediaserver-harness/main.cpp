// Serves the files named on the command line through the receiver's media server, for curl, wrk,
// ffmpeg and hand use.
//
//   mediaserver-harness FILE...
//   mediaserver-harness --api FOLDER FILE...
//
// Prints JSON lines on stdout: {"port": N} once listening, then {"file": PATH, "token": T} for
// each file. With --api the server also answers the tablet's API, searching FOLDER as the local
// folder, under the session token of the first line, {"port": N, "token": T}; nothing is ever
// fetched from the network. Commands on stdin, one a line:
//   register PATH        serves another file; answers {"file": PATH, "token": T}
//   unregister TOKEN     withdraws a token; answers {"unregistered": TOKEN}
// Ends at the end of stdin.

#include "OfflineAPI.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "runtime/ThreadPools.hpp"

#include <nlohmann/json.hpp>

#include <future>
#include <iostream>
#include <memory>
#include <string>

namespace {

using pd::relay::RelayError;
using pd::relay::RemoteMediaRelayInterface;

// The harness serves local files only: no remote media is ever registered.
class NoRelay final : public RemoteMediaRelayInterface {
public:
  pd::runtime::Awaitable<void> registerMedia(std::string, std::shared_ptr<const pd::relay::RemoteMedia>) override {
    co_return;
  }
  pd::runtime::Awaitable<void> unregister(std::string) override { co_return; }
  pd::runtime::Awaitable<bool> hasEntry(std::string) override { co_return false; }
  pd::runtime::Awaitable<std::int64_t> totalLength(std::string) override { throw RelayError::unknownToken(); }
  pd::runtime::Awaitable<std::optional<std::string>> contentType(std::string) override { co_return std::nullopt; }
  pd::runtime::Awaitable<Chunk> chunk(std::string, std::int64_t, bool) override { throw RelayError::unknownToken(); }
  std::int64_t chunkSize() const noexcept override { return 2'097'152; }
};

// The API service over the server, with the folder as the chosen local search folder, offline.
std::shared_ptr<pd::api::ReceiverAPIService>
makeAPI(const std::shared_ptr<pd::mediaserver::LocalVideoHTTPServer>& server, const std::string& folder,
        std::shared_ptr<pd::api::SessionTokenStore> store) {
  pd::tools::OfflineSettings settings;
  settings.folder = [folder] { return std::optional<std::string>(folder); };
  auto deps = pd::tools::offlineAPIDependencies(server, std::move(store), std::move(settings));
  auto service = pd::api::ReceiverAPIService::create(std::move(deps));
  std::weak_ptr<pd::api::ReceiverAPIService> weak = service;
  server->setAPIHandler(
      [weak](std::string route,
             std::map<std::string, std::string> query) -> pd::runtime::Awaitable<pd::mediaserver::ReceiverAPIResponse> {
        auto alive = weak.lock();
        if (!alive) co_return pd::mediaserver::ReceiverAPIResponse{503, {}};
        co_return co_await alive->handle(std::move(route), std::move(query));
      },
      service->longestWait());
  return service;
}

void printLine(const nlohmann::json& line) {
  std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

} // namespace

int main(int argc, char** argv) {
  auto server = pd::mediaserver::LocalVideoHTTPServer::create(std::make_shared<NoRelay>());
  int first = 1;
  std::shared_ptr<pd::api::SessionTokenStore> store;
  std::shared_ptr<pd::api::ReceiverAPIService> api;
  if (argc > 2 && std::string(argv[1]) == "--api") {
    store = std::make_shared<pd::api::SessionTokenStore>();
    api = makeAPI(server, argv[2], store);
    first = 3;
  }
  std::promise<std::uint16_t> ready;
  auto port = ready.get_future();
  pd::runtime::spawnDetached(pd::runtime::sharedPool().executor(), [&ready, server]() -> pd::runtime::Awaitable<void> {
    try {
      ready.set_value(co_await server->ensureReady());
    } catch (...) {
      ready.set_exception(std::current_exception());
    }
  });
  try {
    nlohmann::json listening = {{"port", port.get()}};
    if (store) listening["token"] = store->current().token;
    printLine(listening);
  } catch (const std::exception& error) {
    std::cerr << "mediaserver-harness: cannot listen: " << error.what() << '\n';
    return 1;
  }
  for (int i = first; i < argc; ++i) {
    printLine({{"file", argv[i]}, {"token", server->registerFile(argv[i])}});
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.starts_with("register ")) {
      const auto path = line.substr(9);
      printLine({{"file", path}, {"token", server->registerFile(path)}});
    } else if (line.starts_with("unregister ")) {
      const auto token = line.substr(11);
      server->unregister(token);
      printLine({{"unregistered", token}});
    } else if (!line.empty()) {
      printLine({{"error", "unknown command"}});
    }
  }
  return 0;
}
