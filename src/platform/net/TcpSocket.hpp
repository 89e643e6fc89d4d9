#pragma once

// The Asio side of TcpConnection and TcpListener, for their two sources only.

#include "platform/net/CloseOnExec.hpp"
#include "platform/net/DeadlineLine.hpp"
#include "platform/net/TcpConnection.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <mutex>
#include <string>

namespace pd::platform::net {

struct TcpConnection::Impl {
  // remote: the peer's address as text (see addressOf).
  using SendDeadlines = DeadlineLine<std::weak_ptr<TcpConnection>>;
  static std::shared_ptr<SendDeadlines> makeSendDeadlines(const boost::asio::any_io_executor& executor);
  // deadlines: the line of every send deadline of the listener's connections (null without a
  // send deadline).
  Impl(boost::asio::any_io_executor ex, boost::asio::ip::tcp::socket s, std::string remote, Timing t,
       std::shared_ptr<SendDeadlines> deadlines)
      : executor(std::move(ex)),
        socket(std::move(s)),
        drainTimer(executor),
        sendDeadlines(std::move(deadlines)),
        timing(t),
        workerDescriptor(socket.native_handle()),
        remoteAddress(std::move(remote)) {
    // Once for the connection's life: the worker's sends rely on it, and Asio then has no reason
    // to switch the mode again before its own operations.
    boost::system::error_code ignored;
    socket.native_non_blocking(true, ignored);
    closeOnExec(socket.native_handle());
  }

  boost::asio::any_io_executor executor;
  boost::asio::ip::tcp::socket socket;
  boost::asio::steady_timer drainTimer;
  // The send deadline (see Timing::sendDeadline): each send's limit waits in the listener's line.
  std::shared_ptr<SendDeadlines> sendDeadlines;
  std::chrono::steady_clock::time_point sendStartedAt;
  Timing timing;
  StateHandler stateHandler;
  ReceiveHandler receiveHandler;
  // Left uninitialised: only the bytes a read delivers are ever looked at.
  std::unique_ptr<std::uint8_t[]> readBuffer;
  std::size_t readCapacity = 0;
  std::size_t readLength = 0;
  std::size_t drained = 0;
  bool readPending = false;
  bool peerEnded = false; // a read met the peer's end of sending
  bool writePending = false;
  bool sendShutDown = false;
  bool cancelling = false;
  bool failed = false;
  bool closed = false;
  std::atomic<bool> bodyStarted{false}; // ends a watch: see watchUntilReply

  // A send from a worker thread holds the descriptor: the executor must not close it meanwhile,
  // or the number could be reused by another file before the worker's call lands.
  std::mutex workerLock;
  const int workerDescriptor;
  bool workerSending = false; // under workerLock
  bool workerEnded = false; // under workerLock: the connection ended, no new worker send
  bool closeAfterWorker = false; // under workerLock
  bool workerTimedOut = false; // under workerLock: a worker's send missed its deadline
  bool workerShutDown = false; // under workerLock: a worker shut the sending side down
  const std::string remoteAddress;

  static std::string addressOf(const boost::asio::ip::tcp::endpoint& peer) {
    auto address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
      address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    }
    return address.to_string();
  }
};

} // namespace pd::platform::net
