#include "platform/net/UdpLink.hpp"

#include "platform/net/CloseOnExec.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <utility>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pd::platform::net {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

// DSCP AF41, the class for interactive video, shifted into the TOS / traffic class byte.
constexpr int kInteractiveVideoTos = 0x88;
constexpr int kInteractiveVideoPriority = 5;
// Datagrams taken straight from the socket before the link waits through the event loop.
constexpr int kDrainBudget = 32;
// The pause before a service that could not be resolved is asked for again.
constexpr std::chrono::seconds kResolveRetryDelay{1};

Error posixError(int errnum, const char* context) { return PosixError(errnum, context); }

Error errorFrom(const boost::system::error_code& ec, const char* context) {
  // Asio reports socket failures in the system category with errno values.
  const int value =
      ec.category() == boost::system::system_category() || ec.category() == boost::system::generic_category()
          ? ec.value()
          : EIO;
  return posixError(value, context);
}

HostPort toHostPort(const udp::endpoint& endpoint) { return HostPort{endpoint.address().to_string(), endpoint.port()}; }

} // namespace

std::string_view toString(LinkState state) noexcept {
  switch (state) {
  case LinkState::setup: return "setup";
  case LinkState::waiting: return "waiting";
  case LinkState::preparing: return "preparing";
  case LinkState::ready: return "ready";
  case LinkState::failed: return "failed";
  case LinkState::cancelled: return "cancelled";
  }
  return "unknown";
}

std::string_view toString(PathStatus status) noexcept {
  switch (status) {
  case PathStatus::satisfied: return "satisfied";
  case PathStatus::unsatisfied: return "unsatisfied";
  case PathStatus::requiresConnection: return "requiresConnection";
  }
  return "unsatisfied";
}

bool UdpLink::isFatalSocketError(int errnum) noexcept {
  switch (errnum) {
  case EBADF:
  case ENOTSOCK:
  case ENODEV:
  case ENXIO:
  case EINVAL:
  case EFAULT:
  case EOPNOTSUPP:
  case ENOTCONN:
  case EPIPE:
  case ESHUTDOWN: return true;
  default: return false;
  }
}

struct UdpLink::Impl : std::enable_shared_from_this<Impl> {
  Impl(Endpoint r, LinkParameters p, std::shared_ptr<ServiceResolver> res)
      : remote(std::move(r)), parameters(std::move(p)), resolver(std::move(res)) {}

  const Endpoint remote;
  const LinkParameters parameters;
  const std::shared_ptr<ServiceResolver> resolver;

  // Shared with callers on other threads.
  mutable std::mutex mutex;
  LinkState state = LinkState::setup;
  StateHandler handler;
  std::optional<LinkPath> path;
  std::optional<runtime::Executor> executor;
  bool cancelRequested = false;

  // Touched on the executor only.
  std::optional<udp::socket> socket;
  std::unique_ptr<ServiceResolver::Operation> resolution;
  std::optional<asio::steady_timer> resolveRetry;
  std::optional<Error> failure;
  ReceiveCompletion pendingReceive;
  bool receiveArmed = false;
  bool draining = false;
  // Two buffers, so that a receive armed from inside a completion never writes over the bytes
  // that completion is still reading: every receive goes into the one no running completion
  // holds. At most one is held while the socket is read, since a completion that runs inside
  // another's request for the next datagram only leaves a request of its own behind.
  std::array<std::vector<std::uint8_t>, 2> buffers{std::vector<std::uint8_t>(kMaxDatagramBytes + 1),
                                                   std::vector<std::uint8_t>(kMaxDatagramBytes + 1)};
  const std::uint8_t* heldByCompletion = nullptr;
  std::deque<std::pair<std::vector<std::uint8_t>, SendCompletion>> queuedSends;

  // False, with nothing run, before start().
  template <typename F>
  bool onQueue(F work) {
    std::optional<runtime::Executor> target;
    {
      std::scoped_lock lock(mutex);
      target = executor;
    }
    if (!target) return false;
    if (target->isCurrent()) {
      work();
    } else {
      target->execute([self = shared_from_this(), work = std::move(work)]() mutable { work(); });
    }
    return true;
  }

  LinkState currentState() const {
    std::scoped_lock lock(mutex);
    return state;
  }

  // Terminal states stay; every change reaches the handler installed at that moment.
  void setState(LinkState next, std::optional<Error> error = std::nullopt) {
    StateHandler current;
    {
      std::scoped_lock lock(mutex);
      if (state == LinkState::cancelled || (state == LinkState::failed && next != LinkState::cancelled)) return;
      if (state == next && next != LinkState::waiting) return;
      state = next;
      current = handler;
    }
    if (current) current(LinkStateUpdate{next, std::move(error)});
  }

