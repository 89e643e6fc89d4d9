#pragma once

// Fakes for the link manager's tests: a browser and a link driven by the test, timers fired by
// hand, the test thread as the main thread, and a window on the log lines written meanwhile.

#include "FakeVideoOut.hpp"
#include "support/LogWindow.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "video/DecodedFrameHandOff.hpp"
#include "video/FrameSharing.hpp"

#include <nlohmann/json.hpp>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace pd::platform::bonjour {

// A result in a failure message: its service name and interfaces.
inline void PrintTo(const BrowseResult& result, std::ostream* out) {
  *out << link::NetworkManagerForMac::endpointText(result.endpoint) << " on";
  for (const auto& interface : result.interfaces) *out << ' ' << interface.name;
}

} // namespace pd::platform::bonjour

namespace pd::link {

// Reaches the manager's private state, as the tests need it.
struct NetworkManagerForMacTestAccess {
  using Manager = NetworkManagerForMac;
  static std::uint64_t generation(const Manager& m) { return m.connectionGeneration_; }
  static void setGeneration(Manager& m, std::uint64_t value) { m.connectionGeneration_ = value; }
  static bool isConnecting(const Manager& m) { return m.isConnecting_; }
  static void setConnecting(Manager& m, bool value) { m.isConnecting_ = value; }
  static void setAutoReconnecting(Manager& m, bool value) {
    if (value) {
      m.reconnect_.start(false);
    } else {
      m.reconnect_.stop();
    }
  }
  static bool hasConnection(const Manager& m) { return m.connection_.link() != nullptr; }
  static const ControlBacklog& controlBacklog(const Manager& m) { return m.controlBacklog_; }
  static void handleConnectionTimeout(Manager& m, std::uint64_t generation) { m.handleConnectionTimeout(generation); }
  static std::uint64_t linkEpoch(const Manager& m) { return m.linkEpoch_; }
  static bool isAutoReconnecting(const Manager& m) { return m.reconnect_.active(); }
  static std::int64_t reconnectAttempt(const Manager& m) { return m.reconnect_.attempt(); }
  static std::int64_t occupiedRejectStreak(const Manager& m) { return m.reconnect_.occupiedRejectStreak(); }
  static bool isPinned(const Manager& m) { return m.reconnect_.pinnedToLastPeer(); }
  static bool hasReconnectTimer(const Manager& m) { return m.reconnectTimer_ != nullptr; }
  static void handlePeerLost(Manager& m) { m.handlePeerLost(); }
  static void startAutoReconnect(Manager& m, NetworkManagerForMac::ReconnectNotice::Cause cause) {
    m.startAutoReconnect(cause);
  }
  static void setStickyUntil(Manager& m, double until) { m.stickyStatusUntil_ = until; }
  static void updateConnectionStatus(Manager& m) { m.updateConnectionStatus(); }
  static std::set<std::uint8_t> silentStreams(Manager& m) {
    std::scoped_lock lock(m.videoLivenessGate_);
    return m.silentStreams_;
  }
  static std::map<std::uint8_t, double> stoppedStreams(Manager& m) {
    std::scoped_lock lock(m.videoLivenessGate_);
    return m.stoppedStreams_;
  }
  static std::map<std::uint8_t, double> lastFrameTimes(Manager& m) {
    std::scoped_lock lock(m.videoLivenessGate_);
    return m.lastFrameTimeByStream_;
  }
  static void checkVideoSilence(Manager& m, NetworkManagerForMac::LinkState state, double now) {
    m.checkVideoSilence(state, now);
  }
  // Before any heartbeat runs: the network queue reads these.
  static void setTiming(Manager& m, const NetworkManagerForMac::Timing& timing) { m.dependencies_.timing = timing; }
  static bool hasHeartbeat(const Manager& m) { return m.heartbeatSource_ != nullptr; }

  // Each manager starts its queues' threads afresh; on a loaded machine such a thread's first turn
  // has come seconds late with nothing in its way. Only a hang outlasts this.
  static constexpr std::chrono::seconds kQueueAnswerBound{60};

