#include "deckinput/OSCViewModel.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace pd::deckinput {

using diagnostics::Log;
using diagnostics::LogErrorFields;
using diagnostics::logThrottled;
using link::DeckState;

namespace {

constexpr std::int64_t kFirstDeck = 1;
constexpr std::int64_t kLastDeck = 4;
constexpr diagnostics::ThrottleRule kMessageLineRule{100, std::chrono::milliseconds(500)};

// Throttle keys per deck, made once: a message should not cost an allocation for its key.
std::string deckKey(std::string_view prefix, std::int64_t deck) { return std::string(prefix) + std::to_string(deck); }

const std::string& cachedDeckKey(const std::array<std::string, 4>& cache, std::string_view prefix, std::int64_t deck,
                                 std::string& scratch) {
  if (deck >= kFirstDeck && deck <= kLastDeck) {
    return cache[static_cast<std::size_t>(deck - kFirstDeck)];
  }
  scratch = deckKey(prefix, deck);
  return scratch;
}

std::array<std::string, 4> makeKeys(std::string_view prefix) {
  return {deckKey(prefix, 1), deckKey(prefix, 2), deckKey(prefix, 3), deckKey(prefix, 4)};
}

// The whole-string decimal parse: an optional sign, then digits only.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    i = 1;
  }
  if (i == text.size()) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const int digit = c - '0';
    if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

// ---------------------------------------------------------------------------------------------
// The field words and what each writes.

using Kind = OSCArgumentValue::Kind;

struct FieldRule {
  std::string_view word;
  Kind kind;
  void (*write)(DeckState&, const OSCArgumentValue&);
};

std::int32_t int32Of(const OSCArgumentValue& value) { return std::get<std::int32_t>(value.rawValue()); }

template <bool DeckState::*Field>
void writeFlag(DeckState& deck, const OSCArgumentValue& value) {
  deck.*Field = int32Of(value) == 1; // only 1 means true
}
template <std::int64_t DeckState::*Field>
void writeInteger(DeckState& deck, const OSCArgumentValue& value) {
  deck.*Field = int32Of(value);
}
// NaN and the infinities have no form in the tablet's message: a deck holding one could not be
// sent again, whatever else changed, until another value replaced it. Such a value leaves the
// field as it was.
template <float DeckState::*Field>
void writeFloat(DeckState& deck, const OSCArgumentValue& value) {
  const float number = std::get<float>(value.rawValue());
  if (std::isfinite(number)) deck.*Field = number;
}
template <std::string DeckState::*Field>
void writeText(DeckState& deck, const OSCArgumentValue& value) {
  deck.*Field = std::get<std::string>(value.rawValue());
}

constexpr std::string_view kPlaying = "playing";
// An address piece never holds a "/", so this word is put together from two pieces.
constexpr std::string_view kRawMetadata = "metadata/raw";

constexpr std::array kFieldRules = {
    FieldRule{kPlaying, Kind::int32, writeFlag<&DeckState::isPlaying>},
    FieldRule{"onAir", Kind::int32, writeFlag<&DeckState::isOnAir>},
    FieldRule{"bpm", Kind::float32, writeFloat<&DeckState::musicBPM>},
    FieldRule{"beat", Kind::int32, writeInteger<&DeckState::beat>},
    FieldRule{"beatWithinBar", Kind::int32, writeInteger<&DeckState::beatWithinBar>},
    FieldRule{"pitchMultiplier", Kind::float32, writeFloat<&DeckState::pitchMultiplier>},
    FieldRule{"title", Kind::string, writeText<&DeckState::musicTitle>},
    FieldRule{"artist", Kind::string, writeText<&DeckState::musicArtist>},
    FieldRule{"album", Kind::string, writeText<&DeckState::album>},
    FieldRule{"genre", Kind::string, writeText<&DeckState::genre>},
    FieldRule{"key", Kind::string, writeText<&DeckState::key>},
    FieldRule{"label", Kind::string, writeText<&DeckState::label>},
    FieldRule{"originalArtist", Kind::string, writeText<&DeckState::originalArtist>},
    FieldRule{"remixer", Kind::string, writeText<&DeckState::remixer>},
    FieldRule{"color", Kind::string, writeText<&DeckState::color>},
    FieldRule{"comment", Kind::string, writeText<&DeckState::comment>},
    FieldRule{"dateAdded", Kind::string, writeText<&DeckState::dateAdded>},
    FieldRule{"duration", Kind::float32, writeFloat<&DeckState::duration>},
    FieldRule{"bitRate", Kind::int32, writeInteger<&DeckState::bitRate>},
    FieldRule{"rating", Kind::int32, writeInteger<&DeckState::rating>},
    FieldRule{"tempoMeta", Kind::int32, writeInteger<&DeckState::tempoMeta>},
    FieldRule{"year", Kind::int32, writeInteger<&DeckState::year>},
    FieldRule{"artworkId", Kind::int32, writeInteger<&DeckState::artworkId>},
    FieldRule{"hasCues", Kind::int32, writeFlag<&DeckState::hasCues>},
    FieldRule{kRawMetadata, Kind::string, writeText<&DeckState::rawMetadata>},
};

