#pragma once

// The relay as its neighbours reach it: each operation is an awaitable that runs on the relay's
// actor and is cancelled with the calling task. The media server holds one from construction on.

#include "relay/RelayDiskCacheInterface.hpp"
#include "runtime/Error.hpp"
#include "runtime/Task.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pd::relay {

// The relay's own description of one remote item; the server passes it through unread.
class RemoteMedia;

class RelayError : public Error {
public:
  enum class Case : std::uint8_t {
    upstreamStatus,
    unknownToken,
    shortRead,
    identityChanged,
    refreshUnavailable,
    lengthUnknown,
    hostNotAllowed,
    rangeMismatch,
    busy,
    prefetchYield,
  };

  static RelayError upstreamStatus(std::int64_t status) {
    return RelayError(Case::upstreamStatus, "upstreamStatus(" + std::to_string(status) + ")", status);
  }
  static RelayError unknownToken() { return RelayError(Case::unknownToken, "unknownToken"); }
  static RelayError shortRead() { return RelayError(Case::shortRead, "shortRead"); }
  static RelayError identityChanged() { return RelayError(Case::identityChanged, "identityChanged"); }
  static RelayError refreshUnavailable() { return RelayError(Case::refreshUnavailable, "refreshUnavailable"); }
  static RelayError lengthUnknown() { return RelayError(Case::lengthUnknown, "lengthUnknown"); }
  static RelayError hostNotAllowed() { return RelayError(Case::hostNotAllowed, "hostNotAllowed"); }
  static RelayError rangeMismatch() { return RelayError(Case::rangeMismatch, "rangeMismatch"); }
  static RelayError busy() { return RelayError(Case::busy, "busy"); }
  static RelayError prefetchYield() { return RelayError(Case::prefetchYield, "prefetchYield"); }

  Case errorCase() const noexcept { return case_; }
  // Whether a failed chunk read gave way to foreground work: the same read may be asked again.
  static bool isPrefetchYield(const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const RelayError& relayError) {
      return relayError.case_ == Case::prefetchYield;
    } catch (...) {
      return false;
    }
  }
  // The upstream status of upstreamStatus, else 0.
  std::int64_t status() const noexcept { return status_; }

private:
  RelayError(Case c, std::string detailText, std::int64_t status = 0)
      : Error("RelayError", static_cast<std::int64_t>(c), std::move(detailText)), case_(c), status_(status) {}
  Case case_;
  std::int64_t status_;
};

class RemoteMediaRelayInterface {
public:
  using Bytes = std::vector<std::uint8_t>;
  // A chunk is held once, by the relay's memory cache and every reader at the same time: 2 MiB
  // copied per reader would cost more than the whole rest of a request.
  using Chunk = std::shared_ptr<const Bytes>;

  virtual ~RemoteMediaRelayInterface() = default;

  // Stores the relay's entry for the token. Does not fail.
  virtual runtime::Awaitable<void> registerMedia(std::string token, std::shared_ptr<const RemoteMedia> media) = 0;
  // Drops the entry and everything hanging on it, if there is one. Does not fail.
  virtual runtime::Awaitable<void> unregister(std::string token) = 0;
  // Whether the relay holds an entry for the token.
  virtual runtime::Awaitable<bool> hasEntry(std::string token) = 0;
  // The media's length: known already, or from the one shared probe. Throws
  // RelayError::unknownToken without an entry, else the probe's own error.
  virtual runtime::Awaitable<std::int64_t> totalLength(std::string token) = 0;
  // The registered content type; nothing without an entry. Never throws.
  virtual runtime::Awaitable<std::optional<std::string>> contentType(std::string token) = 0;
  // Chunk `index` on the grid of chunkSize(), shorter only for the media's last chunk. Throws
  // RelayError (prefetchYield may be retried), CancellationError, or a transport error. Never
  // null.
  virtual runtime::Awaitable<Chunk> chunk(std::string token, std::int64_t index, bool prefetch) = 0;
  // Fixed when the relay is made.
  virtual std::int64_t chunkSize() const noexcept = 0;

  // What a reply needs before its header, asked in one go: whether the relay holds the token, then
  // the length (as totalLength, whose errors it throws) and the content type. A relay may also
  // start on the reply's first chunk there, whose index firstChunkOf answers from the length
  // (nothing: the reply needs no chunk).
  struct Opening {
    bool held = false;
    std::int64_t total = 0;
    std::optional<std::string> contentType;
    // The first chunk when the relay had it at hand, or its read under way (as chunk() with
    // prefetch false; the caller cancels it when no longer needed), or neither: the caller reads
    // it itself.
    Chunk firstChunk;
    runtime::Task<Chunk> firstRead;
    // The token's chunks are kept in a disk cache as well: one not in memory may be read there.
    bool onDisk = false;
  };
  using FirstChunkIndex = std::function<std::optional<std::int64_t>(std::int64_t total)>;
  virtual runtime::Awaitable<Opening> open(std::string token, FirstChunkIndex firstChunkOf) {
    (void)firstChunkOf;
    Opening opening;
    opening.held = co_await hasEntry(token);
    if (!opening.held) {
      co_return opening;
    }
    opening.total = co_await totalLength(token);
    auto type = co_await contentType(token);
    opening.contentType = std::move(type);
    co_return opening;
  }

  // The same answers at once on the caller's thread, when the relay holds the length and the first
  // chunk in memory (or the reply needs no chunk); nothing otherwise, and then open() is the way.
  // A hit counts and moves the relay's prefetch as a read through open() would.
  virtual std::optional<Opening> openFromMemory(const std::string& token, const FirstChunkIndex& firstChunkOf) {
    (void)token;
    (void)firstChunkOf;
    return std::nullopt;
  }
  // As openFromMemory, but answered whenever the relay holds the length: with the first chunk when
  // it is in memory, else with neither firstChunk nor firstRead (the caller reads it itself).
  virtual std::optional<Opening> openAtHand(const std::string& token, const FirstChunkIndex& firstChunkOf) {
    return openFromMemory(token, firstChunkOf);
  }
  // Chunk `index` at once from memory, as chunk() with prefetch false would give it; null when it
  // is not there, and then chunk() is the way.
  virtual Chunk chunkFromMemory(const std::string& token, std::int64_t index) {
    (void)token;
    (void)index;
    return nullptr;
  }
  // Chunk `index` read from the relay's disk cache on the caller's thread, which it holds for the
  // read of the `needed` part, as chunk() with prefetch false would give it from there (counted,
  // moving the prefetch, remembered in memory once the rest of it is in); null when it is not at
  // hand there, and then chunk() is the way. Only the `needed` part may be read from the bytes.
  // With `later` given, only the part's first `later->ready` bytes may be in, and `later->readOn()`
  // reads the rest of it piece by piece on the caller's thread; or with `later->restHere` set, the
  // part is in whole and `later->readRest()` reads the rest of the chunk there (see PartReadOn).
  virtual Chunk chunkFromDisk(const std::string& token, std::int64_t index, ChunkPart needed = {},
                              PartReadOn* later = nullptr) {
    (void)token;
    (void)index;
    (void)needed;
    (void)later;
    return nullptr;
  }
};

} // namespace pd::relay
