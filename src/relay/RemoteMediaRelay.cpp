#include "relay/RemoteMediaRelay.hpp"

#include "diagnostics/Log.hpp"
#include "platform/http/HttpClient.hpp"
#include "runtime/ThreadPools.hpp"

#include <algorithm>

namespace pd::relay {

using diagnostics::Log;

std::shared_ptr<RemoteMediaRelay> RemoteMediaRelay::create(Configuration configuration) {
  auto relay = std::shared_ptr<RemoteMediaRelay>(new RemoteMediaRelay(std::move(configuration)));
  // The background prefetch works on the relay's own state, so it can only be made beside it.
  if (!relay->configuration_.prefetch && relay->configuration_.cache) {
    relay->prefetch_ = RelayPrefetch::make(relay, relay->executor(),
                                           {relay->configuration_.prefetchBytesPerSecond,
                                            std::chrono::milliseconds(500), relay->configuration_.chunkSize});
  }
  return relay;
}

RemoteMediaRelay::RemoteMediaRelay(Configuration configuration)
    : configuration_(std::move(configuration)),
      client_(configuration_.client ? configuration_.client : std::make_shared<platform::http::Client>()),
      prefetch_(configuration_.prefetch ? configuration_.prefetch : std::make_shared<NoPrefetch>()),
      // One idle body for each upstream slot; a body is one byte longer than its chunk (see the fetch).
      bodies_(ChunkBuffers::make(static_cast<std::size_t>(kUpstreamSlots),
                                 static_cast<std::size_t>(std::max<std::int64_t>(configuration_.chunkSize, 0)) + 1)) {
  if (!configuration_.cacheEnabled) configuration_.cacheEnabled = [] { return true; };
}

RemoteMediaRelay::~RemoteMediaRelay() = default;

RemoteMediaRelay::Entry* RemoteMediaRelay::find(const std::string& token) {
  const auto found = entries_.find(token);
  return found == entries_.end() ? nullptr : &found->second;
}

void RemoteMediaRelay::rethrowForReader(const std::exception_ptr& error, const std::string& token) {
  // A work cancelled because its token was withdrawn is not the reader's own cancellation: the
  // reader learns that the token is gone rather than seeming to have gone away itself.
  if (!runtime::isCancelled() && !entries_.contains(token) && isCancellation(error)) {
    throw RelayError::unknownToken();
  }
  std::rethrow_exception(error);
}

// --- registry ---

runtime::Awaitable<void> RemoteMediaRelay::registerMedia(std::string token, std::shared_ptr<const RemoteMedia> media) {
  auto self = shared_from_this();
  RemoteMedia copy = media ? *media : RemoteMedia{};
  // What a registration leaves (the entry, the disk cache's hold on the stream) only the token's
  // holder can withdraw: cut short by its caller's cancellation, it would be left to no one. It is
  // short, so it runs to its end in a task of its own and the caller gets the token.
  auto registering = runtime::spawn(executor(), [self, token = std::move(token), copy = std::move(copy)]() mutable {
    return self->registerOnActor(std::move(token), std::move(copy));
  });
  co_await registering.value();
}

runtime::Awaitable<void> RemoteMediaRelay::registerOnActor(std::string token, RemoteMedia media) {
  std::optional<std::int64_t> total;
  if (media.contentLength && isAcceptableTotal(*media.contentLength)) total = media.contentLength;
  const bool eligible = configuration_.cache != nullptr && configuration_.cacheEnabled();
  std::optional<Descriptor> descriptor;
  if (eligible && media.cacheVideoID && media.identity && total && media.identity->contentLength == total) {
    if (auto key = CacheKey::make(*media.cacheVideoID, media.identity->itag)) {
      descriptor = Descriptor{std::move(*key), *total, media.identity->lastModified};
    }
  }
  // A token registered again must not leave its old works running or its old disk-cache
  // registration held for good.
  if (entries_.contains(token)) unregisterOnActor(token);

  const std::int64_t itag = media.identity ? media.identity->itag : -1;
  const std::int64_t sizeForLog = media.contentLength.value_or(-1);
  Entry entry;
  entry.media = std::move(media);
  entry.totalLength = total;
  entry.cache = descriptor;
  entry.cacheEligible = eligible;
  entries_.insert_or_assign(token, std::move(entry));
  publish(token);

  if (descriptor) {
    auto cache = configuration_.cache;
    const auto registration = co_await cache->registerDescriptor(*descriptor);
    Entry* current = find(token);
    // Only a registration made for this very entry belongs to it.
    if (current == nullptr || current->cache != descriptor || current->cacheRegistration) {
      co_await cache->release(registration);
      co_return;
    }
    current->cacheRegistration = registration;
    co_await prefetch_->resumePrefetch(descriptor->key);
  }
  Log::localvideo().debug("relay_register token=%{private,mask.hash}s itag=%ld size_b=%lld cached=%{bool}d count=%ld",
                          token, itag, sizeForLog, descriptor.has_value(), static_cast<std::int64_t>(entries_.size()));
}

runtime::Awaitable<void> RemoteMediaRelay::installCache(std::string token, std::int64_t length) {
  auto cache = configuration_.cache;
  if (!cache) co_return;
  Entry* entry = find(token);
  if (entry == nullptr || !entry->cacheEligible || entry->cache) co_return;
  const auto& media = entry->media;
  if (!media.cacheVideoID || !media.identity) co_return;
  if (media.identity->contentLength && *media.identity->contentLength != length) co_return;
  auto key = CacheKey::make(*media.cacheVideoID, media.identity->itag);
  if (!key) co_return;
  const Descriptor descriptor{std::move(*key), length, media.identity->lastModified};
  const auto registration = co_await cache->registerDescriptor(descriptor);
  entry = find(token);
  if (entry == nullptr || entry->cache) {
    co_await cache->release(registration);
    co_return;
  }
  entry->cache = descriptor;
  entry->cacheRegistration = registration;
  publish(token);
  co_await prefetch_->resumePrefetch(descriptor.key);
}

runtime::Awaitable<void> RemoteMediaRelay::unregister(std::string token) {
  auto self = shared_from_this();
  return onActor([self, token = std::move(token)] { self->unregisterOnActor(token); });
}

void RemoteMediaRelay::unregisterOnActor(const std::string& token) {
  if (Entry* entry = find(token); entry != nullptr) {
    if (entry->cache) {
      const Descriptor descriptor = *entry->cache;
      if (entry->cacheRegistration) {
        auto self = shared_from_this();
        runtime::spawnDetached(executor(),
                               [self, registration = *entry->cacheRegistration]() -> runtime::Awaitable<void> {
                                 if (self->configuration_.cache)
                                   co_await self->configuration_.cache->release(registration);
                                 co_await self->prefetch_->resumePrefetch(registration.descriptor.key);
                               });
      }
      const bool shared = std::any_of(entries_.begin(), entries_.end(), [&](const auto& other) {
        return other.first != token && other.second.cache == descriptor;
      });
      if (!shared) prefetch_->stopPrefetch(descriptor, "unregistered");
    }
    if (entry->refreshWork) entry->refreshWork->task().cancel();
    if (entry->lengthWork) entry->lengthWork->task().cancel();
  }
  for (auto it = inflight_.begin(); it != inflight_.end();) {
    if (it->first.token == token) {
      it->second->task().cancel();
      it = inflight_.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(prefetchOwnedChunks_, [&](const ChunkKey& key) { return key.token == token; });
  std::erase_if(diskReads_, [&](const auto& read) { return read.first.token == token; });
  entries_.erase(token);
  // The chunks leave together with the facts, so that no hit finds the one without the other.
  std::vector<SharedBytes> dropped;
  {
    std::scoped_lock lock(memoryLock_);
    servable_.erase(token);
    for (const auto& key : memoryOrder_) {
      if (key.token != token) continue;
      if (const auto found = memory_.find(key); found != memory_.end()) {
        memoryBytes_ -= static_cast<std::int64_t>(found->second->size());
        dropped.push_back(std::move(found->second));
        memory_.erase(found);
      }
    }
    std::erase_if(memoryOrder_, [&](const ChunkKey& key) { return key.token == token; });
  }
}

runtime::Awaitable<bool> RemoteMediaRelay::hasEntry(std::string token) {
  auto self = shared_from_this();
  return onActor([self, token = std::move(token)] { return self->entries_.contains(token); });
}

runtime::Awaitable<std::optional<std::string>> RemoteMediaRelay::contentType(std::string token) {
  auto self = shared_from_this();
  return onActor([self, token = std::move(token)]() -> std::optional<std::string> {
    const Entry* entry = self->find(token);
    if (entry == nullptr) return std::nullopt;
    return entry->media.contentType;
  });
}

// --- length ---

runtime::Awaitable<std::int64_t> RemoteMediaRelay::totalLength(std::string token) {
  auto self = shared_from_this();
  return onActor([self, token = std::move(token)]() mutable -> runtime::Awaitable<std::int64_t> {
    co_return co_await self->totalLengthOnActor(std::move(token));
  });
}

runtime::Awaitable<std::int64_t> RemoteMediaRelay::totalLengthOnActor(std::string token) {
  Entry* entry = find(token);
  if (entry == nullptr) throw RelayError::unknownToken();
  if (entry->totalLength) {
    const std::int64_t known = *entry->totalLength;
    if (auto install = entry->cacheInstall) co_await install.value();
    co_return known;
  }
  auto work = entry->lengthWork;
  if (!work || work->isAbandoned()) {
    auto self = shared_from_this();
    work = SharedWork<std::int64_t>::make(
        runtime::spawn(runtime::sharedPool().executor(), [self, token]() -> runtime::Awaitable<std::int64_t> {
          // The probe asks for one byte and takes no upstream slot; only the total matters.
          const auto fetched = co_await self->fetchUpstream(token, 0, 0, false, false);
          if (!isAcceptableTotal(fetched.total)) throw RelayError::lengthUnknown();
          co_return fetched.total;
        }));
    entry->lengthWork = work;
  }
  std::int64_t length = 0;
  std::exception_ptr failure;
  try {
    length = co_await work->value();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    Entry* current = find(token);
    const bool keep = isCancellation(failure) && !work->isAbandoned();
    if (current != nullptr && current->lengthWork == work && !keep) current->lengthWork = nullptr;
    rethrowForReader(failure, token);
  }
  entry = find(token);
  if (entry == nullptr) co_return length;
  if (entry->lengthWork == work) entry->lengthWork = nullptr;
  if (entry->totalLength && *entry->totalLength != length) throw RelayError::rangeMismatch();
  entry->totalLength = length;
  if (entry->media.identity && !entry->media.identity->contentLength) entry->media.identity->contentLength = length;
  if (entry->cacheEligible && !entry->cache && !entry->cacheInstall) {
    auto self = shared_from_this();
    auto install = runtime::spawn(executor(), [self, token, length]() -> runtime::Awaitable<void> {
      co_await self->installCache(token, length);
    });
    entry->cacheInstall = install;
    try {
      co_await install.value();
    } catch (...) {
      // An install never fails; a dropped one only means no disk cache.
    }
    if (Entry* after = find(token); after != nullptr && after->cacheInstall.state() == install.state()) {
      after->cacheInstall = {};
    }
  } else if (auto pending = entry->cacheInstall) {
    try {
      co_await pending.value();
    } catch (...) {}
  }
  // Told to the memory hits only now that any disk-cache install is over, since until then a
  // reader must wait for it on the relay.
  publish(token);
  co_return length;
}

// --- memory cache and statistics ---

void RemoteMediaRelay::publish(const std::string& token) {
  std::optional<Servable> facts;
  if (const Entry* entry = find(token); entry != nullptr) {
    facts = Servable{entry->cacheInstall ? std::nullopt : entry->totalLength, entry->media.contentType, entry->cache};
  }
  std::scoped_lock lock(memoryLock_);
  if (facts) {
    servable_.insert_or_assign(token, std::move(*facts));
  } else {
    servable_.erase(token);
  }
}

void RemoteMediaRelay::remember(const ChunkKey& key, SharedBytes data) {
  // Chunks pushed out are let go of outside the lock: the last holder's release may be a buffer's
  // way back to the disk cache.
  std::vector<SharedBytes> evicted;
  std::scoped_lock lock(memoryLock_);
  rememberLocked(key, std::move(data), evicted);
}

void RemoteMediaRelay::rememberLocked(const ChunkKey& key, SharedBytes data, std::vector<SharedBytes>& evicted) {
  if (memory_.contains(key)) {
    touchLocked(key);
    return;
  }
  memoryBytes_ += static_cast<std::int64_t>(data->size());
  memory_.emplace(key, std::move(data));
  memoryOrder_.push_back(key);
  while (memoryBytes_ > kMemoryCacheBytes && !memoryOrder_.empty()) {
    const ChunkKey oldest = memoryOrder_.front();
    memoryOrder_.erase(memoryOrder_.begin());
    if (const auto found = memory_.find(oldest); found != memory_.end()) {
      memoryBytes_ -= static_cast<std::int64_t>(found->second->size());
      evicted.push_back(std::move(found->second));
      memory_.erase(found);
    }
  }
}

void RemoteMediaRelay::touchLocked(const ChunkKey& key) {
  const auto found = std::find(memoryOrder_.begin(), memoryOrder_.end(), key);
  if (found == memoryOrder_.end()) return;
  ChunkKey moved = std::move(*found);
  memoryOrder_.erase(found);
  memoryOrder_.push_back(std::move(moved));
}

void RemoteMediaRelay::statsTick() {
  const auto now = runtime::Clock::current().monotonic();
  Stats line;
  {
    std::scoped_lock lock(memoryLock_);
    if (!stats_.lastAt) {
      stats_.lastAt = now;
      return;
    }
    if (now - *stats_.lastAt < configuration_.statsInterval) return;
    stats_.lastAt = now;
    if (stats_.upstreamBytes <= 0 && stats_.servedBytes <= 0) return;
    line = stats_;
    stats_ = Stats{.lastAt = now};
  }
  Log::localvideo().notice(
      "relay_stats upstream_b=%lld served_b=%lld prefetch_b=%lld hits=%ld disk_hits=%ld misses=%ld", line.upstreamBytes,
      line.servedBytes, line.prefetchBytes, line.hits, line.diskHits, line.misses);
}

runtime::Awaitable<RemoteMediaRelay::Snapshot> RemoteMediaRelay::snapshot(std::string token) {
  auto self = shared_from_this();
  return onActor([self, token = std::move(token)] {
    Snapshot s;
    s.entries = self->entries_.size();
    s.inflight = self->inflight_.size();
    s.activeUpstream = self->activeUpstream_;
    s.upstreamWaiters = self->upstreamWaiters_.size();
    {
      std::scoped_lock lock(self->memoryLock_);
      s.memoryBytes = self->memoryBytes_;
      s.memoryOrder = self->memoryOrder_;
      s.upstreamBytes = self->stats_.upstreamBytes;
    }
    s.foregroundDemand = self->foregroundDemand_;
    s.pendingCacheWrites = self->pendingCacheWrites_;
    s.prefetchOwnedChunks = self->prefetchOwnedChunks_.size();
    if (const Entry* entry = self->find(token); entry != nullptr) {
      s.hasRefreshWork = entry->refreshWork != nullptr;
      s.refreshWaiters = entry->refreshWork ? entry->refreshWork->waiters() : 0;
      s.hasLengthWork = entry->lengthWork != nullptr;
      s.totalLength = entry->totalLength;
      s.urlGeneration = entry->urlGeneration;
      s.url = entry->media.url;
      s.cache = entry->cache;
      s.hasCacheRegistration = entry->cacheRegistration.has_value();
    }
    return s;
  });
}

} // namespace pd::relay
