#include "platform/net/TcpListener.hpp"

#include "platform/net/TcpSocket.hpp"
#include "runtime/Error.hpp"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/socket_base.hpp>

#include <cerrno>
#include <optional>
#include <utility>

namespace pd::platform::net {

namespace asio = boost::asio;
using asio::ip::tcp;

struct TcpListener::Impl {
  Impl(asio::any_io_executor ex, Timing t)
      : executor(std::move(ex)),
        acceptor(executor),
        pauseTimer(executor),
        timing(t),
        sendDeadlines(t.connection.sendDeadline > std::chrono::nanoseconds::zero()
                          ? TcpConnection::Impl::makeSendDeadlines(executor)
                          : nullptr) {}

  asio::any_io_executor executor;
  tcp::acceptor acceptor;
  // Filled by each accept with the peer's address, so that the connection need not ask for it.
  tcp::endpoint peer;
  // The text of the last peer's address: a busy server mostly hears from the same few peers, and
  // formatting an address costs more than comparing one.
  asio::ip::address lastPeer;
  std::string lastPeerText;
  asio::steady_timer pauseTimer;
  Timing timing;
  const std::shared_ptr<TcpConnection::Impl::SendDeadlines> sendDeadlines;
  std::uint16_t port = 0;
  ConnectionHandler onConnection;
  FailureHandler onFailure;
  bool stopped = false;
};

namespace {

void openAndBind(tcp::acceptor& acceptor, std::uint16_t port) {
  boost::system::error_code error;
  acceptor.open(tcp::v6(), error);
  if (!error) {
    // Dual stack: IPv4 peers arrive as mapped addresses on the same socket.
    acceptor.set_option(asio::ip::v6_only(false), error);
  }
  tcp::endpoint endpoint(tcp::v6(), port);
  if (error) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    error.clear();
    acceptor.open(tcp::v4(), error);
    endpoint = tcp::endpoint(tcp::v4(), port);
    if (error) {
      throw PosixError(error.value(), "socket");
    }
  }
  closeOnExec(acceptor.native_handle());
  acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) {
    // Replies go out as a header write then chunk writes: without this, the end of each reply
    // waits for the peer's delayed acknowledgement. Every accepted socket inherits it from here,
    // which spares each accept a call of its own.
    boost::system::error_code ignored;
    acceptor.set_option(tcp::no_delay(true), ignored);
    acceptor.bind(endpoint, error);
  }
  if (!error) {
    acceptor.listen(asio::socket_base::max_listen_connections, error);
  }
  if (error) {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    throw PosixError(error.value(), "bind port " + std::to_string(port));
  }
}

// One peer's trouble between SYN and accept: skip it and accept the next.
bool isPerConnection(const boost::system::error_code& error) {
  if (error.category() != boost::system::system_category() && error.category() != boost::system::generic_category()) {
    return false;
  }
  switch (error.value()) {
  case ECONNABORTED:
  case ECONNRESET:
  case EPROTO:
  case EPERM:
  case ENETDOWN:
  case ENETUNREACH:
  case EHOSTDOWN:
  case EHOSTUNREACH:
  case ENOPROTOOPT:
  case EOPNOTSUPP:
  case ETIMEDOUT:
  case EAGAIN:
  case EINTR: return true;
  default: return false;
  }
}

bool isResourceShortage(const boost::system::error_code& error) {
  switch (error.value()) {
  case EMFILE:
  case ENFILE:
  case ENOBUFS:
  case ENOMEM: return true;
  default: return false;
  }
}

} // namespace

std::shared_ptr<TcpListener> TcpListener::create(const runtime::Executor& executor, std::uint16_t port, Timing timing) {
  auto impl = std::make_unique<Impl>(asio::any_io_executor(executor), timing);
  openAndBind(impl->acceptor, port);
  boost::system::error_code error;
  const auto bound = impl->acceptor.local_endpoint(error);
  if (error) {
    // Without the port it really holds, the listener would announce 0 and no peer could reach it.
    boost::system::error_code ignored;
    impl->acceptor.close(ignored);
    throw PosixError(error.value(), "getsockname port " + std::to_string(port));
  }
  impl->port = bound.port();
  return std::make_shared<TcpListener>(std::move(impl));
}

std::shared_ptr<TcpListener> TcpListener::create(const runtime::Executor& executor, std::uint16_t port) {
  return create(executor, port, Timing{});
}

TcpListener::TcpListener(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpListener::~TcpListener() = default;

std::uint16_t TcpListener::port() const noexcept { return impl_->port; }

void TcpListener::start(ConnectionHandler onConnection, FailureHandler onFailure) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), onConnection = std::move(onConnection),
                                   onFailure = std::move(onFailure)]() mutable {
    self->impl_->onConnection = std::move(onConnection);
    self->impl_->onFailure = std::move(onFailure);
    self->acceptNext();
  });
}

void TcpListener::acceptNext() {
  auto& impl = *impl_;
  if (impl.stopped) {
    return;
  }
  impl.acceptor.async_accept(
      impl.executor, impl.peer, [weak = weak_from_this()](boost::system::error_code error, tcp::socket socket) {
        auto self = weak.lock();
        if (!self || self->impl_->stopped) {
          return;
        }
        auto& inner = *self->impl_;
        if (!error) {
          if (const auto address = inner.peer.address(); address != inner.lastPeer || inner.lastPeerText.empty()) {
            inner.lastPeerText = TcpConnection::Impl::addressOf(inner.peer);
            inner.lastPeer = address;
          }
          auto connection = std::make_shared<TcpConnection>(std::make_unique<TcpConnection::Impl>(
              inner.executor, std::move(socket), inner.lastPeerText, inner.timing.connection, inner.sendDeadlines));
          if (inner.onConnection) {
            inner.onConnection(std::move(connection));
          }
          self->acceptNext();
        } else if (isResourceShortage(error)) {
          inner.pauseTimer.expires_after(inner.timing.descriptorsExhaustedPause);
          inner.pauseTimer.async_wait([weak](boost::system::error_code timerError) {
            if (auto strong = weak.lock(); strong && !timerError) {
              strong->acceptNext();
            }
          });
        } else if (isPerConnection(error)) {
          self->acceptNext();
        } else if (error != asio::error::operation_aborted) {
          inner.stopped = true;
          if (auto handler = std::exchange(inner.onFailure, nullptr)) {
            handler(std::error_code(error));
          }
        }
      });
}

void TcpListener::cancel() {
  asio::dispatch(impl_->executor, [self = shared_from_this()] {
    auto& impl = *self->impl_;
    impl.stopped = true;
    impl.pauseTimer.cancel();
    boost::system::error_code ignored;
    impl.acceptor.close(ignored);
    impl.onConnection = nullptr;
    impl.onFailure = nullptr;
  });
}

} // namespace pd::platform::net
