#include "relay/RelayDiskCache.hpp"
#include "relay/RelayDiskCacheFiles.hpp"
#include "relay/RelayDiskCacheState.hpp"
#include "runtime/ThreadPools.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <utility>

// Chunk reads that need no turn on the cache's actor: the bytes themselves, on whichever thread
// asks, and the copy of the readable chunks that lets a read at hand find them.

namespace pd::relay {

namespace fs = std::filesystem;
namespace files = cachefiles;

namespace {

constexpr std::int64_t kChunk = RelayDiskCache::kChunkSize;

struct Filled {
  std::size_t count = 0;
  int error = 0; // of the read
};

// Positioned reads (no seek of their own) until `count` bytes, the file's end or an error.
Filled fill(int file, std::uint8_t* into, std::size_t count, std::int64_t offset) {
  Filled filled;
  while (filled.count < count) {
    const ssize_t got = ::pread(file, into + filled.count, count - filled.count,
                                static_cast<off_t>(offset + static_cast<std::int64_t>(filled.count)));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      filled.error = files::currentErrnoOrEIO();
      break;
    }
    if (got == 0) break;
    filled.count += static_cast<std::size_t>(got);
  }
  return filled;
}

// A read at hand hands the whole chunk on, so its caller would wait for the copy of the whole
// chunk out of the page cache; with its back half read by a reader thread meanwhile, it waits for
// about half. Smaller reads are not worth a thread's wake-up.
constexpr std::size_t kSplitFrom = 256 * 1024;

// The back half of a read at hand. Whoever claims it reads it: a reader thread, or the caller
// itself once its front half is in when no reader has started on it, so that a busy or stopped pool
// never holds the read up; the caller then waits only for a reader already under way. A reader
// that comes too late touches neither the file nor the buffer.
class BackHalf {
public:
  BackHalf(int file, std::uint8_t* into, std::size_t count, std::int64_t offset)
      : file_(file), into_(into), count_(count), offset_(offset) {}

  void readUnlessClaimed() {
    int expected = kWaiting;
    if (!state_.compare_exchange_strong(expected, kClaimed, std::memory_order_acq_rel)) return;
    filled_ = fill(file_, into_, count_, offset_);
    state_.store(kDone, std::memory_order_release);
    state_.notify_one();
  }

