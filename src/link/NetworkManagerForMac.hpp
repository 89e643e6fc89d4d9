#pragma once

// The link manager: the receiver's end of the one link to the tablet. It browses for tablets,
// opens the UDP link over the interface the user (or reconnect) chose, runs the datagram receive
// loop and publishes the link state that the views observe.
//
// Threads. Every observable property, every callback and the operations below marked "main
// thread" belong to the main thread (runtime::MainThread). The network queue runs the browser's
// and the link's handlers, the receive loop and the video path; it touches no observable state
// and hands results to the main thread in tasks that hold the manager weakly.
//
// Link generations. Every new link cycle (beginLinkSession()) advances connectionGeneration.
// A connection's state handler, its timeout, its receive loop and each control message carry
// the generation they were made under and are dropped once it is no longer current, so nothing
// of an abandoned connection can touch the current one.
//
// Parts. Each thread's work is a component of its own: Discovery (the browser), LinkConnection
// (the link and an attempt's time limit), ReceiveLoop (network queue), ControlChannel (the
// handshake's state and the dispatch of control messages), LinkHealth and PingClock (the
// heartbeat's verdicts), ReconnectPolicy, and ServiceMessages; the manager wires them and owns
// what the views observe.
//
// Make it with create() on the main thread; it lives as a shared_ptr so that the work it posts
// can hold it weakly.

#include "link/ControlBacklog.hpp"
#include "link/ControlChannel.hpp"
#include "link/ControlMessage.hpp"
#include "link/Discovery.hpp"
#include "link/LinkConnection.hpp"
#include "link/LinkHealth.hpp"
#include "link/ReceiveLoop.hpp"
#include "link/ReconnectPolicy.hpp"
#include "link/ServiceMessages.hpp"
#include "link/records/DeckState.hpp"
#include "link/records/LoadVideoAck.hpp"
#include "link/records/StreamMode.hpp"
#include "platform/bonjour/ServiceBrowser.hpp"
#include "platform/media/VideoFrame.hpp"
#include "platform/net/DatagramLink.hpp"
#include "platform/videoout/FrameServer.hpp"
#include "runtime/Error.hpp"
#include "runtime/MainThreadTimers.hpp"
#include "runtime/Published.hpp"
#include "runtime/SerialQueue.hpp"
#include "video/VideoIngest.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pd::runtime {
class RepeatingTimer;
}

namespace pd::video {
class DecodedFrameHandOff;
class FrameSharing;
} // namespace pd::video

