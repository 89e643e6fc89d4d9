#include "platform/net/Endpoint.hpp"

namespace pd::platform::net {

std::string describe(const Endpoint& endpoint) {
  if (const auto* hostPort = std::get_if<HostPort>(&endpoint)) {
    const bool v6 = hostPort->host.find(':') != std::string::npos;
    return (v6 ? "[" + hostPort->host + "]" : hostPort->host) + ":" + std::to_string(hostPort->port);
  }
  const auto& service = std::get<ServiceEndpoint>(endpoint);
  std::string text = service.name + "." + service.type;
  if (!service.domain.empty()) text += "." + service.domain;
  return text;
}

} // namespace pd::platform::net