const FieldRule* ruleFor(std::string_view word) {
  for (const auto& rule : kFieldRules) {
    if (rule.word == word) {
      return &rule;
    }
  }
  return nullptr;
}

} // namespace

OSCViewModel::OSCViewModel(std::shared_ptr<OSCServerServiceProtocol> serverService,
                           std::weak_ptr<DeckStateSink> networkManager)
    : serverState(*this, ServerState::stopped()),
      deckStates(*this, DeckStates{}),
      serverService_(std::move(serverService)),
      networkManager_(std::move(networkManager)) {
  runtime::MainThread::assertMainThread();
  for (std::int64_t deck = kFirstDeck; deck <= kLastDeck; ++deck) {
    auto states = deckStates.get();
    states.emplace(deck, DeckState(deck));
    deckStates.set(std::move(states));
  }
  Log::osc().notice("osc_vm_init");

  // The subscriptions end with this object, and everything runs on the main thread, so the
  // callbacks never see it gone.
  messageSubscription_ = serverService_->subscribeMessages([this](const OSCMessage& message) { handle(message); });
  stateSubscription_ = serverService_->subscribeState([this](const ServerState& state) { serverState.set(state); });
  if (const auto manager = networkManager_.lock()) {
    linkSubscription_ = manager->linkChanged().connect([this] { objectChanged()(); });
  }
}

OSCViewModel::~OSCViewModel() = default;

void OSCViewModel::startServer(const std::optional<ServerConfiguration>& configuration) {
  runtime::MainThread::assertMainThread();
  const ServerConfiguration chosen = configuration.value_or(ServerConfiguration::defaultConfiguration());
  try {
    serverService_->start(chosen);
  } catch (...) {
    const auto fields = LogErrorFields::fields(std::current_exception(), true);
    Log::osc().fault("osc_server_fail host=%{public}s port=%hu err_domain=%{public}s err_code=%ld error=%s",
                     chosen.host, chosen.port, fields.domain, fields.code, fields.detail);
    return;
  }
  Log::osc().debug("osc_server_start_request host=%{public}s port=%hu", chosen.host, chosen.port);
}

void OSCViewModel::stopServer() {
  runtime::MainThread::assertMainThread();
  serverService_->stop();
  Log::osc().notice("osc_server_stop");
}

bool OSCViewModel::hasConnectedPeer() const {
  runtime::MainThread::assertMainThread();
  const auto manager = networkManager_.lock();
  return manager && manager->hasConnectedPeers();
}