  // The caller's side, once its own half is in.
  Filled finish() {
    readUnlessClaimed();
    for (int seen = state_.load(std::memory_order_acquire); seen != kDone;
         seen = state_.load(std::memory_order_acquire)) {
      state_.wait(seen, std::memory_order_acquire);
    }
    return filled_;
  }

private:
  static constexpr int kWaiting = 0;
  static constexpr int kClaimed = 1;
  static constexpr int kDone = 2;
  const int file_;
  std::uint8_t* const into_;
  const std::size_t count_;
  const std::int64_t offset_;
  std::atomic<int> state_{kWaiting};
  Filled filled_;
};

// `count` bytes read as fill() does, the back half of a large read on one of `alongside` meanwhile.
Filled fillInTwo(int file, std::uint8_t* into, std::size_t count, std::int64_t offset, runtime::ThreadPool* alongside) {
  if (alongside == nullptr || count < kSplitFrom) return fill(file, into, count, offset);
  const std::size_t front = count / 2;
  const auto back =
      std::make_shared<BackHalf>(file, into + front, count - front, offset + static_cast<std::int64_t>(front));
  alongside->post([back] { back->readUnlessClaimed(); });
  const auto first = fill(file, into, front, offset);
  // Awaited whatever became of the front: the back half may be writing into the buffer.
  const auto second = back->finish();
  // A front cut short by the file's end leaves a gap before the back: the read came up short.
  return {first.count < front ? first.count : front + second.count, first.error != 0 ? first.error : second.error};
}

// A part read in pieces returns with this much of it in, about what a socket takes in one send, so
// that its peer has bytes to take in while the next piece is read; each piece after is three times
// the bytes in before it, read while the peer takes those in. Measured at one connection with parts
// of 1 MiB: pieces twice the bytes in cost one more round of the send and served about 7 % fewer
// replies; four times about 2 % fewer; eight times, or the whole rest at once, about 18 % and 24 %
// fewer, the peer waiting through a long read.
constexpr std::size_t kFirstPiece = 64 * 1024;

// A read at hand of the part its caller needs; the rest is read on one of the cache's readers once
// the part is in, so that it takes no core from the part, and is read while the part is sent.
// `underway` counts the rests whose reads have not ended, and their buffers with them. With `later`
// given, a large part comes back with its first piece in and `later` reads the rest of it.
RelayDiskCache::SharedBytes readPartAtHand(std::weak_ptr<RelayDiskCache> cache, ChunkBuffers& buffers,
                                           runtime::ThreadPool& readers, std::shared_ptr<std::atomic<int>> underway,
                                           const ReadableChunks::Claim& claim, files::FileDescriptor file,
                                           RelayDiskCache::ChunkPart needed, RelayDiskCache::WholeChunk whole,
                                           PartReadOn* later) {
  // What the rest's reader holds: the file and the buffer, not the cache, so that a cache that
  // goes meanwhile is never ended on its own reader.
  struct Rest {
    explicit Rest(std::shared_ptr<std::atomic<int>> counted) : underway(std::move(counted)) {}
    Rest(const Rest&) = delete;
    Rest& operator=(const Rest&) = delete;
    ~Rest() { underway->fetch_sub(1); }
    // [from, from + count) of the chunk, in whole while the item stands.
    bool readIn(std::size_t from, std::size_t count) const {
      const auto filled = fill(file.get(), data + from, count, offset + static_cast<std::int64_t>(from));
      return filled.error == 0 && filled.count == count && item->alive.load();
    }
    std::shared_ptr<std::atomic<int>> underway;
    files::FileDescriptor file;
    std::int64_t offset = 0;
    std::uint8_t* data = nullptr;
    RelayDiskCache::SharedBytes bytes;
    std::shared_ptr<ItemLiveness> item;
    RelayDiskCache::WholeChunk whole;
  };
  auto rest = std::make_shared<Rest>(std::move(underway));
  auto buffer = buffers.take(claim.count);
  rest->file = std::move(file);
  rest->offset = claim.offset;
  rest->data = buffer->data();
  rest->item = claim.item;
  // Not split as a whole chunk's read is: a reader on half of the part gained nothing at one
  // connection and cost wake-ups at eight.
  const std::size_t first =
      later != nullptr && !later->restHere && needed.length > kFirstPiece ? kFirstPiece : needed.length;
  if (!rest->readIn(needed.offset, first)) return nullptr;
  claim.item->lastRead.store(now().time_since_epoch().count());
  rest->bytes = buffers.share(std::move(buffer));
  rest->whole = std::move(whole);
  auto bytes = rest->bytes;
  auto restRead = [rest, needed, count = claim.count] {
    const std::size_t after = needed.offset + needed.length;
    // Handed on only while the item stands: bytes read after it gave way may be another version's.
    if (rest->readIn(0, needed.offset) && rest->readIn(after, count - after)) rest->whole(rest->bytes);
  };
  auto readRest = [restRead](runtime::ThreadPool& pool) { pool.post(restRead); };
  if (first == needed.length) {
    if (later != nullptr && later->restHere) {
      later->readRest = std::move(restRead);
    } else {
      readRest(readers);
    }
    return bytes;
  }
  later->ready = first;
  later->readOn = [cache = std::move(cache), pool = &readers, rest, needed, ready = first,
                   readRest]() mutable -> std::optional<std::size_t> {
    if (ready == needed.length) return std::nullopt; // past its end, or after a failure
    const std::size_t piece = std::min(3 * ready, needed.length - ready);
    if (!rest->readIn(needed.offset + ready, piece)) {
      ready = needed.length;
      return std::nullopt;
    }
    ready += piece;
    // The readers are the cache's: with the cache gone meanwhile, or no room to queue the rest, the
    // chunk stays on disk alone; the part is in either way.
    if (ready == needed.length) {
      try {
        if (const auto alive = cache.lock()) readRest(*pool);
      } catch (const std::bad_alloc&) {}
    }
    return ready;
  };
  return bytes;
}

} // namespace

