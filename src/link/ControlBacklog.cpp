#include "link/ControlBacklog.hpp"

#include <utility>

namespace pd::link {

struct ControlBacklog::Ticket::Counts {
  mutable std::mutex mutex;
  std::size_t messages = 0;
  std::size_t bytes = 0;
  std::uint64_t dropped = 0;
};

ControlBacklog::Ticket& ControlBacklog::Ticket::operator=(Ticket&& other) noexcept {
  if (this != &other) {
    release();
    counts_ = std::move(other.counts_);
    bytes_ = std::exchange(other.bytes_, 0);
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
  }
  counts_.reset();
}

ControlBacklog::ControlBacklog() : ControlBacklog(Limits{}) {}

ControlBacklog::ControlBacklog(Limits limits) : limits_(limits), counts_(std::make_shared<Ticket::Counts>()) {}

std::optional<ControlBacklog::Ticket> ControlBacklog::admit(std::size_t bytes, bool keepsLink) {
  const std::size_t messageLimit = limits_.messages + (keepsLink ? limits_.reservedMessages : 0);
  const std::size_t byteLimit = limits_.bytes + (keepsLink ? limits_.reservedBytes : 0);
  std::scoped_lock lock(counts_->mutex);
  // Written so that no sum can wrap: a message larger than the whole budget never fits.
  if (counts_->messages >= messageLimit || bytes > byteLimit || counts_->bytes > byteLimit - bytes) {
    ++counts_->dropped;
    return std::nullopt;
  }
  ++counts_->messages;
  counts_->bytes += bytes;
  return Ticket(counts_, bytes);
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

bool ControlBacklog::keepsLink(std::string_view type) noexcept {
  return type == "ping" || type == "pong" || type == "handshake_ack" || type == "handshake_reject";
}

} // namespace pd::link
