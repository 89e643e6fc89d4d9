#pragma once

// Turns a Bonjour service into an address and port on one interface. The link asks for it when
// it starts; the Bonjour layer provides the implementation, so the socket code does not depend
// on the discovery library.

#include "platform/net/Endpoint.hpp"
#include "platform/net/Interface.hpp"
#include "runtime/Error.hpp"
#include "runtime/Executor.hpp"
#include "runtime/UniqueFunction.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace pd::platform::net {

struct ResolvedService {
  std::string address; // numeric IPv4 or IPv6 text, without a zone
  std::uint16_t port = 0;
  std::uint32_t interfaceIndex = 0; // where it was found; the scope of a link-local IPv6 address
};

class ServiceResolver {
public:
  using Result = std::variant<ResolvedService, Error>;
  using Completion = runtime::UniqueFunction<void(Result)>;

  // A resolution under way. Destroying it (on the executor given to resolve()) cancels it:
  // the completion does not run afterwards.
  class Operation {
  public:
    virtual ~Operation() = default;
  };

  virtual ~ServiceResolver() = default;

  // Resolves the service, on `interface` when given. The completion runs once, on `executor`.
  virtual std::unique_ptr<Operation> resolve(const ServiceEndpoint& service, const std::optional<Interface>& interface,
                                             runtime::Executor executor, Completion completion) = 0;
};

} // namespace pd::platform::net
