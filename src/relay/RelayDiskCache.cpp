#include "relay/RelayDiskCache.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/paths/Paths.hpp"
#include "relay/RelayDiskCacheFiles.hpp"
#include "relay/RelayDiskCacheState.hpp"
#include "runtime/Callback.hpp"
#include "runtime/ThreadPools.hpp"

#include <sys/statvfs.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>

namespace pd::relay {

namespace fs = std::filesystem;
using diagnostics::Log;
using platform::log::Level;
namespace files = cachefiles;

namespace {

constexpr std::int64_t kChunk = RelayDiskCache::kChunkSize;
constexpr diagnostics::ThrottleRule kSkipRule{50, std::chrono::duration<double>(0.5)};
constexpr diagnostics::ThrottleRule kFailRule{20, std::chrono::duration<double>(0.5)};
// Idle chunk buffers kept for the next reads: enough that the buffers of eight connections reading
// several chunks each come back here rather than to the allocator, whose per-thread heaps keep a
// freed block while the next one is made on another: with 8 kept, ranges of up to 4 MiB at eight
// connections peaked about 30 MiB higher than with 24.
constexpr std::size_t kIdleBuffers = 24;

std::int64_t chunkCount(std::int64_t length) noexcept {
  if (length <= 0) return 0;
  return length / kChunk + (length % kChunk != 0 ? 1 : 0);
}

// The chunk's byte offset, or none when it is negative or beyond 64 bits.
std::optional<std::int64_t> chunkOffset(std::int64_t index) noexcept {
  if (index < 0 || index > std::numeric_limits<std::int64_t>::max() / kChunk) return std::nullopt;
  return index * kChunk;
}

} // namespace

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return sum;
}

// --- values and rules -------------------------------------------------------------------------

std::string RelayDiskCache::hexString(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0f]);
  }
  return hex;
}

std::string RelayDiskCache::fileName(const Key& key) { return hexString(key.videoID) + "_" + std::to_string(key.itag); }

std::optional<fs::path> RelayDiskCache::defaultDirectory() {
  const auto caches = platform::paths::cachesDirectory();
  if (!caches) return std::nullopt;
  return *caches / kFolderName;
}

std::int64_t RelayDiskCache::limitForSetting(std::int64_t storedGigabytes) noexcept {
  constexpr std::int64_t kGigabyte = 1'000'000'000;
  if (storedGigabytes == 0) return 20 * kGigabyte;
  if (storedGigabytes <= 5) return 5 * kGigabyte;
  return std::min<std::int64_t>(storedGigabytes, 100) * kGigabyte;
}

std::optional<std::int64_t> RelayDiskCache::availableCapacity(const fs::path& location) {
  fs::path current = location;
  std::error_code error;
  while (!fs::exists(fs::symlink_status(current, error)) && std::distance(current.begin(), current.end()) >= 2 &&
         current.has_parent_path() && current.parent_path() != current) {
    current = current.parent_path();
  }
  struct statvfs volume {};
  if (::statvfs(current.c_str(), &volume) != 0) return std::nullopt;
  // What an unprivileged process may still claim: the root reserve does not count.
  const auto blocks = static_cast<unsigned long long>(volume.f_bavail);
  const auto blockSize = static_cast<unsigned long long>(volume.f_frsize);
  unsigned long long bytes = 0;
  if (__builtin_mul_overflow(blocks, blockSize, &bytes) ||
      bytes > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
    return std::numeric_limits<std::int64_t>::max();
  }
  return static_cast<std::int64_t>(bytes);
}

void RelayDiskCache::logFailure(std::string_view stage, const std::exception& error) {
  const auto fields = diagnostics::LogErrorFields::fields(error, true);
  const std::string key = "relay_cache_fail_" + std::string(stage);
  diagnostics::logThrottled(
      Log::localvideo(), Level::error, key, kFailRule,
      "relay_cache_fail stage=%{public}s err_domain=%{public}s err_code=%ld error=%s occurrences=%ld", stage,
      fields.domain, fields.code, fields.detail);
}

// --- the object -------------------------------------------------------------------------------

