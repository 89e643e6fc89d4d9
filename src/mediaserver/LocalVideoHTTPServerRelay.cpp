// The relay road: a task per request that cuts the reply's bytes out of the relay's chunks, with
// one chunk of read-ahead while the current one is on the wire.

#include "mediaserver/LocalVideoHTTPServerImpl.hpp"
#include "runtime/Callback.hpp"
#include "runtime/Clock.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace pd::mediaserver {

namespace asio = boost::asio;
using relay::RelayError;

namespace {

using Relay = std::shared_ptr<relay::RemoteMediaRelayInterface>;
using Weak = std::weak_ptr<LocalVideoHTTPServer::Impl>;

// A connection's first bytes up to this many go into its empty socket buffer whole, so a send of
// them never waits for the peer to read.
constexpr std::size_t kSendThatNeverWaits = 4096;

// Resumes the awaiting road on its own executor with the send's outcome: later, or at once when the
// caller is a job of its own on that executor (never the send's start, which the road is still in).
template <typename Handler>
auto resumer(Handler handler) {
  auto work = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
  return [handler = std::move(handler), work](std::error_code error, bool atOnce = false) mutable {
    auto resume = [handler = std::move(handler), error]() mutable { std::move(handler)(error); };
    if (atOnce) {
      asio::dispatch(work, std::move(resume));
    } else {
      asio::post(work, std::move(resume));
    }
  };
}

// One send (the header in front of the slice when given), bounded by the send deadline; throws
// ConnectionSendError when it does not complete. A body slice may be written by a relay send
// worker with a blocking send while the queue goes on with other connections; the rest goes
// through the queue. The choice, the count of busy workers and the statistics are the queue's: a
// body slice is counted by the send's completion there, as a post of its own would wake the queue
// once more for every slice.
runtime::Awaitable<void> send(Weak weak, runtime::Executor queue, Connection connection,
                              std::shared_ptr<const Bytes> buffer, std::size_t offset, std::size_t length,
                              bool isComplete, bool isBody = false, std::shared_ptr<const Bytes> header = nullptr) {
  auto initiation = [&](auto handler) {
    queue.execute([weak, queue, connection, header, buffer, offset, length, isComplete, isBody,
                   resume = resumer(std::move(handler))]() mutable {
      auto server = weak.lock();
      if (!server) {
        resume(std::make_error_code(std::errc::operation_canceled));
        return;
      }
      // Alone on the queue, a reply is copied there: a hand-off would only add two wake-ups. With
      // other connections to serve, the queue is the server's narrow part, and even a 100-byte
      // reply's send (the peer's side of loopback included) is worth a worker's time. A small
      // first send never waits for room, so it may also wait its turn behind busy workers, as
      // long as none of them might be waiting on a peer: it then costs the queue neither the copy
      // nor a worker's wake-up.
      const bool mayWait = !header || header->size() + length > kSendThatNeverWaits;
      const bool toWorker = isBody && server->activeConnections > 1 &&
                            (server->relaySendsInFlight < LocalVideoHTTPServer::Impl::kRelaySendWorkers ||
                             (!mayWait && server->relaySendsThatMayWait == 0));
      if (!toWorker) {
        auto counted = [weak, isBody, length, resume = std::move(resume)](std::error_code error) mutable {
          if (!error && isBody) {
            if (auto alive = weak.lock()) alive->addSentBytes(static_cast<std::int64_t>(length));
          }
          resume(error);
        };
        server->sendWithDeadline(connection, std::move(buffer), offset, length, isComplete, std::move(counted),
                                 std::move(header));
        return;
      }
      ++server->relaySendsInFlight;
      server->relaySendsThatMayWait += mayWait ? 1 : 0;
      auto deadline = std::chrono::steady_clock::time_point::max();
      if (const auto limit = server->timing.sendDeadline; limit > std::chrono::nanoseconds::zero()) {
        deadline = std::chrono::steady_clock::now() + limit;
      }
      server->relaySends.post([weak, queue, connection, header, buffer, offset, length, isComplete, deadline, mayWait,
                               resume = std::move(resume)]() mutable {
        const auto* slice = buffer->data() + offset;
        const auto error = header ? connection->sendNow(header->data(), header->size(), slice, length, deadline)
                                  : connection->sendNow(slice, length, deadline);
        if (!error && isComplete) {
          connection->endSendingNow();
        }
        // Back on the queue without taking hold of the server here: it must never end on this pool.
        queue.execute([weak, length, error, mayWait, isComplete, resume = std::move(resume)]() mutable {
          if (auto alive = weak.lock()) {
            --alive->relaySendsInFlight;
            alive->relaySendsThatMayWait -= mayWait ? 1 : 0;
            if (!error) alive->addSentBytes(static_cast<std::int64_t>(length));
          }
          // A job of its own on the queue: after its reply's last send the road only ends the
          // connection, here rather than one more turn later. A road with more to send waits its
          // turn, so that other replies are not held up behind its next slice.
          resume(error, isComplete);
        });
      });
    });
  };
  // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
  auto error = co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::error_code)>(
      std::move(initiation), asio::use_awaitable);
  if (error) {
    throw ConnectionSendError(error);
  }
}