  void begin() {
    if (currentState() != LinkState::setup) return;
    setState(LinkState::preparing);
    if (const auto* hostPort = std::get_if<HostPort>(&remote)) {
      boost::system::error_code ec;
      const auto address = asio::ip::make_address(hostPort->host, ec);
      if (ec) {
        fail(posixError(EINVAL, "peer address"));
        return;
      }
      connectTo(udp::endpoint(address, hostPort->port), 0);
      return;
    }
    if (!resolver) {
      fail(posixError(EINVAL, "no resolver for a service endpoint"));
      return;
    }
    resolveService();
  }

  void resolveService() {
    std::optional<runtime::Executor> target;
    {
      std::scoped_lock lock(mutex);
      target = executor;
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    resolution = resolver->resolve(std::get<ServiceEndpoint>(remote), parameters.requiredInterface, *target,
                                   [weak](ServiceResolver::Result result) {
                                     if (auto self = weak.lock()) self->onResolved(std::move(result));
                                   });
  }

  void onResolved(ServiceResolver::Result result) {
    resolution.reset();
    const LinkState now = currentState();
    if (now != LinkState::preparing && now != LinkState::waiting) return;
    if (auto* error = std::get_if<Error>(&result)) {
      // The peer may answer later, so it is asked again until it does or the link ends; the
      // owner's time limit decides when to give up. A resolution fails only after the resolver's
      // own wait, and a tablet that comes back within one is found by it.
      setState(LinkState::waiting, *error);
      retryResolution();
      return;
    }
    const auto& resolved = std::get<ResolvedService>(result);
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(resolved.address, ec);
    if (ec) {
      fail(posixError(EINVAL, "resolved address"));
      return;
    }
    connectTo(udp::endpoint(address, resolved.port), resolved.interfaceIndex);
  }

  void retryResolution() {
    std::optional<runtime::Executor> target;
    {
      std::scoped_lock lock(mutex);
      target = executor;
    }
    resolveRetry.emplace(asio::any_io_executor(*target), kResolveRetryDelay);
    resolveRetry->async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      const auto self = weak.lock();
      if (ec || !self || self->currentState() != LinkState::waiting) return;
      self->resolveService();
    });
  }

  void bindToInterface(const Interface& interface, bool v6) {
    const int fd = socket->native_handle();
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.name.c_str(),
                     static_cast<socklen_t>(interface.name.size())) == 0) {
      return;
    }
    const int bindError = errno;
    if (bindError != EPERM && bindError != EACCES) throw PosixError(bindError, "bind to interface");
    // Without the privilege to pin the socket to the device, pick the device as the outgoing
    // interface and take a local address of it, which keeps the route on that interface.
    if (v6) {
      const int index = static_cast<int>(interface.index);
      (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_UNICAST_IF, &index, sizeof index);
    } else {
      const std::uint32_t index = htonl(interface.index);
      (void)::setsockopt(fd, IPPROTO_IP, IP_UNICAST_IF, &index, sizeof index);
    }
    for (const auto& address : interfaceAddresses(interface.name)) {
      if ((address.family == InterfaceAddress::Family::ipv6) != v6) continue;
      boost::system::error_code ec;
      auto local = asio::ip::make_address(address.address, ec);
      if (ec) continue;
      if (local.is_v6()) {
        auto v6Address = local.to_v6();
        if (v6Address.is_link_local()) v6Address.scope_id(interface.index);
        local = v6Address;
      }
      socket->bind(udp::endpoint(local, 0), ec);
      if (!ec) return;
    }
  }

  void applyServiceClass(bool v6) {
    if (parameters.serviceClass != ServiceClass::interactiveVideo) return;
    // Best effort: a network that ignores or forbids the marking still carries the datagrams.
    const int fd = socket->native_handle();
    const int tos = kInteractiveVideoTos;
    if (v6) {
      (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos);
    } else {
      (void)::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    }
    const int priority = kInteractiveVideoPriority;
    (void)::setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &priority, sizeof priority);
  }

  void connectTo(udp::endpoint peer, std::uint32_t resolvedInterfaceIndex) {
    std::optional<runtime::Executor> target;
    {
      std::scoped_lock lock(mutex);
      target = executor;
    }
    const bool v6 = peer.address().is_v6();
    if (v6) {
      auto address = peer.address().to_v6();
      if (address.is_link_local() && address.scope_id() == 0) {
        // A link-local address means nothing without the interface it lives on.
        const std::uint32_t scope =
            parameters.requiredInterface ? parameters.requiredInterface->index : resolvedInterfaceIndex;
        address.scope_id(scope);
        peer.address(address);
      }
    }
    try {
      socket.emplace(asio::any_io_executor(*target));
      socket->open(v6 ? udp::v6() : udp::v4());
      closeOnExec(socket->native_handle());
      if (parameters.requiredInterface) bindToInterface(*parameters.requiredInterface, v6);
      applyServiceClass(v6);
      // Video arrives in bursts of fragments; a roomy buffer rides out a moment in which the
      // queue's thread is not scheduled. The kernel caps it at net.core.rmem_max.
      boost::system::error_code ignored;
      socket->set_option(asio::socket_base::receive_buffer_size(kReceiveBufferBytes), ignored);
      socket->non_blocking(true);
      socket->connect(peer);
      LinkPath newPath;
      newPath.status = PathStatus::satisfied;
      newPath.localEndpoint = toHostPort(socket->local_endpoint());
      newPath.remoteEndpoint = toHostPort(peer);
      if (parameters.requiredInterface) newPath.availableInterfaces.push_back(*parameters.requiredInterface);
      {
        std::scoped_lock lock(mutex);
        path = std::move(newPath);
      }
    } catch (const Error& error) {
      fail(error);
      return;
    } catch (const boost::system::system_error& error) {
      fail(errorFrom(error.code(), "socket"));
      return;
    }
    setState(LinkState::ready);
    if (pendingReceive) armReceive();
    flushQueuedSends();
  }

  void closeSocket() {
    resolution.reset();
    resolveRetry.reset();
    if (socket) {
      boost::system::error_code ignored;
      socket->close(ignored);
      // Outstanding operations complete with operation_aborted; the socket object goes now so
      // that nothing of the executor's context outlives this call.
      socket.reset();
    }
    receiveArmed = false;
  }

  void failQueuedSends(const Error& error) {
    auto sends = std::move(queuedSends);
    queuedSends.clear();
    for (auto& [bytes, completion] : sends) {
      if (completion) completion(error);
    }
  }

  void fail(const Error& error) {
    failure = error;
    closeSocket();
    {
      std::scoped_lock lock(mutex);
      if (path) path->status = PathStatus::unsatisfied;
    }
    setState(LinkState::failed, error);
    failQueuedSends(error);
    if (pendingReceive && !receiveArmed) {
      auto completion = std::move(pendingReceive);
      pendingReceive = nullptr;
      completion({}, error);
    }
  }

  void doCancel() {
    closeSocket();
    setState(LinkState::cancelled);
    const Error cancelled = posixError(ECANCELED, "link cancelled");
    failQueuedSends(cancelled);
    if (pendingReceive && !receiveArmed) {
      auto completion = std::move(pendingReceive);
      pendingReceive = nullptr;
      completion({}, cancelled);
    }
  }

  Error terminalError() const {
    if (failure) return *failure;
    return posixError(ECANCELED, "link cancelled");
  }

  void receive(ReceiveCompletion completion) {
    const LinkState now = currentState();
    if (now == LinkState::failed || now == LinkState::cancelled) {
      completion({}, terminalError());
      return;
    }
    if (pendingReceive) {
      completion({}, posixError(EBUSY, "receive already outstanding"));
      return;
    }
    pendingReceive = std::move(completion);
    if (now == LinkState::ready) armReceive();
  }

  void armReceive() {
    if (!socket || receiveArmed || draining) return;
    // What the socket already holds is taken at once: every wait through the event loop costs
    // one more system call per datagram. A completion that asks for the next datagram lands
    // back in this loop instead of recursing; the budget lets other work of the queue run.
    draining = true;
    for (int budget = kDrainBudget; budget > 0 && pendingReceive && socket; --budget) {
      auto& buffer = freeBuffer();
      boost::system::error_code ec;
      const std::size_t size = socket->receive(asio::buffer(buffer.data(), buffer.size()), 0, ec);
      if (ec == asio::error::would_block || ec == asio::error::try_again) break;
      onReceived(ec, buffer.data(), size);
    }
    draining = false;
    if (!pendingReceive || !socket) return;
    receiveArmed = true;
    // Asio may read at once, before this returns.
    auto& buffer = freeBuffer();
    socket->async_receive(
        asio::buffer(buffer.data(), buffer.size()),
        [self = shared_from_this(), data = buffer.data()](const boost::system::error_code& ec, std::size_t size) {
          self->onReceived(ec, data, size);
        });
  }

  void onReceived(const boost::system::error_code& ec, const std::uint8_t* data, std::size_t size) {
    receiveArmed = false;
    auto completion = std::move(pendingReceive);
    pendingReceive = nullptr;
    if (!completion) return;
    if (ec == asio::error::operation_aborted) {
      completion({}, terminalError());
      return;
    }
    if (ec) {
      Error error = errorFrom(ec, "receive");
      if (isFatalSocketError(static_cast<int>(error.code()))) fail(error);
      completion({}, error);
      return;
    }
    // One byte more than any datagram fits in the buffer, so a full buffer means nothing was cut.
    const std::uint8_t* const outer = std::exchange(heldByCompletion, data);
    completion(std::span<const std::uint8_t>(data, size), std::nullopt);
    heldByCompletion = outer;
  }

  std::vector<std::uint8_t>& freeBuffer() { return buffers[0].data() == heldByCompletion ? buffers[1] : buffers[0]; }

  void transmit(std::vector<std::uint8_t> content, SendCompletion completion) {
    const LinkState now = currentState();
    if (now == LinkState::failed || now == LinkState::cancelled) {
      if (completion) completion(terminalError());
      return;
    }
    if (now != LinkState::ready || !socket) {
      if (queuedSends.size() >= kMaxQueuedSends) {
        if (completion) completion(posixError(ENOBUFS, "send queue full"));
        return;
      }
      queuedSends.emplace_back(std::move(content), std::move(completion));
      return;
    }
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::move(content));
    auto buffer = asio::buffer(bytes->data(), bytes->size());
    socket->async_send(buffer, [self = shared_from_this(), bytes, completion = std::move(completion)](
                                   const boost::system::error_code& ec, std::size_t) mutable {
      std::optional<Error> error;
      if (ec == asio::error::operation_aborted) {
        error = self->terminalError();
      } else if (ec) {
        error = errorFrom(ec, "send");
        if (self->isFatalSocketErrorNow(*error)) self->fail(*error);
      }
      if (completion) completion(error);
    });
  }

  bool isFatalSocketErrorNow(const Error& error) const {
    return currentState() == LinkState::ready && isFatalSocketError(static_cast<int>(error.code()));
  }

  void flushQueuedSends() {
    auto sends = std::move(queuedSends);
    queuedSends.clear();
    for (auto& [bytes, completion] : sends) transmit(std::move(bytes), std::move(completion));
  }
};

