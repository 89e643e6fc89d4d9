#pragma once

// A TCP listener on every local address: one dual-stack socket on "::" (IPv4 arrives mapped), or
// IPv4 alone where the host has no IPv6. The port is bound when the listener is made, so a taken
// port is a creation failure, not a later state.

#include "platform/net/TcpConnection.hpp"
#include "runtime/Executor.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

namespace pd::platform::net {

class TcpListener : public std::enable_shared_from_this<TcpListener> {
public:
  struct Timing {
    // Out of descriptors: accepting waits this long instead of spinning on the same error.
    std::chrono::nanoseconds descriptorsExhaustedPause = std::chrono::milliseconds(100);
    TcpConnection::Timing connection;
  };
  using ConnectionHandler = std::function<void(std::shared_ptr<TcpConnection>)>;
  using FailureHandler = std::function<void(std::error_code)>;

  // Port 0: any free port. Throws PosixError when the socket cannot be made or bound.
  static std::shared_ptr<TcpListener> create(const runtime::Executor& executor, std::uint16_t port, Timing timing);
  static std::shared_ptr<TcpListener> create(const runtime::Executor& executor, std::uint16_t port);

  struct Impl;
  explicit TcpListener(std::unique_ptr<Impl> impl);
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  std::uint16_t port() const noexcept;
  // Accepts until cancelled or failed; handlers run on the executor. onFailure runs once, for an
  // error that ruins the socket (one peer's failed handshake is skipped).
  void start(ConnectionHandler onConnection, FailureHandler onFailure);
  void cancel();

private:
  void acceptNext();

  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::net
