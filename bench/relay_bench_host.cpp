// The media server with the real relay behind it, for bench/relay_vs_nginx.sh: one remote URL
// served under one relay token. Loopback stands in for the remote host, so this host's address
// policy treats every address as global; nothing else differs from the receiver's relay.
//
//   relay_bench_host URL LENGTH
//
// Prints {"port": N, "token": T} once serving, then runs until stdin ends.

#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "relay/DestinationRules.hpp"
#include "relay/RemoteMedia.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/url/parse.hpp>

#include <future>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: relay_bench_host URL LENGTH\n";
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
  auto relay = pd::relay::RemoteMediaRelay::create(std::move(configuration));
  auto server = pd::mediaserver::LocalVideoHTTPServer::create(relay);

  auto media = std::make_shared<pd::relay::RemoteMedia>();
  media->url = url;
  media->contentLength = std::stoll(argv[2]);
  media->contentType = "video/mp4";
  media->allowedHosts = {std::string(parsed->encoded_host_and_port())};

  std::promise<std::pair<std::uint16_t, std::string>> ready;
  auto answer = ready.get_future();
  pd::runtime::spawnDetached(pd::runtime::sharedPool().executor(),
                             [&ready, server, media]() -> pd::runtime::Awaitable<void> {
                               try {
                                 const auto port = co_await server->ensureReady();
                                 const auto token = co_await server->registerRemote(media);
                                 ready.set_value({port, token});
                               } catch (...) {
                                 ready.set_exception(std::current_exception());
                               }
                             });
  try {
    const auto [port, token] = answer.get();
    std::cout << "{\"port\": " << port << ", \"token\": \"" << token << "\"}" << std::endl;
  } catch (const std::exception& error) {
    std::cerr << "relay_bench_host: " << error.what() << '\n';
    return 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