  // Network-queue state, read on the queue.
  template <typename F>
  static auto onQueue(Manager& m, F read) {
    std::optional<decltype(read(m))> value;
    if (!m.networkQueue_.syncWithTimeout([&] { value = read(m); }, kQueueAnswerBound)) {
      throw std::runtime_error("network queue did not answer");
    }
    return *value;
  }
  static std::uint64_t videoEpochOnQueue(Manager& m) {
    return onQueue(m, [](Manager& s) { return s.ingest_.epoch(); });
  }
  static bool dropsVideoForVersionGate(Manager& m) {
    return onQueue(m, [](Manager& s) { return s.dropVideoForVersionGate_; });
  }
  static double lastInboundActivity(Manager& m) {
    return onQueue(m, [](Manager& s) { return s.health_.lastInboundActivity(); });
  }
  static void drainQueue(Manager& m) {
    onQueue(m, [](Manager&) { return 0; });
  }
  // One tick of the heartbeat, as its timer runs it (without re-arming the silence deadline).
  static void heartbeatTick(Manager& m) {
    onQueue(m, [](Manager& s) {
      s.heartbeatTick(nullptr);
      return 0;
    });
  }
  // Video ingest.
  static void handleVideo(Manager& m, const std::vector<std::uint8_t>& datagram) {
    onQueue(m, [&](Manager& s) {
      s.handleVideoDatagram(datagram);
      return 0;
    });
  }
  static void setVersionGate(Manager& m, bool drop, bool resolved) {
    onQueue(m, [&](Manager& s) {
      s.dropVideoForVersionGate_ = drop;
      s.versionResolvedForGate_ = resolved;
      return 0;
    });
  }
  static std::set<std::uint8_t> activeStreams(Manager& m) {
    return onQueue(m, [](Manager& s) { return s.ingest_.activeStreams(); });
  }
  static std::vector<std::string> decoderTags(Manager& m);
  // Returns once every installed decoder has been through the access units it was handed.
  static void waitForDecoders(Manager& m);
  // The pictures the installed decoders gave up after falling behind (their own rule).
  static std::uint64_t picturesShedByDecoders(Manager& m);
  static std::size_t partialFrames(Manager& m) {
    return onQueue(m, [](Manager& s) { return s.ingest_.partialFrameCount(); });
  }
  static void enqueueDecodedFrame(Manager& m, platform::media::VideoFramePtr frame, std::uint8_t stream,
                                  std::uint64_t epoch) {
    m.handOff_->enqueue(std::move(frame), stream, epoch);
  }
  static bool isFlushScheduled(Manager& m) { return m.handOff_->isFlushScheduled(); }
  static std::int64_t staleDrops(Manager& m, NetworkManagerForMac::StaleEpochSource source,
                                 std::optional<std::uint8_t> stream = std::nullopt) {
    return m.ingest_.unreportedStaleEpochDrops(NetworkManagerForMac::StaleEpochKey{source, stream});
  }

  // Frame sharing.
  static void onSyphonQueue(Manager& m, std::function<void(Manager&)> work) {
    if (!m.frameSharing_->queue().syncWithTimeout([&] { work(m); }, kQueueAnswerBound)) {
      throw std::runtime_error("frame-sharing queue did not answer");
    }
  }
  static void postToSyphonQueue(Manager& m, std::function<void()> work) {
    m.frameSharing_->queue().post(std::move(work));
  }
  static void stopSyphonServers(Manager& m) {
    onSyphonQueue(m, [](Manager& s) { s.frameSharing_->stopServers(); });
  }
  static void configureSyphon(Manager& m, std::vector<std::pair<std::uint8_t, std::string>> servers) {
    onSyphonQueue(m, [&](Manager& s) { s.configureSyphonServers(std::move(servers)); });
  }
  static void setSyphonEpoch(Manager& m, std::uint64_t epoch) { m.frameSharing_->setEpoch(epoch); }
  static std::uint64_t syphonEpoch(Manager& m) { return m.frameSharing_->epoch(); }
  static std::optional<std::uint32_t> syphonNodeId(Manager& m, std::uint8_t stream) {
    std::optional<std::uint32_t> id;
    onSyphonQueue(m, [&](Manager& s) { id = s.frameSharing_->nodeId(stream); });
    return id;
  }
  static std::size_t pendingSyphonFrames(Manager& m) { return m.frameSharing_->pendingFrames(); }
};

namespace test {

using namespace std::chrono_literals;
using TA = NetworkManagerForMacTestAccess;

inline std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

// Runs work on an executor and waits for it.
inline void runOn(const runtime::Executor& executor, std::function<void()> work) {
  std::mutex mutex;
  std::condition_variable condition;
  bool done = false;
  executor.execute([&] {
    work();
    // Notified under the lock: the waiter may return and take the condition with it at once.
    std::scoped_lock lock(mutex);
    done = true;
    condition.notify_all();
  });
  std::unique_lock lock(mutex);
  if (!condition.wait_for(lock, 5s, [&] { return done; })) throw std::runtime_error("executor did not run the work");
}

// The test's side of a fake browser; it outlives the browser the manager owns and drops, so a
// test can still play the late events of a browser that was replaced.
class BrowserProbe {
public:
  using ResultsChangedHandler = platform::bonjour::ServiceBrowser::ResultsChangedHandler;
  using StateUpdateHandler = platform::bonjour::ServiceBrowser::StateUpdateHandler;

