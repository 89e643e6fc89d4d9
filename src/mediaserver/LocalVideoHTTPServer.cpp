// Construction, connections, the request head, the router, the registry and the replies that are
// not transfers.

#include "mediaserver/LocalVideoHTTPServer.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "mediaserver/LocalVideoHTTPServerImpl.hpp"
#include "mediaserver/MountTable.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/net/DeadlineLine.hpp"
#include "runtime/Race.hpp"

#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>

namespace pd::mediaserver {

namespace asio = boost::asio;
using diagnostics::Log;
using diagnostics::logThrottled;
using platform::net::TcpConnection;

struct LocalVideoHTTPServer::ConnectionState {
  bool headerReceived = false;
  bool ended = false;
  runtime::Task<void> servingTask;
  bool counted = true;
  // The peer's address while this connection holds one of its head-reading slots.
  std::optional<std::string> headReader;
  std::weak_ptr<TcpConnection> connection;
};

LocalVideoHTTPServer::HTTPServerError::HTTPServerError(Case c)
    : Error("HTTPServerError", static_cast<std::int64_t>(c), c == Case::deallocated ? "deallocated" : "stopped"),
      case_(c) {}

LocalVideoHTTPServer::Impl::Impl(std::shared_ptr<relay::RemoteMediaRelayInterface> relayIn, Timing timingIn)
    : queue("com.palendrix.localvideo.http", runtime::SerialQueue::Kind::ownThread),
      fileIOQueue("com.palendrix.localvideo.fileio", static_cast<std::size_t>(kMaxFileIO)),
      relaySends("com.palendrix.localvideo.relaysend", static_cast<std::size_t>(kRelaySendWorkers)),
      queueExecutor(queue.executor()),
      timing(timingIn),
      relay(std::move(relayIn)),
      headDeadlines(std::make_shared<HeadDeadlines>(
          asio::any_io_executor(queueExecutor),
          [](const std::weak_ptr<ConnectionState>& weak) {
            const auto state = weak.lock();
            return state && !state->headerReceived && !state->ended;
          },
          [this](const std::weak_ptr<ConnectionState>& weak) {
            // The line is this server's and runs on its queue: `this` is alive here.
            if (auto state = weak.lock()) {
              headDeadlineDue(*state);
            }
          })) {}

LocalVideoHTTPServer::Impl::~Impl() { close(); }

void LocalVideoHTTPServer::Impl::close() noexcept {
  // Asio's reactor forbids closing or destroying an open socket on another thread while the loop
  // it belongs to shuts down. A relay or API task may still hold a connection object, so every
  // socket is closed here, on the queue, before the queue stops. The job reads the queue's own
  // state there; `this` outlives it, since the queue is ended below, which waits for it.
  queue.syncWithTimeout(
      [this] {
        for (const auto& weak : liveConnections) {
          if (auto connection = weak.lock()) {
            connection->close();
          }
        }
        if (listener) {
          listener->cancel();
        }
      },
      std::chrono::seconds(2));
  // A transfer blocked in a send keeps its socket open until the close above wakes it; it then
  // hands the close back to the queue. The pools that send (file-IO, relay sends) end first, so
  // that every close they hand back is queued before the queue stops and runs there, instead of
  // being dropped and leaving the socket to whichever pool thread lets go of the connection last,
  // during the queue's own teardown.
  fileIOQueue.shutdown();
  relaySends.shutdown();
  queue.shutdown();
}

std::shared_ptr<LocalVideoHTTPServer>
LocalVideoHTTPServer::create(std::shared_ptr<relay::RemoteMediaRelayInterface> relay, Timing timing) {
  return std::make_shared<LocalVideoHTTPServer>(std::move(relay), timing);
}

std::shared_ptr<LocalVideoHTTPServer>
LocalVideoHTTPServer::create(std::shared_ptr<relay::RemoteMediaRelayInterface> relay) {
  return create(std::move(relay), Timing{});
}

LocalVideoHTTPServer::LocalVideoHTTPServer(std::shared_ptr<relay::RemoteMediaRelayInterface> relay, Timing timing)
    : impl_(std::make_shared<Impl>(std::move(relay), timing)) {}

// Work under way on the queue may hold the state for a moment. Were that work the state's last
// holder, the queue would be ended from its own thread, which then runs on unjoined, up to the
// program's exit; so the owner ends it here and waits.
LocalVideoHTTPServer::~LocalVideoHTTPServer() { impl_->close(); }

void LocalVideoHTTPServer::setAPIHandler(APIHandler handler, LongestWait longestWait) {
  impl_->postToQueue([handler = std::move(handler), longestWait = std::move(longestWait)](Impl& self) mutable {
    self.apiHandler = std::move(handler);
    self.apiLongestWait = std::move(longestWait);
  });
}

void LocalVideoHTTPServer::setAPIHandler(APIHandler handler, std::chrono::nanoseconds longestWait) {
  setAPIHandler(std::move(handler), [longestWait] { return longestWait; });
}

void LocalVideoHTTPServer::setOnPortChange(PortChangeHandler handler) {
  impl_->postToQueue([handler = std::move(handler)](Impl& self) mutable { self.onPortChange = std::move(handler); });
}

// ---- Connections ----

void LocalVideoHTTPServer::Impl::accept(const Connection& connection) {
  const auto& address = connection->remoteAddress();
  if (activeConnections >= kMaxConnections && !makeRoomFor(address)) {
    connection->close();
    return;
  }
  headReaders.add(address, connection);
  ++activeConnections;
  if (liveConnections.size() >= 2 * static_cast<std::size_t>(kMaxConnections)) {
    std::erase_if(liveConnections, [](const auto& weak) { return weak.expired(); });
  }
  liveConnections.push_back(connection);
  auto state = std::make_shared<ConnectionState>();
  state->headReader = address;
  state->connection = connection;
  std::weak_ptr<Impl> weak = weak_from_this();
  connection->setStateHandler([weak, state](TcpConnection::State s, std::error_code) {
    if (auto self = weak.lock()) {
      self->connectionStateChanged(s, *state);
    } else if (state->servingTask) {
      state->servingTask.cancel();
    }
  });
  headDeadlines->add(std::chrono::steady_clock::now() + timing.headerDeadline, state);
  receiveHeader(connection, {}, state);
}

void LocalVideoHTTPServer::Impl::connectionStateChanged(TcpConnection::State state, ConnectionState& connectionState) {
  if (state == TcpConnection::State::cancelled) {
    connectionState.ended = true;
  }
  // A road that ends its own connection is done with it: a cancellation would only queue a signal
  // for a body that is about to return.
  if (const auto& task = connectionState.servingTask; task && !task.isCurrent()) {
    task.cancel();
  }
  releaseHeadReader(connectionState);
  if (connectionState.counted) {
    connectionState.counted = false;
    --activeConnections;
  }
}

bool LocalVideoHTTPServer::Impl::makeRoomFor(const std::string& address) {
  std::optional<std::weak_ptr<TcpConnection>> evicted;
  if (!headReaders.holdsItsShare(address)) {
    evicted = headReaders.takeForNewcomer(address);
  }
  const auto peerBusy = [] {
    logThrottled(Log::localvideo(), platform::log::Level::debug, "http_request_abort_busy_peer", kRequestLineRule,
                 "http_request_abort reason=busy_peer size_b=0 err_domain=- err_code=0 error=- occurrences=%ld");
  };
  if (!evicted) {
    if (headReaders.holdsItsShare(address)) {
      peerBusy();
    } else {
      logThrottled(Log::localvideo(), platform::log::Level::debug, "http_request_abort_busy", kRequestLineRule,
                   "http_request_abort reason=busy size_b=0 err_domain=- err_code=0 error=- occurrences=%ld");
    }
    return false;
  }
  peerBusy();
  // Nothing was sent on it: closed at once, its slot comes back before the newcomer takes one.
  if (auto oldest = evicted->lock()) {
    oldest->close();
  }
  return true;
}

void LocalVideoHTTPServer::Impl::releaseHeadReader(ConnectionState& state) {
  const auto address = std::exchange(state.headReader, std::nullopt);
  if (address) {
    headReaders.remove(*address, [&](const std::weak_ptr<TcpConnection>& held) {
      return !held.owner_before(state.connection) && !state.connection.owner_before(held);
    });
  }
}

void LocalVideoHTTPServer::Impl::headDeadlineDue(ConnectionState& state) {
  logRequestAbort("header_timeout", std::nullopt, 0,
                  std::make_exception_ptr(PosixError(ETIMEDOUT, "request head deadline")));
  if (auto connection = state.connection.lock()) {
    connection->cancel();
  }
}

void LocalVideoHTTPServer::Impl::receiveHeader(const Connection& connection, Bytes accumulated,
                                               const std::shared_ptr<ConnectionState>& state) {
  std::weak_ptr<Impl> weak = weak_from_this();
  connection->receive(kMaxHeadBytes, [weak, connection, state, accumulated = std::move(accumulated)](
                                         Bytes content, bool isComplete, std::error_code error) mutable {
    auto self = weak.lock();
    if (!self) {
      connection->cancel();
      return;
    }
    self->headerBytes(connection, std::move(accumulated), state, content, isComplete, error);
  });
}

void LocalVideoHTTPServer::Impl::headerBytes(const Connection& connection, Bytes accumulated,
                                             const std::shared_ptr<ConnectionState>& state, const Bytes& content,
                                             bool isComplete, std::error_code error) {
  accumulated.insert(accumulated.end(), content.begin(), content.end());
  if (error) {
    logRequestAbort("recv_fail", std::nullopt, 0, std::make_exception_ptr(std::system_error(error, "receive")));
    connection->cancel();
    return;
  }
  static constexpr std::string_view kTerminator = "\r\n\r\n";
  const std::string_view text(reinterpret_cast<const char*>(accumulated.data()), accumulated.size());
  if (const auto at = text.find(kTerminator); at != std::string_view::npos) {
    state->headerReceived = true;
    headDeadlines->dropFinished();
    releaseHeadReader(*state);
    handleRequest(text.substr(0, at), connection, state);
    return;
  }
  if (!isComplete && accumulated.size() <= kMaxHeadBytes) {
    receiveHeader(connection, std::move(accumulated), state);
    return;
  }
  if (accumulated.empty()) {
    logThrottled(Log::localvideo(), platform::log::Level::debug, "http_request_abort", kRequestLineRule,
                 "http_request_abort reason=empty_request size_b=0 occurrences=%ld");
  } else {
    ++statsRequests;
    statsCheck();
    logRequestFailure("header_incomplete", 0, std::nullopt, nullptr);
  }
  connection->cancel();
}

// ---- Router ----

void LocalVideoHTTPServer::Impl::handleRequest(std::string_view headText, const Connection& connection,
                                               const std::shared_ptr<ConnectionState>& state) {
  ++statsRequests;
  statsCheck();
  const auto head = LocalVideoHTTPServer::parseHead(headText);
  if (!head) {
    logRequestFailure("bad_request", 400, std::nullopt, nullptr);
    sendText("400 Bad Request", connection);
    return;
  }
  const auto& method = head->method;
  if (method != "GET" && method != "HEAD") {
    logRequestFailure("method_not_allowed", 405, std::nullopt, nullptr);
    sendText("405 Method Not Allowed", connection);
    return;
  }
  const auto& path = head->path;
  if (path == "search" || path == "resolve" || path == "bpm") {
    if (method != "GET") {
      logRequestFailure("method_not_allowed", 405, std::nullopt, nullptr);
      sendText("405 Method Not Allowed", connection);
    } else if (!apiHandler) {
      logRequestFailure("api_unavailable", 404, std::nullopt, nullptr);
      sendText("404 Not Found", connection);
    } else {
      state->servingTask =
          runtime::spawn(runtime::sharedPool().executor(),
                         [weak = weak_from_this(), executor = queueExecutor, handler = apiHandler, route = path,
                          params = LocalVideoHTTPServer::parseQuery(head->query), longestWait = apiLongestWait,
                          margin = timing.apiDeadlineMargin, connection]() mutable {
                           return serveAPI(std::move(weak), std::move(executor), std::move(handler), std::move(route),
                                           std::move(params), std::move(longestWait), margin, std::move(connection));
                         });
      endWhenPeerLeaves(connection);
    }
    return;
  }
  auto range = LocalVideoHTTPServer::headerValue("range", head->lines);
  logThrottled(Log::localvideo(), platform::log::Level::debug, "http_request_recv", kRequestLineRule,
               "http_request_recv method=%{public}s token=%{private,mask.hash}s range=%{public}s occurrences=%ld",
               method, path, range ? "y" : "n");
  if (path.ends_with(".m3u8")) {
    const auto token = path.substr(0, path.size() - 5);
    if (auto playlist = lookupPlaylist(token)) {
      servePlaylist(*playlist, token, method, connection);
      return;
    }
  }
  if (auto file = lookupFile(path)) {
    admitFile(path, file->first, std::move(file->second), method, std::move(range), connection);
    endWhenPeerLeaves(connection);
    return;
  }
  // On the queue itself: the road only awaits, and each of its sends and log posts would
  // otherwise wake the queue's thread from a pool thread and back. It watches the peer itself,
  // only when it has to wait.
  state->servingTask =
      runtime::spawn(queueExecutor, [weak = weak_from_this(), executor = queueExecutor, relayPtr = relay, token = path,
                                     method, range = std::move(range), connection]() mutable {
        return serveRelay(std::move(weak), std::move(executor), std::move(relayPtr), std::move(token),
                          std::move(method), std::move(range), std::move(connection));
      });
}

void LocalVideoHTTPServer::Impl::endWhenPeerLeaves(const Connection& connection) {
  // A reply that did not start at once waits on the API, the relay or the disk: a peer that
  // leaves meanwhile ends the connection, which frees its slot and cancels the serving task.
  connection->watchUntilReply([weakConnection = std::weak_ptr<TcpConnection>(connection)] {
    if (auto alive = weakConnection.lock()) {
      alive->cancel();
    }
  });
}

// ---- Replies ----

void LocalVideoHTTPServer::Impl::sendWithDeadline(const Connection& connection, std::shared_ptr<const Bytes> buffer,
                                                  std::size_t offset, std::size_t length, bool isComplete,
                                                  runtime::UniqueFunction<void(std::error_code)> completion,
                                                  std::shared_ptr<const Bytes> head) {
  // The connection holds the deadline (its listener gave it timing.sendDeadline): one timer for
  // all its sends, which ends it when a send outlasts the deadline; the completion then has the
  // error. Completions run on the queue, the connection's executor.
  connection->send(std::move(head), std::move(buffer), offset, length, isComplete, std::move(completion));
}

void LocalVideoHTTPServer::Impl::sendWithDeadline(const Connection& connection, Bytes bytes, bool isComplete,
                                                  runtime::UniqueFunction<void(std::error_code)> completion) {
  const auto length = bytes.size();
  sendWithDeadline(connection, std::make_shared<const Bytes>(std::move(bytes)), 0, length, isComplete,
                   std::move(completion));
}

namespace {

Bytes toBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

} // namespace

void LocalVideoHTTPServer::Impl::sendText(const std::string& statusText, const Connection& connection) {
  std::string reply = "HTTP/1.1 " + statusText + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                      std::to_string(statusText.size()) + "\r\nConnection: close\r\n\r\n" + statusText;
  sendWithDeadline(connection, toBytes(reply), true, [connection](std::error_code) { connection->cancel(); });
}

void LocalVideoHTTPServer::Impl::sendAPIResponse(const ReceiverAPIResponse& response, const Connection& connection) {
  std::string_view phrase = "Error";
  switch (response.status) {
  case 200: phrase = "OK"; break;
  case 400: phrase = "Bad Request"; break;
  case 403: phrase = "Forbidden"; break;
  case 404: phrase = "Not Found"; break;
  case 502: phrase = "Bad Gateway"; break;
  case 503: phrase = "Service Unavailable"; break;
  default: break;
  }
  std::string header =
      "HTTP/1.1 " + std::to_string(response.status) + " " + std::string(phrase) +
      "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(response.body.size()) +
      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  auto reply = toBytes(header);
  reply.insert(reply.end(), response.body.begin(), response.body.end());
  sendWithDeadline(connection, std::move(reply), true, [connection](std::error_code) { connection->cancel(); });
}

runtime::Awaitable<void> LocalVideoHTTPServer::Impl::serveAPI(std::weak_ptr<Impl> weak, runtime::Executor queue,
                                                              APIHandler handler, std::string route,
                                                              std::map<std::string, std::string> params,
                                                              LongestWait longestWait, std::chrono::nanoseconds margin,
                                                              Connection connection) {
  // Past the largest duration the deadline is the largest one.
  margin = std::max(margin, std::chrono::nanoseconds::zero());
  const auto statedLimit = [&longestWait, margin] {
    const auto wait =
        std::max(longestWait ? longestWait() : std::chrono::nanoseconds::zero(), std::chrono::nanoseconds::zero());
    return wait < std::chrono::nanoseconds::max() - margin ? wait + margin : std::chrono::nanoseconds::max();
  };
  const auto started = std::chrono::steady_clock::now();
  auto limit = statedLimit();
  auto work = runtime::spawn(runtime::sharedPool().executor(),
                             [handler = std::move(handler), route = std::move(route),
                              params = std::move(params)]() mutable -> runtime::Awaitable<ReceiverAPIResponse> {
                               auto response = co_await handler(std::move(route), std::move(params));
                               co_return response;
                             });
  std::optional<ReceiverAPIResponse> answer;
  // The hook's own failure: nothing else would answer the peer or end its connection.
  std::exception_ptr failure;
  for (;;) {
    // The race ends only this wait, so that the work goes on if the hook's longest wait has grown
    // meanwhile (a YouTube call tries the instances the user adds while it runs).
    auto waiting =
        runtime::spawn(runtime::sharedPool().executor(),
                       [work]() -> runtime::Awaitable<ReceiverAPIResponse> { co_return co_await work.value(); });
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started);
    try {
      answer = co_await runtime::race(std::move(waiting), limit - std::min(limit, elapsed));
    } catch (...) {
      failure = std::current_exception();
    }
    if (answer || failure || runtime::isCancelled()) break;
    const auto restated = statedLimit();
    if (restated <= limit) break;
    limit = restated;
  }
  if (!answer) work.cancel();
  // No answer: either the connection ended (the peer left) and cancelled this task, or the
  // handler hung past the limit or failed, and the peer is told so instead of holding its slot for
  // good.
  const bool peerGone = !answer && runtime::isCancelled();
  queue.execute([weak, answer = std::move(answer), peerGone, failure, connection] {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    if (answer) {
      self->sendAPIResponse(*answer, connection);
    } else if (peerGone) {
      self->logRequestAbort("client_gone", std::nullopt, 0, std::make_exception_ptr(runtime::CancellationError()));
    } else {
      self->logRequestFailure(failure ? "api_error" : "api_timeout", 503, std::nullopt,
                              failure ? failure
                                      : std::make_exception_ptr(PosixError(ETIMEDOUT, "API handler deadline")));
      static constexpr std::string_view kUnavailable = R"({"error":"unavailable"})";
      self->sendAPIResponse(ReceiverAPIResponse{503, toBytes(kUnavailable)}, connection);
    }
  });
}