using Chunk = relay::RemoteMediaRelayInterface::Chunk;
using Opening = relay::RemoteMediaRelayInterface::Opening;

// One chunk: at once when the relay has it on disk, else from the relay; a prefetch yield is asked
// again once, at once (unless this is that second call).
runtime::Awaitable<Chunk> readRelayChunk(Relay relayPtr, std::string token, std::int64_t index, relay::ChunkPart needed,
                                         bool askAgainOnYield) {
  if (auto bytes = relayPtr->chunkFromDisk(token, index, needed)) co_return bytes;
  // Results are named locals throughout: GCC 12 may destroy a temporary that a co_await yields
  // twice when it is used inside a larger expression.
  try {
    auto bytes = co_await relayPtr->chunk(token, index, false);
    co_return bytes;
  } catch (const RelayError& error) {
    if (!askAgainOnYield || error.errorCase() != RelayError::Case::prefetchYield) {
      throw;
    }
  }
  // A coroutine cannot await inside its handler: the second call comes after it.
  auto bytes = co_await relayPtr->chunk(token, index, false);
  co_return bytes;
}

// The chunk read in a task on a pool thread: on the queue a disk read would hold up every other
// connection, and through the relay's strand it would cross two more threads.
runtime::Task<Chunk> fetchRelayChunk(Relay relayPtr, std::string token, std::int64_t index, relay::ChunkPart needed,
                                     bool askAgainOnYield = true) {
  return runtime::spawn(runtime::sharedPool().executor(),
                        readRelayChunk(std::move(relayPtr), std::move(token), index, needed, askAgainOnYield));
}

// The bytes of [start, end] on chunk `at` of chunks of `c` bytes in media of `total` bytes, as
// offsets into the chunk.
relay::ChunkPart partOnChunk(std::int64_t at, std::int64_t c, std::int64_t total, std::int64_t start,
                             std::int64_t end) {
  const std::int64_t chunkStart = at * c;
  const std::int64_t expected = std::min(c, total - chunkStart);
  const std::int64_t needed = std::min(expected, end - chunkStart + 1);
  const std::int64_t lo = std::max(chunkStart, start) - chunkStart;
  return {static_cast<std::size_t>(lo), static_cast<std::size_t>(needed - lo)};
}

// On the queue: whether the server has no connection open but the caller's.
bool aloneOnQueue(const Weak& weak) {
  const auto server = weak.lock();
  return server && server->activeConnections <= 1;
}

// A fetch awaited by the road, cancelled with it.
runtime::Awaitable<Chunk> awaitChunk(runtime::Task<Chunk> fetch) {
  runtime::CancellationHandler onCancel([fetch] { fetch.cancel(); });
  auto bytes = co_await fetch.value();
  co_return bytes;
}