  bool cancelled() {
    std::scoped_lock lock(mutex_);
    return cancelled_;
  }
  // Reports on the browser's queue, as the real one does.
  void report(platform::bonjour::BrowserState state, std::optional<Error> error = std::nullopt) {
    StateUpdateHandler handler;
    runtime::Executor queue = executor();
    {
      std::scoped_lock lock(mutex_);
      handler = state_;
    }
    runOn(queue, [&] {
      if (handler) handler({state, std::move(error)});
    });
  }
  // Delivers results through the installed handler, or through the first one ever installed
  // (a replaced browser's late event).
  void deliver(const std::vector<platform::bonjour::BrowseResult>& results,
               const std::vector<platform::bonjour::BrowseChange>& changes, bool throughFirstHandler = false) {
    ResultsChangedHandler handler;
    runtime::Executor queue = executor();
    {
      std::scoped_lock lock(mutex_);
      handler = throughFirstHandler ? firstResults_ : results_;
    }
    runOn(queue, [&] {
      if (handler) handler(results, changes);
    });
  }

private:
  friend class FakeBrowser;
  runtime::Executor executor() {
    std::scoped_lock lock(mutex_);
    if (!queue_) throw std::runtime_error("browser not started");
    return *queue_;
  }

  std::mutex mutex_;
  ResultsChangedHandler results_;
  ResultsChangedHandler firstResults_;
  StateUpdateHandler state_;
  std::optional<runtime::Executor> queue_;
  bool cancelled_ = false;
};

class FakeBrowser final : public platform::bonjour::ServiceBrowser {
public:
  explicit FakeBrowser(std::shared_ptr<BrowserProbe> probe) : probe_(std::move(probe)) {}
  void setResultsChangedHandler(ResultsChangedHandler handler) override {
    std::scoped_lock lock(probe_->mutex_);
    if (handler && !probe_->firstResults_) probe_->firstResults_ = handler;
    probe_->results_ = std::move(handler);
  }
  void setStateUpdateHandler(StateUpdateHandler handler) override {
    std::scoped_lock lock(probe_->mutex_);
    probe_->state_ = std::move(handler);
  }
  void start(runtime::Executor queue) override {
    std::scoped_lock lock(probe_->mutex_);
    probe_->queue_ = std::move(queue);
  }
  void cancel() override {
    std::scoped_lock lock(probe_->mutex_);
    probe_->cancelled_ = true;
  }

private:
  std::shared_ptr<BrowserProbe> probe_;
};

class FakeLink final : public platform::net::DatagramLink {
public:
  FakeLink(platform::net::Endpoint to, platform::net::LinkParameters with)
      : endpoint(std::move(to)), parameters(std::move(with)) {}

  const platform::net::Endpoint endpoint;
  const platform::net::LinkParameters parameters;

  void setStateHandler(StateHandler handler) override {
    std::scoped_lock lock(mutex_);
    if (handler && !firstHandler_) firstHandler_ = handler;
    handler_ = std::move(handler);
  }
  void start(runtime::Executor queue) override {
    std::scoped_lock lock(mutex_);
    queue_ = std::move(queue);
  }
  void cancel() override {
    std::scoped_lock lock(mutex_);
    cancelled_ = true;
    state_ = platform::net::LinkState::cancelled;
  }
  platform::net::LinkState state() const override {
    std::scoped_lock lock(mutex_);
    return state_;
  }
  void receiveMessage(ReceiveCompletion completion) override {
    std::scoped_lock lock(mutex_);
    ++receiveRequests_;
    pending_ = std::move(completion);
  }
  void send(std::vector<std::uint8_t> content, SendCompletion completion) override {
    std::optional<Error> outcome;
    {
      std::scoped_lock lock(mutex_);
      sent_.push_back(std::move(content));
      // A link torn down with the send queued may destroy the completion without calling it.
      if (dropCompletions_) return;
      outcome = sendError_;
    }
    if (completion) completion(outcome);
  }
  void dropSendCompletions(bool drop) {
    std::scoped_lock lock(mutex_);
    dropCompletions_ = drop;
  }
  void failSends(std::optional<Error> error) {
    std::scoped_lock lock(mutex_);
    sendError_ = std::move(error);
  }
  void setLocalEndpoint(platform::net::Endpoint local) {
    std::scoped_lock lock(mutex_);
    if (path_) path_->localEndpoint = std::move(local);
  }
  std::optional<platform::net::LinkPath> currentPath() const override {
    std::scoped_lock lock(mutex_);
    return path_;
  }

