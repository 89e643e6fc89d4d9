#include "relay/RemoteMediaRelay.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/asio/post.hpp>

namespace pd::relay {

using diagnostics::Log;

namespace {

// Foreground demand holds prefetch back; it must fall again on every way out of a read.
class DemandScope {
public:
  explicit DemandScope(std::int64_t* demand) : demand_(demand) {
    if (demand_ != nullptr) ++*demand_;
  }
  ~DemandScope() {
    if (demand_ != nullptr) --*demand_;
  }
  DemandScope(const DemandScope&) = delete;
  DemandScope& operator=(const DemandScope&) = delete;

private:
  std::int64_t* demand_;
};

} // namespace

runtime::Awaitable<RemoteMediaRelay::Chunk> RemoteMediaRelay::chunk(std::string token, std::int64_t index,
                                                                    bool prefetch) {
  auto self = shared_from_this();
  auto call = [self, token = std::move(token), index, prefetch]() -> runtime::Awaitable<SharedBytes> {
    co_return co_await self->chunkOnActor(token, index, prefetch);
  };
  auto shared = co_await onActor(std::move(call));
  co_return shared;
}

runtime::Awaitable<RemoteMediaRelay::SharedBytes> RemoteMediaRelay::chunkOnActor(std::string token, std::int64_t index,
                                                                                 bool prefetch) {
  const bool foreground = !prefetch;
  DemandScope demand(foreground ? &foregroundDemand_ : nullptr);
  const ChunkKey key{token, index};

  if (foreground) {
    if (auto bytes = foregroundMemoryStep(key)) co_return bytes;
  }

  auto liveWork = [this, &key]() -> std::shared_ptr<SharedWork<SharedBytes>> {
    const auto found = inflight_.find(key);
    if (found == inflight_.end() || found->second->isAbandoned()) return nullptr;
    return found->second;
  };
  auto join = [&](std::shared_ptr<SharedWork<SharedBytes>> work) {
    if (foreground) {
      count([](Stats& stats) { ++stats.hits; });
      // Joined by a reader: the work no longer gives way as prefetch.
      prefetchOwnedChunks_.erase(key);
    }
    return joinChunk(key, std::move(work), prefetch);
  };

  // A fetch under way is joined without reading the disk.
  if (!liveWork()) {
    const Entry* entry = find(token);
    if (auto cache = configuration_.cache; entry != nullptr && entry->cache && cache) {
      SharedBytes bytes = co_await readFromDisk(key, *entry->cache, std::move(cache));
      if (bytes) {
        if (foreground) {
          if (find(token) != nullptr) remember(key, bytes);
          count([&](Stats& stats) {
            ++stats.diskHits;
            stats.servedBytes += static_cast<std::int64_t>(bytes->size());
          });
          statsTick();
        }
        co_return bytes;
      }
    }
  }

  const Entry* entry = find(token);
  if (entry == nullptr) throw RelayError::unknownToken();
  if (foreground && entry->cache) prefetch_->restartIfComplete(*entry->cache, index);
  std::int64_t total = 0;
  while (true) {
    auto work = liveWork();
    if (!work) {
      total = co_await totalLengthOnActor(token);
      work = liveWork();
      if (!work) break;
    }
    std::exception_ptr error;
    try {
      co_return co_await join(std::move(work));
    } catch (...) {
      error = std::current_exception();
    }
    // A reader that joined a prefetch fetch just as it gave way asked as foreground demand: it
    // fetches the chunk itself. Its demand holds the prefetch loop back meanwhile, so no other
    // fetch of this chunk can give way under it again.
    if (!foreground || !RelayError::isPrefetchYield(error)) std::rethrow_exception(error);
  }

  if (inflight_.size() >= kMaxInflight) {
    logUpstreamFailure("busy", 0, token);
    throw RelayError::busy();
  }
  if (foreground) count([](Stats& stats) { ++stats.misses; });

  // Tested before any multiplication, so that no index can overflow the byte offset.
  const std::int64_t size = configuration_.chunkSize;
  if (index < 0 || index > (total - 1) / size) throw RelayError::shortRead();
  const std::int64_t start = index * size;
  const std::int64_t end = std::min(start + size, total);

  entry = find(token);
  std::optional<Descriptor> descriptor;
  if (entry != nullptr) descriptor = entry->cache;
  auto cache = configuration_.cache;
  std::optional<ChunkKey> owned;
  if (prefetch) {
    prefetchOwnedChunks_.insert(key);
    owned = key;
  }
  auto self = shared_from_this();
  auto task = runtime::spawn(runtime::sharedPool().executor(),
                             [self, owned, token, start, last = end - 1, prefetch, descriptor, cache,
                              index]() -> runtime::Awaitable<SharedBytes> {
                               co_await self->acquireUpstreamSlot(owned);
                               std::exception_ptr error;
                               SharedBytes bytes;
                               try {
                                 auto fetched = co_await self->fetchUpstream(token, start, last, false, prefetch);
                                 bytes = std::move(fetched.body);
                               } catch (...) {
                                 error = std::current_exception();
                               }
                               if (!error && !prefetch && descriptor && cache) {
                                 auto write = [self, descriptor, index, bytes] {
                                   self->scheduleCacheWrite(*descriptor, index, bytes);
                                 };
                                 co_await self->onActor(std::move(write));
                               }
                               runtime::spawnDetached(self->executor(), [self]() -> runtime::Awaitable<void> {
                                 self->releaseSlotOnActor();
                                 co_return;
                               });
                               if (error) std::rethrow_exception(error);
                               co_return bytes;
                             });
  auto work = SharedWork<SharedBytes>::make(std::move(task));
  inflight_.insert_or_assign(key, work);
  co_return co_await joinChunk(key, std::move(work), prefetch);
}

RemoteMediaRelay::SharedBytes RemoteMediaRelay::foregroundMemoryStep(const ChunkKey& key) {
  followReaders();
  if (const Entry* entry = find(key.token); entry != nullptr && entry->cache) {
    prefetch_->schedulePrefetch(*entry->cache, key.index);
  }
  return memoryHit(key, true);
}

RemoteMediaRelay::SharedBytes RemoteMediaRelay::memoryHit(const ChunkKey& key, bool onRelay) {
  SharedBytes bytes;
  bool post = false;
  {
    std::scoped_lock lock(memoryLock_);
    const auto hit = memory_.find(key);
    if (hit == memory_.end()) return nullptr;
    bytes = hit->second;
    touchLocked(key);
    ++stats_.hits;
    stats_.servedBytes += static_cast<std::int64_t>(bytes->size());
    if (!onRelay) post = queueFollowLocked(key);
  }
  statsTick();
  if (post) postFollows();
  return bytes;
}

bool RemoteMediaRelay::queueFollowLocked(const ChunkKey& key) {
  const auto facts = servable_.find(key.token);
  if (facts == servable_.end() || !facts->second.cache || prefetchComplete_.contains(*facts->second.cache))
    return false;
  pendingFollows_.push_back(key);
  return !std::exchange(followsPosted_, true);
}

void RemoteMediaRelay::postFollows() {
  // One visit makes every move queued by then: at a steady stream of hits the relay is woken once
  // for many of them rather than for each.
  boost::asio::post(executor(), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->followReaders();
  });
}