RelayDiskCache::RelayDiskCache(Configuration configuration, std::function<void()> beforeRead)
    : runtime::Actor(queue.executor()),
      state_(std::make_unique<State>(std::move(configuration))),
      buffers_(ChunkBuffers::make(kIdleBuffers, static_cast<std::size_t>(kChunk))),
      // Below the server's queue and the picture: most of the readers' work is the rest of a chunk
      // whose part already left, kept for later hits. A read at hand whose half no reader has started
      // reads that half itself; only a half already under way, or a read on the actor while others
      // run, waits on a reader.
      readers_(std::make_unique<runtime::ThreadPool>("tech.quelbo.PalendrixDisplay.relaycache.read", kReaderThreads,
                                                     runtime::kBackgroundNiceIncrement)),
      beforeRead_(std::move(beforeRead)) {
  if (!state_->config.limitProvider) state_->config.limitProvider = [] { return limitForSetting(0); };
  if (!state_->config.freeSpaceProvider)
    state_->config.freeSpaceProvider = [](const fs::path&) { return std::optional<std::int64_t>(); };
}

RelayDiskCache::~RelayDiskCache() = default;

std::shared_ptr<RelayDiskCache> RelayDiskCache::make(Configuration configuration, std::function<void()> beforeRead) {
  return std::shared_ptr<RelayDiskCache>(new RelayDiskCache(std::move(configuration), std::move(beforeRead)));
}

std::shared_ptr<RelayDiskCache> RelayDiskCache::makeDefault(std::function<std::int64_t()> limitProvider) {
  return make(Configuration{defaultDirectory(), std::move(limitProvider),
                            [](const fs::path& location) { return availableCapacity(location); }, kMinFreeBytes});
}

runtime::Awaitable<RelayDiskCache::Registration> RelayDiskCache::registerDescriptor(Descriptor descriptor) {
  return onActor([self = shared_from_this(), descriptor = std::move(descriptor)] {
    return self->state_->registerDescriptor(descriptor);
  });
}

runtime::Awaitable<void> RelayDiskCache::release(Registration registration) {
  return onActor(
      [self = shared_from_this(), registration = std::move(registration)] { self->state_->release(registration); });
}

runtime::Awaitable<std::optional<RelayDiskCache::Descriptor>> RelayDiskCache::descriptor(Key key) {
  return onActor([self = shared_from_this(), key = std::move(key)] { return self->state_->descriptor(key); });
}

runtime::Awaitable<RelayDiskCache::SharedBytes> RelayDiskCache::readChunk(Descriptor descriptor, std::int64_t index) {
  // Counted from the call, so that a read still queued for the actor counts as well.
  readsUnderway_.fetch_add(1, std::memory_order_relaxed);
  auto read = [self = shared_from_this(), descriptor = std::move(descriptor),
               index]() -> runtime::Awaitable<SharedBytes> {
    struct Underway {
      std::atomic<int>& count;
      ~Underway() { count.fetch_sub(1, std::memory_order_relaxed); }
    } underway{self->readsUnderway_};
    auto pending = self->state_->beginRead(descriptor, index);
    if (!pending) co_return nullptr;
    State::ReadOutcome outcome;
    if (underway.count.load(std::memory_order_relaxed) == 1 && !self->beforeRead_) {
      // Alone: a reader thread would cost two thread wake-ups and let nobody in meanwhile.
      outcome = State::readBytes(*pending, *self->buffers_);
    } else {
      // The job holds neither the cache nor its state: only this call does, so the cache cannot
      // go while its bytes are read, and the job never ends the cache on a reader thread.
      auto start = [readers = self->readers_.get(), buffers = self->buffers_, hold = self->beforeRead_,
                    read = &*pending](auto done) mutable {
        readers->post([buffers = std::move(buffers), hold = std::move(hold), read, done = std::move(done)]() mutable {
          if (hold) hold();
          done(State::readBytes(*read, *buffers));
        });
      };
      outcome = co_await runtime::awaitCallback<State::ReadOutcome>(std::move(start));
    }
    co_return self->state_->finishRead(descriptor, std::move(*pending), std::move(outcome), *self->buffers_);
  };
  return onActor(std::move(read));
}

runtime::Awaitable<bool> RelayDiskCache::writeChunk(Descriptor descriptor, std::int64_t index, SharedBytes data) {
  return onActor([self = shared_from_this(), descriptor = std::move(descriptor), index, data = std::move(data)] {
    return data && self->state_->writeChunk(descriptor, index, *data);
  });
}

