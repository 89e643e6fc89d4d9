// The video ingest side of the link manager: reassembly, statistics and the decoded-frame hand-off.
#include "link/NetworkManagerForMac.hpp"

#include "runtime/MainThread.hpp"

#include <mutex>
#include <set>
#include <utility>

namespace pd::link {

void NetworkManagerForMac::clearPendingFrames() { runtime::MainThread::assertMainThread(); }

void NetworkManagerForMac::configurePipeline(StreamMode mode) {
  runtime::MainThread::assertMainThread();
  clearPendingFrames();
  std::set<std::uint8_t> streams = mode == StreamMode::mix ? std::set<std::uint8_t>{0} : std::set<std::uint8_t>{1, 2};
  postToNetworkQueue([streams = std::move(streams)](NetworkManagerForMac& self) mutable {
    self.receiveActiveStreamIDs_ = std::move(streams);
  });
}

void NetworkManagerForMac::clearReassemblyTables() {
  // Nothing is reassembled yet: the stand-in only counts datagrams.
}

void NetworkManagerForMac::handleVideoDatagram(std::span<const std::uint8_t>) {
  videoDatagrams_.fetch_add(1, std::memory_order_relaxed);
}

void NetworkManagerForMac::recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream) {
  std::scoped_lock lock(staleEpochGate_);
  ++staleEpochCounts_[StaleEpochKey{source, stream}];
}

void NetworkManagerForMac::flushStreamStats() {}

} // namespace pd::link