RemoteMediaRelay::Chunk RemoteMediaRelay::chunkFromDisk(const std::string& token, std::int64_t index, ChunkPart needed,
                                                        PartReadOn* later) {
  const auto& cache = configuration_.cache;
  if (!cache) return nullptr;
  std::optional<Descriptor> descriptor;
  {
    std::scoped_lock lock(memoryLock_);
    const auto facts = servable_.find(token);
    if (facts == servable_.end() || !facts->second.totalLength || !facts->second.cache) return nullptr;
    descriptor = facts->second.cache;
  }
  const ChunkKey key{token, index};
  // The reader waits for the part it sends; the memory keeps the chunk once the rest is in too.
  auto remember = [weak = weak_from_this(), key, descriptor = *descriptor](SharedBytes whole) {
    if (auto self = weak.lock()) self->rememberFromDisk(key, descriptor, std::move(whole));
  };
  SharedBytes bytes = cache->readChunkAtHand(*descriptor, index, needed, std::move(remember), later);
  if (!bytes) return nullptr;
  bool post = false;
  {
    std::scoped_lock lock(memoryLock_);
    // A token withdrawn or given another version while its bytes were read moves no cursor; the
    // reader still gets what it asked for when it asked.
    const auto facts = servable_.find(token);
    if (facts != servable_.end() && facts->second.cache == descriptor) post = queueFollowLocked(key);
    ++stats_.diskHits;
    stats_.servedBytes += static_cast<std::int64_t>(bytes->size());
  }
  statsTick();
  if (post) postFollows();
  return bytes;
}

