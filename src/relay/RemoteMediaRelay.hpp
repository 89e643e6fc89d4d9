#pragma once

// The relay: serves remote media under local tokens in fixed chunks, from a memory cache, a fetch
// already under way, the disk cache, or a new ranged upstream fetch. An actor: its state is
// touched only on its strand, and every operation may suspend where noted and let others run, so
// entries are looked up again by token after each suspension and a work is cleared only when the
// entry still holds that very work. The one exception is what a memory or disk hit needs (the
// memory cache, the statistics and a copy of each entry's length, type and disk-cache version): it
// sits under a short lock, so that a reader on another thread is answered without a turn on the
// strand.

#include "relay/ChunkBuffers.hpp"
#include "relay/DestinationRules.hpp"
#include "relay/RelayDiskCacheInterface.hpp"
#include "relay/RelayPrefetch.hpp"
#include "relay/RelayPrefetchInterface.hpp"
#include "relay/RemoteMedia.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "relay/SharedWork.hpp"
#include "runtime/Actor.hpp"
#include "runtime/Clock.hpp"
#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace pd::platform::http {
class Client;
}

namespace pd::relay {

class RemoteMediaRelay final : public runtime::Actor,
                               public RemoteMediaRelayInterface,
                               public RelayPrefetchHost,
                               public std::enable_shared_from_this<RemoteMediaRelay> {
public:
  using Descriptor = RelayDiskCacheInterface::Descriptor;
  using Registration = RelayDiskCacheInterface::Registration;
  using CacheKey = RelayDiskCacheInterface::Key;
  using SharedBytes = Chunk;

  static constexpr std::int64_t kMemoryCacheBytes = 33'554'432;
  static constexpr std::int64_t kUpstreamSlots = 6;
  static constexpr std::size_t kMaxInflight = 24;
  static constexpr std::int64_t kMaxPendingCacheWrites = 8;

  struct Configuration {
    // Carries every upstream request; null: a client of the relay's own.
    std::shared_ptr<platform::http::Client> client;
    // No byte for this long fails a request; no request lasts longer than the total.
    std::chrono::milliseconds requestTimeout{15'000};
    std::chrono::milliseconds resourceTimeout{30'000};
    // Null: no disk caching at all.
    std::shared_ptr<RelayDiskCacheInterface> cache;
    // Asked at every registration whether disk caching is switched on.
    std::function<bool()> cacheEnabled = [] { return true; };
    // Null: nothing is fetched ahead.
    std::shared_ptr<RelayPrefetchInterface> prefetch;
    double prefetchBytesPerSecond = 1'048'576.0;
    std::int64_t chunkSize = 2'097'152;
    // Judges every resolved upstream address; empty: the public-address policy.
    AddressClassifier classify;
    std::chrono::seconds statsInterval{10};
  };

  // Names one chunk of one token.
  struct ChunkKey {
    std::string token;
    std::int64_t index = 0;
    friend bool operator==(const ChunkKey&, const ChunkKey&) = default;
  };
  struct ChunkKeyHash {
    std::size_t operator()(const ChunkKey& key) const noexcept {
      return std::hash<std::string>{}(key.token) * 31u + std::hash<std::int64_t>{}(key.index);
    }
  };

  static std::shared_ptr<RemoteMediaRelay> create(Configuration configuration);
  ~RemoteMediaRelay();

  // RemoteMediaRelayInterface
  runtime::Awaitable<void> registerMedia(std::string token, std::shared_ptr<const RemoteMedia> media) override;
  runtime::Awaitable<void> unregister(std::string token) override;
  runtime::Awaitable<bool> hasEntry(std::string token) override;
  runtime::Awaitable<std::int64_t> totalLength(std::string token) override;
  runtime::Awaitable<std::optional<std::string>> contentType(std::string token) override;
  runtime::Awaitable<Chunk> chunk(std::string token, std::int64_t index, bool prefetch) override;
  std::int64_t chunkSize() const noexcept override { return configuration_.chunkSize; }
  runtime::Awaitable<Opening> open(std::string token, FirstChunkIndex firstChunkOf) override;
  std::optional<Opening> openFromMemory(const std::string& token, const FirstChunkIndex& firstChunkOf) override;
  std::optional<Opening> openAtHand(const std::string& token, const FirstChunkIndex& firstChunkOf) override;
  Chunk chunkFromMemory(const std::string& token, std::int64_t index) override;
  Chunk chunkFromDisk(const std::string& token, std::int64_t index, ChunkPart needed = {},
                      PartReadOn* later = nullptr) override;

  // The body of a ranged fetch and the total its Content-Range announced.
  struct Fetched {
    SharedBytes body;
    std::int64_t total = 0;
  };
  runtime::Awaitable<Fetched> fetchUpstream(std::string token, std::int64_t start, std::int64_t end, bool retried,
                                            bool prefetch);
  runtime::Awaitable<void> acquireUpstreamSlot(std::optional<ChunkKey> yieldingFor);
  runtime::Awaitable<void> releaseUpstreamSlot();

  // RelayPrefetchHost: what the background prefetch reads and calls, on the relay's strand.
  std::vector<std::string> tokensFor(const Descriptor& descriptor) const override;
  bool hasToken(const std::string& token) const override;
  bool upstreamBusy() const override;
  runtime::Awaitable<SharedBytes> prefetchChunk(std::string token, std::int64_t index) override;
  std::shared_ptr<RelayDiskCacheInterface> cache() const override { return configuration_.cache; }
  void prefetchCompleteChanged(const Descriptor& descriptor, bool complete) override;

  // What tests and the statistics read.
  struct Snapshot {
    std::size_t entries = 0;
    std::size_t inflight = 0;
    std::int64_t activeUpstream = 0;
    std::size_t upstreamWaiters = 0;
    std::int64_t memoryBytes = 0;
    std::vector<ChunkKey> memoryOrder;
    std::int64_t foregroundDemand = 0;
    std::int64_t pendingCacheWrites = 0;
    std::size_t prefetchOwnedChunks = 0;
    std::int64_t upstreamBytes = 0;
    bool hasRefreshWork = false;
    std::int64_t refreshWaiters = 0;
    bool hasLengthWork = false;
    std::optional<std::int64_t> totalLength;
    std::int64_t urlGeneration = 0;
    std::optional<std::string> url;
    std::optional<Descriptor> cache;
    bool hasCacheRegistration = false;
  };
  runtime::Awaitable<Snapshot> snapshot(std::string token);

private:
  struct Entry {
    RemoteMedia media;
    std::optional<std::int64_t> totalLength;
    std::shared_ptr<SharedWork<void>> refreshWork;
    std::shared_ptr<SharedWork<std::int64_t>> lengthWork;
    std::int64_t urlGeneration = 0;
    std::optional<Descriptor> cache;
    std::optional<Registration> cacheRegistration;
    bool cacheEligible = false;
    runtime::Task<void> cacheInstall;
  };

  // What a reply's header needs of an entry, kept beside the memory cache so that a memory or disk
  // hit is answered without crossing to the relay: the length once known and any disk-cache install it
  // started is over (until then a reader must wait on the relay), the content type, and the
  // disk-cache version its chunks are read from (none: a read moves no prefetch cursor either).
  struct Servable {
    std::optional<std::int64_t> totalLength;
    std::string contentType;
    std::optional<Descriptor> cache;
  };
  struct Stats {
    std::int64_t upstreamBytes = 0;
    std::int64_t servedBytes = 0;
    std::int64_t hits = 0;
    std::int64_t misses = 0;
    std::int64_t diskHits = 0;
    std::int64_t prefetchBytes = 0;
    std::optional<runtime::Clock::MonotonicTime> lastAt;
  };

  struct Waiter {
    std::uint64_t id = 0;
    runtime::UniqueFunction<void(std::exception_ptr)> resume;
  };

  explicit RemoteMediaRelay(Configuration configuration);

  // All of these run on the relay.
  [[noreturn]] void rethrowForReader(const std::exception_ptr& error, const std::string& token);
  Entry* find(const std::string& token);
  runtime::Awaitable<void> registerOnActor(std::string token, RemoteMedia media);
  runtime::Awaitable<void> installCache(std::string token, std::int64_t length);
  void unregisterOnActor(const std::string& token);
  runtime::Awaitable<std::int64_t> totalLengthOnActor(std::string token);
  runtime::Awaitable<SharedBytes> chunkOnActor(std::string token, std::int64_t index, bool prefetch);
  // The first step of a foreground read: the prefetch cursor follows the reader, and a chunk in
  // memory is the answer (null when it is not there).
  SharedBytes foregroundMemoryStep(const ChunkKey& key);
  // Any thread: a foreground memory hit with its bookkeeping (null on a miss). Off the relay, the
  // prefetch cursor's move is left to the relay, which makes the moves in the order of the hits
  // before any read of its own moves it.
  SharedBytes memoryHit(const ChunkKey& key, bool onRelay);
  // Under the lock, off the relay: queues the prefetch cursor's move for a foreground read of a
  // cached token; true when the relay must be woken for the queued moves.
  bool queueFollowLocked(const ChunkKey& key);
  // Wakes the relay for the queued moves.
  void postFollows();
  void followReaders();
  // Copies what a memory hit needs of the token's entry (or its absence) next to the memory cache.
  void publish(const std::string& token);
  // Any thread: adds to the counters under the lock.
  template <typename F>
  void count(F change) {
    std::scoped_lock lock(memoryLock_);
    change(stats_);
  }
  // The chunk from the disk cache, read once for every reader that comes while it is read.
  runtime::Awaitable<SharedBytes> readFromDisk(ChunkKey key, Descriptor descriptor,
                                               std::shared_ptr<RelayDiskCacheInterface> cache);
  runtime::Awaitable<SharedBytes> joinChunk(ChunkKey key, std::shared_ptr<SharedWork<SharedBytes>> work, bool prefetch);
  void scheduleCacheWrite(Descriptor descriptor, std::int64_t index, SharedBytes data);
  runtime::Awaitable<void> acquireSlotOnActor(std::optional<ChunkKey> yieldingFor);
  void releaseSlotOnActor();
  void cancelUpstreamWaiter(std::uint64_t id);
  runtime::Awaitable<Fetched> fetchOnActor(std::string token, std::int64_t start, std::int64_t end, bool retried,
                                           bool prefetch);
  runtime::Awaitable<void> refresh(std::string token, long status, std::int64_t generation);
  runtime::Awaitable<void> awaitRefresh(std::string token, std::shared_ptr<SharedWork<void>> work);
  void applyRefresh(const std::string& token, const RemoteMediaRefresh& refreshed,
                    const remotesource::MediaIdentity& identity, std::int64_t generation);
  void applyRefreshedURL(const std::string& token, std::string url, std::vector<std::string> allowedHosts);
  void remember(const ChunkKey& key, SharedBytes data);
  // Under the lock; the chunks pushed out go to `evicted`, to be let go of outside it.
  void rememberLocked(const ChunkKey& key, SharedBytes data, std::vector<SharedBytes>& evicted);
  // A chunk read at hand from disk, once whole: kept unless its token was withdrawn or given another
  // version meanwhile.
  void rememberFromDisk(const ChunkKey& key, const Descriptor& descriptor, SharedBytes bytes);
  void touchLocked(const ChunkKey& key);
  // Any thread; logs outside the lock.
  void statsTick();

  Configuration configuration_;
  std::shared_ptr<platform::http::Client> client_;
  std::shared_ptr<RelayPrefetchInterface> prefetch_;
  // Every fetched body, held until the last holder of its chunk lets go.
  std::shared_ptr<ChunkBuffers> bodies_;

  std::unordered_map<std::string, Entry> entries_;
  std::unordered_map<ChunkKey, std::shared_ptr<SharedWork<SharedBytes>>, ChunkKeyHash> inflight_;
  std::int64_t activeUpstream_ = 0;
  std::deque<Waiter> upstreamWaiters_;
  std::uint64_t nextWaiterID_ = 0;
  std::int64_t foregroundDemand_ = 0;
  std::int64_t pendingCacheWrites_ = 0;
  std::unordered_set<ChunkKey, ChunkKeyHash> prefetchOwnedChunks_;
  // Disk reads under way, one per chunk, joined by every reader of that chunk meanwhile.
  // The readers that wait for the disk read of a chunk another reader started.
  using DiskReadJoiners = std::vector<std::shared_ptr<ResultGate<SharedBytes>>>;
  std::unordered_map<ChunkKey, std::shared_ptr<DiskReadJoiners>, ChunkKeyHash> diskReads_;

  // Guards what a memory hit touches from the caller's thread: the memory cache, the statistics,
  // the servable facts and the cursor moves still to be made. Held for a few lookups only, never
  // while calling out, logging or awaiting. Written on the relay, but for a hit's bookkeeping.
  mutable std::mutex memoryLock_;
  std::unordered_map<ChunkKey, SharedBytes, ChunkKeyHash> memory_;
  std::vector<ChunkKey> memoryOrder_;
  std::int64_t memoryBytes_ = 0;
  Stats stats_;
  std::unordered_map<std::string, Servable> servable_;
  std::vector<ChunkKey> pendingFollows_;
  bool followsPosted_ = false;
  // The versions whose prefetch finished as complete: a hit on them queues no cursor move, which
  // would only wake the relay to make a move that changes nothing.
  std::unordered_set<Descriptor, RelayDiskCacheDescriptorHash> prefetchComplete_;
};

// The throttled line of every failed upstream fetch; all reasons share one throttle key.
void logUpstreamFailure(std::string_view reason, long status, const std::string& token);
// Nothing for a cancelled transfer or a cancelled caller.
void logUpstreamNetworkFailure(const std::string& token, const std::exception_ptr& error);

} // namespace pd::relay
