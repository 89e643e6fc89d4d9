#pragma once

// Resolves a Bonjour service to an address and port through the Avahi daemon, on one interface
// when asked. Each resolution has a client of its own on the caller's executor, freed when the
// resolution ends or is dropped. An operation may also be dropped off its executor once that
// executor's queue has closed.

#include "platform/net/ServiceResolver.hpp"

namespace pd::platform::bonjour {

class AvahiResolver final : public net::ServiceResolver {
public:
  // Call on `executor`; the completion runs there, never inside the library's own callback.
  std::unique_ptr<Operation> resolve(const net::ServiceEndpoint& service,
                                     const std::optional<net::Interface>& interface, runtime::Executor executor,
                                     Completion completion) override;
};

} // namespace pd::platform::bonjour