runtime::Awaitable<RelayDiskCache::PrefetchStep> RelayDiskCache::nextPrefetchChunk(Descriptor descriptor,
                                                                                   std::int64_t from) {
  return onActor([self = shared_from_this(), descriptor = std::move(descriptor), from] {
    return self->state_->nextPrefetchChunk(descriptor, from);
  });
}

runtime::Awaitable<void> RelayDiskCache::evict(std::int64_t toFit) {
  return onActor([self = shared_from_this(), toFit] { self->state_->evict(toFit); });
}

runtime::Awaitable<void> RelayDiskCache::invalidate(Key key, std::string reason) {
  return onActor([self = shared_from_this(), key = std::move(key), reason = std::move(reason)] {
    self->state_->invalidate(key, reason);
  });
}

runtime::Awaitable<void> RelayDiskCache::recoverIfDirectoryMissing() {
  return onActor([self = shared_from_this()] { self->state_->recoverIfDirectoryMissing(); });
}

runtime::Awaitable<void> RelayDiskCache::retryPendingDeletions() {
  return onActor([self = shared_from_this()] { self->state_->retryPendingDeletions(); });
}

runtime::Awaitable<bool> RelayDiskCache::prepareIfNeeded() {
  return onActor([self = shared_from_this()] { return self->state_->prepareIfNeeded(); });
}

runtime::Awaitable<RelayDiskCache::Usage> RelayDiskCache::usage() const {
  return onActor([self = shared_from_this()] {
    const State& state = *self->state_;
    return Usage{state.totalBytes, state.items.size(), state.pendingDeletion.size(), state.prepared};
  });
}

// --- state: helpers ---------------------------------------------------------------------------

void RelayDiskCache::State::dropItem(std::unordered_map<Key, Item, RelayDiskCacheKeyHash>::iterator item) {
  // Marked before anything else happens to its file, so that a read under way that took its bytes
  // after this serves none of them; the table's copy goes once no lock is held.
  item->second.liveness->alive.store(false);
  emit([this, key = item->first, generation = item->second.generation] { readable.forget(key, generation); });
  items.erase(item);
}

void RelayDiskCache::State::emit(Line line) {
  if (deferredLines != nullptr) {
    deferredLines->push_back(std::move(line));
  } else {
    line();
  }
}

void RelayDiskCache::State::failure(std::string_view stage, int errnum) {
  emit([stage = std::string(stage), errnum] { logFailure(stage, files::posixError(errnum)); });
}

fs::path RelayDiskCache::State::fileOf(const Key& key) const { return *config.directory / (fileName(key) + ".data"); }

// --- state: registration ----------------------------------------------------------------------

RelayDiskCache::Registration RelayDiskCache::State::registerDescriptor(const Descriptor& descriptor) {
  nextRegistrationID += 1;
  Registration registration{nextRegistrationID, descriptor};
  opened[descriptor.key].push_back(registration);
  if (prepareIfNeeded()) checkIdentity(descriptor);
  return registration;
}

void RelayDiskCache::State::release(const Registration& registration) {
  const auto list = opened.find(registration.descriptor.key);
  if (list == opened.end()) return;
  auto& registrations = list->second;
  const auto found = std::find(registrations.begin(), registrations.end(), registration);
  if (found == registrations.end()) return;
  const bool wasNewest = std::next(found) == registrations.end();
  const Descriptor removed = found->descriptor;
  registrations.erase(found);
  if (registrations.empty()) {
    opened.erase(list);
    evict(0);
    return;
  }
  if (wasNewest && registrations.back().descriptor != removed) {
    const Descriptor newest = registrations.back().descriptor;
    checkIdentity(newest);
  }
}

std::optional<RelayDiskCache::Descriptor> RelayDiskCache::State::descriptor(const Key& key) const {
  const auto list = opened.find(key);
  if (list == opened.end() || list->second.empty()) return std::nullopt;
  return list->second.back().descriptor;
}

void RelayDiskCache::State::checkIdentity(const Descriptor& descriptor) {
  const auto item = items.find(descriptor.key);
  if (item != items.end() && !sameVersion(item->second, descriptor)) invalidate(descriptor.key, "identity_changed");
  if (const auto still = items.find(descriptor.key); still != items.end()) still->second.lastAccess = now();
}

// --- state: reading ---------------------------------------------------------------------------

