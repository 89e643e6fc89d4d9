#pragma once

// A broadcaster over a link manager together with the services the sender section builds its
// search on, sharing one HTTP client and instance manager as the composition root does.

#include "support/BroadcasterSupport.hpp"
#include "ui/sender/LocalVideoSenderSection.hpp"

#include <unistd.h>

namespace pd::testing {

struct SenderSetup {
  std::shared_ptr<sender::LocalVideoBroadcaster> broadcaster;
  ui::SenderServices services;
};

inline SenderSetup makeSenderSetup(const std::shared_ptr<link::NetworkManagerForMac>& manager,
                                   platform::http::Client::Configuration client = {},
                                   std::optional<std::string> onlyInstance = std::nullopt) {
  const auto caches = std::filesystem::temp_directory_path() / ("pd-broadcaster-" + std::to_string(::getpid()));
  auto dependencies = broadcasterDependencies(std::make_shared<link::ManagerSenderLink>(manager), caches,
                                              std::move(client), std::move(onlyInstance));
  SenderSetup setup;
  setup.services.instanceManager = dependencies.instanceManager;
  setup.services.httpClient = dependencies.httpClient;
  setup.broadcaster = sender::LocalVideoBroadcaster::create(std::move(dependencies));
  return setup;
}

} // namespace pd::testing
