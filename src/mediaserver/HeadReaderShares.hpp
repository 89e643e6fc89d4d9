#pragma once

// Connections still reading their request head, by the peer's address. A peer that trickles its
// heads holds its slots for as long as the head deadline allows; one that sends them at once holds
// them for moments, however many it opens. So the share is enforced only once the server is full:
// a newcomer from a peer that already holds its share is refused, and one from any other peer takes
// the oldest slot of the peer holding the most, when that is more than its share.

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

namespace pd::mediaserver {

template <typename Connection>
class HeadReaderShares {
public:
  explicit HeadReaderShares(std::size_t share) : share_(share) {}

  void add(const std::string& address, Connection connection) { byAddress_[address].push_back(std::move(connection)); }
  // Removes the first entry for which same(entry) holds.
  template <typename Same>
  void remove(const std::string& address, Same same) {
    const auto found = byAddress_.find(address);
    if (found == byAddress_.end()) {
      return;
    }
    auto& held = found->second;
    for (auto it = held.begin(); it != held.end(); ++it) {
      if (same(*it)) {
        held.erase(it);
        break;
      }
    }
    if (held.empty()) {
      byAddress_.erase(found);
    }
  }
  bool holdsItsShare(const std::string& address) const {
    const auto found = byAddress_.find(address);
    return found != byAddress_.end() && found->second.size() >= share_;
  }
  // The oldest head reader of the peer holding the most, when that peer holds more than its share
  // and is not the newcomer's; it is taken out of the count.
  std::optional<Connection> takeForNewcomer(const std::string& newcomer) {
    auto most = byAddress_.end();
    for (auto it = byAddress_.begin(); it != byAddress_.end(); ++it) {
      if (most == byAddress_.end() || it->second.size() > most->second.size()) {
        most = it;
      }
    }
    if (most == byAddress_.end() || most->second.size() <= share_ || most->first == newcomer) {
      return std::nullopt;
    }
    auto oldest = std::move(most->second.front());
    most->second.pop_front();
    return oldest;
  }

private:
  std::size_t share_;
  std::unordered_map<std::string, std::deque<Connection>> byAddress_;
};

} // namespace pd::mediaserver
