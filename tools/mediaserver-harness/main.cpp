// Serves the files named on the command line through the receiver's media server, for curl, wrk,
// ffmpeg and hand use.
//
//   mediaserver-harness FILE...
//
// Prints JSON lines on stdout: {"port": N} once listening, then {"file": PATH, "token": T} for
// each file. Commands on stdin, one a line:
//   register PATH        serves another file; answers {"file": PATH, "token": T}
//   unregister TOKEN     withdraws a token; answers {"unregistered": TOKEN}
// Ends at the end of stdin.

#include "mediaserver/LocalVideoHTTPServer.hpp"
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

void printLine(const nlohmann::json& line) {
  std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

} // namespace

int main(int argc, char** argv) {
  auto server = pd::mediaserver::LocalVideoHTTPServer::create(std::make_shared<NoRelay>());
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
    printLine({{"port", port.get()}});
  } catch (const std::exception& error) {
    std::cerr << "mediaserver-harness: cannot listen: " << error.what() << '\n';
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
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
