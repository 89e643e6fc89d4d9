#pragma once

// The tablet's side of the control protocol, without sockets or timers: it is handed datagrams and
// clock readings and answers through two hooks, one that sends a datagram and one that reports an
// event. The runtime (Emulator) owns the socket, the timers and the output.

#include "tablet-emulator/ControlMessages.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pd::tools::tablet {

struct Endpoint {
  std::string address;
  std::uint16_t port = 0;
  std::string text() const;
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

enum class HandshakePolicy { accept, reject, loseAck };
// What a handshake_ack does with the request's "linkID": echo it, answer another one, or leave it out.
enum class LinkIdEcho { echo, wrong, omit };

struct TabletProfile {
  std::string device = "Tablet Emulator";
  std::optional<std::int64_t> protocolVersion = currentProtocolVersion;
  std::optional<std::string> appVersion = "1.0.0";
  std::optional<std::vector<std::string>> features = defaultFeatures();
  std::optional<std::string> peerId;
  std::optional<std::string> sessionId;
  std::optional<std::string> interfaceName = "en0";
  std::optional<std::string> interfaceType = "wifi";
};

struct SessionSettings {
  TabletProfile profile;
  HandshakePolicy handshake = HandshakePolicy::accept;
  std::string rejectReason = "occupied";
  std::string occupiedBy;
  LinkIdEcho linkIdEcho = LinkIdEcho::echo;
  std::optional<LoadStatus> loadAck = LoadStatus::ready; // absent: load_video goes unanswered
  std::optional<std::string> loadAckReason;
  // Fetches what load_video names first (the fetch hook) and answers ready or failed after it.
  bool fetchBeforeAck = false;
  StreamMode mode = StreamMode::mix;
  // The ack's "mode": the tablet's own mode unless a word is given, or no key at all.
  std::optional<std::string> ackModeWord;
  bool ackModeOmitted = false;
  bool silenced = false;
  bool pingEnabled = false;
};

class TabletSession {
public:
  struct Hooks {
    std::function<bool(const Endpoint& to, const std::string& bytes)> send; // true when handed to the socket
    std::function<void(Json event)> emit;
    std::function<std::chrono::system_clock::time_point()> wallNow;
    std::function<std::chrono::steady_clock::time_point()> monotonicNow;
    // With fetchBeforeAck: fetches the url and then calls answerLoad.
    std::function<void(const Endpoint& from, const std::string& target, const std::string& url)> fetch;
  };

  TabletSession(SessionSettings settings, Hooks hooks);

  void handleDatagram(const Endpoint& from, ByteSpan bytes);

  // Own ping to the linked receiver; does nothing while silenced, unlinked or with pings off unless forced.
  void sendPing(bool force = false);

  // Asks the receiver to switch; the local mode follows only an accepting response.
  bool requestModeChange(StreamMode mode);
  bool sendStreamStop(const std::vector<std::uint8_t>& streams, const std::optional<std::string>& reason);
  // Sends text as is (malformed or unusual messages for tests of the receiver's parser).
  bool sendRaw(const std::string& text);

  void setHandshakePolicy(HandshakePolicy policy, std::string rejectReason = {}, std::string occupiedBy = {});
  void setSilenced(bool on) {
    settings_.silenced = on;
    heldRequest_.reset();
  }
  // Ends a silence and answers the newest handshake request that arrived during it, as a tablet
  // whose app was paused reads what waited in its socket.
  void resume();
  void setPingEnabled(bool on) { settings_.pingEnabled = on; }
  void setLocalMode(StreamMode mode) { settings_.mode = mode; }
  void setLoadAck(std::optional<LoadStatus> status, std::optional<std::string> reason);
  void setFetchBeforeAck(bool on) { settings_.fetchBeforeAck = on; }
  // The answer to a fetched load_video: ready, or failed with "fetch_failed".
  void answerLoad(const Endpoint& to, const std::string& target, const std::string& url, bool fetched);
  void setLinkIdEcho(LinkIdEcho echo) { settings_.linkIdEcho = echo; }
  TabletProfile& profile() { return settings_.profile; }

  const SessionSettings& settings() const { return settings_; }
  const std::optional<Endpoint>& linkedPeer() const { return linkedPeer_; }
  // Where video goes: the linked receiver, unless the tablet is silenced.
  std::optional<Endpoint> videoTarget() const;

private:
  bool sendMessage(const Endpoint& to, const Json& message);
  void emitReceived(const std::string& type, const Endpoint& from, const Json& body, Json extra = Json::object());
  void emitBad(const Endpoint& from, std::string_view reason, std::size_t size, const std::string& type = {},
               const Json* body = nullptr);
  void link(const Endpoint& peer);

  void onHandshakeRequest(const Endpoint& from, const Json& body, std::size_t size);
  void onPing(const Endpoint& from, const Json& body, std::size_t size);
  void onPong(const Endpoint& from, const Json& body);
  void onModeChangeResponse(const Endpoint& from, const Json& body);
  void onLoadVideo(const Endpoint& from, const Json& body, std::size_t size);

  SessionSettings settings_;
  Hooks hooks_;
  std::optional<Endpoint> linkedPeer_;
  std::int64_t pingSequence_ = 0;
  struct SentPing {
    std::int64_t seq;
    std::chrono::steady_clock::time_point at;
  };
  std::optional<SentPing> lastPing_;
  struct HeldRequest {
    Endpoint from;
    Json body;
    std::size_t size = 0;
  };
  std::optional<HeldRequest> heldRequest_;
  std::optional<StreamMode> requestedMode_;
};

} // namespace pd::tools::tablet
