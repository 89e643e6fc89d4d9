#include "platform/bonjour/AvahiResolver.hpp"

#include "platform/bonjour/AvahiAsioPoll.hpp"
#include "platform/bonjour/BonjourError.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/post.hpp>

#include <climits>
#include <utility>

namespace pd::platform::bonjour {

namespace asio = boost::asio;

namespace {

struct Resolution : std::enable_shared_from_this<Resolution> {
  runtime::Executor executor;
  net::ServiceResolver::Completion completion;
  std::unique_ptr<detail::AvahiAsioPoll> poll;
  AvahiClient* client = nullptr;
  AvahiServiceResolver* resolver = nullptr;
  bool answered = false;
  bool closed = false;

  explicit Resolution(runtime::Executor e, net::ServiceResolver::Completion c)
      : executor(std::move(e)), completion(std::move(c)) {}

  void close() {
    closed = true;
    if (resolver != nullptr) {
      avahi_service_resolver_free(resolver);
      resolver = nullptr;
    }
    if (client != nullptr) {
      avahi_client_free(client);
      client = nullptr;
    }
    poll.reset();
  }

  // The answer leaves the library's callback first: its receiver may drop the resolution,
  // which frees the client, and that must not happen under the library's feet.
  void answer(net::ServiceResolver::Result result) {
    if (answered) return;
    answered = true;
    asio::post(asio::any_io_executor(executor), [self = shared_from_this(), result = std::move(result)]() mutable {
      if (self->closed) return;
      auto done = std::move(self->completion);
      self->close();
      if (done) done(std::move(result));
    });
  }

  // Called from the library's C code: no exception may leave them.
  static void clientCallback(AvahiClient* c, AvahiClientState state, void* userdata) noexcept {
    try {
      if (state == AVAHI_CLIENT_FAILURE)
        static_cast<Resolution*>(userdata)->answer(BonjourError(avahi_client_errno(c)));
    } catch (...) {}
  }

  static void resolveCallback(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                              const char*, const char*, const char*, const char*, const AvahiAddress* address,
                              uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* userdata) noexcept {
    try {
      found(static_cast<Resolution*>(userdata), interface, event, address, port);
    } catch (...) {}
  }

  static void found(Resolution* self, AvahiIfIndex interface, AvahiResolverEvent event, const AvahiAddress* address,
                    uint16_t port) {
    if (event != AVAHI_RESOLVER_FOUND || address == nullptr) {
      self->answer(BonjourError(avahi_client_errno(self->client)));
      return;
    }
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    if (avahi_address_snprint(text, sizeof text, address) == nullptr) {
      self->answer(BonjourError(AVAHI_ERR_INVALID_ADDRESS));
      return;
    }
    self->answer(net::ResolvedService{text, port, interface >= 0 ? static_cast<std::uint32_t>(interface) : 0U});
  }
};

class AvahiResolveOperation final : public net::ServiceResolver::Operation {
public:
  explicit AvahiResolveOperation(std::shared_ptr<Resolution> resolution) : resolution_(std::move(resolution)) {}
  // Off the queue only once the queue has closed: nothing of it runs any more, so the library
  // must not wait on it while it lets go of the client (see AvahiAsioPoll::stopWaiting()).
  ~AvahiResolveOperation() override {
    if (!resolution_->executor.isCurrent() && resolution_->poll) resolution_->poll->stopWaiting();
    resolution_->close();
  }
  AvahiResolveOperation(const AvahiResolveOperation&) = delete;
  AvahiResolveOperation& operator=(const AvahiResolveOperation&) = delete;

private:
  std::shared_ptr<Resolution> resolution_;
};

} // namespace

std::unique_ptr<net::ServiceResolver::Operation> AvahiResolver::resolve(const net::ServiceEndpoint& service,
                                                                        const std::optional<net::Interface>& interface,
                                                                        runtime::Executor executor,
                                                                        Completion completion) {
  auto resolution = std::make_shared<Resolution>(executor, std::move(completion));
  auto operation = std::make_unique<AvahiResolveOperation>(resolution);
  if (interface && interface->index > static_cast<std::uint32_t>(INT_MAX)) {
    resolution->answer(BonjourError(AVAHI_ERR_INVALID_INTERFACE));
    return operation;
  }
  resolution->poll = std::make_unique<detail::AvahiAsioPoll>(executor);
  int error = 0;
  resolution->client = avahi_client_new(resolution->poll->api(), static_cast<AvahiClientFlags>(0),
                                        &Resolution::clientCallback, resolution.get(), &error);
  if (resolution->client == nullptr) {
    resolution->answer(BonjourError(error));
    return operation;
  }
  const AvahiIfIndex index = interface ? static_cast<AvahiIfIndex>(interface->index) : AVAHI_IF_UNSPEC;
  resolution->resolver = avahi_service_resolver_new(
      resolution->client, index, AVAHI_PROTO_UNSPEC, service.name.c_str(), service.type.c_str(),
      service.domain.empty() ? nullptr : service.domain.c_str(), AVAHI_PROTO_UNSPEC, static_cast<AvahiLookupFlags>(0),
      &Resolution::resolveCallback, resolution.get());
  if (resolution->resolver == nullptr) resolution->answer(BonjourError(avahi_client_errno(resolution->client)));
  return operation;
}

} // namespace pd::platform::bonjour
