#pragma once

// The control messages that the network queue has handed to the main thread and the main thread
// has not handled yet. A sender that writes faster than the main thread reads would otherwise
// queue work and memory without end and starve the picture; past the bound a message is dropped
// where it arrives. The messages that keep the link alive (heartbeat and handshake answers) have
// room of their own beyond the bound, so a flood of anything else cannot shut them out. That room
// is split evenly among their types: anyone on the LAN can forge a pong or an ack from the
// tablet's address, and a flood of one type must not take the room of the tablet's real pings.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

namespace pd::link {

class ControlBacklog {
public:
  struct Limits {
    std::size_t messages = 256;
    std::size_t bytes = 256 * 1024;
    // Added to both for the messages that keep the link, an equal share for each of their types.
    std::size_t reservedMessages = 32;
    std::size_t reservedBytes = 32 * 1024;
  };

  // The types that keep the link alive: heartbeat and handshake answers.
  enum class KeepAlive : std::uint8_t { none, ping, pong, handshakeAck, handshakeReject };
  static constexpr std::size_t kKeepAliveTypes = 4;

  // One message's room in the backlog, given back when the ticket goes (handled or dropped with
  // its task). Outlives the backlog safely.
  class Ticket {
  public:
    Ticket(Ticket&& other) noexcept = default;
    Ticket& operator=(Ticket&& other) noexcept;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket();

  private:
    friend class ControlBacklog;
    struct Counts;
    // `reservedBy` is the keep-alive type whose reserved share the message holds, or none.
    Ticket(std::shared_ptr<Counts> counts, std::size_t bytes, KeepAlive reservedBy)
        : counts_(std::move(counts)), bytes_(bytes), reservedBy_(reservedBy) {}
    void release() noexcept;
    std::shared_ptr<Counts> counts_;
    std::size_t bytes_ = 0;
    KeepAlive reservedBy_ = KeepAlive::none;
  };

  ControlBacklog();
  explicit ControlBacklog(Limits limits);

  // Any thread. Room for a message of `bytes`, or none when it lies beyond the bound: then the
  // drop is counted. A message that keeps the link may use its type's share of the reserved room.
  std::optional<Ticket> admit(std::size_t bytes, KeepAlive keepsLink);

  // Any thread.
  std::size_t pendingMessages() const;
  std::size_t pendingBytes() const;
  std::uint64_t dropped() const;

  // The keep-alive type a message's type names, or none.
  static KeepAlive keepsLink(std::string_view type) noexcept;

private:
  Limits limits_;
  std::shared_ptr<Ticket::Counts> counts_;
};

} // namespace pd::link
