#include "platform/net/TcpConnection.hpp"

#include "platform/net/TcpSocket.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <optional>
#include <utility>

namespace pd::platform::net {

namespace asio = boost::asio;

TcpConnection::TcpConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpConnection::~TcpConnection() = default;

namespace {

bool isOwnEnd(const boost::system::error_code& error) {
  return error == asio::error::operation_aborted || error == asio::error::eof;
}

} // namespace

void TcpConnection::setStateHandler(StateHandler handler) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->impl_->stateHandler = std::move(handler);
  });
}

void TcpConnection::receive(std::size_t maximumLength, ReceiveHandler handler) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), maximumLength, handler = std::move(handler)]() mutable {
    auto& impl = *self->impl_;
    if (impl.closed || impl.cancelling || impl.readPending) {
      return;
    }
    impl.receiveHandler = std::move(handler);
    impl.readBuffer.resize(maximumLength == 0 ? 1 : maximumLength);
    self->startRead();
  });
}

void TcpConnection::startRead() {
  auto& impl = *impl_;
  impl.readPending = true;
  impl.socket.async_read_some(asio::buffer(impl.readBuffer),
                              [self = shared_from_this()](boost::system::error_code error, std::size_t n) {
                                self->readCompleted(error == asio::error::eof, error, n);
                              });
}

void TcpConnection::readCompleted(bool endOfStream, std::error_code error, std::size_t n) {
  auto& impl = *impl_;
  impl.readPending = false;
  if (impl.cancelling) {
    impl.drained += n;
    if (error || n == 0 || impl.drained >= impl.timing.drainLimitBytes || impl.closed) {
      finishClose();
    } else {
      startRead();
    }
    return;
  }
  if (impl.closed) {
    return;
  }
  auto handler = std::exchange(impl.receiveHandler, nullptr);
  std::vector<std::uint8_t> content(impl.readBuffer.begin(), impl.readBuffer.begin() + static_cast<std::ptrdiff_t>(n));
  const bool complete = endOfStream;
  if (error && !complete) {
    reportFailure(error);
  }
  if (handler) {
    handler(std::move(content), complete, complete ? std::error_code() : error);
  }
}

void TcpConnection::send(std::vector<std::uint8_t> bytes, bool isComplete, SendHandler handler) {
  const auto length = bytes.size();
  send(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes)), 0, length, isComplete, std::move(handler));
}

void TcpConnection::send(Buffer buffer, std::size_t offset, std::size_t length, bool isComplete, SendHandler handler) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), buffer = std::move(buffer), offset, length, isComplete,
                                   handler = std::move(handler)]() mutable {
    auto& impl = *self->impl_;
    if (impl.closed || impl.cancelling || impl.writePending || !buffer || offset > buffer->size() ||
        length > buffer->size() - offset) {
      handler(impl.closed || impl.cancelling ? std::make_error_code(std::errc::operation_canceled)
                                             : std::make_error_code(std::errc::invalid_argument));
      return;
    }
    impl.writePending = true;
    auto view = asio::buffer(buffer->data() + offset, length);
    asio::async_write(impl.socket, view,
                      [self, buffer = std::move(buffer), isComplete, handler = std::move(handler)](
                          boost::system::error_code error, std::size_t) mutable {
                        auto& inner = *self->impl_;
                        inner.writePending = false;
                        if (!error && isComplete && !inner.closed) {
                          boost::system::error_code ignored;
                          inner.socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                          inner.sendShutDown = true;
                        }
                        if (error && !isOwnEnd(error)) {
                          self->reportFailure(error);
                        }
                        handler(std::error_code(error));
                        if (inner.cancelling && !inner.closed && !inner.readPending) {
                          self->finishClose();
                        }
                      });
  });
}

void TcpConnection::cancel() {
  asio::dispatch(impl_->executor, [self = shared_from_this()] {
    auto& impl = *self->impl_;
    if (impl.closed || impl.cancelling) {
      return;
    }
    impl.cancelling = true;
    impl.receiveHandler = nullptr;
    if (impl.writePending || impl.failed) {
      // The peer is not reading (or is gone): nothing to protect.
      self->finishClose();
      return;
    }
    if (!impl.sendShutDown) {
      boost::system::error_code ignored;
      impl.socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    }
    impl.drainTimer.expires_after(impl.timing.drainTimeout);
    impl.drainTimer.async_wait([weak = std::weak_ptr<TcpConnection>(self)](boost::system::error_code error) {
      if (auto strong = weak.lock(); strong && !error) {
        strong->finishClose();
      }
    });
    if (!impl.readPending) {
      impl.readBuffer.resize(16 * 1024);
      self->startRead();
    }
  });
}

void TcpConnection::close() {
  asio::dispatch(impl_->executor, [self = shared_from_this()] {
    self->impl_->cancelling = true;
    self->impl_->receiveHandler = nullptr;
    self->finishClose();
  });
}

void TcpConnection::reportFailure(std::error_code error) {
  auto& impl = *impl_;
  if (impl.failed || impl.closed) {
    return;
  }
  impl.failed = true;
  if (impl.stateHandler) {
    auto handler = impl.stateHandler;
    handler(State::failed, error);
  }
}

void TcpConnection::finishClose() {
  auto& impl = *impl_;
  if (impl.closed) {
    return;
  }
  impl.closed = true;
  impl.drainTimer.cancel();
  boost::system::error_code ignored;
  impl.socket.close(ignored);
  impl.receiveHandler = nullptr;
  if (auto handler = std::exchange(impl.stateHandler, nullptr)) {
    handler(State::cancelled, {});
  }
}

} // namespace pd::platform::net
