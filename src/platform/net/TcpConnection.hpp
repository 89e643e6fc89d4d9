#pragma once

// One accepted TCP connection, driven from one serial executor. Every method may be called from
// any thread: the work is carried onto the executor, where every handler runs.
//
// Ending a connection (cancel) shuts down sending, reads and drops what the peer still sends for
// a bounded time, then closes: closing a socket with unread bytes in it makes the kernel answer
// with a reset, which would destroy a reply the peer has not read yet. A pending send ends the
// drain at once (the peer is not reading) and completes with an error.

#include "runtime/Executor.hpp"
#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace pd::platform::net {

class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
public:
  struct Timing {
    std::chrono::nanoseconds drainTimeout = std::chrono::seconds(1);
    std::size_t drainLimitBytes = 1024 * 1024;
    // A send() that has not completed this long after it started ends the connection (its
    // handler then gets an error); zero: no limit. One timer for all the listener's connections,
    // so that a send costs no timer of its own.
    std::chrono::nanoseconds sendDeadline{0};
  };
  enum class State : std::uint8_t {
    failed, // a receive or send reported an error other than the connection's own end
    cancelled, // the socket is closed; reported once, last
  };

  using ReceiveHandler =
      runtime::UniqueFunction<void(std::vector<std::uint8_t> content, bool isComplete, std::error_code error)>;
  using SendHandler = runtime::UniqueFunction<void(std::error_code error)>;
  using StateHandler = std::function<void(State state, std::error_code error)>;
  using Buffer = std::shared_ptr<const std::vector<std::uint8_t>>;

  struct Impl;
  // Made by TcpListener.
  explicit TcpConnection(std::unique_ptr<Impl> impl);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  void setStateHandler(StateHandler handler);
  // The peer's address as text (an IPv4 peer of a dual-stack listener in its IPv4 form); empty
  // when the socket had none. Fixed at accept, any thread.
  const std::string& remoteAddress() const noexcept;
  // Keeps one read armed until this side starts its reply's body, so that a peer that goes away
  // while its reply is still being prepared is noticed then: its end (or a receive error) calls
  // onGone on the executor. What it sends meanwhile is dropped. A reply's header sent ahead of its
  // body (a send() with a head and an empty, not final slice, or a sendNow() with more) leaves the
  // watch armed. Once the body has started, the peer's end is left to the sends: a peer that only
  // shuts down its sending side still gets the reply it is reading.
  void watchUntilReply(runtime::UniqueFunction<void()> onGone);
  // At least one byte and at most maximumLength; isComplete once the peer has shut down its
  // sending. After cancel() a pending receive's handler is dropped, never called.
  void receive(std::size_t maximumLength, ReceiveHandler handler);
  // Sends buffer[offset, offset + length); with isComplete the sending side is shut down after
  // it. One send at a time. The handler always runs, with an error when the connection ended.
  void send(Buffer buffer, std::size_t offset, std::size_t length, bool isComplete, SendHandler handler);
  // The same with head (when not null) written in front of the slice, in one write: a reply's
  // header with the first piece of its body.
  void send(Buffer head, Buffer buffer, std::size_t offset, std::size_t length, bool isComplete, SendHandler handler);
  void send(std::vector<std::uint8_t> bytes, bool isComplete, SendHandler handler);
  // Blocking sends for a worker thread that owns a transfer, never for the executor: the calling
  // thread moves the bytes itself, so many transfers need not share the executor's one thread.
  // They wait for room until the deadline (then timed_out) and fail with operation_canceled once
  // the connection ends; an end during the send wakes it, and the socket is closed only after
  // it returns, by the executor: the worker must be done before the executor's queue stops, or
  // that close is dropped. Not mixed with a pending send(). After a missed deadline the
  // connection's end closes at once, as it does for a send() cut by its deadline.
  // With more, the kernel may hold these bytes to join them with the next send's (a reply header
  // with the body's first piece); the next send, or the end of the connection, lets them go.
  std::error_code sendNow(const std::uint8_t* data, std::size_t length, std::chrono::steady_clock::time_point deadline,
                          bool more = false);
  // The same with head[0, headLength) written in front of the data, in one call: a reply's header
  // with a body slice already in hand.
  std::error_code sendNow(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* data,
                          std::size_t length, std::chrono::steady_clock::time_point deadline, bool more = false);
  // After a worker's last sendNow() of a whole reply: shuts the sending side down, as a final
  // send() does, so that endAfterReply() may close at once.
  void endSendingNow();
  // Ends the connection as described above; idempotent.
  void cancel();
  // The same once a whole reply has been sent with its final send() to a peer that sent nothing
  // after its request (the usual case): then closes at once instead of draining.
  void endAfterReply();
  // Closes at once without draining (a connection refused before it started).
  void close();

private:
  static constexpr std::size_t kWatchReadBytes = 4096;
  void armWatch(runtime::UniqueFunction<void()> onGone);
  void startRead();
  void readCompleted(bool endOfStream, std::error_code error, std::size_t n);
  void reportFailure(std::error_code error);
  void end(bool afterReply);
  void finishClose();
  void closeSocket();
  void watchSend();
  void sendDeadlinePassed();
  template <typename Step>
  std::error_code sendFromWorker(std::size_t length, std::chrono::steady_clock::time_point deadline, std::size_t& sent,
                                 Step step);

  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::net