void RemoteMediaRelay::rememberFromDisk(const ChunkKey& key, const Descriptor& descriptor, SharedBytes bytes) {
  std::vector<SharedBytes> evicted;
  std::scoped_lock lock(memoryLock_);
  const auto facts = servable_.find(key.token);
  if (facts != servable_.end() && facts->second.cache == descriptor) rememberLocked(key, std::move(bytes), evicted);
}

void RemoteMediaRelay::followReaders() {
  std::vector<ChunkKey> follows;
  {
    std::scoped_lock lock(memoryLock_);
    follows.swap(pendingFollows_);
    followsPosted_ = false;
  }
  for (const auto& key : follows) {
    // Looked up now: a token withdrawn since its hit moves nothing, as on the relay.
    if (const Entry* entry = find(key.token); entry != nullptr && entry->cache) {
      prefetch_->schedulePrefetch(*entry->cache, key.index);
    }
  }
}

std::optional<RemoteMediaRelay::Opening> RemoteMediaRelay::openFromMemory(const std::string& token,
                                                                          const FirstChunkIndex& firstChunkOf) {
  auto opening = openAtHand(token, firstChunkOf);
  // A token withdrawn since the facts were read has no chunk left in memory either.
  if (!opening || (!opening->firstChunk && firstChunkOf(opening->total))) return std::nullopt;
  return opening;
}

std::optional<RemoteMediaRelay::Opening> RemoteMediaRelay::openAtHand(const std::string& token,
                                                                      const FirstChunkIndex& firstChunkOf) {
  Opening opening;
  {
    std::scoped_lock lock(memoryLock_);
    const auto facts = servable_.find(token);
    if (facts == servable_.end() || !facts->second.totalLength) return std::nullopt;
    opening.held = true;
    opening.total = *facts->second.totalLength;
    opening.contentType = facts->second.contentType;
    opening.onDisk = facts->second.cache.has_value() && configuration_.cache != nullptr;
  }
  if (const auto index = firstChunkOf(opening.total)) opening.firstChunk = memoryHit(ChunkKey{token, *index}, false);
  return opening;
}

RemoteMediaRelay::Chunk RemoteMediaRelay::chunkFromMemory(const std::string& token, std::int64_t index) {
  return memoryHit(ChunkKey{token, index}, false);
}

runtime::Awaitable<RemoteMediaRelay::SharedBytes>
RemoteMediaRelay::readFromDisk(ChunkKey key, Descriptor descriptor, std::shared_ptr<RelayDiskCacheInterface> cache) {
  while (true) {
    const auto found = diskReads_.find(key);
    if (found == diskReads_.end()) break;
    // A read under way: wait for its bytes. The reader who started it reads on its own turn, without
    // a task of its own, so a lone reader pays no more hops than without the sharing.
    auto gate = std::make_shared<ResultGate<SharedBytes>>();
    found->second->push_back(gate);
    WorkOutcome<SharedBytes> outcome;
    {
      runtime::CancellationHandler onCancel([gate] {
        gate->resolve({std::nullopt, std::make_exception_ptr(runtime::CancellationError())});
      });
      auto start = [gate](runtime::UniqueFunction<void(WorkOutcome<SharedBytes>)> done) {
        gate->install(std::move(done));
      };
      outcome = co_await runtime::awaitCallback<WorkOutcome<SharedBytes>>(std::move(start));
    }
    // The reader who started it went away: read again, unless this reader went away as well.
    if (isCancellation(outcome.error) && !runtime::isCancelled()) continue;
    if (outcome.error) std::rethrow_exception(outcome.error);
    co_return std::move(*outcome.value);
  }
  auto joiners = std::make_shared<DiskReadJoiners>();
  diskReads_.insert_or_assign(key, joiners);
  WorkOutcome<SharedBytes> outcome;
  try {
    outcome.value = co_await cache->readChunk(std::move(descriptor), key.index);
  } catch (...) {
    outcome.error = std::current_exception();
  }
  if (const auto found = diskReads_.find(key); found != diskReads_.end() && found->second == joiners) {
    diskReads_.erase(found);
  }
  for (const auto& gate : *joiners) gate->resolve(outcome);
  if (outcome.error) std::rethrow_exception(outcome.error);
  co_return std::move(*outcome.value);
}

