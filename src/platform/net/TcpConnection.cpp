#include "platform/net/TcpConnection.hpp"

#include "platform/net/TcpSocket.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>

namespace pd::platform::net {

namespace asio = boost::asio;

namespace {

bool isOwnEnd(const boost::system::error_code& error) {
  return error == asio::error::operation_aborted || error == asio::error::eof;
}

void reserveRead(TcpConnection::Impl& impl, std::size_t length) {
  if (length > impl.readCapacity) {
    impl.readBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(length);
    impl.readCapacity = length;
  }
  impl.readLength = length;
}

} // namespace

TcpConnection::TcpConnection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TcpConnection::~TcpConnection() = default;

void TcpConnection::setStateHandler(StateHandler handler) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->impl_->stateHandler = std::move(handler);
  });
}

const std::string& TcpConnection::remoteAddress() const noexcept { return impl_->remoteAddress; }

void TcpConnection::watchUntilReply(runtime::UniqueFunction<void()> onGone) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), onGone = std::move(onGone)]() mutable {
    self->armWatch(std::move(onGone));
  });
}

void TcpConnection::armWatch(runtime::UniqueFunction<void()> onGone) {
  auto& impl = *impl_;
  if (impl.closed || impl.cancelling || impl.readPending || impl.bodyStarted.load(std::memory_order_acquire)) {
    return;
  }
  // Called only from readCompleted, which holds the connection: no reference of its own, which
  // would keep the connection alive through its own handler.
  impl.receiveHandler = [this, onGone = std::move(onGone)](std::vector<std::uint8_t>, bool isComplete,
                                                           std::error_code error) mutable {
    if (impl_->bodyStarted.load(std::memory_order_acquire)) {
      return;
    }
    if (isComplete || error) {
      onGone();
      return;
    }
    armWatch(std::move(onGone));
  };
  reserveRead(impl, kWatchReadBytes);
  startRead();
}

void TcpConnection::receive(std::size_t maximumLength, ReceiveHandler handler) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), maximumLength, handler = std::move(handler)]() mutable {
    auto& impl = *self->impl_;
    if (impl.closed || impl.cancelling || impl.readPending) {
      return;
    }
    impl.receiveHandler = std::move(handler);
    reserveRead(impl, maximumLength == 0 ? 1 : maximumLength);
    self->startRead();
  });
}