// One chunk handed from a pool thread to the road: each side leaves its part, then whichever
// comes second resumes the road with the chunk.
class DiskReadGate {
public:
  using Continuation = runtime::UniqueFunction<void(Chunk)>;

  void install(Continuation continuation) {
    continuation_ = std::move(continuation);
    if (arrived_.exchange(true, std::memory_order_acq_rel)) continuation_(std::move(bytes_));
  }

  void resolve(Chunk bytes) {
    bytes_ = std::move(bytes);
    if (arrived_.exchange(true, std::memory_order_acq_rel)) continuation_(std::move(bytes_));
  }

private:
  Continuation continuation_;
  Chunk bytes_;
  std::atomic<bool> arrived_{false};
};

// A chunk on its way to the road. When the relay keeps the token's chunks on disk it is read
// there on a pool thread without a task of its own, whose strand would cost hops on the pool
// besides the read's; from the relay in a task when it is not on disk, or not kept there.
class ChunkRead {
public:
  ChunkRead() = default;
  explicit ChunkRead(runtime::Task<Chunk> fetch) : fetch_(std::move(fetch)) {}

  static ChunkRead start(Relay relayPtr, std::string token, std::int64_t index, relay::ChunkPart needed, bool onDisk) {
    if (!onDisk) return ChunkRead(fetchRelayChunk(std::move(relayPtr), std::move(token), index, needed));
    ChunkRead read;
    read.onDisk_ = std::make_shared<DiskReadGate>();
    runtime::sharedPool().post([gate = read.onDisk_, relayPtr, token, index, needed] {
      Chunk bytes;
      // The rest of the chunk is read here once the part is on its way: a reader of the cache woken
      // for it would cost one more hand-off for each chunk.
      relay::PartReadOn rest;
      rest.restHere = true;
      try {
        bytes = relayPtr->chunkFromDisk(token, index, needed, &rest);
      } catch (...) {
        // As a chunk not on disk: the relay's own road follows.
      }
      gate->resolve(std::move(bytes));
      try {
        if (rest.readRest) rest.readRest();
      } catch (...) {
        // Not kept in memory then; the reply has its part either way.
      }
    });
    read.relay_ = std::move(relayPtr);
    read.token_ = std::move(token);
    read.index_ = index;
    read.needed_ = needed;
    return read;
  }

  // What the disk gave (none: not there), awaited; without a disk read, none at once.
  runtime::Awaitable<Chunk> fromDisk() const {
    if (!onDisk_) co_return nullptr;
    auto install = [gate = onDisk_](auto done) { gate->install(std::move(done)); };
    auto bytes = co_await runtime::awaitCallback<Chunk>(std::move(install));
    co_return bytes;
  }

  // The chunk, the relay's errors thrown; the road's cancellation cancels the relay's read.
  runtime::Awaitable<Chunk> value() {
    if (onDisk_) {
      auto bytes = co_await fromDisk();
      if (bytes || cancelled_) co_return bytes;
      fetch_ = fetchRelayChunk(relay_, token_, index_, needed_);
      onDisk_ = nullptr;
    }
    auto bytes = co_await awaitChunk(fetch_);
    co_return bytes;
  }

  // A disk read has nothing to cancel: it ends soon, and its chunk goes unused.
  void cancel() {
    cancelled_ = true;
    fetch_.cancel();
  }

private:
  runtime::Task<Chunk> fetch_;
  std::shared_ptr<DiskReadGate> onDisk_;
  Relay relay_;
  std::string token_;
  std::int64_t index_ = 0;
  relay::ChunkPart needed_{};
  bool cancelled_ = false;
};

} // namespace