std::optional<RelayDiskCache::State::PendingRead> RelayDiskCache::State::beginRead(const Descriptor& descriptor,
                                                                                   std::int64_t index) {
  if (!prepareIfNeeded()) return std::nullopt;
  const auto found = items.find(descriptor.key);
  if (found == items.end() || !sameVersion(found->second, descriptor)) return std::nullopt;
  if (!found->second.present.contains(index)) return std::nullopt;
  if (!config.directory) return std::nullopt;
  const fs::path file = fileOf(descriptor.key);
  const std::int64_t offset = index * kChunk; // index is present, so below the chunk count
  const std::int64_t count = chunkBytes(found->second.length, offset);
  // Opened here, while the item holds the chunk: the descriptor keeps this very file, so a later
  // unlink or replacement of the name cannot put another file's bytes under the read. The open
  // follows no link on the whole path, so once it succeeds neither the folder's path nor the file
  // is a link; only a failed open asks which of them it was.
  auto handle = files::openFileSecurely(file, O_RDONLY);
  if (!handle.file) {
    if (!files::isSafeDirectoryPath(*config.directory)) {
      failure("unsafe_path", ELOOP);
      return std::nullopt;
    }
    if (!files::isSymbolicLink(file)) failure("read", handle.error);
    invalidate(descriptor.key, "read_fail");
    return std::nullopt;
  }
  return PendingRead{std::move(handle.file), found->second.generation, offset, static_cast<std::size_t>(count)};
}

RelayDiskCache::SharedBytes RelayDiskCache::State::finishRead(const Descriptor& descriptor, PendingRead read,
                                                              ReadOutcome outcome, ChunkBuffers& buffers) {
  // Invalidated, evicted or replaced while the bytes were read: the chunk is not served, and what
  // went wrong with the read concerns an item that is gone, not one that may stand there now.
  const auto found = items.find(descriptor.key);
  const bool sameItem = found != items.end() && found->second.generation == read.generation;
  if (outcome.error != 0) {
    read.file.close();
    failure("read", outcome.error);
    if (sameItem) invalidate(descriptor.key, "read_fail");
    return nullptr;
  }
  if (outcome.filled != read.count) {
    if (sameItem) invalidate(descriptor.key, "short_file");
    read.file.close();
    return nullptr;
  }
  if (!sameItem) return nullptr;
  found->second.lastAccess = now();
  read.file.close();
  return buffers.share(std::move(outcome.buffer));
}

// --- state: budget ----------------------------------------------------------------------------

bool RelayDiskCache::State::keepsHoles() {
  if (!holesKept && config.directory) holesKept = files::keepsHoles(*config.directory);
  return holesKept.value_or(false);
}

std::int64_t RelayDiskCache::State::growth(const Descriptor& descriptor, std::int64_t index, std::int64_t size) {
  const fs::path file = fileOf(descriptor.key);
  const std::int64_t start = index * kChunk;
  const std::int64_t end = saturatingAdd(start, size);
  const std::int64_t logicalEnd = files::fileSize(file);
  // A chunk far past the file's end would otherwise be charged the whole gap before it: a seek into
  // a long stream then evicted gigabytes of other streams, or was refused as over the limit, for
  // one chunk. Only a file system that fills gaps pays for them.
  const std::int64_t extendsFrom = start > logicalEnd && keepsHoles() ? start : logicalEnd;
  const std::int64_t extension = std::max<std::int64_t>(0, end - extendsFrom);
  const auto item = items.find(descriptor.key);
  const std::int64_t listed = item != items.end() ? item->second.listed : 0;
  const std::int64_t charged = item != items.end() ? item->second.bytes : 0;
  const std::int64_t projected =
      std::max(saturatingAdd(files::allocatedSize(file), extension), saturatingAdd(listed, size));
  return std::max<std::int64_t>(0, projected - charged);
}

RelayDiskCache::State::BudgetVerdict RelayDiskCache::State::budgetCheck(std::int64_t growth) {
  if (const auto free = config.freeSpaceProvider(*config.directory)) {
    if (saturatingAdd(*free, -growth) < config.minFreeBytes) return {Budget::diskLow, *free};
  }
  evict(growth);
  if (saturatingAdd(totalBytes, growth) > config.limitProvider()) return {Budget::overLimit, 0};
  return {Budget::fits, 0};
}

// --- state: writing ---------------------------------------------------------------------------