RelayDiskCache::SharedBytes RelayDiskCache::readChunkAtHand(const Descriptor& descriptor, std::int64_t index,
                                                            ChunkPart needed, WholeChunk whole, PartReadOn* later) {
  try {
    const auto claim = state_->readable.claim(descriptor, index);
    if (!claim) return nullptr;
    auto handle = files::openFileSecurely(claim->file, O_RDONLY);
    if (!handle.file) return nullptr;
    if (beforeRead_) beforeRead_();
    // A part that is all of the chunk is read as the chunk; and with as many rests under way as
    // there are readers, a new one would only wait for them, holding a chunk's buffer meanwhile.
    const bool part = whole && needed.offset < claim->count && needed.length <= claim->count - needed.offset &&
                      needed.length < claim->count;
    if (part && restsUnderway_->fetch_add(1) < static_cast<int>(kReaderThreads)) {
      return readPartAtHand(weak_from_this(), *buffers_, *readers_, restsUnderway_, *claim, std::move(handle.file),
                            needed, std::move(whole), later);
    }
    if (part) restsUnderway_->fetch_sub(1);
    const State::PendingRead read{std::move(handle.file), 0, claim->offset, claim->count};
    auto outcome = State::readBytes(read, *buffers_, readers_.get());
    if (outcome.error != 0 || outcome.filled != read.count) return nullptr;
    // The item is marked dropped before its file is deleted or replaced, so bytes read while it
    // still stands are its own, whatever became of the name since.
    if (!claim->item->alive.load()) return nullptr;
    claim->item->lastRead.store(now().time_since_epoch().count());
    auto bytes = buffers_->share(std::move(outcome.buffer));
    if (whole) whole(bytes);
    return bytes;
  } catch (const std::bad_alloc&) {
    // As every other failure here: readChunk() is the way.
    return nullptr;
  }
}

void ReadableChunks::add(const Key& key, std::uint64_t generation, const std::shared_ptr<ItemLiveness>& item,
                         const Descriptor& version, fs::path file, std::int64_t index) {
  const std::scoped_lock lock(mutex_);
  auto& entry = entries_[key];
  if (entry.generation != generation) {
    entry = Entry{generation, item, version.length, version.lastModified, std::move(file), {}};
  }
  entry.present.insert(index);
}

void ReadableChunks::forget(const Key& key, std::uint64_t generation) {
  const std::scoped_lock lock(mutex_);
  if (const auto found = entries_.find(key); found != entries_.end() && found->second.generation == generation) {
    entries_.erase(found);
  }
}

std::optional<ReadableChunks::Claim> ReadableChunks::claim(const Descriptor& descriptor, std::int64_t index) const {
  const std::scoped_lock lock(mutex_);
  const auto found = entries_.find(descriptor.key);
  if (found == entries_.end()) return std::nullopt;
  const Entry& entry = found->second;
  if (!entry.item->alive.load()) return std::nullopt;
  if (entry.length != descriptor.length || entry.lastModified != descriptor.lastModified) return std::nullopt;
  if (!entry.present.contains(index)) return std::nullopt;
  const std::int64_t offset = index * kChunk; // present, so below the chunk count
  return Claim{entry.file, entry.item, offset, static_cast<std::size_t>(chunkBytes(entry.length, offset))};
}

RelayDiskCache::State::ReadOutcome RelayDiskCache::State::readBytes(const PendingRead& read, ChunkBuffers& buffers,
                                                                    runtime::ThreadPool* alongside) {
  ReadOutcome outcome;
  try {
    outcome.buffer = buffers.take(read.count);
  } catch (const std::bad_alloc&) {
    outcome.error = ENOMEM;
    return outcome;
  }
  Bytes& bytes = *outcome.buffer;
  const auto filled = fillInTwo(read.file.get(), bytes.data(), bytes.size(), read.offset, alongside);
  outcome.filled = filled.count;
  outcome.error = filled.error;
  return outcome;
}

} // namespace pd::relay