void OSCViewModel::handle(const OSCMessage& message) {
  runtime::MainThread::assertMainThread();
  const std::string& address = message.address.string;

  // The first four non-empty pieces are all routing ever looks at.
  std::array<std::string_view, 4> pieces;
  std::size_t count = 0;
  for (std::size_t start = 0; start <= address.size() && count < pieces.size();) {
    const std::size_t slash = std::min(address.find('/', start), address.size());
    if (slash > start) {
      pieces[count++] = std::string_view(address).substr(start, slash - start);
    }
    start = slash + 1;
  }

  logThrottled(Log::osc(), platform::log::Level::debug, "deck_msg_recv", kMessageLineRule,
               "deck_msg_recv addr=%{public}s occurrences=%ld", address);

  const auto deck = count >= 3 && pieces[0] == "deck" ? parseDecimal(pieces[1]) : std::nullopt;
  if (!deck || *deck < kFirstDeck || *deck > kLastDeck || message.arguments.empty()) {
    logThrottled(Log::osc(), platform::log::Level::error, "osc_vm_parse_fail", kMessageLineRule,
                 "osc_parse_fail addr=%{public}s reason=deck_route occurrences=%ld", address);
    return;
  }

  std::string_view field = pieces[2];
  if (field == "metadata" && count >= 4 && pieces[3] == "raw") {
    field = kRawMetadata;
  }
  static const auto updateKeys = makeKeys("osc_deck_");
  std::string scratch;
  logThrottled(Log::osc(), platform::log::Level::debug, cachedDeckKey(updateKeys, "osc_deck_", *deck, scratch),
               kMessageLineRule, "deck_update deck=%ld type=%{public}s occurrences=%ld", *deck, field);
  applyDeckField(*deck, field, message.arguments.front());
}

template <typename Write>
void OSCViewModel::writeDeck(std::int64_t deck, Write&& write) {
  auto states = deckStates.get();
  write(states.at(deck));
  deckStates.set(std::move(states));
}

void OSCViewModel::applyDeckField(std::int64_t deck, std::string_view field, const OSCArgumentValue& value) {
  runtime::MainThread::assertMainThread();
  if (!deckStates.get().contains(deck)) {
    auto states = deckStates.get();
    states.emplace(deck, DeckState(deck));
    deckStates.set(std::move(states));
  }
  const DeckState old = deckStates.get().at(deck);

  // A word that matches no row, or a value of another kind, writes nothing but the stamp.
  if (const FieldRule* rule = ruleFor(field); rule != nullptr && rule->kind == value.kind()) {
    writeDeck(deck, [&](DeckState& state) { rule->write(state, value); });
    if (rule->word == kPlaying) {
      // Stamped also when the flag did not change.
      writeDeck(deck, [](DeckState& state) { state.lastPlayingUpdate = runtime::Clock::current().wall(); });
    }
  }
  writeDeck(deck, [](DeckState& state) { state.lastUpdateTime = runtime::Clock::current().wall(); });

  const DeckState now = deckStates.get().at(deck);
  logDeckChanges(deck, old, now);

  static const auto sendKeys = makeKeys("osc_deck_send_");
  std::string scratch;
  logThrottled(Log::osc(), platform::log::Level::debug, cachedDeckKey(sendKeys, "osc_deck_send_", deck, scratch),
               {30, std::chrono::milliseconds(500)}, "osc_deck_send deck=%ld bpm=%f occurrences=%ld", deck,
               now.musicBPM);
  if (const auto manager = networkManager_.lock()) {
    manager->sendDeckState(now);
  }
}

void OSCViewModel::logDeckChanges(std::int64_t deck, const std::optional<DeckState>& old, const DeckState& now) {
  if (!old) {
    return;
  }
  if (old->isPlaying != now.isPlaying) {
    Log::osc().notice("deck_field_change deck=%ld field=is_playing from=%{bool}d to=%{bool}d", deck, old->isPlaying,
                      now.isPlaying);
  }
  if (old->isOnAir != now.isOnAir) {
    Log::osc().notice("deck_field_change deck=%ld field=is_on_air from=%{bool}d to=%{bool}d", deck, old->isOnAir,
                      now.isOnAir);
  }
  if (old->musicTitle != now.musicTitle) {
    Log::osc().notice("deck_track_change deck=%ld changed=title", deck);
  }
}

} // namespace pd::deckinput
