// The services the broadcaster builds over its HTTP server, in the order they need each other.

#include "sender/BroadcasterServices.hpp"

#include "api/HTTPServerPort.hpp"
#include "api/ReceiverAPIService.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "platform/paths/Paths.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "sender/LocalVideoBroadcaster.hpp"

namespace pd::sender {

void LocalVideoBroadcaster::buildServices(BroadcasterServices& services,
                                          const std::shared_ptr<mediaserver::LocalVideoHTTPServer>& server,
                                          const Dependencies& dependencies) {
  const auto makeSource = [&] {
    return std::make_shared<const remotesource::InvidiousVideoSource>(dependencies.instanceManager,
                                                                      dependencies.httpClient);
  };
  services.serverPort = std::make_shared<api::HTTPServerPort>(server);
  services.preparer =
      std::make_shared<relay::RemoteVideoPreparer>(services.serverPort, makeSource(), dependencies.httpClient);

  mediaserver::MacLocalVideoLibrary::Dependencies library;
  library.searchFolderSetting = dependencies.searchFolderSetting;
  library.searchSourceSetting = dependencies.searchSourceSetting;
  library.cachesDirectory =
      dependencies.cachesDirectory ? dependencies.cachesDirectory : platform::paths::cachesDirectory();
  api::ReceiverAPIService::Dependencies api;
  api.server = server;
  api.source = makeSource();
  api.preparer = services.preparer;
  api.instances = dependencies.instanceManager;
  api.sessionTokens = services.sessionTokens;
  api.localLibrary = mediaserver::MacLocalVideoLibrary::create(std::move(library));
  services.receiverAPI = api::ReceiverAPIService::create(std::move(api));
}

} // namespace pd::sender