// ---- Registry and playlists ----

std::string LocalVideoHTTPServer::registerFile(std::filesystem::path url, FileVerifier verifier) {
  auto token = platform::crypto::makeUUIDString();
  std::size_t count = 0;
  {
    std::scoped_lock lock(impl_->registryLock);
    impl_->files[token] = std::move(url);
    if (verifier) {
      impl_->fileVerifiers[token] = std::move(verifier);
    }
    count = impl_->files.size();
  }
  Log::localvideo().debug("http_registry_update action=add token=%{private,mask.hash}s count=%ld", token, count);
  return token;
}

runtime::Awaitable<std::string> LocalVideoHTTPServer::registerRemote(std::shared_ptr<const relay::RemoteMedia> media) {
  auto token = platform::crypto::makeUUIDString();
  auto impl = impl_;
  co_await impl->relay->registerMedia(token, std::move(media));
  {
    std::scoped_lock lock(impl->registryLock);
    impl->remoteTokens.insert(token);
  }
  co_return token;
}

std::string LocalVideoHTTPServer::registerPlaylist(std::string_view text) {
  auto token = platform::crypto::makeUUIDString();
  auto data = std::make_shared<const Bytes>(toBytes(text));
  {
    std::scoped_lock lock(impl_->registryLock);
    impl_->playlists[token] = data;
  }
  Log::localvideo().debug("http_registry_update action=add_playlist token=%{private,mask.hash}s size_b=%ld", token,
                          data->size());
  return token;
}