bool RelayDiskCache::State::writeChunk(const Descriptor& descriptor, std::int64_t index, const Bytes& data) {
  if (!prepareIfNeeded() || !config.directory) return false;
  const auto offset = chunkOffset(index);
  if (!offset || *offset >= descriptor.length) return false;
  if (static_cast<std::int64_t>(data.size()) != chunkBytes(descriptor.length, *offset)) return false;
  const auto list = opened.find(descriptor.key);
  if (list == opened.end() || list->second.back().descriptor != descriptor) return false;

  recoverIfDirectoryMissing();
  verifyFile(descriptor.key);
  if (const auto item = items.find(descriptor.key); item != items.end()) {
    if (!sameVersion(item->second, descriptor)) return false;
    if (item->second.present.contains(index)) return true;
  }
  retryPendingDeletions();
  if (!config.directory || pendingDeletion.contains(fileOf(descriptor.key))) return false;

  const auto size = static_cast<std::int64_t>(data.size());
  const auto verdict = budgetCheck(growth(descriptor, index, size));
  if (verdict.budget == Budget::diskLow) {
    diagnostics::logThrottled(Log::localvideo(), Level::notice, "relay_cache_skip_disk_low", kSkipRule,
                              "relay_cache_skip reason=disk_low free_b=%lld occurrences=%ld", verdict.freeBytes);
    return false;
  }
  if (verdict.budget == Budget::overLimit) {
    diagnostics::logThrottled(Log::localvideo(), Level::notice, "relay_cache_skip_over_limit", kSkipRule,
                              "relay_cache_skip reason=over_limit size_b=%lld limit_b=%lld occurrences=%ld", totalBytes,
                              config.limitProvider());
    return false;
  }

  const std::int64_t limit = config.limitProvider();
  std::vector<Line> lines;
  bool stored = false;
  {
    const std::scoped_lock lock(exitPurgeLock());
    const DeferredLines deferred(*this, lines);
    stored = writeUnderExitPurgeLock(descriptor, index, data, limit);
  }
  for (auto& line : lines) line();
  return stored;
}

bool RelayDiskCache::State::writeUnderExitPurgeLock(const Descriptor& descriptor, std::int64_t index, const Bytes& data,
                                                    std::int64_t limit) {
  const fs::path& directory = *config.directory;
  if (exitPurgeDirectories().contains(files::directoryKey(directory))) return false;
  const fs::path file = fileOf(descriptor.key);
  auto fail = [&](int errnum) {
    recordWriteFailure(descriptor, file, false, errnum);
    return false;
  };
  if (!files::isSafeDirectoryPath(directory)) return fail(ELOOP);
  std::error_code error;
  if (!fs::exists(fs::symlink_status(directory, error))) {
    recoverIfDirectoryMissing();
    if (!files::makePrivateDirectory(directory, error)) return fail(error.value());
  }
  if (files::isSymbolicLink(file)) {
    if (!files::removeFileSafely(file)) return fail(ELOOP);
  }
  verifyFile(descriptor.key);

  auto handle = files::openFileSecurely(file, O_WRONLY | O_CREAT);
  if (handle.error == files::kEFTYPE) {
    if (!files::removeFileSafely(file)) return fail(files::kEFTYPE);
    if (items.contains(descriptor.key)) invalidate(descriptor.key, "unsafe_file");
    handle = files::openFileSecurely(file, O_WRONLY | O_CREAT);
  }
  if (!handle.file) return fail(handle.error);
  const std::int64_t offset = index * kChunk;
  if (::lseek(handle.file.get(), static_cast<off_t>(offset), SEEK_SET) < 0) return fail(files::currentErrnoOrEIO());
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t put = ::pwrite(handle.file.get(), data.data() + written, data.size() - written,
                                 static_cast<off_t>(offset + static_cast<std::int64_t>(written)));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int errnum = put < 0 ? files::currentErrnoOrEIO() : EIO;
      handle.file.close();
      recordWriteFailure(descriptor, file, true, errnum);
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  // A failed close can mean the bytes never reached the disk.
  if (const int closeError = handle.file.close(); closeError != 0) {
    recordWriteFailure(descriptor, file, true, closeError);
    return false;
  }

  auto [entry, created] = items.try_emplace(descriptor.key);
  Item& item = entry->second;
  if (created) {
    item.length = descriptor.length;
    item.lastModified = descriptor.lastModified;
    item.generation = ++lastItemGeneration;
  }
  item.present.insert(index);
  // Readable by any thread once the exit-purge lock is let go.
  emit([this, key = descriptor.key, generation = item.generation, liveness = item.liveness, version = descriptor, file,
        index] { readable.add(key, generation, liveness, version, file, index); });
  item.listed = saturatingAdd(item.listed, static_cast<std::int64_t>(data.size()));
  const std::int64_t newBytes = std::max(files::allocatedSize(file), item.listed);
  totalBytes = saturatingAdd(totalBytes, newBytes - item.bytes);
  item.bytes = newBytes;
  item.lastAccess = now();
  const bool complete = static_cast<std::int64_t>(item.present.size()) == chunkCount(descriptor.length);
  evict(0, limit);
  if (complete) {
    emit(
        [videoID = descriptor.key.videoID, itag = descriptor.key.itag, length = descriptor.length, total = totalBytes] {
          Log::localvideo().notice("relay_cache_complete video=%{public}s itag=%ld size_b=%lld cache_b=%lld", videoID,
                                   itag, length, total);
        });
  }
  return true;
}

