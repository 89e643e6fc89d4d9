#pragma once

// The server's state and its steps, shared by the server's sources only.

#include "diagnostics/ThrottledLog.hpp"
#include "mediaserver/HeadReaderShares.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/net/DeadlineLine.hpp"
#include "platform/net/TcpConnection.hpp"
#include "platform/net/TcpListener.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/ThreadPools.hpp"

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace boost::asio {
class any_io_executor;
} // namespace boost::asio

namespace pd::mediaserver {

using Connection = std::shared_ptr<platform::net::TcpConnection>;
using Bytes = std::vector<std::uint8_t>;

// A send that the connection could not complete: the peer went away, or the deadline ended it.
class ConnectionSendError : public std::system_error {
public:
  explicit ConnectionSendError(std::error_code code) : std::system_error(code, "send") {}
};

// One held file-IO slot; the slot comes back when the last holder lets go.
class LocalVideoHTTPServer::IOPermit {
public:
  explicit IOPermit(runtime::UniqueFunction<void()> onRelease) : onRelease_(std::move(onRelease)) {}
  ~IOPermit() {
    if (onRelease_) {
      onRelease_();
    }
  }
  IOPermit(const IOPermit&) = delete;
  IOPermit& operator=(const IOPermit&) = delete;

private:
  runtime::UniqueFunction<void()> onRelease_;
};

struct LocalVideoHTTPServer::RequestLogContext {
  std::string token;
  std::int64_t status = 200;
  double startedAt = 0;
  std::int64_t sent = 0;
  std::shared_ptr<IOPermit> ioPermit;
  std::optional<LocalVideoHTTPServer::FileVersion> fileVersion;
  std::optional<std::filesystem::path> fileURL;
  LocalVideoHTTPServer::FileVerifier fileVerify;
};

struct LocalVideoHTTPServer::Impl : std::enable_shared_from_this<LocalVideoHTTPServer::Impl> {
  Impl(std::shared_ptr<relay::RemoteMediaRelayInterface> relayIn, Timing timingIn);
  ~Impl();
  // Closes every socket on the queue, then ends the file pool and the queue, waiting for the work
  // under way there unless called from it. Idempotent.
  void close() noexcept;

  using ReadyWaiter = runtime::UniqueFunction<void(std::exception_ptr error, std::uint16_t port)>;
  // The per-request lines: the first, then every 20th, at most two a second.
  static constexpr diagnostics::ThrottleRule kRequestLineRule{20, std::chrono::milliseconds(500)};

  // Queue-only state: declared first so that it is destroyed last.
  runtime::SerialQueue queue;
  runtime::ThreadPool fileIOQueue;
  // Copies large relay body slices into their sockets, so that the queue's one thread does not
  // make every copy; the queue hands over only while a worker is free (relaySendsInFlight), or a
  // send that cannot wait while no worker can (relaySendsThatMayWait), so a peer that stalls its
  // worker until the send deadline never holds up another reply. Two: more threads than the
  // server's cores take turns preempting each other, a switch per turn.
  runtime::ThreadPool relaySends;
  static constexpr std::int64_t kRelaySendWorkers = 2;
  runtime::Executor queueExecutor;
  const Timing timing;
  const std::shared_ptr<relay::RemoteMediaRelayInterface> relay;

