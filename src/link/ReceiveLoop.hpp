#pragma once

// The datagram receive loop of one connection, on the network queue: a receive re-armed from
// its own completion while the connection stays ready, the datagrams of an abandoned link cycle
// dropped, and each one handed on by its first byte: '{' opens a control message, anything else
// is video. Failures are counted and their end written once they made a streak.

#include "platform/net/DatagramLink.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace pd::link {

class ReceiveLoop {
public:
  using LinkPointer = std::shared_ptr<platform::net::DatagramLink>;

  // Where the datagrams go; called on the network queue.
  class Sink {
  public:
    virtual ~Sink() = default;
    // The link cycle the network queue is on now.
    virtual std::uint64_t currentGeneration() const = 0;
    // A datagram of an earlier cycle was dropped.
    virtual void staleDatagram() = 0;
    // A datagram with content arrived, before it is handed on.
    virtual void inbound() = 0;
    virtual void controlDatagram(std::span<const std::uint8_t> content, std::uint64_t generation,
                                 const LinkPointer& connection) = 0;
    virtual void videoDatagram(std::span<const std::uint8_t> content) = 0;
  };

  explicit ReceiveLoop(Sink& sink) : sink_(sink) {}
  ReceiveLoop(const ReceiveLoop&) = delete;
  ReceiveLoop& operator=(const ReceiveLoop&) = delete;

  // Network queue. Starts receiving on `connection` for link cycle `generation`. `self` points
  // at this loop and expires with whatever owns it: the loop's completions hold it only weakly
  // and hold the connection weakly too, so once the owner lets the connection go, the pending
  // receive completes and nothing re-arms it.
  static void start(const std::weak_ptr<ReceiveLoop>& self, const LinkPointer& connection, std::uint64_t generation);
  // Network queue: receives asked for since the last start.
  std::int64_t receiveCount() const noexcept { return receives_; }

private:
  void receiveNext(const std::weak_ptr<ReceiveLoop>& self, const LinkPointer& connection, std::uint64_t generation);
  void handle(const std::weak_ptr<ReceiveLoop>& self, const std::weak_ptr<platform::net::DatagramLink>& weakConnection,
              std::uint64_t generation, std::span<const std::uint8_t> content, const std::optional<Error>& error);

  Sink& sink_;
  std::int64_t receives_ = 0;
  bool failureCounted_ = false;
};

} // namespace pd::link