void RelayDiskCache::State::recordWriteFailure(const Descriptor& descriptor, const fs::path& file, bool invalidate,
                                               int errnum) {
  failure("write", errnum);
  if (!invalidate) return;
  std::int64_t old = 0;
  if (const auto item = items.find(descriptor.key); item != items.end()) {
    old = item->second.bytes;
    dropItem(item);
  }
  // What the file takes on its volume, not its logical end: a chunk that failed far past the end
  // leaves a sparse file, and charging its gap would evict other streams or refuse their chunks for
  // as long as the file cannot be deleted.
  const std::int64_t charge = std::max(files::allocatedSize(file), old);
  totalBytes = saturatingAdd(totalBytes, charge - old);
  discardFile(file, charge);
  emit([videoID = descriptor.key.videoID, itag = descriptor.key.itag] {
    Log::localvideo().notice("relay_cache_invalidate reason=write_fail video=%{public}s itag=%ld", videoID, itag);
  });
}

// --- state: prefetch planning -----------------------------------------------------------------

RelayDiskCache::PrefetchStep RelayDiskCache::State::nextPrefetchChunk(const Descriptor& descriptor, std::int64_t from) {
  using Stop = PrefetchStep::Stop;
  if (!prepareIfNeeded() || !config.directory) return PrefetchStep::stopped(Stop::unavailable);
  if (const auto newest = this->descriptor(descriptor.key); newest && *newest != descriptor) {
    return PrefetchStep::stopped(Stop::mismatch);
  }
  recoverIfDirectoryMissing();
  verifyFile(descriptor.key);
  if (!files::isSafeDirectoryPath(*config.directory)) return PrefetchStep::stopped(Stop::unavailable);
  retryPendingDeletions();
  if (pendingDeletion.contains(fileOf(descriptor.key))) return PrefetchStep::stopped(Stop::unavailable);

  const std::int64_t count = chunkCount(descriptor.length);
  static const std::set<std::int64_t> kNone;
  const std::set<std::int64_t>* present = &kNone;
  if (const auto item = items.find(descriptor.key); item != items.end()) {
    if (!sameVersion(item->second, descriptor)) return PrefetchStep::stopped(Stop::mismatch);
    if (static_cast<std::int64_t>(item->second.present.size()) >= count) return PrefetchStep::stopped(Stop::complete);
    present = &item->second.present;
  }
  // The first index from `start` on that is not present; the walk is bounded by the set's size.
  auto firstMissing = [present](std::int64_t start, std::int64_t below) -> std::optional<std::int64_t> {
    std::int64_t candidate = start;
    for (auto it = present->lower_bound(start); it != present->end() && *it == candidate; ++it) ++candidate;
    if (candidate < below) return candidate;
    return std::nullopt;
  };
  const std::int64_t start = std::max<std::int64_t>(0, from);
  auto candidate = firstMissing(start, count);
  if (!candidate) candidate = firstMissing(0, std::min(start, count));
  if (!candidate) return PrefetchStep::stopped(Stop::complete);

  const std::int64_t offset = *candidate * kChunk;
  const auto verdict = budgetCheck(growth(descriptor, *candidate, chunkBytes(descriptor.length, offset)));
  if (verdict.budget == Budget::diskLow) return PrefetchStep::stopped(Stop::diskLow);
  if (verdict.budget == Budget::overLimit) return PrefetchStep::stopped(Stop::overLimit);
  return PrefetchStep::fetch(*candidate);
}

} // namespace pd::relay
