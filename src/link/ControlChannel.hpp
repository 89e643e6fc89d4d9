#pragma once

// The control side of the link on the main thread: the handshake's own state (the request's
// sequence numbers and the window of answers accepted, the link id of the current cycle, the
// tablet's ids) and the dispatch of every control datagram to what it asks for. A datagram of an
// earlier link cycle or connection is dropped before anything reads it further.

#include "link/ControlMessage.hpp"
#include "platform/net/DatagramLink.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pd::link {

class ControlChannel {
public:
  // The control protocol version this build speaks.
  static constexpr std::int64_t protocolVersion = 3;

  // This receiver as its handshake request describes it.
  struct Identity {
    std::string deviceName;
    std::string appVersion;
    std::string launchID;
    std::vector<std::string> supportedFeatures;
    // The receiver's permanent peer id, read at each request.
    std::function<std::string()> networkPeerID;
  };

  // What the control messages ask for, one method per type.
  class Handler {
  public:
    virtual ~Handler() = default;
    virtual void handshakeAck(const ControlMessage& message) = 0;
    virtual void handshakeReject(const ControlMessage& message) = 0;
    virtual void modeChangeRequest(const ControlMessage& message) = 0;
    virtual void ping(const ControlMessage& message) = 0;
    virtual void pong(const ControlMessage& message) = 0;
    virtual void loadVideoAck(const ControlMessage& message) = 0;
    virtual void streamStop(const ControlMessage& message) = 0;
  };

  enum class Outcome : std::uint8_t { unreadable, stale, dispatched };

  explicit ControlChannel(Identity identity);

  // Any thread: the datagram as a message, or none (written as a throttled parse failure). A
  // message read ends the failure streak. Datagrams are read in the order they arrived.
  static std::optional<ControlMessage> read(std::span<const std::uint8_t> bytes);
  // A message read from a datagram that arrived under link cycle `generation`: dropped when it
  // is not of the current cycle and connection, else handed to `handler`.
  Outcome dispatch(const ControlMessage& message, std::uint64_t generation, std::uint64_t currentGeneration,
                   bool currentConnection, Handler& handler);
  // read(), then dispatch() what was read.
  Outcome dispatch(std::span<const std::uint8_t> bytes, std::uint64_t generation, std::uint64_t currentGeneration,
                   bool currentConnection, Handler& handler);
  // Datagrams handed on by dispatch().
  std::uint64_t dispatchedCount() const noexcept { return dispatched_; }

  // A new link cycle: a fresh link id, the tablet's ids forgotten, and the answers to every
  // earlier request outside the window until a new request goes out.
  void beginLink();
  // Sends the next request on `connection` (the sequence advances even without one).
  void sendRequest(platform::net::DatagramLink* connection);
  // True when an ack with `seq` answers a request of this cycle; logs the drop otherwise.
  bool acceptsAck(std::int64_t seq) const;
  // True when a reject with `seq` answers the latest request; logs the drop otherwise.
  bool acceptsReject(std::int64_t seq) const;
  // At most one resend of the request every two seconds: true, noted, when one may go at `now`
  // (monotonic seconds).
  bool takeResend(double now);
  void notePeer(std::optional<std::string> permanentID, std::optional<std::string> sessionID);

  std::int64_t sequence() const noexcept { return sequence_; }
  // The lowest sequence number an ack may carry.
  std::int64_t sequenceFloor() const noexcept { return sequenceFloor_; }
  // 32 lower-case hex digits.
  const std::string& linkID() const noexcept { return linkID_; }
  const std::optional<std::string>& peerID() const noexcept { return peerPermanentID_; }
  const std::optional<std::string>& peerSessionID() const noexcept { return peerSessionID_; }

private:
  Identity identity_;
  std::int64_t sequence_ = 0;
  std::int64_t sequenceFloor_ = 0;
  std::string linkID_;
  std::optional<std::string> peerPermanentID_;
  std::optional<std::string> peerSessionID_;
  double lastResendTime_ = -1e9; // monotonic seconds; far back at start
  std::uint64_t dispatched_ = 0;
};

} // namespace pd::link
