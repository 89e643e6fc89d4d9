#include "link/LinkConnection.hpp"

#include "diagnostics/Log.hpp"
#include "link/Discovery.hpp"
#include "link/ManagerText.hpp"

namespace pd::link {

using diagnostics::Log;

LinkConnection::LinkConnection(runtime::Executor queue, MakeLink makeLink,
                               std::shared_ptr<runtime::MainThreadTimers> timers)
    : queue_(std::move(queue)), makeLink_(std::move(makeLink)), timers_(std::move(timers)) {}

LinkConnection::~LinkConnection() {
  timeout_.reset();
  close();
}

platform::net::LinkParameters LinkConnection::parameters(const platform::net::Interface& interface) {
  platform::net::LinkParameters parameters;
  parameters.requiredInterface = interface;
  parameters.includePeerToPeer = false;
  parameters.serviceClass = platform::net::ServiceClass::interactiveVideo;
  Log::network().debug("connect_params iface=%{public}s type=%{public}s", interface.name,
                       platform::net::toString(interface.type));
  return parameters;
}

void LinkConnection::open(const platform::net::Endpoint& endpoint, const platform::net::LinkParameters& parameters,
                          platform::net::DatagramLink::StateHandler stateHandler) {
  link_ = makeLink_(endpoint, parameters);
  link_->setStateHandler(std::move(stateHandler));
  link_->start(queue_);
}

bool LinkConnection::close() {
  if (!link_) return false;
  link_->setStateHandler(nullptr);
  link_->cancel();
  link_.reset();
  return true;
}

bool LinkConnection::isReady() const { return link_ && link_->state() == platform::net::LinkState::ready; }

std::pair<std::string, std::string> LinkConnection::readyEndpoints() const {
  std::string remote = "-";
  std::string local = "-";
  if (const auto path = link_ ? link_->currentPath() : std::nullopt) {
    if (path->remoteEndpoint && std::holds_alternative<platform::net::HostPort>(*path->remoteEndpoint)) {
      remote = Discovery::endpointText(*path->remoteEndpoint);
    }
    if (path->localEndpoint && std::holds_alternative<platform::net::HostPort>(*path->localEndpoint)) {
      local = Discovery::endpointText(*path->localEndpoint);
    }
  }
  return {remote, local};
}

void LinkConnection::logPath() const {
  if (!link_) return;
  const auto path = link_->currentPath();
  if (!path) return;
  const auto text = [](const std::optional<platform::net::Endpoint>& endpoint) {
    return endpoint ? Discovery::endpointText(*endpoint) : std::string("none");
  };
  Log::network().debug("conn_path status=%{public}s local=%{public}s remote=%{public}s ifaces=%{public}s",
                       platform::net::toString(path->status), text(path->localEndpoint), text(path->remoteEndpoint),
                       interfaceNames(path->availableInterfaces));
}

void LinkConnection::armTimeout(std::chrono::duration<double> duration, runtime::UniqueFunction<void()> fire) {
  timeout_.reset();
  timeout_ = timers_->schedule(duration, std::move(fire));
}

} // namespace pd::link