  // Moves to the state and reports it on the link's queue through the installed handler, or
  // through the first handler ever installed (a superseded connection's late report).
  void report(platform::net::LinkState state, std::optional<Error> error = std::nullopt,
              bool throughFirstHandler = false) {
    StateHandler handler;
    runtime::Executor queue = executor();
    {
      std::scoped_lock lock(mutex_);
      state_ = state;
      if (state == platform::net::LinkState::ready) {
        path_ = platform::net::LinkPath{platform::net::PathStatus::satisfied,
                                        platform::net::HostPort{"127.0.0.1", 50000},
                                        platform::net::HostPort{"127.0.0.1", 60000},
                                        {}};
      }
      handler = throughFirstHandler ? firstHandler_ : handler_;
    }
    runOn(queue, [&] {
      if (handler) handler({state, std::move(error)});
    });
  }
  // Completes the outstanding receive on the link's queue. False when none was outstanding.
  bool deliver(std::vector<std::uint8_t> content, std::optional<Error> error = std::nullopt,
               std::optional<platform::net::LinkState> stateFirst = std::nullopt) {
    ReceiveCompletion completion;
    runtime::Executor queue = executor();
    {
      std::scoped_lock lock(mutex_);
      if (stateFirst) state_ = *stateFirst;
      completion = std::move(pending_);
      pending_ = nullptr;
    }
    if (!completion) return false;
    runOn(queue, [&] { completion(content, error); });
    return true;
  }
  bool hasPendingReceive() {
    std::scoped_lock lock(mutex_);
    return static_cast<bool>(pending_);
  }
  int receiveRequests() {
    std::scoped_lock lock(mutex_);
    return receiveRequests_;
  }
  std::vector<std::vector<std::uint8_t>> sent() {
    std::scoped_lock lock(mutex_);
    return sent_;
  }
  bool cancelled() {
    std::scoped_lock lock(mutex_);
    return cancelled_;
  }
  bool hasHandler() {
    std::scoped_lock lock(mutex_);
    return static_cast<bool>(handler_);
  }

private:
  runtime::Executor executor() {
    std::scoped_lock lock(mutex_);
    if (!queue_) throw std::runtime_error("link not started");
    return *queue_;
  }

  mutable std::mutex mutex_;
  StateHandler handler_;
  StateHandler firstHandler_;
  std::optional<runtime::Executor> queue_;
  platform::net::LinkState state_ = platform::net::LinkState::setup;
  ReceiveCompletion pending_;
  int receiveRequests_ = 0;
  std::vector<std::vector<std::uint8_t>> sent_;
  std::optional<platform::net::LinkPath> path_;
  bool cancelled_ = false;
  bool dropCompletions_ = false;
  std::optional<Error> sendError_;
};

class FakeTimers final : public runtime::MainThreadTimers {
public:
  struct Entry {
    double seconds = 0;
    runtime::UniqueFunction<void()> fire;
    bool invalidated = false;
  };

  std::unique_ptr<Timer> schedule(std::chrono::duration<double> delay, runtime::UniqueFunction<void()> fire) override {
    entries_.push_back(std::make_shared<Entry>(Entry{delay.count(), std::move(fire), false}));
    return std::make_unique<Handle>(entries_.back());
  }