namespace pd::link {

struct NetworkManagerForMacTestAccess;

class NetworkManagerForMac final : public runtime::ObservableObject,
                                   public std::enable_shared_from_this<NetworkManagerForMac> {
  // Declared first, so it goes last: once it has expired every member is gone and the queues'
  // threads are joined. The manager's own expiry says less: a queue's job may drop the last
  // reference, and the destruction then still waits for the main thread.
  std::shared_ptr<const int> lifetime_ = std::make_shared<const int>(0);

public:
  using BrowseResult = platform::bonjour::BrowseResult;
  using Endpoint = platform::net::Endpoint;
  using Interface = platform::net::Interface;

  // The control protocol version this build speaks.
  static constexpr std::int64_t protocolVersion = ControlChannel::protocolVersion;
  static constexpr std::string_view kServiceType = "_velquatrin._udp";
  static constexpr std::string_view kNetworkQueueLabel = "com.velquatrin.network.mac";
  // The largest control datagram read; the tablet's messages stay far below it.
  static constexpr std::size_t kMaxControlDatagramBytes = 16 * 1024;

  using LinkState = link::LinkState;

  struct ReconnectNotice {
    enum class Cause : std::uint8_t { connectionLost, timeout, connectFailed, occupied, peerNotFound };
    Cause cause = Cause::connectionLost;
    std::optional<std::chrono::system_clock::time_point> nextAttemptAt; // shown to the user: wall clock

    friend bool operator==(const ReconnectNotice&, const ReconnectNotice&) = default;
  };

  using PeerVersionInfo = link::PeerVersionInfo;

  struct VersionMismatchAlert {
    std::int64_t localVersion = 0;
    std::int64_t peerVersion = 0;
    std::string localAppVersion;
    std::optional<std::string> peerAppVersion;

    friend bool operator==(const VersionMismatchAlert&, const VersionMismatchAlert&) = default;
  };

  // The linked tablet's version state: mismatch carries the tablet's version.
  class PeerVersionState {
  public:
    enum class Kind : std::uint8_t { mismatch, unknown, matched, legacy };

    static PeerVersionState mismatch(std::int64_t peerVersion) noexcept { return {Kind::mismatch, peerVersion}; }
    static PeerVersionState unknown() noexcept { return {Kind::unknown, 0}; }
    static PeerVersionState matched() noexcept { return {Kind::matched, 0}; }
    static PeerVersionState legacy() noexcept { return {Kind::legacy, 0}; }

    Kind kind() const noexcept { return kind_; }
    // The tablet's version for mismatch; none otherwise.
    std::optional<std::int64_t> peerVersion() const noexcept {
      return kind_ == Kind::mismatch ? std::optional<std::int64_t>(peerVersion_) : std::nullopt;
    }
    friend bool operator==(const PeerVersionState&, const PeerVersionState&) = default;

  private:
    PeerVersionState(Kind kind, std::int64_t peerVersion) noexcept : kind_(kind), peerVersion_(peerVersion) {}
    Kind kind_;
    std::int64_t peerVersion_;
  };

  // Key of the video reassembly tables.
  struct FragmentKey {
    std::uint8_t streamID = 0;
    std::uint64_t sequence = 0;
    friend auto operator<=>(const FragmentKey&, const FragmentKey&) = default;
  };

  using StaleEpochSource = video::StaleEpochSource;
  using StaleEpochKey = video::StaleEpochKey;

  // The interface the link last used and the tablet it last went to.
  struct Route {
    Interface interface;
    BrowseResult peer;
    friend bool operator==(const Route&, const Route&) = default;
  };

  // Every time limit and back-off of the link in one place; tests shrink them.
  struct Timing {
    using Seconds = std::chrono::duration<double>;
    Seconds connectionTimeout{15.0};
    Seconds reconnectAttemptTimeout{5.0};
    Seconds browserRebuildDelay{2.0}; // the first rebuild after a browser failure
    Seconds browserRebuildDelayCap{30.0}; // doubling stops here
    Seconds browserWaitingRebuildDelay{10.0};
    Seconds heartbeatInterval{2.0}; // ping period
    Seconds heartbeatCheckInterval{1.0}; // tick period
    Seconds linkDegradedThreshold{2.5}; // silence that makes the link degraded
    Seconds linkLostThreshold{5.0}; // silence that makes the link lost
    Seconds videoSilenceThreshold{3.0}; // a stream without a shown frame this long is silent
    Seconds maxReconnectInterval{8.0}; // longest wait between reconnect attempts
    Seconds occupiedReconnectInterval{60.0}; // the same while the tablet is held by another receiver
  };

  // What the manager is made of. systemDependencies() gives the real services and leaves the
  // settings and the build's identity to the caller; tests swap in fakes.
  struct Dependencies {
    std::function<std::unique_ptr<platform::bonjour::ServiceBrowser>(std::string_view serviceType)> makeBrowser;
    std::function<std::shared_ptr<platform::net::DatagramLink>(const Endpoint& endpoint,
                                                               const platform::net::LinkParameters& parameters)>
        makeLink;
    std::shared_ptr<runtime::MainThreadTimers> timers;
    // The receiver's permanent peer id, sent in the handshake (read from the settings).
    std::function<std::string()> networkPeerID;
    // This build and launch as the handshake and the version alert describe them.
    std::string appVersion;
    std::string launchID;
    std::vector<std::string> supportedFeatures;
    // The frame-sharing servers' base name, read at each pipeline configuration.
    std::function<std::string()> syphonServerName;
    // The name sent in the handshake; the host name ("Mac" without one) when absent.
    std::optional<std::string> deviceName;
    Timing timing;
    // The frame-sharing daemon, opened on the frame-sharing queue at the first configuration;
    // when empty, the session's PipeWire daemon (or a stand-in where none runs).
    std::function<std::unique_ptr<platform::videoout::VideoOut>()> makeVideoOut;
  };
  static Dependencies systemDependencies();

  // Main thread.
  static std::shared_ptr<NetworkManagerForMac> create(Dependencies dependencies = systemDependencies());
  // Main thread. Stops the browser and the link and lets the queues finish their work.
  ~NetworkManagerForMac();
  // Expires when the destruction has completed. An owner that ends the main loop takes it before
  // letting go and runs the loop until it expires, so that a destruction posted there is not lost.
  std::weak_ptr<const void> lifetime() const noexcept { return lifetime_; }
  NetworkManagerForMac(const NetworkManagerForMac&) = delete;
  NetworkManagerForMac& operator=(const NetworkManagerForMac&) = delete;

  static std::string_view toString(StaleEpochSource source) noexcept;
  static std::string_view toString(ReconnectNotice::Cause cause) noexcept;

  // --- Observable state (main thread) ---------------------------------------------------------
  // The receiver only browses; it never advertises a service.
  runtime::Published<bool> isAdvertising{*this, false};
  runtime::Published<bool> isBrowsing{*this, false};
  runtime::Published<std::vector<Endpoint>> connectedPeers{*this};
  runtime::Published<std::vector<BrowseResult>> discoveredPeers{*this};
  runtime::Published<std::string> connectionStatus{*this, std::string("未接続")};
  runtime::Published<bool> isSyphonRunning{*this, false};
  runtime::Published<StreamMode> streamMode{*this, StreamMode::mix};
  runtime::Published<std::optional<StreamMode>> pendingModeRequest{*this};
  runtime::Published<std::optional<std::string>> peerInterfaceName{*this};
  runtime::Published<std::optional<std::string>> peerInterfaceType{*this};
  runtime::Published<PeerVersionState> peerVersionState{*this, PeerVersionState::unknown()};
  runtime::Published<std::optional<std::vector<std::string>>> peerFeatures{*this};
  runtime::Published<std::optional<std::string>> peerAppVersion{*this};
  runtime::Published<std::optional<VersionMismatchAlert>> versionMismatchAlert{*this};
  runtime::Published<bool> showLegacyPeerWarning{*this, false};
  runtime::Published<std::map<Endpoint, PeerVersionInfo>> discoveredPeerVersions{*this};
  runtime::Published<bool> isLinkDegraded{*this, false};
  runtime::Published<bool> isVideoSilent{*this, false};
  runtime::Published<bool> hasConnectionIssue{*this, false};
  runtime::Published<std::optional<ReconnectNotice>> reconnectNotice{*this};
  // The newest decoded frame of the mixed stream, and of the raw streams A and B.
  runtime::Published<platform::media::VideoFramePtr> receivedPixelBuffer{*this};
  runtime::Published<platform::media::VideoFramePtr> receivedPixelBufferA{*this};
  runtime::Published<platform::media::VideoFramePtr> receivedPixelBufferB{*this};

  // Written by the views before they call updateBrowsing(): true keeps browsing stopped unless
  // automatic reconnect runs.
  bool browseSuspendedByUser = false;

  // --- Callbacks (installed and called on the main thread) -------------------------------------
  std::function<void()> onConnectionEstablished;
  std::function<void(const std::optional<std::string>& peerID)> onPeerEstablished;
  std::function<void()> onRemoteSourcePeerReady;
  std::function<void(const LoadVideoAck&)> onLoadVideoAck;
  std::function<void()> onConnectionLost;
  std::function<void()> onConnectionTimeout;

  // --- Discovery (main thread) ------------------------------------------------------------------
  // Starts or stops browsing as browseSuspendedByUser and reconnect want; `reason` is logged.
  void updateBrowsing(std::string_view reason);
  void rebuildBrowser(std::string_view reason);
  // Replaces any pending rebuild.
  void scheduleBrowserRebuild(std::string_view reason, Timing::Seconds after);

  // --- Connection (main thread) -----------------------------------------------------------------
  void connect(const BrowseResult& peer, const Interface& interface);
  // Route change: closes the link and connects over `interface`, even when it is the same one.
  void selectInterface(const BrowseResult& peer, const Interface& interface);
  // Ends an attempt under way (not an established link) and suspends browsing.
  void cancelConnection();
  // Present once a connect named both; stays after a disconnect.
  std::optional<Route> currentRoute() const;
  // Starts a new link cycle and returns its generation.
  std::uint64_t beginLinkSession();
  // The user's disconnect: ends the link, browsing and any reconnect; stops frame sharing when asked.
  void stop(bool stopSyphon);

  // --- Stream mode (main thread) ----------------------------------------------------------------
  // Stores a different mode and reconfigures the pipeline for it.
  void applyStreamMode(StreamMode mode);
  // The user's answer to pendingModeRequest; tells the tablet when a link is up.
  void resolvePendingModeRequest(bool approved);
  // A peer text reduced for a log line: ASCII letters, digits and "_" only, at most 16, "-" when
  // nothing is left.
  static std::string sanitizedLogToken(std::string_view text);

  // --- Service messages to the tablet (main thread) --------------------------------------------------
  // At most one deck state travels at a time; the newest of each deck that arrives meanwhile
  // follows when it is done.
  void sendDeckState(const DeckState& state);
  // True when the message was handed to the connection (not: delivered).
  bool sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat);
  bool sendLoadVideo(const std::string& target, const std::string& url, const std::optional<std::string>& title);
  bool sendVideoBPM(const std::string& target, std::int64_t bpm, const std::optional<std::string>& url);
  // The receiver's address as the tablet can reach it, ready for an http URL ("[...]" around IPv6).
  std::optional<std::string> localHostForPeer() const;
  // Deck states handed to the connection and not yet completed.
  std::int64_t deckStatesInFlight() const noexcept { return services_.deckStatesInFlight(); }

