// The relay road: a task per request that cuts the reply's bytes out of the relay's chunks, with
// one chunk of read-ahead while the current one is on the wire.

#include "mediaserver/LocalVideoHTTPServerImpl.hpp"
#include "runtime/Clock.hpp"

#include <boost/asio/async_result.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace pd::mediaserver {

namespace asio = boost::asio;
using relay::RelayError;

namespace {

using Relay = std::shared_ptr<relay::RemoteMediaRelayInterface>;
using Weak = std::weak_ptr<LocalVideoHTTPServer::Impl>;

// One send on the queue, raced against the send deadline; throws ConnectionSendError when it
// does not complete. A body slice is counted in the statistics by the send's own completion on
// the queue: a post of its own would wake the queue once more for every slice.
runtime::Awaitable<void> send(Weak weak, runtime::Executor queue, Connection connection,
                              std::shared_ptr<const Bytes> buffer, std::size_t offset, std::size_t length,
                              bool isComplete, bool isBody = false) {
  auto initiation = [&](auto handler) {
    auto work = asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    auto resume = [handler = std::move(handler), work](std::error_code error) mutable {
      asio::post(work, [handler = std::move(handler), error]() mutable { std::move(handler)(error); });
    };
    queue.execute([weak, connection, buffer, offset, length, isComplete, isBody, resume = std::move(resume)]() mutable {
      auto server = weak.lock();
      if (!server) {
        resume(std::make_error_code(std::errc::operation_canceled));
        return;
      }
      auto counted = [weak, isBody, length, resume = std::move(resume)](std::error_code error) mutable {
        if (!error && isBody) {
          if (auto alive = weak.lock()) alive->addSentBytes(static_cast<std::int64_t>(length));
        }
        resume(error);
      };
      server->sendWithDeadline(connection, std::move(buffer), offset, length, isComplete, std::move(counted));
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

// One chunk; a prefetch yield is asked again once, at once.
runtime::Task<Chunk> fetchRelayChunk(const runtime::Executor& queue, Relay relayPtr, std::string token,
                                     std::int64_t index) {
  return runtime::spawn(queue, [relayPtr, token, index]() -> runtime::Awaitable<Chunk> {
    // Results are named locals throughout: GCC 12 may destroy a temporary that a co_await yields
    // twice when it is used inside a larger expression.
    try {
      auto bytes = co_await relayPtr->chunk(token, index, false);
      co_return bytes;
    } catch (const RelayError& error) {
      if (error.errorCase() != RelayError::Case::prefetchYield) {
        throw;
      }
    }
    // A coroutine cannot await inside its handler: the second call comes after it.
    auto bytes = co_await relayPtr->chunk(token, index, false);
    co_return bytes;
  });
}

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
  // The relay is asked its three questions at once and the answers are taken in order: asked
  // one after another, each would cross to the relay's strand and back on its own. None of them
  // changes anything the others see (a length probe is what a held token needs anyway).
  const auto heldTask = runtime::spawn(queue, [relayPtr, token]() -> runtime::Awaitable<bool> {
    const bool answer = co_await relayPtr->hasEntry(token);
    co_return answer;
  });
  const auto lengthTask = runtime::spawn(queue, [relayPtr, token]() -> runtime::Awaitable<std::int64_t> {
    const auto answer = co_await relayPtr->totalLength(token);
    co_return answer;
  });
  const auto typeTask = runtime::spawn(queue, [relayPtr, token]() -> runtime::Awaitable<std::optional<std::string>> {
    auto answer = co_await relayPtr->contentType(token);
    co_return answer;
  });
  const auto cancelQuestions = [heldTask, lengthTask, typeTask] {
    heldTask.cancel();
    lengthTask.cancel();
    typeTask.cancel();
  };
  bool held = false;
  std::int64_t total = 0;
  std::exception_ptr lengthFailure;
  std::optional<std::string> registeredType;
  {
    runtime::CancellationHandler onCancel(cancelQuestions);
    held = co_await heldTask.value();
    if (held) {
      try {
        total = co_await lengthTask.value();
      } catch (...) {
        lengthFailure = std::current_exception();
      }
    }
    if (held && !lengthFailure) {
      auto type = co_await typeTask.value();
      registeredType = std::move(type);
    }
  }
  if (!held) {
    cancelQuestions();
    notFound();
    co_return;
  }
  if (lengthFailure || total < 0) {
    cancelQuestions();
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
    post([token, connection, total](Impl& self) {
      self.logRequestFailure("range_invalid", 416, token, nullptr);
      self.sendRangeNotSatisfiable(total, connection);
    });
    co_return;
  }
  const auto [start, end, status] = *reply;
  const auto type = LocalVideoHTTPServer::sanitizedContentType(registeredType);
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
  const auto complete = [&] {
    post([context](Impl& self) { self.logRequestComplete(context); });
    connection->cancel();
  };

  const bool isHead = method == "HEAD";
  // Media of no bytes has no chunk to fetch: the header is the whole reply.
  const bool headerOnly = isHead || end < start;
  const std::int64_t c = relayPtr->chunkSize();
  const std::int64_t first = start / c;
  const std::int64_t last = end / c;
  std::int64_t index = first;
  // The first chunk is on its way while the header is: both cross threads, and a request that
  // waits for one before starting the other pays for the hops twice.
  auto current = headerOnly ? runtime::Task<Chunk>() : fetchRelayChunk(queue, relayPtr, token, index);
  std::exception_ptr headerFailure;
  try {
    co_await send(weak, queue, connection, header, 0, header->size(), headerOnly);
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

  runtime::Task<Chunk> next;
  while (true) {
    Chunk data;
    std::exception_ptr fetchFailure;
    {
      runtime::CancellationHandler onCancel([current] { current.cancel(); });
      try {
        auto value = co_await current.value();
        data = std::move(value);
      } catch (...) {
        fetchFailure = std::current_exception();
      }
    }
    if (fetchFailure) {
      fail(fetchFailure);
      current.cancel();
      co_return;
    }
    next = index < last ? fetchRelayChunk(queue, relayPtr, token, index + 1) : runtime::Task<Chunk>();
    const std::int64_t chunkStart = index * c;
    // What this chunk must bring: every byte of the range that lies on it. A shorter chunk
    // would end the body short of its length, or shift every later byte.
    const std::int64_t expected = std::min(c, total - chunkStart);
    const std::int64_t needed = std::min(expected, end - chunkStart + 1);
    if (!data || static_cast<std::int64_t>(data->size()) < needed) {
      fail(std::make_exception_ptr(RelayError::shortRead()));
      next.cancel();
      co_return;
    }
    if (runtime::isCancelled()) {
      fail(std::make_exception_ptr(runtime::CancellationError()));
      next.cancel();
      co_return;
    }
    const std::int64_t lo = std::max(chunkStart, start) - chunkStart;
    const std::int64_t hi = std::min(chunkStart + needed - 1, end) - chunkStart;
    const auto sliceLength = static_cast<std::size_t>(hi - lo + 1);
    // The last slice ends the reply itself: an empty final send after it would cost one more
    // round through the queue for the same bytes on the wire.
    const bool isFinal = !next;
    std::exception_ptr sendFailure;
    try {
      co_await send(weak, queue, connection, std::move(data), static_cast<std::size_t>(lo), sliceLength, isFinal, true);
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
  }
  complete();
}

} // namespace pd::mediaserver