  std::size_t count() const { return entries_.size(); }
  const Entry& at(std::size_t index) const { return *entries_.at(index); }
  // The live timers' durations, oldest first.
  std::vector<double> pending() const {
    std::vector<double> seconds;
    for (const auto& entry : entries_)
      if (!entry->invalidated && entry->fire) seconds.push_back(entry->seconds);
    return seconds;
  }
  // Fires a timer as the main loop would; false when it was invalidated.
  bool fire(std::size_t index) {
    auto entry = entries_.at(index);
    if (entry->invalidated || !entry->fire) return false;
    auto fire = std::move(entry->fire);
    entry->fire = nullptr;
    fire();
    return true;
  }
  bool fireLast() { return fire(entries_.size() - 1); }

private:
  class Handle final : public Timer {
  public:
    explicit Handle(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
    ~Handle() override { invalidate(); }
    void invalidate() override { entry_->invalidated = true; }

  private:
    std::shared_ptr<Entry> entry_;
  };
  std::vector<std::shared_ptr<Entry>> entries_;
};

using pd::testing::LogWindow;

// Whether a line written since the window opened starts with `prefix` and holds `part`.
inline bool hasLine(const LogWindow& log, std::string_view prefix, std::string_view part) {
  const auto lines = log.lines();
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.starts_with(prefix) && line.find(part) != std::string::npos;
  });
}

// The messages of one type that went out on the link, parsed.
inline std::vector<nlohmann::json> sentMessages(FakeLink& link, std::string_view type) {
  std::vector<nlohmann::json> found;
  for (const auto& datagram : link.sent()) {
    auto json = nlohmann::json::parse(datagram.begin(), datagram.end());
    if (json["type"] == type) found.push_back(std::move(json));
  }
  return found;
}

// The handshake request last sent on the link, as the tablet reads it: its sequence number and
// link id are what the tablet's answers echo.
inline nlohmann::json lastHandshake(FakeLink& link) {
  auto requests = sentMessages(link, "handshake_request");
  if (requests.empty()) throw std::runtime_error("no handshake request sent");
  return requests.back();
}
inline std::int64_t handshakeSequence(FakeLink& link) { return lastHandshake(link)["seq"].get<std::int64_t>(); }

// The tablet's acknowledgement of request `seq`, with `fields` besides its type and seq.
inline std::string handshakeAck(std::int64_t seq, std::string_view fields = R"("protocolVersion":3,"mode":"mix")") {
  std::string text = R"({"type":"handshake_ack",)" + std::string(fields);
  if (!fields.empty()) text += ",";
  return text + R"("seq":)" + std::to_string(seq) + "}";
}

// Lets the last owner go and runs the main thread (`runMain`) until the manager's destructor has
// run to its end: work on its queues may hold it for a moment, and its destruction is then
// posted to the main thread. False when it outlived the limit.
inline bool releaseManager(std::shared_ptr<NetworkManagerForMac>& manager, const std::function<void()>& runMain,
                           std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  if (!manager) return true; // the test saw to it itself
  const std::weak_ptr<const void> gone = manager->lifetime();
  manager.reset();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!gone.expired()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    runMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A clock the test moves by hand, installed while it lives. It starts a second past both the real
// monotonic time and where any earlier one in this process stopped, so that times noted before
// it (the log throttle's) lie well in the past.
class ManualTime {
public:
  ManualTime() {
    const auto start =
        std::max(std::chrono::steady_clock::now().time_since_epoch(), reached()) + std::chrono::seconds(1);
    clock_.advance(start - clock_.monotonic().time_since_epoch());
  }
  ~ManualTime() { reached() = clock_.monotonic().time_since_epoch(); }
  ManualTime(const ManualTime&) = delete;
  ManualTime& operator=(const ManualTime&) = delete;
  void advance(double seconds) { clock_.advance(runtime::durationFromSeconds(seconds)); }

private:
  static std::chrono::steady_clock::duration& reached() {
    static std::chrono::steady_clock::duration value{};
    return value;
  }
  runtime::ManualClock clock_;
  runtime::ScopedClock installed_{clock_};
};

inline platform::net::Interface loopback() { return {"lo", 1, platform::net::InterfaceType::loopback}; }
inline platform::net::Interface wifi() { return {"wlan0", 3, platform::net::InterfaceType::wifi}; }

inline platform::bonjour::BrowseResult tablet(const std::string& name, std::vector<platform::net::Interface> interfaces,
                                              std::optional<std::vector<std::string>> txt = std::vector<std::string>{
                                                  "pv=3", "app=1.0"}) {
  platform::bonjour::BrowseResult result;
  result.endpoint = platform::net::ServiceEndpoint{name, "_velquatrin._udp", "local"};
  result.interfaces = std::move(interfaces);
  if (txt) result.txtRecord = platform::bonjour::TxtRecord::fromStrings(*txt);
  return result;
}

// A manager's dependencies with nothing reaching the network: fake browsers, links and timers,
// and a fixed identity. Frame sharing is left to the caller.
inline NetworkManagerForMac::Dependencies offlineDependencies() {
  NetworkManagerForMac::Dependencies deps;
  deps.makeBrowser = [](std::string_view) { return std::make_unique<FakeBrowser>(std::make_shared<BrowserProbe>()); };
  deps.makeLink = [](const platform::net::Endpoint& endpoint, const platform::net::LinkParameters& parameters) {
    return std::make_shared<FakeLink>(endpoint, parameters);
  };
  deps.timers = std::make_shared<FakeTimers>();
  deps.networkPeerID = [] { return std::string("00000000-0000-4000-8000-000000000001"); };
  deps.deviceName = "Test Mac";
  deps.appVersion = "9.8.7";
  deps.launchID = "5E551D00-0000-4000-8000-000000000001";
  deps.supportedFeatures = {"raw_mode", "load_video"};
  deps.syphonServerName = [] { return std::string("Palendrix Zuvudiv"); };
  return deps;
}

// The test thread as the main thread, and the loop to run it.
class MainLoopFixture : public ::testing::Test {
protected:
  MainLoopFixture() : installation_(runtime::MainThread::installIoContext(context_)) {
    platform::log::setDebugEnabled(true);
    platform::log::setStderrEnabled(false);
  }
  ~MainLoopFixture() override { platform::log::setStderrEnabled(true); }

  // Runs the main loop until done() holds.
  void runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    context_.restart();
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("condition not reached in time");
      context_.run_one_for(5ms);
      if (context_.stopped()) context_.restart();
    }
  }
  // Runs what is queued for the main thread now.
  void pump() {
    context_.restart();
    context_.poll();
  }