void LocalVideoHTTPServer::Impl::relayFailure(std::exception_ptr error, const std::string& token, std::int64_t sent,
                                              std::int64_t status) {
  bool clientGone = false;
  try {
    std::rethrow_exception(error);
  } catch (const runtime::CancellationError&) {
    clientGone = true;
  } catch (const ConnectionSendError&) {
    clientGone = true;
  } catch (...) {}
  if (clientGone) {
    logRequestAbort("client_gone", token, sent, error);
  } else {
    logRequestFailure("upstream_fail", status, token, error);
  }
}

void LocalVideoHTTPServer::Impl::addSentBytes(std::int64_t count) {
  statsBytes += count;
  statsCheck();
}

runtime::Awaitable<void> LocalVideoHTTPServer::Impl::serveRelay(Weak weak, runtime::Executor queue, Relay relayPtr,
                                                                std::string token, std::string method,
                                                                std::optional<std::string> range,
                                                                Connection connection) {
  const auto post = [&](auto work) {
    queue.execute([weak, work = std::move(work)]() mutable {
      if (auto server = weak.lock()) {
        work(*server);
      }
    });
  };
  const auto notFound = [&] {
    post([token, connection](Impl& self) {
      self.logRequestFailure("token_not_found", 404, token, nullptr);
      self.sendText("404 Not Found", connection);
    });
  };
  {
    auto server = weak.lock();
    if (!server) {
      co_return;
    }
    if (!server->isRemoteToken(token)) {
      server.reset();
      notFound();
      co_return;
    }
  }
  // The relay answers the entry, the length and the type in one visit, and starts on the first
  // chunk there: each question asked on its own would cross to the relay's strand and back.
  const bool isHead = method == "HEAD";
  const std::int64_t c = relayPtr->chunkSize();
  auto firstChunkOf = [range, isHead, c](std::int64_t total) -> std::optional<std::int64_t> {
    const auto reply = transferReply(range, total);
    // Media of no bytes has no chunk to fetch: the header is the whole reply.
    if (!reply || isHead || reply->end < reply->start || c <= 0) {
      return std::nullopt;
    }
    return reply->start / c;
  };
  // A reply the relay can answer from memory is answered here on the queue: crossing to the
  // relay's strand and back would cost more than the whole rest of such a request.
  Opening opening;
  // Set when only the first piece of the first chunk's part was read at hand.
  relay::PartReadOn firstRest;
  std::exception_ptr lengthFailure;
  if (auto answered = relayPtr->openAtHand(token, firstChunkOf)) {
    opening = std::move(*answered);
    // With no other connection open the queue has nothing else to do while a first chunk on disk is
    // read, so it reads it here and the header leaves with its slice; with others open the read goes
    // to a pool thread, so that the queue keeps serving them meanwhile. The peer waits for the
    // first byte meanwhile: the read gives the first piece at once and the rest once it is sent.
    const auto at = opening.firstChunk ? std::nullopt : firstChunkOf(opening.total);
    if (at) {
      const auto wanted = transferReply(range, opening.total); // there is one: it gave `at`
      const auto part = partOnChunk(*at, c, opening.total, wanted->start, wanted->end);
      if (aloneOnQueue(weak)) {
        opening.firstChunk = relayPtr->chunkFromDisk(token, *at, part, &firstRest);
      } else if (opening.onDisk) {
        // The header then leaves with the first slice, in one send rather than two.
        const auto read = ChunkRead::start(relayPtr, token, *at, part, true);
        auto bytes = co_await read.fromDisk();
        opening.firstChunk = std::move(bytes);
      }
    }
  } else {
    endWhenPeerLeaves(connection);
    try {
      auto answer = co_await relayPtr->open(token, firstChunkOf);
      opening = std::move(answer);
    } catch (...) {
      lengthFailure = std::current_exception();
    }
  }
  if (lengthFailure && runtime::isCancelled()) {
    // The peer left while the relay answered: not the upstream's failure.
    post(
        [token](Impl& self) { self.relayFailure(std::make_exception_ptr(runtime::CancellationError()), token, 0, 0); });
    connection->cancel();
    co_return;
  }
  if (!lengthFailure && !opening.held) {
    notFound();
    co_return;
  }
  const std::int64_t total = opening.total;
  if (lengthFailure || total < 0) {
    opening.firstRead.cancel();
    if (!lengthFailure) {
      lengthFailure = std::make_exception_ptr(RelayError::lengthUnknown());
    }
    post([token, connection, lengthFailure](Impl& self) {
      self.logRequestFailure("upstream_fail", 502, token, lengthFailure);
      self.sendText("502 Bad Gateway", connection);
    });
    co_return;
  }

  const auto reply = transferReply(range, total);
  if (!reply) {
    opening.firstRead.cancel();
    post([token, connection, total](Impl& self) {
      self.logRequestFailure("range_invalid", 416, token, nullptr);
      self.sendRangeNotSatisfiable(total, connection);
    });
    co_return;
  }
  const auto [start, end, status] = *reply;
  const auto type = LocalVideoHTTPServer::sanitizedContentType(opening.contentType);
  const auto headerText = transferHeader(status, type, start, end, total);
  auto header = std::make_shared<const Bytes>(headerText.begin(), headerText.end());
  RequestLogContext context;
  context.token = token;
  context.status = status;
  context.startedAt = runtime::monotonicSeconds();

  const auto fail = [&](std::exception_ptr error) {
    post([error, token, sent = context.sent, status](Impl& self) { self.relayFailure(error, token, sent, status); });
    connection->cancel();
  };
  // The whole reply is in the kernel's hands: a peer that sent nothing more is closed at once,
  // without waiting for its end, which would wake the queue once more for every reply.
  const auto complete = [&] {
    post([context](Impl& self) { self.logRequestComplete(context); });
    connection->endAfterReply();
  };

  const bool headerOnly = !firstChunkOf(total);
  const std::int64_t first = headerOnly ? 0 : start / c;
  const std::int64_t last = headerOnly ? 0 : end / c;
  std::int64_t index = first;
  // The bytes of the range on chunk `at`, as offsets into it; nothing when the chunk does not
  // bring every byte of the range that lies on it (a shorter chunk would end the body short of
  // its length, or shift every later byte).
  const auto sliceOf = [&](std::int64_t at, const Chunk& bytes) -> std::optional<std::pair<std::size_t, std::size_t>> {
    const auto part = partOnChunk(at, c, total, start, end);
    if (!bytes || bytes->size() < part.offset + part.length) {
      return std::nullopt;
    }
    return std::make_pair(part.offset, part.length);
  };
  const auto partOf = [&](std::int64_t at) { return partOnChunk(at, c, total, start, end); };

  Chunk data = std::move(opening.firstChunk);
  // A first slice at hand leaves with the header in one send: each send is a round through the
  // queue and the kernel of its own.
  const bool headerWithSlice = data && sliceOf(index, data);
  // The first chunk is on its way while the header is: both cross threads, and a request that
  // waits for one before starting the other pays for the hops twice. A read the relay started
  // is its first call: a yield is asked again from here.
  bool askAgainOnYield = false;
  ChunkRead current;
  if (!headerOnly && !data) {
    askAgainOnYield = static_cast<bool>(opening.firstRead);
    current = ChunkRead(askAgainOnYield ? std::move(opening.firstRead)
                                        : fetchRelayChunk(relayPtr, token, index, partOf(index)));
  }
  if (!headerWithSlice) {
    // Only a reply that leaves at once, its first slice with its header, has no wait to watch
    // through: a read armed for it would only meet the peer's end after the reply.
    if (!headerOnly) endWhenPeerLeaves(connection);
    std::exception_ptr headerFailure;
    try {
      // Sent as a head without a body slice: the connection keeps watching for the peer's end
      // while the first chunk is awaited.
      co_await send(weak, queue, connection, std::make_shared<const Bytes>(), 0, 0, headerOnly, false, header);
    } catch (...) {
      headerFailure = std::current_exception();
    }
    if (headerFailure) {
      fail(headerFailure);
      current.cancel();
      co_return;
    }
    if (headerOnly) {
      complete();
      co_return;
    }
  }
  // The read-ahead: from memory at once when the relay has it there, else from the relay.
  ChunkRead next;
  Chunk nextData;
  const auto readAhead = [&] {
    nextData = index < last ? relayPtr->chunkFromMemory(token, index + 1) : nullptr;
    next = index < last && !nextData ? ChunkRead::start(relayPtr, token, index + 1, partOf(index + 1), opening.onDisk)
                                     : ChunkRead();
  };
  // The bytes of the first chunk's slice that left before the loop, the first with the header:
  // each piece read at hand leaves while the next is read, and the next chunk is read meanwhile.
  std::size_t sentOfFirst = 0;
  const bool inPieces = firstRest && firstRest.ready < partOf(first).length;
  if (inPieces) readAhead();
  while (firstRest && firstRest.ready < partOf(first).length) {
    std::exception_ptr pieceFailure;
    try {
      // Named, as every argument made in a co_await expression must be for GCC 12.
      auto leading = sentOfFirst == 0 ? header : nullptr;
      co_await send(weak, queue, connection, data, partOf(first).offset + sentOfFirst, firstRest.ready - sentOfFirst,
                    false, true, std::move(leading));
    } catch (...) {
      pieceFailure = std::current_exception();
    }
    if (pieceFailure) {
      fail(pieceFailure);
      next.cancel();
      co_return;
    }
    context.sent += static_cast<std::int64_t>(firstRest.ready - sentOfFirst);
    sentOfFirst = firstRest.ready;
    const auto ready = firstRest.readOn();
    if (!ready) {
      // The rest is no longer that version's on disk: the chunk comes as one not at hand would.
      data = nullptr;
      current = ChunkRead(fetchRelayChunk(relayPtr, token, index, partOf(index)));
      break;
    }
    firstRest.ready = *ready;
  }

  bool readingAhead = inPieces;
  while (true) {
    std::exception_ptr fetchFailure;
    if (!data) {
      try {
        auto value = co_await current.value();
        data = std::move(value);
      } catch (...) {
        fetchFailure = std::current_exception();
      }
      const bool askAgain = askAgainOnYield && fetchFailure && RelayError::isPrefetchYield(fetchFailure);
      askAgainOnYield = false;
      if (askAgain) {
        current = ChunkRead(fetchRelayChunk(relayPtr, token, index, partOf(index), false));
        continue;
      }
    }
    if (fetchFailure) {
      fail(fetchFailure);
      current.cancel();
      next.cancel();
      co_return;
    }
    if (!std::exchange(readingAhead, false)) readAhead();
    const auto slice = sliceOf(index, data);
    if (!slice) {
      fail(std::make_exception_ptr(RelayError::shortRead()));
      next.cancel();
      co_return;
    }
    if (runtime::isCancelled()) {
      fail(std::make_exception_ptr(runtime::CancellationError()));
      next.cancel();
      co_return;
    }
    const std::size_t alreadySent = index == first ? sentOfFirst : 0;
    const std::size_t lo = slice->first + alreadySent;
    const std::size_t sliceLength = slice->second - alreadySent;
    // The last slice ends the reply itself: an empty final send after it would cost one more
    // round through the queue for the same bytes on the wire.
    const bool isFinal = index == last;
    std::exception_ptr sendFailure;
    try {
      auto leading = index == first && headerWithSlice && sentOfFirst == 0 ? header : nullptr;
      co_await send(weak, queue, connection, std::move(data), lo, sliceLength, isFinal, true, std::move(leading));
    } catch (...) {
      sendFailure = std::current_exception();
    }
    if (sendFailure) {
      fail(sendFailure);
      next.cancel();
      co_return;
    }
    context.sent += static_cast<std::int64_t>(sliceLength);
    if (isFinal) {
      break;
    }
    ++index;
    current = next;
    data = std::move(nextData);
  }
  complete();
}

} // namespace pd::mediaserver
