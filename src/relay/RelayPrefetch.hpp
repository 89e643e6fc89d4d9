#pragma once

// The relay's one background loop that copies registered streams to the disk cache ahead of the
// tablet, a chunk at a time and in turns, paced to a byte rate, and always stepping aside for
// foreground reads and any other upstream traffic.
//
// It lives on the relay's executor and works on state the relay owns, reached through
// RelayPrefetchHost; every call below must be made there.

#include "relay/RelayDiskCacheInterface.hpp"
#include "relay/RelayPrefetchInterface.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Task.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pd::relay {

// What the loop needs of the relay. Called on the relay's executor only.
class RelayPrefetchHost {
public:
  virtual ~RelayPrefetchHost() = default;

  // The tokens of the entries whose cache descriptor equals the one given, in any order.
  virtual std::vector<std::string> tokensFor(const RelayDiskCacheInterface::Descriptor& descriptor) const = 0;
  virtual bool hasToken(const std::string& token) const = 0;
  // An upstream slot in use, a caller waiting for one, or a foreground read under way.
  virtual bool upstreamBusy() const = 0;
  // The relay's chunk operation for a prefetch caller; never null.
  virtual runtime::Awaitable<RelayDiskCacheInterface::SharedBytes> prefetchChunk(std::string token,
                                                                                 std::int64_t index) = 0;
  // None: the relay runs without a disk cache.
  virtual std::shared_ptr<RelayDiskCacheInterface> cache() const = 0;
  // The descriptor's prefetch finished as "complete" (true), or no longer stands so (false). Until
  // it is told false, a reader's position changes nothing the prefetch will do.
  virtual void prefetchCompleteChanged(const RelayDiskCacheInterface::Descriptor& descriptor, bool complete) {
    (void)descriptor;
    (void)complete;
  }
};

class RelayPrefetch final : public RelayPrefetchInterface, public std::enable_shared_from_this<RelayPrefetch> {
public:
  struct Timing {
    double bytesPerSecond = 1'048'576.0;
    std::chrono::nanoseconds busyPoll = std::chrono::milliseconds(500);
    std::int64_t chunkSize = 2'097'152;
  };

  // host must be the relay whose executor is given; the loop holds it only while it works.
  static std::shared_ptr<RelayPrefetch> make(std::weak_ptr<RelayPrefetchHost> host,
                                             boost::asio::any_io_executor relayExecutor, Timing timing);
  ~RelayPrefetch() override;

  void schedulePrefetch(const Descriptor& descriptor, std::int64_t from) override;
  void stopPrefetch(const Descriptor& descriptor, std::string_view reason) override;
  runtime::Awaitable<void> resumePrefetch(Key key) override;
  void restartIfComplete(const Descriptor& descriptor, std::int64_t index) override;
  void pausePrefetch(const Descriptor& descriptor, std::string_view reason);
  void finishPrefetch(const Descriptor& descriptor, std::string_view reason);

  // Ends the loop; the relay calls it when it goes.
  void cancel();
  bool isRunning() const { return task_.has_value(); }
  // The finished reason of the descriptor, if any.
  std::optional<std::string> finishedReason(const Descriptor& descriptor) const;

private:
  RelayPrefetch(std::weak_ptr<RelayPrefetchHost> host, boost::asio::any_io_executor relayExecutor, Timing timing);
  // The task's body: the loop, then the handle cleared however the loop ended.
  runtime::Awaitable<void> runPrefetch();
  runtime::Awaitable<void> prefetchLoop();
  std::uint64_t epochOf(const Descriptor& descriptor) const;
  bool isQueued(const Descriptor& descriptor) const;
  // Sets the finished reason, or drops it with none; the host is told when the stream starts or
  // stops standing "complete".
  void setFinished(const Descriptor& descriptor, std::optional<std::string_view> reason);
  void takeTurns(const Descriptor& descriptor);
  runtime::Awaitable<void> pace(std::int64_t bytes, runtime::Clock::MonotonicTime started) const;

  using DescriptorHash = RelayDiskCacheDescriptorHash;

  std::weak_ptr<RelayPrefetchHost> host_;
  boost::asio::any_io_executor executor_;
  Timing timing_;
  std::optional<runtime::Task<void>> task_;
  std::vector<Descriptor> queue_;
  std::unordered_map<Descriptor, std::int64_t, DescriptorHash> cursor_;
  std::unordered_map<Descriptor, std::string, DescriptorHash> finished_;
  std::unordered_set<Descriptor, DescriptorHash> started_;
  std::unordered_map<Descriptor, std::uint64_t, DescriptorHash> epoch_;
  std::uint64_t epochCounter_ = 0;
};

} // namespace pd::relay