  // --- Video ingest -------------------------------------------------------------------------------
  // Main thread: what decoded frames are waiting to be shown goes.
  void clearPendingFrames();
  // Main thread: sets up the receive path for the streams of `mode`.
  void configurePipeline(StreamMode mode);
  // Network queue, inline in the receive loop: one datagram whose first byte is not '{'.
  void handleVideoDatagram(std::span<const std::uint8_t> datagram);
  // Main thread: a frame of `stream` was just shown.
  void noteFrameDisplayed(std::uint8_t stream);
  // Network queue: a readable frame header of `stream` arrived at monotonic time `now`.
  void clearStreamStop(std::uint8_t stream, double now);
  // Network queue: writes and restarts the per-stream statistics.
  void flushStreamStats();
  // Any thread.
  void recordStaleEpochDrop(StaleEpochSource source, std::optional<std::uint8_t> stream);
  // Any thread: datagrams that reached handleVideoDatagram.
  std::uint64_t videoDatagramCount() const noexcept { return videoDatagrams_.load(std::memory_order_relaxed); }
  // Any thread: decoded frames of `stream` handed to the main thread (before the drop rules).
  std::uint64_t decodedFrameCount(std::uint8_t stream) const noexcept;
  // Network queue: resets every installed decoder (its frames in flight are handed on first)
  // and forgets the partial frames; the decoders stay installed.
  void resetVideoDecoders();
  // Main thread: the frame-sharing frames not yet published go (the frame-sharing side owns them).
  void clearPendingSyphonFrames();
  // Main thread: control datagrams handed to the main thread under the current generation.
  std::uint64_t controlDatagramCount() const noexcept;