void LocalVideoHTTPServer::unregister(const std::string& token) {
  std::size_t count = 0;
  {
    std::scoped_lock lock(impl_->registryLock);
    impl_->files.erase(token);
    impl_->fileVerifiers.erase(token);
    impl_->remoteTokens.erase(token);
    impl_->playlists.erase(token);
    count = impl_->files.size();
  }
  Log::localvideo().debug("http_registry_update action=remove token=%{private,mask.hash}s count=%ld", token, count);
  runtime::spawnDetached(
      runtime::sharedPool().executor(),
      [relayPtr = impl_->relay, token]() -> runtime::Awaitable<void> { co_await relayPtr->unregister(token); });
}

std::optional<std::shared_ptr<const Bytes>> LocalVideoHTTPServer::Impl::lookupPlaylist(const std::string& token) {
  std::scoped_lock lock(registryLock);
  if (auto found = playlists.find(token); found != playlists.end()) {
    return found->second;
  }
  return std::nullopt;
}

std::optional<std::pair<std::filesystem::path, LocalVideoHTTPServer::FileVerifier>>
LocalVideoHTTPServer::Impl::lookupFile(const std::string& token) {
  std::scoped_lock lock(registryLock);
  const auto found = files.find(token);
  if (found == files.end()) {
    return std::nullopt;
  }
  FileVerifier verifier;
  if (auto v = fileVerifiers.find(token); v != fileVerifiers.end()) {
    verifier = v->second;
  }
  return std::make_pair(found->second, std::move(verifier));
}

