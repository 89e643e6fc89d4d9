// The media server with the real relay behind it, for bench/relay_vs_nginx.sh: one remote URL
// served under one relay token. Loopback stands in for the remote host, so this host's address
// policy treats every address as global; nothing else differs from the receiver's relay.
//
//   relay_bench_host URL LENGTH [CACHE_DIR]
//
// With CACHE_DIR the relay keeps the stream in a disk cache there (with its background prefetch),
// and a second token of the same stream is registered for reads that start with nothing in memory.
// Prints {"port": N, "token": T, "second": S} once serving, then runs until stdin ends.

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "relay/ChunkBuffers.hpp"
#include "relay/DestinationRules.hpp"
#include "relay/RelayDiskCache.hpp"
#include "relay/RemoteMedia.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/url/parse.hpp>

#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  pd::relay::ChunkBuffers::keepOnTheHeaps();
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: relay_bench_host URL LENGTH [CACHE_DIR]\n";
    return 2;
  }
  const std::string url = argv[1];
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed) {
    std::cerr << "relay_bench_host: not a URL: " << url << '\n';
    return 2;
  }
  pd::relay::RemoteMediaRelay::Configuration configuration;
  configuration.classify = [](const pd::relay::Address&) { return pd::relay::AddressClass::global; };
  using pd::relay::RelayDiskCache;
  if (argc == 4) {
    configuration.cache =
        RelayDiskCache::make({std::filesystem::path(argv[3]), [] { return std::int64_t{20'000'000'000}; },
                              [](const std::filesystem::path& at) { return RelayDiskCache::availableCapacity(at); },
                              RelayDiskCache::kMinFreeBytes});
  }
  auto relay = pd::relay::RemoteMediaRelay::create(std::move(configuration));
  auto server = pd::mediaserver::LocalVideoHTTPServer::create(relay);

  auto media = std::make_shared<pd::relay::RemoteMedia>();
  media->url = url;
  media->contentLength = std::stoll(argv[2]);
  media->contentType = "video/mp4";
  media->allowedHosts = {std::string(parsed->encoded_host_and_port())};
  if (argc == 4) {
    media->identity = pd::remotesource::MediaIdentity{22, media->contentLength, std::nullopt};
    media->cacheVideoID = "bench";
  }

  struct Ready {
    std::uint16_t port;
    std::string token;
    std::string second;
  };
  std::promise<Ready> ready;
  auto answer = ready.get_future();
  pd::runtime::spawnDetached(pd::runtime::sharedPool().executor(),
                             [&ready, server, media]() -> pd::runtime::Awaitable<void> {
                               try {
                                 const auto port = co_await server->ensureReady();
                                 const auto token = co_await server->registerRemote(media);
                                 const auto second = co_await server->registerRemote(media);
                                 ready.set_value({port, token, second});
                               } catch (...) {
                                 ready.set_exception(std::current_exception());
                               }
                             });
  try {
    const auto [port, token, second] = answer.get();
    std::cout << "{\"port\": " << port << ", \"token\": \"" << token << "\", \"second\": \"" << second << "\"}"
              << std::endl;
  } catch (const std::exception& error) {
    std::cerr << "relay_bench_host: " << error.what() << '\n';
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {}
  return 0;
}