// One visit answers a reply's questions; a chunk in memory comes back with them, and any other
// read starts here on the relay instead of crossing over from the caller once more.
runtime::Awaitable<RemoteMediaRelay::Opening> RemoteMediaRelay::open(std::string token, FirstChunkIndex firstChunkOf) {
  auto self = shared_from_this();
  auto call = [self, token = std::move(token),
               firstChunkOf = std::move(firstChunkOf)]() mutable -> runtime::Awaitable<Opening> {
    Opening opening;
    opening.held = self->entries_.contains(token);
    if (!opening.held) co_return opening;
    opening.total = co_await self->totalLengthOnActor(token);
    if (const Entry* entry = self->find(token); entry != nullptr) opening.contentType = entry->media.contentType;
    const auto index = firstChunkOf(opening.total);
    if (!index) co_return opening;
    const ChunkKey key{token, *index};
    bool inMemory = false;
    {
      std::scoped_lock lock(self->memoryLock_);
      inMemory = self->memory_.contains(key);
    }
    if (inMemory) {
      DemandScope demand(&self->foregroundDemand_);
      opening.firstChunk = self->foregroundMemoryStep(key);
      co_return opening;
    }
    opening.firstRead =
        runtime::spawn(self->executor(), [self, token, at = *index]() -> runtime::Awaitable<SharedBytes> {
          co_return co_await self->chunkOnActor(token, at, false);
        });
    co_return opening;
  };
  auto opening = co_await onActor(std::move(call));
  co_return opening;
}

runtime::Awaitable<RemoteMediaRelay::SharedBytes>
RemoteMediaRelay::joinChunk(ChunkKey key, std::shared_ptr<SharedWork<SharedBytes>> work, bool prefetch) {
  SharedBytes bytes;
  std::exception_ptr error;
  try {
    bytes = co_await work->value();
  } catch (...) {
    error = std::current_exception();
  }
  if (const auto found = inflight_.find(key); found != inflight_.end() && found->second == work) {
    // A reader that was merely cancelled leaves the work to the others still waiting for it.
    const bool keep = error && isCancellation(error) && !work->isAbandoned();
    if (!keep) {
      inflight_.erase(found);
      prefetchOwnedChunks_.erase(key);
    }
  }
  if (error) rethrowForReader(error, key.token);
  if (!prefetch) {
    // A token unregistered while its bytes were on the way leaves nothing of them in memory.
    if (find(key.token) != nullptr) remember(key, bytes);
    count([&](Stats& stats) { stats.servedBytes += static_cast<std::int64_t>(bytes->size()); });
  }
  statsTick();
  co_return bytes;
}

void RemoteMediaRelay::scheduleCacheWrite(Descriptor descriptor, std::int64_t index, SharedBytes data) {
  auto cache = configuration_.cache;
  if (!cache) return;
  if (pendingCacheWrites_ < kMaxPendingCacheWrites) {
    ++pendingCacheWrites_;
    auto self = shared_from_this();
    runtime::spawnDetached(executor(),
                           [self, cache, descriptor = std::move(descriptor), index,
                            data = std::move(data)]() mutable -> runtime::Awaitable<void> {
                             try {
                               (void)co_await cache->writeChunk(std::move(descriptor), index, std::move(data));
                             } catch (...) {
                               // The disk cache answers failures with false; nothing of it may stop the count below.
                             }
                             --self->pendingCacheWrites_;
                           });
    return;
  }
  diagnostics::logThrottled<std::int64_t>(Log::localvideo(), platform::log::Level::notice,
                                          "relay_cache_skip_write_backlog", {50, std::chrono::milliseconds(500)},
                                          "relay_cache_skip reason=write_backlog pending=%ld occurrences=%ld",
                                          pendingCacheWrites_);
}

} // namespace pd::relay
