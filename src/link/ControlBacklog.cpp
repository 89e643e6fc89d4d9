#include "link/ControlBacklog.hpp"

#include <array>
#include <utility>

namespace pd::link {

namespace {

// Room used, against a limit; written so that no sum can wrap: a message larger than the whole
// limit never fits.
bool fits(std::size_t used, std::size_t bytes, std::size_t limit) { return bytes <= limit && used <= limit - bytes; }

} // namespace

struct ControlBacklog::Ticket::Counts {
  struct Share {
    std::size_t messages = 0;
    std::size_t bytes = 0;
  };
  mutable std::mutex mutex;
  std::size_t messages = 0;
  std::size_t bytes = 0;
  std::uint64_t dropped = 0;
  // What each keep-alive type holds of the reserved room, indexed by the type less one.
  std::array<Share, kKeepAliveTypes> reserved;
};

ControlBacklog::Ticket& ControlBacklog::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    release();
    counts_ = std::move(other.counts_);
    bytes_ = std::exchange(other.bytes_, 0);
    reservedBy_ = std::exchange(other.reservedBy_, KeepAlive::none);
  }
  return *this;
}

ControlBacklog::Ticket::~Ticket() { release(); }

void ControlBacklog::Ticket::release() noexcept {
  if (!counts_) return;
  {
    std::scoped_lock lock(counts_->mutex);
    --counts_->messages;
    counts_->bytes -= bytes_;
    if (reservedBy_ != KeepAlive::none) {
      auto& share = counts_->reserved[static_cast<std::size_t>(reservedBy_) - 1];
      --share.messages;
      share.bytes -= bytes_;
    }
  }
  counts_.reset();
}

ControlBacklog::ControlBacklog() : ControlBacklog(Limits{}) {}

ControlBacklog::ControlBacklog(Limits limits) : limits_(limits), counts_(std::make_shared<Ticket::Counts>()) {}

std::optional<ControlBacklog::Ticket> ControlBacklog::admit(std::size_t bytes, KeepAlive keepsLink) {
  std::scoped_lock lock(counts_->mutex);
  if (counts_->messages < limits_.messages && fits(counts_->bytes, bytes, limits_.bytes)) {
    ++counts_->messages;
    counts_->bytes += bytes;
    return Ticket(counts_, bytes, KeepAlive::none);
  }
  // Beyond the bound, only within the type's own share: what one type holds there never counts
  // against another's. The shares add up to no more than the reserved room, so the whole bound
  // holds as well; it is checked all the same.
  if (keepsLink != KeepAlive::none) {
    auto& share = counts_->reserved[static_cast<std::size_t>(keepsLink) - 1];
    if (share.messages < limits_.reservedMessages / kKeepAliveTypes &&
        fits(share.bytes, bytes, limits_.reservedBytes / kKeepAliveTypes) &&
        counts_->messages < limits_.messages + limits_.reservedMessages &&
        fits(counts_->bytes, bytes, limits_.bytes + limits_.reservedBytes)) {
      ++share.messages;
      share.bytes += bytes;
      ++counts_->messages;
      counts_->bytes += bytes;
      return Ticket(counts_, bytes, keepsLink);
    }
  }
  ++counts_->dropped;
  return std::nullopt;
}

std::size_t ControlBacklog::pendingMessages() const {
  std::scoped_lock lock(counts_->mutex);
  return counts_->messages;
}

std::size_t ControlBacklog::pendingBytes() const {
  std::scoped_lock lock(counts_->mutex);
  return counts_->bytes;
}

std::uint64_t ControlBacklog::dropped() const {
  std::scoped_lock lock(counts_->mutex);
  return counts_->dropped;
}

ControlBacklog::KeepAlive ControlBacklog::keepsLink(std::string_view type) noexcept {
  if (type == "ping") return KeepAlive::ping;
  if (type == "pong") return KeepAlive::pong;
  if (type == "handshake_ack") return KeepAlive::handshakeAck;
  if (type == "handshake_reject") return KeepAlive::handshakeReject;
  return KeepAlive::none;
}

} // namespace pd::link
