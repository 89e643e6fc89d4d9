#include "link/ControlBacklog.hpp"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace pd::link {
namespace {

// The backlog with the main thread held: nothing is handled, so every ticket taken stays.
class HeldBacklog {
public:
  bool offer(std::size_t bytes, std::string_view type) {
    auto ticket = backlog.admit(bytes, ControlBacklog::keepsLink(type));
    if (ticket) held.push_back(std::move(*ticket));
    return ticket.has_value();
  }
  std::size_t offerMany(std::size_t count, std::size_t bytes, std::string_view type) {
    std::size_t taken = 0;
    for (std::size_t i = 0; i < count; ++i) taken += offer(bytes, type) ? 1 : 0;
    return taken;
  }

  const ControlBacklog::Limits limits;
  ControlBacklog backlog{limits};
  std::vector<ControlBacklog::Ticket> held;
};

// Forged pongs and acks from the tablet's address, far more than the reserved room, arrive
// while the ordinary room is full: the tablet's pings and a reject still get in, by count and by
// bytes, and the whole bound holds.
TEST(ControlBacklogTest, AFloodOfOneKeepAliveTypeLeavesTheOthersTheirReservedRoom) {
  {
    HeldBacklog flood;
    ASSERT_EQ(flood.offerMany(flood.limits.messages, 100, "flood"), flood.limits.messages);
    EXPECT_FALSE(flood.offer(100, "flood"));
    EXPECT_GT(flood.offerMany(100, 60, "pong"), 0U);
    EXPECT_GT(flood.offerMany(100, 200, "handshake_ack"), 0U);
    EXPECT_EQ(flood.offerMany(4, 60, "ping"), 4U);
    EXPECT_TRUE(flood.offer(60, "handshake_reject"));
    EXPECT_LE(flood.backlog.pendingMessages(), flood.limits.messages + flood.limits.reservedMessages);

    // Once the flood's pongs are handled, their room is there for the next pong.
    EXPECT_FALSE(flood.offer(60, "pong"));
    flood.held.erase(flood.held.begin() + static_cast<std::ptrdiff_t>(flood.limits.messages), flood.held.end());
    EXPECT_TRUE(flood.offer(60, "pong"));
  }
  {
    // Large pongs: the byte budget is what runs out first.
    HeldBacklog flood;
    const std::size_t large = 4 * 1024;
    ASSERT_EQ(flood.offerMany(flood.limits.bytes / large, large, "flood"), flood.limits.bytes / large);
    EXPECT_FALSE(flood.offer(100, "flood"));
    EXPECT_GT(flood.offerMany(100, large, "pong"), 0U);
    EXPECT_TRUE(flood.offer(100, "ping"));
    EXPECT_LE(flood.backlog.pendingBytes(), flood.limits.bytes + flood.limits.reservedBytes);
  }
}

} // namespace
} // namespace pd::link
