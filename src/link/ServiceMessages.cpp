#include "link/ServiceMessages.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "link/ManagerText.hpp"
#include "link/MessageText.hpp"
#include "link/records/DeckState.hpp"
#include "platform/json/JsonWriter.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/url/parse.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <map>
#include <utility>

#include <arpa/inet.h>

namespace pd::link {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;
using platform::log::Level;
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

bool isReady(const std::shared_ptr<platform::net::DatagramLink>& connection) {
  return connection && connection->state() == ConnectionState::ready;
}

// Serialises `message` and hands it to a ready connection without waiting for the outcome;
// `name` names the message in the skip and failure lines.
bool sendFireAndForget(const ServiceMessages::Link& link, const nlohmann::json& message, std::string_view name,
                       bool needsEstablishedLink) {
  if (!isReady(link.connection) || (needsEstablishedLink && !link.established)) {
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
  link.connection->send(std::vector<std::uint8_t>(text.begin(), text.end()), nullptr);
  return true;
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

std::optional<std::string>
ServiceMessages::primaryIPv4Address(const std::vector<platform::net::ActiveAddress>& addresses) {
  // A wired or Wi-Fi interface is one the tablet can be on; bridges, veth pairs, tunnels and
  // container networks are not.
  for (const auto& active : addresses) {
    if (active.address.family != platform::net::InterfaceAddress::Family::ipv4) continue;
    if (active.type == platform::net::InterfaceType::wiredEthernet ||
        active.type == platform::net::InterfaceType::wifi) {
      return active.address.address;
    }
  }
  return std::nullopt;
}

std::optional<std::string>
ServiceMessages::localHostForPeer(const platform::net::DatagramLink* connection,
                                  const std::optional<std::vector<std::string>>& peerFeatures) {
  const auto path = connection ? connection->currentPath() : std::nullopt;
  const auto* local =
      path && path->localEndpoint ? std::get_if<platform::net::HostPort>(&*path->localEndpoint) : nullptr;
  if (local != nullptr) {
    if (std::string host = withoutZone(local->host); isIPv4Text(host)) return host;
  }
  if (auto host = primaryIPv4Address(platform::net::activeAddresses())) return host;
  if (!peerFeatures || std::find(peerFeatures->begin(), peerFeatures->end(), "remote_source") == peerFeatures->end()) {
    return std::nullopt;
  }
  if (local == nullptr) return std::nullopt;
  const std::string host = withoutZone(local->host);
  if (!isIPv6Text(host)) return std::nullopt;
  return "[" + host + "]";
}

bool ServiceMessages::sendSourceEndpoint(const Link& link, std::uint16_t httpPort, const std::string& sessionToken,
                                         bool isRepeat) {
  runtime::MainThread::assertMainThread();
  const nlohmann::json message = {{"type", "source_endpoint"},
                                  {"httpPort", httpPort},
                                  {"sessionToken", sessionToken},
                                  {"linkID", std::string(link.linkID)}};
  // Announced only on an established link: the link id it carries names that link.
  if (!sendFireAndForget(link, message, "source_endpoint", true)) return false;
  const std::string_view linkID = link.linkID.substr(0, 16);
  if (isRepeat) {
    Log::network().debug("source_endpoint_send port=%hu link_id=%{public}s repeat=true", httpPort, linkID);
  } else {
    Log::network().notice("source_endpoint_send port=%hu link_id=%{public}s", httpPort, linkID);
  }
  return true;
}

bool ServiceMessages::sendLoadVideo(const Link& link, const std::string& target, const std::string& url,
                                    const std::optional<std::string>& title) {
  runtime::MainThread::assertMainThread();
  nlohmann::json message = {{"type", "load_video"}, {"target", target}, {"url", url}};
  if (title && !title->empty()) message["title"] = clippedForMessage(*title);
  if (!sendFireAndForget(link, message, "load_video", false)) return false;
  Log::network().notice("load_video_send target=%{public}s host=%{public}s url=%s", target, urlHost(url), url);
  return true;
}

bool ServiceMessages::sendVideoBPM(const Link& link, const std::string& target, std::int64_t bpm,
                                   const std::optional<std::string>& url) {
  runtime::MainThread::assertMainThread();
  nlohmann::json message = {{"type", "video_bpm"}, {"target", target}, {"bpm", bpm}};
  if (url) message["url"] = *url;
  if (!sendFireAndForget(link, message, "video_bpm", false)) return false;
  Log::network().notice("video_bpm_send target=%{public}s bpm=%ld", target, bpm);
  return true;
}

struct ServiceMessages::DeckStateFlow {
  static constexpr std::int64_t maxInFlight = 1;

  std::int64_t inFlight = 0;
  // The newest state of each deck that came while another was in flight. Dropping them would
  // leave the tablet with a deck's older values for as long as the DJ software sends nothing
  // more for it, as after a track is loaded onto a stopped deck.
  std::map<std::int64_t, DeckState> heldBack;
  // The connection the held states were meant for; they go out only while it is still ready.
  std::weak_ptr<platform::net::DatagramLink> heldFor;
};

namespace {

void submitDeckState(const std::shared_ptr<ServiceMessages::DeckStateFlow>& flow,
                     const std::shared_ptr<platform::net::DatagramLink>& connection, const DeckState& state);

// Main thread, once per submitted state, whatever became of it.
void finishDeckState(const std::shared_ptr<ServiceMessages::DeckStateFlow>& flow) {
  --flow->inFlight;
  if (flow->inFlight > 0 || flow->heldBack.empty()) return;
  const auto next = flow->heldBack.extract(flow->heldBack.begin());
  const auto connection = flow->heldFor.lock();
  if (!isReady(connection)) {
    flow->heldBack.clear(); // the link they were meant for is gone
    return;
  }
  submitDeckState(flow, connection, next.mapped());
}

void submitDeckState(const std::shared_ptr<ServiceMessages::DeckStateFlow>& flow,
                     const std::shared_ptr<platform::net::DatagramLink>& connection, const DeckState& state) {
  ++flow->inFlight;
  // The counter comes down exactly once: when the last holder of this token lets go, be it the
  // send's completion after it ran, a completion the link dropped unrun, or a task that ended early.
  const std::weak_ptr<ServiceMessages::DeckStateFlow> weak = flow;
  auto release = std::make_shared<Release>([weak] {
    runtime::MainThread::post([weak] {
      if (const auto strong = weak.lock()) finishDeckState(strong);
    });
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
  Values values{state.deckNumber,
                state.isPlaying,
                state.isOnAir,
                state.musicBPM,
                clippedForMessage(state.musicTitle),
                clippedForMessage(state.musicArtist),
                state.duration};
  runtime::sharedPool().post([weak, connection, values = std::move(values), release = std::move(release)]() mutable {
    if (weak.expired()) return;
    std::string text;
    try {
      const nlohmann::json message = {
          {"type", "deck_state"}, {"deck", values.deck},   {"playing", values.playing}, {"onAir", values.onAir},
          {"bpm", values.bpm},    {"title", values.title}, {"artist", values.artist},   {"duration", values.duration}};
      text = platform::json::write(message);
    } catch (const std::exception&) {
      Log::network().error("json_build_fail msg=deck_state");
      return;
    }
    logThrottled(Log::network(), Level::debug, "deckstate_send_" + std::to_string(values.deck), lineRule(30),
                 "deckstate_send deck=%ld occurrences=%ld", values.deck);
    connection->send(std::vector<std::uint8_t>(text.begin(), text.end()), [weak, release = std::move(release)](
                                                                              const std::optional<Error>& error) {
      if (weak.expired()) return;
      if (!error) {
        if (const auto failures = LogThrottle::shared().reset("deckstate_send_fail"); failures && *failures >= 2) {
          Log::network().notice("deckstate_send_recovered after=%ld", *failures);
        }
        return;
      }
      logThrottled("deckstate_send_fail", lineRule(30), [&](std::int64_t count) {
        const auto fields = LogErrorFields::fields(*error, true);
        Log::network().error("deckstate_send_fail err_domain=%{public}s err_code=%ld error=%s occurrences=%ld",
                             fields.domain, fields.code, fields.detail, count);
      });
    });
  });
}

} // namespace

ServiceMessages::ServiceMessages() : deckStates_(std::make_shared<DeckStateFlow>()) {}

ServiceMessages::~ServiceMessages() = default;

std::int64_t ServiceMessages::deckStatesInFlight() const noexcept { return deckStates_->inFlight; }

void ServiceMessages::sendDeckState(const Link& link, const DeckState& state) {
  runtime::MainThread::assertMainThread();
  if (!isReady(link.connection)) {
    logThrottled(Log::network(), Level::debug, "deckstate_send_skip", lineRule(100),
                 "deckstate_send_skip reason=no_connection occurrences=%ld");
    return;
  }
  DeckStateFlow& flow = *deckStates_;
  if (flow.inFlight >= DeckStateFlow::maxInFlight) {
    // The line keeps its word: this state itself may never travel, a newer one of its deck may.
    logThrottled(Log::network(), Level::debug, "deckstate_drop", lineRule(10),
                 "deckstate_drop reason=inflight inflight=%ld/%ld occurrences=%ld", flow.inFlight,
                 DeckStateFlow::maxInFlight);
    flow.heldBack.insert_or_assign(state.deckNumber, state);
    flow.heldFor = link.connection;
    return;
  }
  flow.heldBack.erase(state.deckNumber); // older than this one
  submitDeckState(deckStates_, link.connection, state);
}

} // namespace pd::link