bool LocalVideoHTTPServer::Impl::isRemoteToken(const std::string& token) {
  std::scoped_lock lock(registryLock);
  return remoteTokens.contains(token);
}

void LocalVideoHTTPServer::Impl::servePlaylist(const std::shared_ptr<const Bytes>& playlist, const std::string& token,
                                               const std::string& method, const Connection& connection) {
  std::string header = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\nContent-Length: " +
                       std::to_string(playlist->size()) + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
  auto reply = toBytes(header);
  if (method == "GET") {
    reply.insert(reply.end(), playlist->begin(), playlist->end());
  }
  Log::localvideo().debug("http_playlist_serve token=%{private,mask.hash}s method=%{public}s size_b=%ld", token, method,
                          playlist->size());
  sendWithDeadline(connection, std::move(reply), true, [connection](std::error_code) { connection->cancel(); });
}

std::string LocalVideoHTTPServer::volumeKey(const std::filesystem::path& path) {
  auto normal = (path.is_absolute() ? path : std::filesystem::path("/") / path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  return MountTable::volumeOf(normal);
}

std::optional<TransferReply> transferReply(const std::optional<std::string>& range, std::int64_t size) {
  if (!range) {
    return TransferReply{0, size - 1, 200};
  }
  const auto parsed = LocalVideoHTTPServer::parseRange(*range, size);
  if (!parsed) {
    return std::nullopt;
  }
  return TransferReply{parsed->start, parsed->end, 206};
}

std::string transferHeader(std::int64_t status, const std::string& contentType, std::int64_t start, std::int64_t end,
                           std::int64_t total) {
  // Built in one allocation: every small reply makes one, on the queue thread.
  std::string header;
  header.reserve(160 + contentType.size());
  const auto number = [&header](std::int64_t value) {
    std::array<char, 24> digits{};
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    header.append(digits.data(), written.ptr);
  };
  header += status == 206 ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
  header += "Content-Type: ";
  header += contentType;
  header += "\r\nContent-Length: ";
  number(end - start + 1);
  header += "\r\nAccept-Ranges: bytes\r\n";
  if (status == 206) {
    header += "Content-Range: bytes ";
    number(start);
    header += '-';
    number(end);
    header += '/';
    number(total);
    header += "\r\n";
  }
  header += "Connection: close\r\n\r\n";
  return header;
}

} // namespace pd::mediaserver
