#pragma once

// The relay's per-launch disk cache: one sparse file per stream version, chunk i at offset
// i x 2 MiB, charged against a byte limit and a free-space floor. Nothing survives a restart:
// the launch purge empties the folder, the exit purge removes it. The cache never throws to the
// relay; a read gives nothing and a write answers false, and the relay carries on without it.
//
// Every instance operation but the read at hand runs on the cache's actor, whose strand lives on a serial queue of its
// own thread because every call blocks in the file system. None suspends inside, so each runs to
// its end before the next begins, with one exception: a chunk read makes its checks and opens the
// file on the actor and, when other reads are underway, copies the bytes on one of a few reader
// threads while the actor serves other calls, then ends on the actor, where the chunk is served
// only if the item that held it is still there. Readers of different chunks thus no longer queue
// behind each other's copies. The read at hand needs no turn on the actor: it claims the chunk
// from a copy of the items that the actor keeps under a lock of its own, reads on the caller's
// thread, and serves the bytes only if the claimed item is still there afterwards; anything amiss
// leaves the chunk to readChunk(), which logs and invalidates.
// purgeAtExit() runs on the terminating thread and meets chunk writes only through one
// process-wide lock.

#include "relay/RelayDiskCacheInterface.hpp"
#include "runtime/Actor.hpp"
#include "runtime/SerialQueue.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::runtime {
class ThreadPool;
} // namespace pd::runtime

namespace pd::relay {

class ChunkBuffers;

namespace detail {
// Holds the cache's serial queue so that it exists before the actor's strand is made on it and
// is joined only after the actor has gone.
struct RelayDiskCacheQueue {
  runtime::SerialQueue queue{"tech.quelbo.PalendrixDisplay.relaycache", runtime::SerialQueue::Kind::ownThread};
};
} // namespace detail

class RelayDiskCache final : private detail::RelayDiskCacheQueue,
                             public runtime::Actor,
                             public RelayDiskCacheInterface,
                             public std::enable_shared_from_this<RelayDiskCache> {
public:
  static constexpr std::int64_t kChunkSize = 2'097'152;
  static constexpr std::int64_t kMinFreeBytes = 10'000'000'000;
  // The folder named after the bundle identifier when there is none; the application id always
  // exists here, so only the name survives.
  static constexpr std::string_view kFallbackIdentifier = "tech.quelbo.PalendrixDidazud";
  static constexpr std::string_view kFolderName = "RelayCache";

  using Key = RelayDiskCacheInterface::Key;
  using Descriptor = RelayDiskCacheInterface::Descriptor;
  using Registration = RelayDiskCacheInterface::Registration;
  using PrefetchStep = RelayDiskCacheInterface::PrefetchStep;

  struct Configuration {
    // None: every read, write and plan fails quietly.
    std::optional<std::filesystem::path> directory;
    // The byte limit, asked anew at every check.
    std::function<std::int64_t()> limitProvider;
    // Free bytes on the volume holding the path; none when unknown.
    std::function<std::optional<std::int64_t>(const std::filesystem::path&)> freeSpaceProvider;
    std::int64_t minFreeBytes = kMinFreeBytes;
  };

  // What the cache holds right now, for the shell's diagnostics and for tests.
  struct Usage {
    std::int64_t totalBytes = 0;
    std::size_t items = 0;
    std::size_t pendingDeletions = 0;
    bool prepared = false;
  };

  // beforeRead runs before each chunk's bytes are read, on a reader thread, to which every read on
  // the actor then goes, or on the caller of the read at hand: tests hold a read in flight there.
  static std::shared_ptr<RelayDiskCache> make(Configuration configuration, std::function<void()> beforeRead = {});
  // The process's one cache: the default directory, the free-space provider of the volume and
  // the floor, with the limit read through `limitProvider` each time it is needed. The
  // composition root makes it once and owns it.
  static std::shared_ptr<RelayDiskCache> makeDefault(std::function<std::int64_t()> limitProvider);
  ~RelayDiskCache();

  // --- without the actor ---
  static std::optional<std::filesystem::path> defaultDirectory();
  // The limit for a stored "relayCacheLimitGB" value: 0 gives 20 GB, 5 or less 5 GB, else the
  // value capped at 100, in decimal gigabytes.
  static std::int64_t limitForSetting(std::int64_t storedGigabytes) noexcept;
  static std::optional<std::int64_t> availableCapacity(const std::filesystem::path& location);
  static std::string hexString(std::string_view bytes);
  // The file's name without ".data": hex of the id's bytes, "_", itag.
  static std::string fileName(const Key& key);
  // Empties and removes the folder for good; synchronous, for the termination path. Never throws.
  static void purgeAtExit(const std::optional<std::filesystem::path>& directory);
  // The throttled "relay_cache_fail" line of one stage.
  static void logFailure(std::string_view stage, const std::exception& error);

  // --- on the actor ---
  runtime::Awaitable<Registration> registerDescriptor(Descriptor descriptor) override;
  runtime::Awaitable<void> release(Registration registration) override;
  runtime::Awaitable<std::optional<Descriptor>> descriptor(Key key) override;
  runtime::Awaitable<SharedBytes> readChunk(Descriptor descriptor, std::int64_t index) override;
  // Any thread: checks under the readable chunks' lock, opens and reads on the caller's thread.
  SharedBytes readChunkAtHand(const Descriptor& descriptor, std::int64_t index, ChunkPart needed = {},
                              WholeChunk whole = {}, PartReadOn* later = nullptr) override;
  runtime::Awaitable<bool> writeChunk(Descriptor descriptor, std::int64_t index, SharedBytes data) override;
  runtime::Awaitable<PrefetchStep> nextPrefetchChunk(Descriptor descriptor, std::int64_t from) override;
  runtime::Awaitable<void> evict(std::int64_t toFit);
  runtime::Awaitable<void> invalidate(Key key, std::string reason);
  runtime::Awaitable<void> recoverIfDirectoryMissing();
  runtime::Awaitable<void> retryPendingDeletions();
  runtime::Awaitable<bool> prepareIfNeeded();
  runtime::Awaitable<Usage> usage() const;

  struct State; // RelayDiskCacheState.hpp

private:
  RelayDiskCache(Configuration configuration, std::function<void()> beforeRead);
  std::unique_ptr<State> state_;
  std::shared_ptr<ChunkBuffers> buffers_;
  std::unique_ptr<runtime::ThreadPool> readers_;
  std::function<void()> beforeRead_;
  // Chunk reads called and not yet ended.
  std::atomic<int> readsUnderway_{0};
  // Rests of chunks read at hand still being read by the readers.
  std::shared_ptr<std::atomic<int>> restsUnderway_ = std::make_shared<std::atomic<int>>(0);
};

} // namespace pd::relay