void TcpConnection::startRead() {
  auto& impl = *impl_;
  impl.readPending = true;
  impl.socket.async_read_some(asio::buffer(impl.readBuffer.get(), impl.readLength),
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
  std::vector<std::uint8_t> content(impl.readBuffer.get(), impl.readBuffer.get() + n);
  const bool complete = endOfStream;
  impl.peerEnded = impl.peerEnded || complete;
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
  send(nullptr, std::move(buffer), offset, length, isComplete, std::move(handler));
}

void TcpConnection::send(Buffer head, Buffer buffer, std::size_t offset, std::size_t length, bool isComplete,
                         SendHandler handler) {
  if (length > 0 || isComplete || !head) {
    impl_->bodyStarted.store(true, std::memory_order_release);
  }
  asio::dispatch(impl_->executor, [self = shared_from_this(), head = std::move(head), buffer = std::move(buffer),
                                   offset, length, isComplete, handler = std::move(handler)]() mutable {
    auto& impl = *self->impl_;
    if (impl.closed || impl.cancelling || impl.writePending || !buffer || offset > buffer->size() ||
        length > buffer->size() - offset) {
      handler(impl.closed || impl.cancelling ? std::make_error_code(std::errc::operation_canceled)
                                             : std::make_error_code(std::errc::invalid_argument));
      return;
    }
    impl.writePending = true;
    self->watchSend();
    const std::array<asio::const_buffer, 2> views{head ? asio::buffer(*head) : asio::const_buffer(),
                                                  asio::buffer(buffer->data() + offset, length)};
    asio::async_write(impl.socket, views,
                      [self, head = std::move(head), buffer = std::move(buffer), isComplete,
                       handler = std::move(handler)](boost::system::error_code error, std::size_t) mutable {
                        auto& inner = *self->impl_;
                        inner.writePending = false;
                        if (inner.sendDeadlines) {
                          inner.sendDeadlines->dropFinished();
                        }
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

template <typename Step>
std::error_code TcpConnection::sendFromWorker(std::size_t length, std::chrono::steady_clock::time_point deadline,
                                              std::size_t& sent, Step step) {
  auto& impl = *impl_;
  sent = 0;
  {
    std::scoped_lock lock(impl.workerLock);
    if (impl.workerEnded || impl.workerSending) {
      return std::make_error_code(std::errc::operation_canceled);
    }
    impl.workerSending = true;
  }
  const int socket = impl.workerDescriptor;
  std::error_code error;
  while (sent < length) {
    const auto n = step(socket, sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      break;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      error = std::error_code(errno, std::system_category());
      break;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      error = std::make_error_code(std::errc::timed_out);
      break;
    }
    pollfd room{socket, POLLOUT, 0};
    if (::poll(&room, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX))) < 0 && errno != EINTR) {
      error = std::error_code(errno, std::system_category());
      break;
    }
  }
  bool ended = false;
  bool closeNow = false;
  {
    std::scoped_lock lock(impl.workerLock);
    impl.workerSending = false;
    impl.workerTimedOut = impl.workerTimedOut || error == std::errc::timed_out;
    ended = impl.workerEnded;
    closeNow = std::exchange(impl.closeAfterWorker, false);
  }
  if (closeNow) {
    asio::post(impl.executor, [self = shared_from_this()] { self->closeSocket(); });
  }
  if (error && ended) {
    return std::make_error_code(std::errc::operation_canceled);
  }
  // A missed deadline is the caller's to act on.
  if (error && error != std::errc::timed_out) {
    asio::post(impl.executor, [self = shared_from_this(), error] { self->reportFailure(error); });
  }
  return error;
}

std::error_code TcpConnection::sendNow(const std::uint8_t* data, std::size_t length,
                                       std::chrono::steady_clock::time_point deadline, bool more) {
  return sendNow(nullptr, 0, data, length, deadline, more);
}

std::error_code TcpConnection::sendNow(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* data,
                                       std::size_t length, std::chrono::steady_clock::time_point deadline, bool more) {
  std::size_t sent = 0;
  if (!more) {
    impl_->bodyStarted.store(true, std::memory_order_release);
  }
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  return sendFromWorker(headLength + length, deadline, sent, [&](int socket, std::size_t done) {
    // sendmsg takes non-const pointers but only reads through them.
    std::array<iovec, 2> parts{};
    std::size_t count = 0;
    if (done < headLength) {
      parts[count++] = {const_cast<std::uint8_t*>(head + done), headLength - done};
    }
    const std::size_t bodyDone = done > headLength ? done - headLength : 0;
    if (bodyDone < length) {
      parts[count++] = {const_cast<std::uint8_t*>(data + bodyDone), length - bodyDone};
    }
    msghdr message{};
    message.msg_iov = parts.data();
    message.msg_iovlen = count;
    return ::sendmsg(socket, &message, flags);
  });
}

void TcpConnection::endSendingNow() {
  auto& impl = *impl_;
  // Under the lock the executor takes before it closes: the descriptor is still this socket's.
  std::scoped_lock lock(impl.workerLock);
  if (!impl.workerEnded && !impl.workerSending) {
    ::shutdown(impl.workerDescriptor, SHUT_WR);
    impl.workerShutDown = true;
  }
}

void TcpConnection::cancel() { end(false); }

void TcpConnection::endAfterReply() { end(true); }

void TcpConnection::end(bool afterReply) {
  asio::dispatch(impl_->executor, [self = shared_from_this(), afterReply] {
    auto& impl = *self->impl_;
    if (impl.closed || impl.cancelling) {
      return;
    }
    impl.cancelling = true;
    impl.receiveHandler = nullptr;
    bool workerSending = false;
    bool workerTimedOut = false;
    {
      std::scoped_lock lock(impl.workerLock);
      impl.workerEnded = true;
      workerSending = impl.workerSending;
      workerTimedOut = impl.workerTimedOut;
      impl.sendShutDown = impl.sendShutDown || impl.workerShutDown;
    }
    if (impl.writePending || impl.failed || workerSending || workerTimedOut) {
      // The peer is not reading (or is gone): nothing to protect.
      self->finishClose();
      return;
    }
    int unread = -1;
    // A read that met the peer's end took every byte before it: nothing is left to ask about.
    if (afterReply && impl.sendShutDown &&
        (impl.peerEnded || (::ioctl(impl.workerDescriptor, FIONREAD, &unread) == 0 && unread == 0))) {
      // The reply is whole, and the peer sent nothing past its request: no reply to protect from a
      // reset, and no reason to wait for the peer's end.
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
      reserveRead(impl, 16 * 1024);
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

void TcpConnection::watchSend() {
  auto& impl = *impl_;
  if (!impl.sendDeadlines) {
    return;
  }
  impl.sendStartedAt = std::chrono::steady_clock::now();
  impl.sendDeadlines->add(impl.sendStartedAt + impl.timing.sendDeadline, weak_from_this());
}

std::shared_ptr<TcpConnection::Impl::SendDeadlines>
TcpConnection::Impl::makeSendDeadlines(const asio::any_io_executor& executor) {
  return std::make_shared<SendDeadlines>(
      executor,
      [](const std::weak_ptr<TcpConnection>& weak) {
        const auto connection = weak.lock();
        return connection && !connection->impl_->closed && connection->impl_->writePending;
      },
      [](const std::weak_ptr<TcpConnection>& weak) {
        if (auto connection = weak.lock()) {
          connection->sendDeadlinePassed();
        }
      });
}

void TcpConnection::sendDeadlinePassed() {
  auto& impl = *impl_;
  // The line holds one entry per send: an earlier send's limit finds a later send pending.
  if (std::chrono::steady_clock::now() < impl.sendStartedAt + impl.timing.sendDeadline) {
    return;
  }
  cancel(); // with a send pending, closes at once: the send ends with an error
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
  impl.receiveHandler = nullptr;
  bool workerSending = false;
  {
    std::scoped_lock lock(impl.workerLock);
    impl.workerEnded = true;
    workerSending = impl.closeAfterWorker = impl.workerSending;
  }
  if (workerSending) {
    // Wakes the worker's send; it hands the close back to the executor when it returns.
    ::shutdown(impl.workerDescriptor, SHUT_RDWR);
    return;
  }
  closeSocket();
}

void TcpConnection::closeSocket() {
  auto& impl = *impl_;
  boost::system::error_code ignored;
  impl.socket.close(ignored);
  if (auto handler = std::exchange(impl.stateHandler, nullptr)) {
    handler(State::cancelled, {});
  }
}

} // namespace pd::platform::net