  // --- Frame sharing ------------------------------------------------------------------------------
  // Frame-sharing queue: one server per (stream, name), replacing the servers of other streams.
  void configureSyphonServers(std::vector<std::pair<std::uint8_t, std::string>> servers);
  // Main thread: a frame just shown, with the link epoch it was decoded under.
  void enqueueSyphonFrame(platform::media::VideoFramePtr frame, std::uint8_t stream, std::uint64_t epoch);
  // Main thread: the user changed the base name.
  void renameSyphonServers(std::string baseName);
  // Main thread: the user stopped sharing on disconnect.
  void stopSyphon();
  // The advertised name of a stream's server: the base, with " A" for stream 1 and " B" for 2.
  static std::string syphonServerName(std::string_view baseName, std::uint8_t stream);

  // --- Text forms --------------------------------------------------------------------------------
  // "host:port", or the Bonjour service name.
  static std::string endpointText(const Endpoint& endpoint);
  // A TXT "pv" value: optional "+" or "-", then ASCII digits only, within 64 bits; else none.
  static std::optional<std::int64_t> parseProtocolVersion(const std::optional<std::string>& text);
  static PeerVersionInfo peerVersionInfo(const BrowseResult& result);
  // The first IPv4 address of a wired or Wi-Fi interface among the active ones.
  static std::optional<std::string> primaryIPv4Address(const std::vector<platform::net::ActiveAddress>& addresses);

private:
  friend struct NetworkManagerForMacTestAccess;
  struct Private {};

public:
  // Use create().
  NetworkManagerForMac(Private, Dependencies dependencies);

private:
  using LinkPointer = std::shared_ptr<platform::net::DatagramLink>;

