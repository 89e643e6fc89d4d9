#pragma once

// The receive-only OSC-over-UDP server through which DJ software feeds deck state in. It binds
// one UDP socket to a configured IPv4 address and port, treats every sender (address and port)
// as a connection, parses each datagram on its own receive queue and publishes the messages and
// its state on the main thread. It sends nothing back.

#include "deckinput/OSCAddress.hpp"
#include "deckinput/ServerState.hpp"
#include "runtime/Error.hpp"
#include "settings/ServerConfiguration.hpp"

#include <boost/signals2/connection.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace pd::deckinput {

// The address comes from the settings, where the composition root reads it.
using settings::ServerConfiguration;

class OSCServerError : public Error {
public:
  enum class Case : std::uint8_t { invalidHost, listenerCreationFailed };

  // "無効なホストアドレス: " and the host.
  static OSCServerError invalidHost(const std::string& host);
  // "リスナーの作成に失敗: " and the cause's description.
  static OSCServerError listenerCreationFailed(const std::exception& cause);

  Case errorCase() const noexcept { return case_; }
  // The host text of invalidHost.
  const std::string& host() const noexcept { return host_; }
  const std::string& errorDescription() const noexcept { return detail(); }

private:
  OSCServerError(Case c, std::string detailText, std::string host);
  Case case_;
  std::string host_;
};

// What the OSC view model holds, so that tests can stand in for the server.
class OSCServerServiceProtocol {
public:
  using MessageHandler = std::function<void(const OSCMessage&)>;
  using StateHandler = std::function<void(const ServerState&)>;

  virtual ~OSCServerServiceProtocol() = default;

  // Every parsed message, on the main thread.
  virtual boost::signals2::connection subscribeMessages(MessageHandler handler) = 0;
  // Every state, on the main thread; a new subscriber is called at once with the current state.
  virtual boost::signals2::connection subscribeState(StateHandler handler) = 0;
  // Main thread. Throws OSCServerError::invalidHost when the host is not an IPv4 literal.
  virtual void start(const ServerConfiguration& configuration) = 0;
  // Main thread.
  virtual void stop() = 0;
};

class OSCServerService final : public OSCServerServiceProtocol, public std::enable_shared_from_this<OSCServerService> {
public:
  // Timing constants, in one place so that tests can shrink them.
  struct Timing {
    std::chrono::nanoseconds sweepPeriod = std::chrono::seconds(5);
    // Silence is reported once this much time (inclusive) has passed without a datagram.
    std::chrono::nanoseconds silenceThreshold = std::chrono::seconds(30);
    // Idle senders are looked for on every n-th sweep tick.
    std::int64_t reapEveryTicks = 12;
    // A sender idle for longer than this (exclusive) is dropped.
    std::chrono::nanoseconds idleThreshold = std::chrono::seconds(1800);
    // Bound of the sender table: a socket bound to 0.0.0.0 can be fed spoofed sources, each of
    // which would otherwise stay for half an hour. The least recently active one makes room.
    std::size_t maxConnections = 1024;
    // Datagrams read but not yet handled on the main thread. Past it the socket is not read until
    // the main thread catches up, so a flood waits in the kernel's buffer (and overflows there)
    // instead of queueing memory and work for the main thread without end.
    std::size_t maxHandOffs = 256;
    // Pause after a failed read before reading again, so a persistent socket error cannot spin.
    std::chrono::nanoseconds readErrorPause = std::chrono::milliseconds(100);
  };

  static std::shared_ptr<OSCServerService> create(Timing timing);
  static std::shared_ptr<OSCServerService> create() { return create(Timing{}); }

  // Use create(): posted work reaches the service through weak_from_this().
  explicit OSCServerService(Timing timing);
  // Main thread. Closes the socket; nothing is published any more.
  ~OSCServerService() override;
  OSCServerService(const OSCServerService&) = delete;
  OSCServerService& operator=(const OSCServerService&) = delete;

  boost::signals2::connection subscribeMessages(MessageHandler handler) override;
  boost::signals2::connection subscribeState(StateHandler handler) override;

  // Stops first, then publishes starting. An invalid host publishes failed and throws. A socket
  // that cannot be opened or bound is reported as a failed state soon after this returns (a port
  // in use or not permitted and an address the machine lacks in Japanese, other causes in the
  // system's words) and leaves no sweep running; a bound one as running.
  void start(const ServerConfiguration& configuration) override;
  // Closes the socket, forgets every sender and the silence state, publishes stopped.
  void stop() override;

  // Main thread; for the windows and tests.
  const ServerState& state() const noexcept;
  // The port the socket is bound to while it is; nothing otherwise.
  std::optional<std::uint16_t> boundPort() const noexcept;
  // Senders currently tracked.
  std::size_t connectionCount() const noexcept;

  // The parser with its log lines: a failure is logged (throttled under "osc_parse_fail") and
  // gives nothing; a success ends a run of failures with "osc_parse_recovered". Any thread.
  static std::optional<OSCMessage> parseMessage(std::span<const std::uint8_t> bytes);
  static std::optional<std::string> readPaddedString(std::span<const std::uint8_t> bytes, std::size_t& offset);
  static void logParseRecovered();

private:
  struct Impl;
  struct Receiver;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::deckinput