  boost::asio::io_context context_;
  runtime::MainThread::Installation installation_;
};

// A manager made of fakes on the test's main thread.
class ManagerFixture : public MainLoopFixture {
protected:
  ManagerFixture() {
    NetworkManagerForMac::Dependencies deps = offlineDependencies();
    deps.makeBrowser = [this](std::string_view) {
      browsers.push_back(std::make_shared<BrowserProbe>());
      return std::make_unique<FakeBrowser>(browsers.back());
    };
    deps.makeLink = [this](const platform::net::Endpoint& endpoint, const platform::net::LinkParameters& parameters) {
      auto link = std::make_shared<FakeLink>(endpoint, parameters);
      links.push_back(link);
      return link;
    };
    deps.timers = timers;
    deps.makeVideoOut = [probe = videoOut] { return std::make_unique<FakeVideoOut>(probe); };
    manager = NetworkManagerForMac::create(std::move(deps));
    // Frame sharing starts on its own queue and writes a line: before a case opens its log window.
    TA::onSyphonQueue(*manager, [](NetworkManagerForMac&) {});
  }
  ~ManagerFixture() override {
    EXPECT_TRUE(releaseManager(manager, [this] { pump(); })) << "the manager outlived its test";
  }

  // Runs what is queued for the main thread now, after what the network queue has queued.
  void settle() {
    TA::drainQueue(*manager);
    context_.restart();
    context_.poll();
  }

  std::shared_ptr<FakeVideoOutProbe> videoOut = std::make_shared<FakeVideoOutProbe>();

  FakeLink& link(std::size_t index = 0) { return *links.at(index); }
  BrowserProbe& browser(std::size_t index = 0) { return *browsers.at(index); }

  // A connection over loopback that has reached ready.
  FakeLink& connectReady(const platform::bonjour::BrowseResult& peer) {
    manager->connect(peer, loopback());
    auto& current = *links.back();
    current.report(platform::net::LinkState::ready);
    settle();
    runUntil([&] { return current.hasPendingReceive(); });
    return current;
  }

  std::shared_ptr<FakeTimers> timers = std::make_shared<FakeTimers>();
  std::vector<std::shared_ptr<BrowserProbe>> browsers;
  std::vector<std::shared_ptr<FakeLink>> links;
  std::shared_ptr<NetworkManagerForMac> manager;
};

// A manager whose link to one tablet over loopback has reached ready, its handshake unanswered.
class ReadyLinkFixture : public ManagerFixture {
protected:
  void SetUp() override { current = &connectReady(tablet("Tab", {loopback()})); }

  // The tablet's datagram on the link, and what it queued for the main thread run.
  void send(std::string_view text) {
    ASSERT_TRUE(current->deliver(bytes(text)));
    settle();
  }
  // The tablet answers the request last sent.
  void acknowledge(std::string_view fields = R"("protocolVersion":3,"mode":"mix")") {
    send(handshakeAck(handshakeSequence(*current), fields));
  }
  std::vector<nlohmann::json> sent(std::string_view type) { return sentMessages(*current, type); }

  FakeLink* current = nullptr;
};

} // namespace test
} // namespace pd::link
