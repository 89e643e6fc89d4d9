// What the rest of the receiver sends the tablet over the link: deck states, the HTTP source
// endpoint, load requests and video tempos; and the receiver's address as the tablet sees it.
#include "link/NetworkManagerForMac.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/MessageText.hpp"
#include "platform/json/JsonWriter.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"
#include "runtime/Weak.hpp"

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>

#include <arpa/inet.h>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::LogThrottle;
using ConnectionState = platform::net::LinkState;

namespace {

bool isIPv4Text(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool isIPv6Text(const std::string& text) {
  in6_addr address{};
  return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

std::string withoutZone(const std::string& host) { return host.substr(0, host.find('%')); }

std::string urlHost(const std::string& url) {
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed || !parsed->has_authority() || parsed->encoded_host().empty()) return "-";
  return std::string(parsed->encoded_host());
}

// Runs `release` once, when the last holder lets go, whatever became of the work that held it.
class Release {
public:
  explicit Release(std::function<void()> release) : release_(std::move(release)) {}
  ~Release() { release_(); }
  Release(const Release&) = delete;
  Release& operator=(const Release&) = delete;

private:
  std::function<void()> release_;
};

} // namespace

std::optional<std::string> NetworkManagerForMac::primaryIPv4Address(
    const std::vector<platform::net::ActiveAddress>& addresses) {
  // A wired or Wi-Fi interface is one the tablet can be on; bridges, veth pairs, tunnels and
  // container networks are not.
  for (const auto& active : addresses) {
    if (active.address.family != platform::net::InterfaceAddress::Family::ipv4) continue;
    if (active.type == platform::net::InterfaceType::wiredEthernet || active.type == platform::net::InterfaceType::wifi) {
      return active.address.address;
    }
  }
  return std::nullopt;
}

std::optional<std::string> NetworkManagerForMac::connectionLocalHost() const {
  if (udpConnection_) {
    if (const auto path = udpConnection_->currentPath(); path && path->localEndpoint) {
      if (const auto* local = std::get_if<platform::net::HostPort>(&*path->localEndpoint)) {
        const std::string host = withoutZone(local->host);
        if (isIPv4Text(host)) return host;
      }
    }
  }
  return primaryIPv4Address(platform::net::activeAddresses());
}

std::optional<std::string> NetworkManagerForMac::localHostForPeer() const {
  runtime::MainThread::assertMainThread();
  if (auto host = connectionLocalHost()) return host;
  const auto& features = peerFeatures.get();
  if (!features || std::find(features->begin(), features->end(), "remote_source") == features->end()) {
    return std::nullopt;
  }
  if (!udpConnection_) return std::nullopt;
  const auto path = udpConnection_->currentPath();
  if (!path || !path->localEndpoint) return std::nullopt;
  const auto* local = std::get_if<platform::net::HostPort>(&*path->localEndpoint);
  if (local == nullptr) return std::nullopt;
  const std::string host = withoutZone(local->host);
  if (!isIPv6Text(host)) return std::nullopt;
  return "[" + host + "]";
}

bool NetworkManagerForMac::sendFireAndForget(const nlohmann::json& message, std::string_view name,
                                             bool needsEstablishedLink) {
  if (!udpConnection_ || udpConnection_->state() != ConnectionState::ready ||
      (needsEstablishedLink && connectedPeers.get().empty())) {
    Log::network().debug("%{public}s_send_skip reason=no_connection", name);
    return false;
  }
  std::string text;
  try {
    text = platform::json::write(message);
  } catch (const std::exception&) {
    Log::network().error("json_build_fail msg=%{public}s", name);
    return false;
  }
  udpConnection_->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  return true;
}

bool NetworkManagerForMac::sendSourceEndpoint(std::uint16_t httpPort, const std::string& sessionToken, bool isRepeat) {
  runtime::MainThread::assertMainThread();
  const nlohmann::json message = {
      {"type", "source_endpoint"}, {"httpPort", httpPort}, {"sessionToken", sessionToken}, {"linkID", currentLinkID_}};
  // Announced only on an established link: the link id it carries names that link.
  if (!sendFireAndForget(message, "source_endpoint", true)) return false;
  const std::string_view linkID = std::string_view(currentLinkID_).substr(0, 16);
  if (isRepeat) {
    Log::network().debug("source_endpoint_send port=%hu link_id=%{public}s repeat=true", httpPort, linkID);
  } else {
    Log::network().notice("source_endpoint_send port=%hu link_id=%{public}s", httpPort, linkID);
  }
  return true;
}

bool NetworkManagerForMac::sendLoadVideo(const std::string& target, const std::string& url,
                                         const std::optional<std::string>& title) {
  runtime::MainThread::assertMainThread();
  nlohmann::json message = {{"type", "load_video"}, {"target", target}, {"url", url}};
  if (title && !title->empty()) message["title"] = clippedForMessage(*title);
  if (!sendFireAndForget(message, "load_video", false)) return false;
  Log::network().notice("load_video_send target=%{public}s host=%{public}s url=%s", target, urlHost(url), url);
  return true;
}

bool NetworkManagerForMac::sendVideoBPM(const std::string& target, std::int64_t bpm,
                                        const std::optional<std::string>& url) {
  runtime::MainThread::assertMainThread();
  nlohmann::json message = {{"type", "video_bpm"}, {"target", target}, {"bpm", bpm}};
  if (url) message["url"] = *url;
  if (!sendFireAndForget(message, "video_bpm", false)) return false;
  Log::network().notice("video_bpm_send target=%{public}s bpm=%ld", target, bpm);
  return true;
}

void NetworkManagerForMac::sendDeckState(const DeckState& state) {
  runtime::MainThread::assertMainThread();
  if (!udpConnection_ || udpConnection_->state() != ConnectionState::ready) {
    if (const auto count = LogThrottle::shared().shouldEmit("deckstate_send_skip", 100, 0.5)) {
      Log::network().debug("deckstate_send_skip reason=no_connection occurrences=%ld", *count);
    }
    return;
  }
  if (deckStatesInFlight_ >= maxDeckStatesInFlight_) {
    // Not queued: the deck input's next update carries newer values anyway.
    if (const auto count = LogThrottle::shared().shouldEmit("deckstate_drop", 10, 0.5)) {
      Log::network().debug("deckstate_drop reason=inflight inflight=%ld/%ld occurrences=%ld", deckStatesInFlight_,
                           maxDeckStatesInFlight_, *count);
    }
    return;
  }
  ++deckStatesInFlight_;
  // The counter comes down exactly once: when the last holder of this token lets go, be it the
  // send's completion after it ran, a completion the link dropped unrun, or a task that ended early.
  auto release = std::make_shared<Release>([weak = weak_from_this()] {
    runtime::MainThread::post(runtime::weakCallback(weak, [](NetworkManagerForMac& self) { --self.deckStatesInFlight_; }));
  });
  struct Values {
    std::int64_t deck;
    bool playing;
    bool onAir;
    float bpm;
    std::string title;
    std::string artist;
    float duration;
  };
  Values values{state.deckNumber, state.isPlaying, state.isOnAir, state.musicBPM,
                clippedForMessage(state.musicTitle), clippedForMessage(state.musicArtist), state.duration};
  runtime::sharedPool().post([weak = weak_from_this(), connection = udpConnection_, values = std::move(values),
                              release = std::move(release)]() mutable {
    if (weak.expired()) return;
    std::string text;
    try {
      const nlohmann::json message = {{"type", "deck_state"},  {"deck", values.deck},     {"playing", values.playing},
                                      {"onAir", values.onAir},  {"bpm", values.bpm},       {"title", values.title},
                                      {"artist", values.artist}, {"duration", values.duration}};
      text = platform::json::write(message);
    } catch (const std::exception&) {
      Log::network().error("json_build_fail msg=deck_state");
      return;
    }
    if (const auto count = LogThrottle::shared().shouldEmit("deckstate_send_" + std::to_string(values.deck), 30, 0.5)) {
      Log::network().debug("deckstate_send deck=%ld occurrences=%ld", values.deck, *count);
    }
    connection->send(std::vector<std::uint8_t>(text.begin(), text.end()),
                     [weak, release = std::move(release)](const std::optional<Error>& error) {
                       if (weak.expired()) return;
                       if (!error) {
                         if (const auto failures = LogThrottle::shared().reset("deckstate_send_fail");
                             failures && *failures >= 2) {
                           Log::network().notice("deckstate_send_recovered after=%ld", *failures);
                         }
                         return;
                       }
                       if (const auto count = LogThrottle::shared().shouldEmit("deckstate_send_fail", 30, 0.5)) {
                         const auto fields = LogErrorFields::fields(*error, true);
                         Log::network().error(
                             "deckstate_send_fail err_domain=%{public}s err_code=%ld error=%s occurrences=%ld",
                             fields.domain, fields.code, fields.detail, *count);
                       }
                     });
  });
}

} // namespace pd::link
