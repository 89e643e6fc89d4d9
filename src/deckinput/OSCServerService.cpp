// Asio's socket operations, inlined here, trip GCC's null-dereference analysis on its thread
// bookkeeping (a false positive inside Boost, not in this file's code).
#pragma GCC diagnostic ignored "-Wnull-dereference"

#include "deckinput/OSCServerService.hpp"

#include "deckinput/OSCParser.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/net/CloseOnExec.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Executor.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/SerialQueue.hpp"

#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/signal.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <list>
#include <unordered_map>

namespace pd::deckinput {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;
using MonotonicTime = runtime::Clock::MonotonicTime;

namespace {

constexpr std::string_view kParseFailKey = "osc_parse_fail";
constexpr std::string_view kReceiveKey = "osc_recv";
constexpr diagnostics::ThrottleRule kLineRule{100, std::chrono::milliseconds(500)};
constexpr const char* kReceiveQueueName = "com.velquatrin.osc.receive";
// Above the largest UDP payload over IPv4 (65,507 bytes): no datagram is ever cut.
constexpr std::size_t kMaxDatagram = 65536;
constexpr int kReceiveBufferBytes = 1 << 20;

// Set after a parse failure has been counted, cleared by the next success: a success skips the
// throttle's lock when there is no run of failures to end, which is nearly always.
std::atomic<bool> parseFailuresCounted{false};

MonotonicTime now() { return runtime::Clock::current().monotonic(); }

double seconds(std::chrono::nanoseconds duration) { return std::chrono::duration<double>(duration).count(); }

std::int64_t wholeSeconds(MonotonicTime::duration duration) {
  return std::chrono::duration_cast<std::chrono::seconds>(duration).count();
}

// What the status shows for the bind failures a user can mend, in the status's own language; the
// system's text goes to the log line. Nothing for other causes, which keep the system's text.
std::optional<std::string> bindFailureText(int errnum, const ServerConfiguration& configuration) {
  switch (errnum) {
  case EADDRINUSE: return "ポートが使用中です: " + std::to_string(configuration.port);
  case EACCES:
  case EPERM: return "ポートを開く権限がありません: " + std::to_string(configuration.port);
  case EADDRNOTAVAIL: return "このコンピュータにないアドレスです: " + configuration.host;
  default: return std::nullopt;
  }
}

// A sender as one number: IPv4 address and port.
std::uint64_t senderKey(const udp::endpoint& endpoint) {
  const std::uint64_t address = endpoint.address().is_v4() ? endpoint.address().to_v4().to_uint() : 0;
  return (address << 16) | endpoint.port();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Errors

OSCServerError::OSCServerError(Case c, std::string detailText, std::string host)
    : Error("OSCServerError", static_cast<std::int64_t>(c), std::move(detailText)), case_(c), host_(std::move(host)) {}

OSCServerError OSCServerError::invalidHost(const std::string& host) {
  return OSCServerError(Case::invalidHost, "無効なホストアドレス: " + host, host);
}

OSCServerError OSCServerError::listenerCreationFailed(const std::exception& cause) {
  return OSCServerError(Case::listenerCreationFailed, std::string("リスナーの作成に失敗: ") + cause.what(), {});
}

// ---------------------------------------------------------------------------------------------
// Parsing with its log lines

std::optional<OSCMessage> OSCServerService::parseMessage(std::span<const std::uint8_t> bytes) {
  std::optional<OSCMessage> message(std::in_place);
  const auto failure = OSCParser::parseInto(bytes, *message);
  if (!failure) {
    if (parseFailuresCounted.load(std::memory_order_relaxed)) {
      logParseRecovered();
    }
    return message;
  }
  parseFailuresCounted.store(true, std::memory_order_relaxed);
  logThrottled(kParseFailKey, kLineRule, [&](std::int64_t count) {
    if (failure->reason == OSCParseFailure::Reason::blobSize) {
      Log::osc().error("osc_parse_fail reason=blob_size size_b=%ld blob_size=%ld occurrences=%ld", bytes.size(),
                       failure->blobSize, count);
    } else {
      Log::osc().error("osc_parse_fail reason=%{public}s size_b=%ld occurrences=%ld",
                       OSCParseFailure::reasonWord(failure->reason), bytes.size(), count);
    }
  });
  return std::nullopt;
}

std::optional<std::string> OSCServerService::readPaddedString(std::span<const std::uint8_t> bytes,
                                                              std::size_t& offset) {
  return OSCParser::readPaddedString(bytes, offset);
}

void OSCServerService::logParseRecovered() {
  parseFailuresCounted.store(false, std::memory_order_relaxed);
  // A single failure is cleared quietly; a run of them is worth a line.
  const auto count = LogThrottle::shared().reset(kParseFailKey);
  if (count && *count >= 2) {
    Log::osc().notice("osc_parse_recovered after=%ld", *count);
  }
}

// ---------------------------------------------------------------------------------------------
// The socket and its read loop, which live on the receive queue.

struct OSCServerService::Receiver : std::enable_shared_from_this<Receiver> {
  Receiver(const runtime::Executor& executor, std::weak_ptr<OSCServerService> owner, std::uint64_t startGeneration,
           std::chrono::nanoseconds errorPause, std::size_t handOffLimit)
      : socket(executor),
        pauseTimer(executor),
        service(std::move(owner)),
        generation(startGeneration),
        readErrorPause(errorPause),
        maxHandOffs(std::max<std::size_t>(handOffLimit, 1)) {}

  void receiveNext() {
    socket.async_receive_from(asio::buffer(buffer), sender,
                              [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
                                self->handleReceive(error, size);
                              });
  }

  void handleReceive(const boost::system::error_code& error, std::size_t size);

  // Posted by the main thread when it has taken the hand-offs back below the bound.
  void resume() {
    if (!heldBack || !socket.is_open()) return;
    heldBack = false;
    receiveNext();
  }

  void close() {
    boost::system::error_code ignored;
    pauseTimer.cancel();
    socket.close(ignored);
  }

  udp::socket socket;
  asio::steady_timer pauseTimer;
  udp::endpoint sender;
  std::array<std::uint8_t, kMaxDatagram> buffer{};
  // Never locked here: the service must only ever be released on the main thread.
  std::weak_ptr<OSCServerService> service;
  std::uint64_t generation;
  std::chrono::nanoseconds readErrorPause;
  std::size_t maxHandOffs;
  // Datagrams posted to the main thread and not yet handled there; shared with those posts, which
  // may outlive the receiver.
  std::shared_ptr<std::atomic<std::size_t>> handOffs = std::make_shared<std::atomic<std::size_t>>(0);
  bool heldBack = false; // no read pending until resume()
};

// ---------------------------------------------------------------------------------------------
// Main-thread state

struct OSCServerService::Impl {
  struct Connection {
    std::uint64_t key;
    MonotonicTime lastActivity;
  };

  explicit Impl(Timing t) : timing(t), queue(std::make_unique<runtime::SerialQueue>(kReceiveQueueName)) {}

  ~Impl() {
    sweep.reset();
    closeReceiver();
    // The queue runs the close, then its thread ends.
    queue.reset();
  }

  void publish(ServerState newState) {
    state = std::move(newState);
    const ServerState copy = state; // a subscriber may publish again while this one is delivered
    states(copy);
  }

  void closeReceiver() {
    if (receiver) {
      queue->post([r = std::move(receiver)] { r->close(); });
      receiver.reset();
    }
  }

  std::string hostForLog() const { return currentHost.value_or("?"); }

  void handleReady(std::uint64_t generationThen) {
    if (generationThen != generation) {
      return;
    }
    Log::osc().notice("osc_server_start host=%{public}s port=%hu", hostForLog(), boundPort.value_or(0));
    publish(ServerState::running());
  }

  void handleFailed(std::uint64_t generationThen, std::uint16_t port, const Error& error, std::string statusText) {
    if (generationThen != generation) {
      return;
    }
    const auto fields = LogErrorFields::fields(error, true);
    Log::osc().fault("osc_server_fail host=%{public}s port=%hu err_domain=%{public}s err_code=%ld error=%s",
                     hostForLog(), port, fields.domain, fields.code, fields.detail);
    publish(ServerState::failed(std::move(statusText)));
  }

  void handleDatagram(std::uint64_t generationThen, std::uint64_t key, bool nonEmpty,
                      std::optional<OSCMessage> message) {
    if (generationThen != generation) {
      return; // from a socket that stop() has closed since
    }
    acceptSender(key);
    if (!nonEmpty) {
      return;
    }
    if (message) {
      messages(*message);
      if (generationThen != generation) {
        return; // a subscriber stopped or restarted the server
      }
    }
    noteDatagramReceived(key);
  }

  void acceptSender(std::uint64_t key) {
    if (index.contains(key)) {
      return;
    }
    const MonotonicTime at = now();
    while (!connections.empty() && connections.size() >= timing.maxConnections) {
      const Connection& oldest = connections.front();
      ++evictedSinceTick;
      evictedIdle = at - oldest.lastActivity;
      index.erase(oldest.key);
      connections.pop_front();
    }
    connections.push_back({key, at});
    index.emplace(key, std::prev(connections.end()));
  }

  void noteDatagramReceived(std::uint64_t key) {
    if (const auto found = index.find(key); found != index.end()) {
      found->second->lastActivity = now();
      // Most recently active at the back: the list stays in order of activity.
      connections.splice(connections.end(), connections, found->second);
    }
    noteOSCReceive();
  }

  void noteOSCReceive() {
    const MonotonicTime at = now();
    if (isOSCSilenceDetected && lastOSCReceiveAt) {
      Log::osc().notice("osc_silence_recovered after_s=%ld", wholeSeconds(at - *lastOSCReceiveAt));
    }
    isOSCSilenceDetected = false;
    lastOSCReceiveAt = at;
  }

  void sweepTick() {
    ++ticks;
    checkSilence();
    if (timing.reapEveryTicks > 0 && ticks % timing.reapEveryTicks == 0) {
      reapIdleConnections();
    }
    reportEvictions();
  }

  void checkSilence() {
    if (isOSCSilenceDetected || !lastOSCReceiveAt) {
      return;
    }
    const auto silent = now() - *lastOSCReceiveAt;
    if (silent >= timing.silenceThreshold) {
      isOSCSilenceDetected = true;
      Log::osc().notice("osc_silence silence_s=%ld threshold_s=%ld", wholeSeconds(silent),
                        wholeSeconds(timing.silenceThreshold));
    }
  }

  void reapIdleConnections() {
    const MonotonicTime at = now();
    std::size_t removed = 0;
    while (!connections.empty() && at - connections.front().lastActivity > timing.idleThreshold) {
      index.erase(connections.front().key);
      connections.pop_front();
      ++removed;
    }
    if (removed > 0) {
      Log::osc().notice("osc_conn_idle_reap count=%ld idle_s=%f remaining=%ld", removed, seconds(timing.idleThreshold),
                        connections.size());
    }
  }

  // Senders pushed out by the table's bound, reported once per tick rather than once per
  // datagram so that a flood of sources cannot flood the log too. idle_s is how long the most
  // recently active of them had been idle.
  void reportEvictions() {
    if (evictedSinceTick == 0) {
      return;
    }
    Log::osc().notice("osc_conn_idle_reap count=%ld idle_s=%f remaining=%ld", evictedSinceTick, seconds(evictedIdle),
                      connections.size());
    evictedSinceTick = 0;
  }

  void forgetConnections() {
    connections.clear();
    index.clear();
    evictedSinceTick = 0;
  }

  Timing timing;
  std::unique_ptr<runtime::SerialQueue> queue;
  std::shared_ptr<Receiver> receiver;
  std::unique_ptr<runtime::RepeatingTimer> sweep;
  std::int64_t ticks = 0;
  // Least recently active first.
  std::list<Connection> connections;
  std::unordered_map<std::uint64_t, std::list<Connection>::iterator> index;
  std::size_t evictedSinceTick = 0;
  MonotonicTime::duration evictedIdle{};
  std::optional<std::string> currentHost;
  std::optional<std::uint16_t> boundPort;
  std::optional<MonotonicTime> lastOSCReceiveAt;
  bool isOSCSilenceDetected = false;
  // Advanced by every stop(): work posted for an earlier socket is recognised and dropped.
  std::uint64_t generation = 0;
  ServerState state = ServerState::stopped();
  boost::signals2::signal<void(const OSCMessage&)> messages;
  boost::signals2::signal<void(const ServerState&)> states;
};

void OSCServerService::Receiver::handleReceive(const boost::system::error_code& error, std::size_t size) {
  if (error == asio::error::operation_aborted || !socket.is_open()) {
    return; // closed by stop()
  }
  if (error) {
    const auto fields = LogErrorFields::fields(PosixError(error.value(), ""), true);
    Log::osc().error("osc_conn_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                     fields.detail);
    pauseTimer.expires_after(readErrorPause);
    pauseTimer.async_wait([self = shared_from_this()](const boost::system::error_code& waitError) {
      if (!waitError) {
        self->receiveNext();
      }
    });
    return;
  }

  std::optional<OSCMessage> message;
  if (size > 0) {
    message = parseMessage(std::span<const std::uint8_t>(buffer.data(), size));
    if (message) {
      logThrottled(Log::osc(), platform::log::Level::debug, kReceiveKey, kLineRule,
                   "osc_recv addr=%{public}s size_b=%ld occurrences=%ld", message->address.string, size);
    }
  }
  // One hop to the main thread per datagram carries the sender's bookkeeping and the message.
  // Counted before it is posted, so that the main thread never takes the count below zero.
  const std::size_t waiting = handOffs->fetch_add(1) + 1;
  runtime::MainThread::post([owner = service, generationThen = generation, key = senderKey(sender), nonEmpty = size > 0,
                             message = std::move(message), handOffs = handOffs, limit = maxHandOffs,
                             receiver = weak_from_this()]() mutable {
    if (auto strong = owner.lock()) {
      // Given back before the subscribers run, so that one that throws cannot hold the reader
      // back for good. Only the hand-off that leaves the bound wakes the reader; should it run
      // before the reader has marked itself held back, the serial queue runs the resume after.
      if (handOffs->fetch_sub(1) == limit) {
        strong->impl_->queue->post([receiver] {
          if (auto self = receiver.lock()) self->resume();
        });
      }
      strong->impl_->handleDatagram(generationThen, key, nonEmpty, std::move(message));
    }
  });
  if (waiting < maxHandOffs) {
    receiveNext();
  } else {
    heldBack = true;
  }
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<OSCServerService> OSCServerService::create(Timing timing) {
  return std::make_shared<OSCServerService>(timing);
}

OSCServerService::OSCServerService(Timing timing) : impl_(std::make_unique<Impl>(timing)) {}

OSCServerService::~OSCServerService() = default;

boost::signals2::connection OSCServerService::subscribeMessages(MessageHandler handler) {
  runtime::MainThread::assertMainThread();
  return impl_->messages.connect(std::move(handler));
}

boost::signals2::connection OSCServerService::subscribeState(StateHandler handler) {
  runtime::MainThread::assertMainThread();
  auto connection = impl_->states.connect(handler);
  handler(impl_->state);
  return connection;
}

const ServerState& OSCServerService::state() const noexcept { return impl_->state; }

std::optional<std::uint16_t> OSCServerService::boundPort() const noexcept { return impl_->boundPort; }

std::size_t OSCServerService::connectionCount() const noexcept { return impl_->connections.size(); }

void OSCServerService::stop() {
  runtime::MainThread::assertMainThread();
  Impl& d = *impl_;
  d.sweep.reset();
  d.closeReceiver();
  d.forgetConnections();
  d.boundPort.reset();
  d.lastOSCReceiveAt.reset();
  d.isOSCSilenceDetected = false;
  ++d.generation;
  d.publish(ServerState::stopped());
}

void OSCServerService::start(const ServerConfiguration& configuration) {
  runtime::MainThread::assertMainThread();
  stop();
  Impl& d = *impl_;
  d.currentHost = configuration.host;
  d.publish(ServerState::starting());

  // Only an IPv4 literal: host names, IPv6 literals and the empty string are refused (a NUL
  // would let the C parser read only a prefix).
  boost::system::error_code parseError;
  const auto address = configuration.host.find('\0') == std::string::npos
                           ? asio::ip::make_address_v4(configuration.host, parseError)
                           : asio::ip::address_v4();
  if (parseError || configuration.host.find('\0') != std::string::npos) {
    auto error = OSCServerError::invalidHost(configuration.host);
    d.publish(ServerState::failed(error.errorDescription()));
    throw error;
  }

  const std::uint64_t generation = d.generation;
  auto receiver = std::make_shared<Receiver>(d.queue->executor(), weak_from_this(), generation, d.timing.readErrorPause,
                                             d.timing.maxHandOffs);
  // No read is pending yet, so the socket may be set up here before the queue takes it over.
  boost::system::error_code error;
  receiver->socket.open(udp::v4(), error);
  if (!error) platform::net::closeOnExec(receiver->socket.native_handle());
  // Reuse lets a restart take its port again while the old socket lingers. A port the kernel
  // chooses has nothing to take again, and with reuse it may be one another reusing socket holds,
  // which would then share its datagrams.
  if (!error && configuration.port != 0) {
    receiver->socket.set_option(asio::socket_base::reuse_address(true), error);
  }
  if (!error) {
    // Room for a burst while the receive thread waits for a CPU; the kernel caps the request at
    // its own maximum, and a refusal only leaves the default.
    boost::system::error_code ignored;
    receiver->socket.set_option(asio::socket_base::receive_buffer_size(kReceiveBufferBytes), ignored);
  }
  if (!error) {
    receiver->socket.bind(udp::endpoint(address, configuration.port), error);
  }
  std::uint16_t port = configuration.port;
  if (!error) {
    port = receiver->socket.local_endpoint(error).port();
  }

  // Like a listener's state reports, the outcome reaches the main thread after start returns.
  if (error) {
    boost::system::error_code ignored;
    receiver->socket.close(ignored);
    PosixError failure(error.value(), "");
    auto statusText = bindFailureText(error.value(), configuration).value_or(failure.detail());
    runtime::MainThread::post([weak = weak_from_this(), generation, port, failure = std::move(failure),
                               statusText = std::move(statusText)]() mutable {
      if (auto self = weak.lock()) {
        self->impl_->handleFailed(generation, port, failure, std::move(statusText));
      }
    });
    return; // a server that never started has nothing to sweep
  }
  d.boundPort = port;
  d.receiver = receiver;
  d.queue->post([receiver] { receiver->receiveNext(); });
  runtime::MainThread::post([weak = weak_from_this(), generation] {
    if (auto self = weak.lock()) {
      self->impl_->handleReady(generation);
    }
  });

  d.ticks = 0;
  d.sweep = std::make_unique<runtime::RepeatingTimer>(runtime::MainThread::executor(), d.timing.sweepPeriod,
                                                      [weak = weak_from_this()] {
                                                        if (auto self = weak.lock()) {
                                                          self->impl_->sweepTick();
                                                        }
                                                      });
  d.sweep->start();
}

} // namespace pd::deckinput