  // The file-IO slots: taken by admission on the queue, given back by the last holder of a
  // transfer's permit at once, on whatever thread that is, so that a slot is free as soon as its
  // file is closed, before the reply's last bytes leave.
  struct FileIOSlots {
    std::mutex lock;
    std::int64_t fileIOInFlight = 0; // under lock
    std::map<std::string, std::int64_t> fileIOInFlightByVolume; // under lock; no entry at 0
    // False when every slot, or every slot of the volume, is held.
    bool take(const std::string& volume);
    void give(const std::string& volume);
  };
  const std::shared_ptr<FileIOSlots> fileIOSlots = std::make_shared<FileIOSlots>();
  std::shared_ptr<platform::net::TcpListener> listener;
  std::optional<std::uint16_t> port;
  std::vector<ReadyWaiter> readyWaiters;
  std::optional<std::uint16_t> lastPort;
  bool listenerOnPreferredPort = false;
  std::optional<std::optional<std::uint16_t>> pendingRestart;
  std::int64_t restartGeneration = 0;
  std::int64_t activeConnections = 0;
  std::int64_t relaySendsInFlight = 0; // handed over, running or waiting for a worker
  std::int64_t relaySendsThatMayWait = 0; // of those, the ones that may wait for a peer's room
  HeadReaderShares<std::weak_ptr<platform::net::TcpConnection>> headReaders{
      static_cast<std::size_t>(kMaxHeadReadersPerAddress)};
  // Every connection that may still hold a socket: closed on the queue before the queue goes, since
  // tasks elsewhere may keep a connection object past the server's end.
  std::vector<std::weak_ptr<platform::net::TcpConnection>> liveConnections;
  std::int64_t statsRequests = 0;
  std::int64_t statsFails = 0;
  std::int64_t statsBytes = 0;
  double lastStatsTime = 0;
  APIHandler apiHandler;
  LongestWait apiLongestWait;
  PortChangeHandler onPortChange;
  // Every head read's deadline, on one timer.
  using HeadDeadlines = platform::net::DeadlineLine<std::weak_ptr<ConnectionState>>;
  std::shared_ptr<HeadDeadlines> headDeadlines;

  // Any thread, under registryLock only. Held apart from the server so that a transfer on the
  // file-IO pool can look its token up before every chunk without taking hold of the server.
  struct Registry {
    std::mutex lock;
    std::unordered_map<std::string, std::filesystem::path> files;
    std::unordered_map<std::string, FileVerifier> fileVerifiers;
    std::unordered_set<std::string> remoteTokens;
    std::unordered_map<std::string, std::shared_ptr<const Bytes>> playlists;

    bool hasFile(const std::string& token) {
      std::scoped_lock held(lock);
      return files.contains(token);
    }
  };
  const std::shared_ptr<Registry> registry = std::make_shared<Registry>();
  std::mutex& registryLock = registry->lock;
  std::unordered_map<std::string, std::filesystem::path>& files = registry->files;
  std::unordered_map<std::string, FileVerifier>& fileVerifiers = registry->fileVerifiers;
  std::unordered_set<std::string>& remoteTokens = registry->remoteTokens;
  std::unordered_map<std::string, std::shared_ptr<const Bytes>>& playlists = registry->playlists;

  // Runs work on the queue while the server lives; safe from any thread, including the pools
  // (the server is never locked there, so it cannot end on a pool thread).
  template <typename F>
  void postToQueue(F work) {
    queueExecutor.execute([weak = weak_from_this(), work = std::move(work)]() mutable {
      if (auto self = weak.lock()) {
        work(*self);
      }
    });
  }

  // Listener (queue).
  void ensureReadyOnQueue(ReadyWaiter waiter);
  void startListener(std::optional<std::uint16_t> preferred);
  void listenerReady(const std::shared_ptr<platform::net::TcpListener>& which);
  void listenerFailed(const std::shared_ptr<platform::net::TcpListener>& which, std::error_code error);
  void restartListener(std::optional<std::uint16_t> preferred, std::int64_t generation);