UdpLink::UdpLink(Endpoint remote, LinkParameters parameters, std::shared_ptr<ServiceResolver> resolver)
    : impl_(std::make_shared<Impl>(std::move(remote), std::move(parameters), std::move(resolver))) {}

UdpLink::~UdpLink() { cancel(); }

void UdpLink::setStateHandler(StateHandler handler) {
  std::scoped_lock lock(impl_->mutex);
  impl_->handler = std::move(handler);
}

void UdpLink::start(runtime::Executor queue) {
  {
    std::scoped_lock lock(impl_->mutex);
    if (impl_->executor || impl_->cancelRequested) return;
    impl_->executor = std::move(queue);
  }
  impl_->onQueue([impl = impl_] { impl->begin(); });
}

void UdpLink::cancel() {
  bool started = false;
  {
    std::scoped_lock lock(impl_->mutex);
    if (impl_->cancelRequested) return;
    impl_->cancelRequested = true;
    started = impl_->executor.has_value();
    if (!started) impl_->state = LinkState::cancelled;
  }
  if (started) impl_->onQueue([impl = impl_] { impl->doCancel(); });
}

LinkState UdpLink::state() const { return impl_->currentState(); }

// Before start() there is no queue to answer on and nothing can travel: the completion runs at
// once, on the caller's thread, with ENOTCONN.
void UdpLink::receiveMessage(ReceiveCompletion completion) {
  auto shared = std::make_shared<ReceiveCompletion>(std::move(completion));
  if (!impl_->onQueue([impl = impl_, shared] { impl->receive(std::move(*shared)); })) {
    (*shared)({}, PosixError(ENOTCONN, "link not started"));
  }
}

void UdpLink::send(std::vector<std::uint8_t> content, SendCompletion completion) {
  auto shared = std::make_shared<SendCompletion>(std::move(completion));
  if (!impl_->onQueue([impl = impl_, content = std::move(content), shared]() mutable {
        impl->transmit(std::move(content), std::move(*shared));
      })) {
    if (*shared) (*shared)(PosixError(ENOTCONN, "link not started"));
  }
}

std::optional<LinkPath> UdpLink::currentPath() const {
  std::scoped_lock lock(impl_->mutex);
  return impl_->path;
}

} // namespace pd::platform::net