  void initialise();

  // Discovery.
  std::shared_ptr<Discovery> makeDiscovery();
  void stopBrowsing();
  void updateDiscoveredPeerVersions(const std::vector<BrowseResult>& results);

  // Connection.
  // Removes the state handler, cancels and drops the connection; stops the heartbeat. True when
  // there was a connection.
  bool closeConnection();
  void invalidateConnectionTimeout();
  void armConnectionTimeout();
  void handleConnectionTimeout(std::uint64_t generation);
  void handleConnectionState(const platform::net::LinkStateUpdate& update, std::uint64_t generation,
                             const BrowseResult& peer);

  // Receive loop (network queue): where its datagrams go.
  class ReceiveSink final : public ReceiveLoop::Sink {
  public:
    explicit ReceiveSink(NetworkManagerForMac& manager) : manager_(manager) {}
    std::uint64_t currentGeneration() const override;
    void staleDatagram() override;
    void inbound() override;
    void controlDatagram(std::span<const std::uint8_t> content, std::uint64_t generation,
                         const LinkPointer& connection) override;
    void videoDatagram(std::span<const std::uint8_t> content) override;

  private:
    NetworkManagerForMac& manager_;
  };

  // Handshake, version state and status text (main thread).
  void resetPeerVersionState();
  void applyVideoVersionGate();
  void updateConnectionStatus();
  void stopHeartbeat();
  void resetVideoLiveness();

  // The control protocol and the heartbeat (main thread unless marked).
  class ControlHandler;
  void handleControlMessage(const ControlMessage& message, std::uint64_t generation, const LinkPointer& connection);
  void handleHandshakeAck(const ControlMessage& message);
  void handleHandshakeReject(const ControlMessage& message);
  void evaluatePeerVersion(const ControlMessage& message);
  void handleLoadVideoAck(const ControlMessage& message);
  void handleStreamStop(const ControlMessage& message);
  // Publishes the video-silent flag from silentStreams_, unless a newer heartbeat epoch began.
  void applyVideoSilence(std::uint64_t epoch);
  void resendHandshakeIfNeeded();
  void startHeartbeat(bool resetLiveness);
  void heartbeatTick(const std::shared_ptr<runtime::RepeatingTimer>& silenceDeadline);
  void sendPing();
  void handlePing(const ControlMessage& message);
  void handlePong(const ControlMessage& message);
  // `scheduledAt`: the monotonic clock in nanoseconds when the network queue decided.
  void applyLinkState(LinkState state, std::uint64_t epoch, std::int64_t scheduledAt);
  // Network queue: the link's verdict from the silence at `now`; reports a change to the main thread.
  void evaluateLinkState(double now);
  // Network queue: checks again exactly when the silence would cross the next threshold, when
  // that comes before the next tick.
  void armSilenceDeadline(double now, runtime::RepeatingTimer& silenceDeadline);

