#pragma once

// The cache's tables and the work on them, shared by the files that implement the actor. Only
// ever touched on the actor's strand, but for the readable chunks, which carry a lock of their own;
// the exit-purge lock and its set are the process's.

#include "relay/ChunkBuffers.hpp"
#include "relay/RelayDiskCache.hpp"
#include "relay/RelayDiskCacheFiles.hpp"
#include "runtime/Clock.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace pd::relay {

// Guards the exit purge against chunk writes and the launch purge's membership test.
std::mutex& exitPurgeLock();
// Folders purged at exit; read or changed only under exitPurgeLock(). Only ever grows.
std::set<std::string>& exitPurgeDirectories();

// Chunk copies run side by side on this many threads; more would only share the memory bus.
inline constexpr std::size_t kReaderThreads = 4;

inline runtime::Clock::MonotonicTime now() { return runtime::Clock::current().monotonic(); }

// The size of a chunk starting at `start` within `length`.
inline std::int64_t chunkBytes(std::int64_t length, std::int64_t start) noexcept {
  return std::min(length - start, RelayDiskCache::kChunkSize);
}

// What a read on any thread shares with one item: whether the item is still there, and when such a
// read last used it. Atomics, so that the actor drops an item at once without a lock, also while it
// holds the exit-purge lock.
struct ItemLiveness {
  std::atomic<bool> alive{true};
  std::atomic<runtime::Clock::MonotonicTime::rep> lastRead{
      runtime::Clock::MonotonicTime::min().time_since_epoch().count()};
};

// What a read on any thread needs to know of the items: a copy the actor keeps up to date as it
// stores chunks and drops items, under a lock held for a lookup only and never taken under another.
class ReadableChunks {
public:
  using Key = RelayDiskCache::Key;
  using Descriptor = RelayDiskCache::Descriptor;

  // A chunk found on disk for the descriptor's version: where its bytes lie, and the item that held it.
  struct Claim {
    std::filesystem::path file;
    std::shared_ptr<ItemLiveness> item;
    std::int64_t offset = 0;
    std::size_t count = 0;
  };

  // On the actor, as the item of `generation` stores chunk `index` in `file`.
  void add(const Key& key, std::uint64_t generation, const std::shared_ptr<ItemLiveness>& item,
           const Descriptor& version, std::filesystem::path file, std::int64_t index);
  // On the actor, after the item of `generation` was dropped (and marked so).
  void forget(const Key& key, std::uint64_t generation);
  // Any thread: the chunk when a live item of the descriptor's version holds it.
  std::optional<Claim> claim(const Descriptor& descriptor, std::int64_t index) const;

private:
  struct Entry {
    std::uint64_t generation = 0;
    std::shared_ptr<ItemLiveness> item;
    std::int64_t length = 0;
    std::optional<std::string> lastModified;
    std::filesystem::path file;
    std::set<std::int64_t> present;
  };
  mutable std::mutex mutex_;
  std::unordered_map<Key, Entry, RelayDiskCacheKeyHash> entries_;
};

struct RelayDiskCache::State {
  using Key = RelayDiskCache::Key;
  using Descriptor = RelayDiskCache::Descriptor;
  using Registration = RelayDiskCache::Registration;
  using PrefetchStep = RelayDiskCache::PrefetchStep;
  using Line = std::function<void()>;

  struct Item {
    std::int64_t length = 0;
    std::optional<std::string> lastModified;
    std::set<std::int64_t> present;
    std::int64_t listed = 0; // sum of the written chunks' sizes
    std::int64_t bytes = 0; // charged: max(allocated size, listed)
    runtime::Clock::MonotonicTime lastAccess;
    // Tells this item from a later one of the same key: items never change version, they are
    // dropped and made anew.
    std::uint64_t generation = 0;
    // Shared with the reads at hand of its chunks.
    std::shared_ptr<ItemLiveness> liveness = std::make_shared<ItemLiveness>();
  };

  // A chunk read between its checks and its end: the file was opened on the actor while the
  // item of `generation` held the chunk, and its bytes are read off the actor.
  struct PendingRead {
    cachefiles::FileDescriptor file;
    std::uint64_t generation = 0;
    std::int64_t offset = 0;
    std::size_t count = 0;
  };
  struct ReadOutcome {
    std::unique_ptr<Bytes> buffer;
    std::size_t filled = 0;
    int error = 0; // of the seek or the read
  };