  // Connections and routing (queue).
  void accept(const Connection& connection);
  void connectionStateChanged(platform::net::TcpConnection::State state, ConnectionState& connectionState);
  // The server is full: whether a newcomer from the address may come in all the same (see
  // HeadReaderShares); logs the refusal or the eviction.
  bool makeRoomFor(const std::string& address);
  void releaseHeadReader(ConnectionState& state);
  void headDeadlineDue(ConnectionState& state);
  // Arms one receive of the head; headerBytes() takes its completion.
  void receiveHeader(const Connection& connection, Bytes accumulated, const std::shared_ptr<ConnectionState>& state);
  void headerBytes(const Connection& connection, Bytes accumulated, const std::shared_ptr<ConnectionState>& state,
                   const Bytes& content, bool isComplete, std::error_code error);
  void handleRequest(std::string_view head, const Connection& connection,
                     const std::shared_ptr<ConnectionState>& state);
  // Once a reply has to wait before it starts: a peer that leaves meanwhile ends its connection.
  static void endWhenPeerLeaves(const Connection& connection);
  void sendText(const std::string& statusText, const Connection& connection);
  void sendAPIResponse(const ReceiverAPIResponse& response, const Connection& connection);
  void sendWithDeadline(const Connection& connection, std::shared_ptr<const Bytes> buffer, std::size_t offset,
                        std::size_t length, bool isComplete, runtime::UniqueFunction<void(std::error_code)> completion,
                        std::shared_ptr<const Bytes> head = nullptr);
  void sendWithDeadline(const Connection& connection, Bytes bytes, bool isComplete,
                        runtime::UniqueFunction<void(std::error_code)> completion);

  // Registry.
  std::optional<std::shared_ptr<const Bytes>> lookupPlaylist(const std::string& token);
  std::optional<std::pair<std::filesystem::path, FileVerifier>> lookupFile(const std::string& token);
  bool isRemoteToken(const std::string& token);
  void servePlaylist(const std::shared_ptr<const Bytes>& playlist, const std::string& token, const std::string& method,
                     const Connection& connection);

  // File road (queue, with hops onto fileIOQueue).
  void admitFile(const std::string& token, const std::filesystem::path& url, FileVerifier verifier,
                 const std::string& method, std::optional<std::string> range, const Connection& connection);
  void sendRangeNotSatisfiable(std::int64_t size, const Connection& connection);

  // API road: the task's body, the handler raced against the API deadline.
  // The longest wait is asked here, as the hook is called and as its deadline passes: off the
  // queue, since what it reaches may end with that call.
  static runtime::Awaitable<void> serveAPI(std::weak_ptr<Impl> weak, runtime::Executor queueExecutor,
                                           APIHandler handler, std::string route,
                                           std::map<std::string, std::string> params, LongestWait longestWait,
                                           std::chrono::nanoseconds margin, Connection connection);

  // Relay road: the task's body.
  static runtime::Awaitable<void> serveRelay(std::weak_ptr<Impl> weak, runtime::Executor queueExecutor,
                                             std::shared_ptr<relay::RemoteMediaRelayInterface> relay, std::string token,
                                             std::string method, std::optional<std::string> range,
                                             Connection connection);
  void relayFailure(std::exception_ptr error, const std::string& token, std::int64_t sent, std::int64_t status);
  void addSentBytes(std::int64_t count);

  // Request logging (queue).
  void statsCheck();
  void logStats();
  void logRequestFailure(std::string_view reason, std::int64_t status, const std::optional<std::string>& token,
                         std::exception_ptr error);
  void logRequestAbort(std::string_view reason, const std::optional<std::string>& token, std::int64_t size,
                       std::exception_ptr error);
  void logRequestComplete(const RequestLogContext& context);
};

struct TransferReply {
  std::int64_t start = 0;
  std::int64_t end = 0; // inclusive; start - 1 for an empty whole
  std::int64_t status = 200;
};
// The whole resource (200) without a Range value, its first range (206) with one; nothing when
// the value is unsatisfiable (416).
std::optional<TransferReply> transferReply(const std::optional<std::string>& range, std::int64_t size);

// The header of a 200 or 206 transfer reply.
std::string transferHeader(std::int64_t status, const std::string& contentType, std::int64_t start, std::int64_t end,
                           std::int64_t total);

} // namespace pd::mediaserver