  // Peer loss and automatic reconnect (main thread).
  void handlePeerLost();
  void startAutoReconnect(ReconnectNotice::Cause cause);
  void stopAutoReconnect();
  void updateReconnectNoticeCause(ReconnectNotice::Cause cause);
  void scheduleReconnect();
  void reconnectNow(const BrowseResult& rediscovered);
  void performReconnectAttempt();
  void reportReconnectTarget(std::string kind, std::string reason, std::optional<std::string> interface,
                             std::optional<std::string> peerName);

  // Stream mode change (main thread).
  void handleModeChangeRequest(const ControlMessage& message);
  void sendModeChangeResponse(bool accepted, StreamMode mode);

  // Service messages (main thread): the link they go out on.
  ServiceMessages::Link serviceLink() const;

  // Video liveness (network queue): the silence verdicts of one tick.
  void checkVideoSilence(LinkState linkState, double now);

  void postToNetworkQueue(runtime::UniqueFunction<void(NetworkManagerForMac&)> work);
  std::unique_ptr<video::FrameSharing> makeFrameSharing();

  Dependencies dependencies_;

  // The queues go last, after everything that may still post to them.
  runtime::SerialQueue networkQueue_;
  // Made by initialise(); owns the frame-sharing queue.
  std::unique_ptr<video::FrameSharing> frameSharing_;
  // Made by initialise(); its browser runs on the network queue.
  std::shared_ptr<Discovery> discovery_;
  // Its link runs on the network queue.
  LinkConnection connection_;

  // Main thread.
  ControlChannel control_;
  bool isConnecting_ = false;
  std::uint64_t connectionGeneration_ = 0;
  std::uint64_t linkEpoch_ = 0;
  double stickyStatusUntil_ = 0; // monotonic seconds
  ReconnectPolicy reconnect_;
  std::optional<BrowseResult> lastConnectedPeer_;
  std::optional<Interface> lastSelectedInterface_;
  std::unique_ptr<runtime::RepeatingTimer> heartbeatSource_;
  // Fires when the silence crosses a threshold between two ticks; armed from the network queue.
  std::shared_ptr<runtime::RepeatingTimer> silenceDeadline_;
  std::unique_ptr<runtime::MainThreadTimers::Timer> reconnectTimer_;
  ServiceMessages services_;
  PingClock pings_;

  // Control messages on their way to the main thread (any thread).
  ControlBacklog controlBacklog_;

  // Network queue.
  LinkHealth health_;
  ReceiveSink receiveSink_{*this};
  ReceiveLoop receiveLoop_{receiveSink_};
  bool dropVideoForVersionGate_ = false;
  bool versionResolvedForGate_ = false;

  // Any thread, each under its lock.
  std::mutex videoLivenessGate_;
  std::map<std::uint8_t, double> lastFrameTimeByStream_;
  std::set<std::uint8_t> silentStreams_;
  std::map<std::uint8_t, double> stoppedStreams_;
  std::atomic<std::uint64_t> videoDatagrams_{0};

  // --- Video ingest ---------------------------------------------------------------------------
  static constexpr double kHandshakeNudgeInterval = 2.0; // seconds

  // Main thread.
  void flushDecodedFrames();

  class DecodedFrameSink;

  // Network queue, but for its stale-epoch accounting (any thread). The video pipeline's
  // receive side: reassembly, statistics and the decoders.
  video::VideoIngest ingest_;
  double lastHandshakeNudgeTime_ = 0; // monotonic seconds
  // Made by the first configurePipeline(), which create() runs.
  std::shared_ptr<video::DecodedFrameHandOff> handOff_;
};

} // namespace pd::link