  enum class Budget { fits, diskLow, overLimit };
  struct BudgetVerdict {
    Budget budget = Budget::fits;
    std::int64_t freeBytes = 0;
  };

  explicit State(Configuration configuration) : config(std::move(configuration)) {}

  Configuration config;
  std::unordered_map<Key, Item, RelayDiskCacheKeyHash> items;
  std::unordered_map<Key, std::vector<Registration>, RelayDiskCacheKeyHash> opened;
  std::uint64_t nextRegistrationID = 0;
  std::uint64_t lastItemGeneration = 0;
  std::map<std::filesystem::path, std::int64_t> pendingDeletion;
  std::int64_t totalBytes = 0;
  bool prepared = false;
  std::optional<bool> holesKept;
  // Written on the actor with every change of `items` that a read depends on; read on any thread.
  ReadableChunks readable;
  // Set while the exit-purge lock is held: lines wait here and are written after its release.
  std::vector<Line>* deferredLines = nullptr;

  // Removes the item, and what any thread may read of it: at once for reads under way, and from the
  // readable chunks once no lock is held.
  void dropItem(std::unordered_map<Key, Item, RelayDiskCacheKeyHash>::iterator item);
  // Writes the line now, or after the lock when one is held.
  void emit(Line line);
  void failure(std::string_view stage, int errnum);
  std::filesystem::path fileOf(const Key& key) const;
  static bool sameVersion(const Item& item, const Descriptor& descriptor) {
    return item.length == descriptor.length && item.lastModified == descriptor.lastModified;
  }

  Registration registerDescriptor(const Descriptor& descriptor);
  void release(const Registration& registration);
  std::optional<Descriptor> descriptor(const Key& key) const;
  void checkIdentity(const Descriptor& descriptor);
  // Steps up to the open of the file; none when the read ends there.
  std::optional<PendingRead> beginRead(const Descriptor& descriptor, std::int64_t index);
  // Needs nothing of the state, so it may run on a reader thread; with a pool `alongside`, the back
  // half of a large read is read on one of its threads meanwhile.
  static ReadOutcome readBytes(const PendingRead& read, ChunkBuffers& buffers,
                               runtime::ThreadPool* alongside = nullptr);
  // The rest, back on the actor: served only while the item that held the chunk is still there.
  SharedBytes finishRead(const Descriptor& descriptor, PendingRead read, ReadOutcome outcome, ChunkBuffers& buffers);
  bool writeChunk(const Descriptor& descriptor, std::int64_t index, const Bytes& data);
  // limit: read before the lock, so that nothing is called out to while it is held.
  bool writeUnderExitPurgeLock(const Descriptor& descriptor, std::int64_t index, const Bytes& data, std::int64_t limit);
  void recordWriteFailure(const Descriptor& descriptor, const std::filesystem::path& file, bool invalidate, int errnum);
  PrefetchStep nextPrefetchChunk(const Descriptor& descriptor, std::int64_t from);
  std::int64_t growth(const Descriptor& descriptor, std::int64_t index, std::int64_t size);
  // Whether the folder's file system leaves the gap before a chunk past a file's end unallocated;
  // asked of the file system until it answers, and counted as no while it cannot.
  bool keepsHoles();
  BudgetVerdict budgetCheck(std::int64_t growth);

  // limit: the limit to use instead of asking limitProvider.
  void evict(std::int64_t incoming, std::optional<std::int64_t> limit = std::nullopt);
  void invalidate(const Key& key, std::string_view reason);
  bool deleteFile(const std::filesystem::path& file);
  void discardFile(const std::filesystem::path& file, std::int64_t bytes);
  void recoverIfDirectoryMissing();
  void verifyFile(const Key& key);
  void retryPendingDeletions();
  bool prepareIfNeeded();
};

// Collects the state's lines for the life of a locked section.
class DeferredLines {
public:
  DeferredLines(RelayDiskCache::State& state, std::vector<RelayDiskCache::State::Line>& lines) : state_(state) {
    state_.deferredLines = &lines;
  }
  ~DeferredLines() { state_.deferredLines = nullptr; }
  DeferredLines(const DeferredLines&) = delete;
  DeferredLines& operator=(const DeferredLines&) = delete;

private:
  RelayDiskCache::State& state_;
};

// Byte arithmetic that cannot overflow: the operands come from the file system and the relay.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept;

} // namespace pd::relay
