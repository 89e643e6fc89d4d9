#pragma once

// The disk cache as the relay reaches it. The cache is an actor of its own: every operation but the
// read at hand is an awaitable that runs there, and none of them throws (a read gives nothing, a write answers
// false, and the relay goes on without the cache).

#include "runtime/Task.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pd::relay {

// Bytes [offset, offset + length) of a chunk.
struct ChunkPart {
  std::size_t offset = 0;
  std::size_t length = std::numeric_limits<std::size_t>::max();
};

// A part read at hand in pieces: the first `ready` bytes of the part are in, and each readOn() reads
// the next piece on the caller's thread, each larger than the last, answering how many are in then
// (all of the part at the end), or nothing when a piece did not come in whole and still the chunk's
// version's. Dropped before the end, it reads nothing more and hands nothing on.
//
// With restHere set by the caller, the part comes in whole instead, and the rest of the chunk is
// left to readRest, which the caller runs on its own thread once it has handed the part on: a
// caller that is a pool thread of its own reads it there rather than waking one of the cache's
// readers for it. Dropped without a run, the chunk is not handed on.
struct PartReadOn {
  std::size_t ready = 0;
  std::function<std::optional<std::size_t>()> readOn;
  bool restHere = false;
  std::function<void()> readRest;
  explicit operator bool() const { return static_cast<bool>(readOn); }
};

class RelayDiskCacheInterface {
public:
  using Bytes = std::vector<std::uint8_t>;
  // A chunk as the relay keeps and serves it; never changed once whole.
  using SharedBytes = std::shared_ptr<const Bytes>;

  // One stream: the video id and the stream's format number.
  struct Key {
    std::string videoID;
    std::int64_t itag = 0;

    // Nothing unless the id has 1 to 64 characters, each an ASCII letter, a digit, "_" or "-",
    // and itag >= 0: the id becomes part of a file name.
    static std::optional<Key> make(std::string videoID, std::int64_t itag) {
      if (videoID.empty() || videoID.size() > 64 || itag < 0 || containsUnsafeCharacter(videoID)) {
        return std::nullopt;
      }
      return Key{std::move(videoID), itag};
    }
    static bool containsUnsafeCharacter(const std::string& text) {
      for (const char c : text) {
        const bool safe =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
        if (!safe) return true;
      }
      return false;
    }
    friend bool operator==(const Key&, const Key&) = default;
  };

  // One exact version of one stream.
  struct Descriptor {
    Key key;
    std::int64_t length = 0;
    std::optional<std::string> lastModified;
    friend bool operator==(const Descriptor&, const Descriptor&) = default;
  };

  // A stream in use; released when its token goes.
  struct Registration {
    std::uint64_t id = 0;
    Descriptor descriptor;
    friend bool operator==(const Registration&, const Registration&) = default;
  };

  // What the prefetcher does next: fetch a chunk, or stop for one of the numbered reasons.
  struct PrefetchStep {
    enum class Stop : std::uint8_t { complete, diskLow, overLimit, mismatch, unavailable };
    std::optional<std::int64_t> fetchIndex; // set: fetch this chunk
    Stop stop = Stop::complete; // meaningful only without fetchIndex

    static PrefetchStep fetch(std::int64_t index) { return {index, Stop::complete}; }
    static PrefetchStep stopped(Stop reason) { return {std::nullopt, reason}; }
    friend bool operator==(const PrefetchStep&, const PrefetchStep&) = default;
  };

  virtual ~RelayDiskCacheInterface() = default;

  // `register` is a reserved word in C++.
  virtual runtime::Awaitable<Registration> registerDescriptor(Descriptor descriptor) = 0;
  virtual runtime::Awaitable<void> release(Registration registration) = 0;
  // The newest registration's descriptor of the key, if any.
  virtual runtime::Awaitable<std::optional<Descriptor>> descriptor(Key key) = 0;
  // Null when the chunk is not served from disk.
  virtual runtime::Awaitable<SharedBytes> readChunk(Descriptor descriptor, std::int64_t index) = 0;
  using ChunkPart = relay::ChunkPart;
  // Gets a chunk read at hand once every byte of it is in and still its version's; never otherwise.
  using WholeChunk = std::function<void(SharedBytes)>;
  // The chunk read at once on the caller's thread, when the version's chunk is on disk and its bytes
  // come back whole and still that version's; null otherwise, and then readChunk() is the way, which
  // also deals with whatever went wrong. Counts as a use of the stream as readChunk() does.
  // With `whole` given, only the `needed` part is awaited: the chunk comes back with that part in
  // and checked while the rest is still being read into it, and only that part may be read from it
  // until `whole` gets it, on another thread or on this one before the return.
  // With `later` given too, a large part may come back with only its first piece in and `later`
  // set to read the rest of it: a caller can send each piece while it reads the next. The rest of
  // the chunk is read, and `whole` called, only after the whole part is in.
  virtual SharedBytes readChunkAtHand(const Descriptor& descriptor, std::int64_t index, ChunkPart needed = {},
                                      WholeChunk whole = {}, PartReadOn* later = nullptr) {
    (void)descriptor;
    (void)index;
    (void)needed;
    (void)whole;
    (void)later;
    return nullptr;
  }
  // True when the chunk is on disk afterwards. The bytes are only read: the chunk the relay keeps
  // in memory and serves is written as it is, with no copy of 2 MiB per write.
  virtual runtime::Awaitable<bool> writeChunk(Descriptor descriptor, std::int64_t index, SharedBytes data) = 0;
  virtual runtime::Awaitable<PrefetchStep> nextPrefetchChunk(Descriptor descriptor, std::int64_t from) = 0;
};

struct RelayDiskCacheKeyHash {
  std::size_t operator()(const RelayDiskCacheInterface::Key& key) const noexcept {
    return std::hash<std::string>{}(key.videoID) * 31u + std::hash<std::int64_t>{}(key.itag);
  }
};

struct RelayDiskCacheDescriptorHash {
  std::size_t operator()(const RelayDiskCacheInterface::Descriptor& d) const noexcept {
    std::size_t h = RelayDiskCacheKeyHash{}(d.key);
    h = h * 31u + std::hash<std::int64_t>{}(d.length);
    h = h * 31u + (d.lastModified ? std::hash<std::string>{}(*d.lastModified) : 0x9e3779b9u);
    return h;
  }
};

} // namespace pd::relay
