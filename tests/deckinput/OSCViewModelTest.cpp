#include "deckinput/OSCViewModel.hpp"

#include "DeckInputTestSupport.hpp"

#include "platform/log/Logger.hpp"
#include "runtime/Clock.hpp"

#include <gtest/gtest.h>

#include <boost/signals2/signal.hpp>

#include <cmath>
#include <limits>

namespace pd::deckinput {
namespace {

using namespace std::chrono_literals;
using link::DeckState;
using test::LogCapture;
using test::MainLoop;

class FakeServer final : public OSCServerServiceProtocol {
public:
  boost::signals2::connection subscribeMessages(MessageHandler handler) override { return messages.connect(handler); }
  boost::signals2::connection subscribeState(StateHandler handler) override {
    auto connection = states.connect(handler);
    handler(current);
    return connection;
  }
  void start(const ServerConfiguration& configuration) override {
    starts.push_back(configuration);
    if (failWith) {
      throw *failWith;
    }
  }
  void stop() override { ++stops; }

  void publish(const ServerState& state) {
    current = state;
    states(state);
  }

  boost::signals2::signal<void(const OSCMessage&)> messages;
  boost::signals2::signal<void(const ServerState&)> states;
  ServerState current = ServerState::stopped();
  std::vector<ServerConfiguration> starts;
  std::optional<OSCServerError> failWith;
  int stops = 0;
};

class FakeLink final : public DeckStateSink {
public:
  void sendDeckState(const DeckState& state) override { sent.push_back(state); }
  bool hasConnectedPeers() const override { return peers; }
  boost::signals2::signal<void()>& linkChanged() override { return changed; }

  std::vector<DeckState> sent;
  bool peers = false;
  boost::signals2::signal<void()> changed;
};

OSCMessage message(std::string address, std::vector<OSCArgumentValue> arguments) {
  OSCMessage m;
  m.id = OSCMessage::makeId();
  m.address.string = std::move(address);
  m.arguments = std::move(arguments);
  return m;
}

class OSCViewModelTest : public ::testing::Test {
protected:
  OSCViewModelTest() {
    platform::log::setStderrEnabled(false);
    platform::log::setDebugEnabled(true);
  }
  ~OSCViewModelTest() override { platform::log::setDebugEnabled(false); }

  OSCViewModel& model() {
    if (!model_) {
      model_ = std::make_unique<OSCViewModel>(server, link);
    }
    return *model_;
  }
  const DeckState& deck(std::int64_t n) { return model().deckStates.get().at(n); }
  void receive(std::string address, std::vector<OSCArgumentValue> arguments) {
    model();
    server->messages(message(std::move(address), std::move(arguments)));
  }

  runtime::ManualClock clock;
  runtime::ScopedClock scoped{clock};
  MainLoop loop;
  std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
  std::shared_ptr<FakeLink> link = std::make_shared<FakeLink>();

private:
  std::unique_ptr<OSCViewModel> model_;
};

TEST_F(OSCViewModelTest, StartsWithFourFreshDecksAndMirrorsTheServer) {
  LogCapture log;
  auto& m = model();
  EXPECT_EQ(log.count("osc_vm_init"), 1U);
  ASSERT_EQ(m.deckStates.get().size(), 4U);
  for (std::int64_t n = 1; n <= 4; ++n) {
    const DeckState& d = deck(n);
    EXPECT_EQ(d.id(), n);
    EXPECT_FALSE(d.isPlaying || d.isOnAir || d.hasCues);
    EXPECT_EQ(d.musicBPM, 0.0F);
    EXPECT_EQ(d.pitchMultiplier, 1.0F);
    EXPECT_TRUE(d.musicTitle.empty() && d.rawMetadata.empty());
    EXPECT_FALSE(d.lastPlayingUpdate);
    EXPECT_EQ(d.lastUpdateTime, clock.wall());
  }
  EXPECT_EQ(m.serverState.get(), ServerState::stopped());
  for (const auto& state : {ServerState::starting(), ServerState::failed("x"), ServerState::running()}) {
    server->publish(state);
    EXPECT_EQ(m.serverState.get(), state);
  }
}

TEST_F(OSCViewModelTest, RoutesOnlyDeckAddressesOfDecksOneToFour) {
  const std::vector<std::pair<std::string, std::int64_t>> routed = {
      {"/deck/1/bpm", 1},  {"deck/1/bpm", 1},   {"//deck//1//bpm", 1}, {"/deck/1/bpm/extra", 1},
      {"/deck/01/bpm", 1}, {"/deck/+2/bpm", 2}, {"/deck/4/bpm/", 4},
  };
  float value = 100.0F;
  for (const auto& [address, n] : routed) {
    value += 1.0F;
    receive(address, {OSCArgumentValue::float32(value)});
    EXPECT_EQ(deck(n).musicBPM, value) << address;
  }
  EXPECT_EQ(link->sent.size(), routed.size());

  LogCapture log;
  for (const std::string address :
       {"/deck/0/bpm", "/deck/5/bpm", "/deck/x/bpm", "/Deck/1/bpm", "/deck/1", "/deck/-1/bpm", "/deck/+/bpm",
        "/deck/99999999999999999999/bpm", "/deck/1 /bpm", "", "/"}) {
    receive(address, {OSCArgumentValue::float32(1.0F)});
  }
  receive("/deck/1/title", {});
  EXPECT_EQ(link->sent.size(), routed.size());
  EXPECT_EQ(deck(1).musicBPM, 105.0F);
  // Throttled under one key: the first of the run is written.
  EXPECT_EQ(log.first("osc_parse_fail"), "osc_parse_fail addr=/deck/0/bpm reason=deck_route occurrences=1");
}

TEST_F(OSCViewModelTest, EveryFieldWordWritesItsField) {
  struct Case {
    std::string word;
    OSCArgumentValue value;
    std::function<bool(const DeckState&)> written;
  };
  const std::vector<Case> cases = {
      {"playing", OSCArgumentValue::int32(1), [](const DeckState& d) { return d.isPlaying; }},
      {"onAir", OSCArgumentValue::int32(1), [](const DeckState& d) { return d.isOnAir; }},
      {"bpm", OSCArgumentValue::float32(127.5F), [](const DeckState& d) { return d.musicBPM == 127.5F; }},
      {"beat", OSCArgumentValue::int32(-3), [](const DeckState& d) { return d.beat == -3; }},
      {"beatWithinBar", OSCArgumentValue::int32(4), [](const DeckState& d) { return d.beatWithinBar == 4; }},
      {"pitchMultiplier", OSCArgumentValue::float32(1.08F),
       [](const DeckState& d) { return d.pitchMultiplier == 1.08F; }},
      {"title", OSCArgumentValue::string("T"), [](const DeckState& d) { return d.musicTitle == "T"; }},
      {"artist", OSCArgumentValue::string("A"), [](const DeckState& d) { return d.musicArtist == "A"; }},
      {"album", OSCArgumentValue::string("Al"), [](const DeckState& d) { return d.album == "Al"; }},
      {"genre", OSCArgumentValue::string("G"), [](const DeckState& d) { return d.genre == "G"; }},
      {"key", OSCArgumentValue::string("8A"), [](const DeckState& d) { return d.key == "8A"; }},
      {"label", OSCArgumentValue::string("L"), [](const DeckState& d) { return d.label == "L"; }},
      {"originalArtist", OSCArgumentValue::string("O"), [](const DeckState& d) { return d.originalArtist == "O"; }},
      {"remixer", OSCArgumentValue::string("R"), [](const DeckState& d) { return d.remixer == "R"; }},
      {"color", OSCArgumentValue::string("red"), [](const DeckState& d) { return d.color == "red"; }},
      {"comment", OSCArgumentValue::string("C"), [](const DeckState& d) { return d.comment == "C"; }},
      {"dateAdded", OSCArgumentValue::string("2024"), [](const DeckState& d) { return d.dateAdded == "2024"; }},
      {"duration", OSCArgumentValue::float32(245.5F), [](const DeckState& d) { return d.duration == 245.5F; }},
      {"bitRate", OSCArgumentValue::int32(320), [](const DeckState& d) { return d.bitRate == 320; }},
      {"rating", OSCArgumentValue::int32(5), [](const DeckState& d) { return d.rating == 5; }},
      {"tempoMeta", OSCArgumentValue::int32(-2147483647 - 1),
       [](const DeckState& d) { return d.tempoMeta == -2147483648LL; }},
      {"year", OSCArgumentValue::int32(1999), [](const DeckState& d) { return d.year == 1999; }},
      {"artworkId", OSCArgumentValue::int32(77), [](const DeckState& d) { return d.artworkId == 77; }},
      {"hasCues", OSCArgumentValue::int32(1), [](const DeckState& d) { return d.hasCues; }},
      {"metadata/raw", OSCArgumentValue::string("{}"), [](const DeckState& d) { return d.rawMetadata == "{}"; }},
  };
  const std::vector<OSCArgumentValue> kinds = {OSCArgumentValue::int32(1), OSCArgumentValue::float32(1.0F),
                                               OSCArgumentValue::string("1"), OSCArgumentValue::blob({1})};
  for (const auto& c : cases) {
    // Every other kind, and a word that differs in case only, write nothing but the stamp.
    for (const auto& wrong : kinds) {
      if (wrong.kind() == c.value.kind()) {
        continue;
      }
      clock.advance(1s);
      const std::size_t before = link->sent.size();
      receive("/deck/2/" + c.word, {wrong});
      EXPECT_FALSE(c.written(deck(2))) << c.word;
      EXPECT_EQ(deck(2).lastUpdateTime, clock.wall()) << c.word;
      EXPECT_EQ(link->sent.size(), before + 1) << "forwarded anyway";
    }
    receive("/deck/2/" + std::string(1, static_cast<char>(std::toupper(c.word[0]))) + c.word.substr(1), {c.value});
    EXPECT_FALSE(c.written(deck(2))) << c.word;

    receive("/deck/3/" + c.word, {c.value, OSCArgumentValue::string("ignored")});
    EXPECT_TRUE(c.written(deck(3))) << c.word;
    EXPECT_TRUE(c.written(link->sent.back())) << c.word;
    EXPECT_EQ(link->sent.back().deckNumber, 3);
  }
  // Nothing was ever written to deck 2 but its stamp.
  DeckState expected(2);
  expected.lastUpdateTime = deck(2).lastUpdateTime;
  EXPECT_EQ(deck(2), expected);
}

TEST_F(OSCViewModelTest, PlayingFlagOnlyForOneAndAlwaysStamped) {
  LogCapture log;
  receive("/deck/3/playing", {OSCArgumentValue::int32(1)});
  EXPECT_TRUE(deck(3).isPlaying);
  EXPECT_EQ(deck(3).lastPlayingUpdate, clock.wall());
  EXPECT_EQ(log.first("deck_field_change"), "deck_field_change deck=3 field=is_playing from=false to=true");

  clock.advance(2s);
  receive("/deck/3/playing", {OSCArgumentValue::int32(2)});
  EXPECT_FALSE(deck(3).isPlaying);
  EXPECT_EQ(deck(3).lastPlayingUpdate, clock.wall());
  EXPECT_EQ(log.count("deck_field_change deck=3 field=is_playing from=true to=false"), 1U);

  clock.advance(2s);
  receive("/deck/3/playing", {OSCArgumentValue::int32(0)});
  EXPECT_EQ(deck(3).lastPlayingUpdate, clock.wall()); // stamped though nothing changed
  EXPECT_EQ(log.count("deck_field_change"), 2U);

  receive("/deck/3/onAir", {OSCArgumentValue::int32(1)});
  EXPECT_EQ(log.first("deck_field_change deck=3 field=is_on_air"),
            "deck_field_change deck=3 field=is_on_air from=false to=true");
}

TEST_F(OSCViewModelTest, TitleChangeLineOnlyWhenTheTitleChanges) {
  LogCapture log;
  receive("/deck/1/title", {OSCArgumentValue::string("Song")});
  receive("/deck/1/title", {OSCArgumentValue::string("Song")});
  EXPECT_EQ(log.count("deck_track_change deck=1 changed=title"), 1U);
  EXPECT_EQ(link->sent.size(), 2U);
  // Stored as received: no trimming, no limit.
  const std::string long_(5000, 'x');
  receive("/deck/1/title", {OSCArgumentValue::string(" " + long_ + " ")});
  EXPECT_EQ(deck(1).musicTitle, " " + long_ + " ");
  EXPECT_EQ(log.count("deck_track_change"), 2U);
}

// The tablet's message has no form for NaN or an infinity: a deck holding one would not reach it
// again, whatever else changed.
TEST_F(OSCViewModelTest, FloatsThatAreNotFiniteLeaveTheFieldAndTheDeckStillGoesOut) {
  receive("/deck/1/bpm", {OSCArgumentValue::float32(128.0F)});
  receive("/deck/1/pitchMultiplier", {OSCArgumentValue::float32(1.02F)});
  receive("/deck/1/duration", {OSCArgumentValue::float32(300.0F)});
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()}) {
    for (const std::string word : {"bpm", "pitchMultiplier", "duration"}) {
      clock.advance(1s);
      receive("/deck/1/" + word, {OSCArgumentValue::float32(bad)});
      EXPECT_EQ(deck(1).lastUpdateTime, clock.wall()) << word;
    }
  }
  receive("/deck/1/playing", {OSCArgumentValue::int32(1)});
  ASSERT_EQ(link->sent.size(), 13U);
  for (const DeckState& sent : link->sent) {
    EXPECT_TRUE(std::isfinite(sent.musicBPM) && std::isfinite(sent.pitchMultiplier) && std::isfinite(sent.duration));
  }
  const DeckState& last = link->sent.back();
  EXPECT_TRUE(last.isPlaying);
  EXPECT_EQ(last.musicBPM, 128.0F);
  EXPECT_EQ(last.pitchMultiplier, 1.02F);
  EXPECT_EQ(last.duration, 300.0F);
}

TEST_F(OSCViewModelTest, EachWriteIsItsOwnChange) {
  std::vector<std::string> seen;
  auto& m = model();
  boost::signals2::scoped_connection c =
      m.deckStates.changed().connect([&](const OSCViewModel::DeckStates&) { seen.push_back("deckStates"); });
  clock.advance(1s); // a stamp equal to the last one would be no change
  receive("/deck/1/bpm", {OSCArgumentValue::float32(120.0F)});
  EXPECT_EQ(seen.size(), 2U); // the field, then the stamp
  clock.advance(1s);
  receive("/deck/1/playing", {OSCArgumentValue::int32(1)});
  EXPECT_EQ(seen.size(), 5U); // the flag, the playing stamp, the update stamp
}

TEST_F(OSCViewModelTest, WithoutTheLinkDecksStillUpdate) {
  link->peers = true;
  auto& m = model();
  EXPECT_TRUE(m.hasConnectedPeer());
  int changes = 0;
  boost::signals2::scoped_connection c = m.objectChanged().connect([&] { ++changes; });
  link->changed();
  EXPECT_EQ(changes, 1) << "the link's changes are the model's";

  link.reset();
  EXPECT_FALSE(m.hasConnectedPeer());
  receive("/deck/4/title", {OSCArgumentValue::string("Alone")});
  EXPECT_EQ(deck(4).musicTitle, "Alone");
}

TEST_F(OSCViewModelTest, StartAndStopServer) {
  LogCapture log;
  auto& m = model();
  m.startServer(std::nullopt);
  ASSERT_EQ(server->starts.size(), 1U);
  EXPECT_EQ(server->starts[0], (ServerConfiguration{8000, "127.0.0.1"}));
  EXPECT_EQ(log.first("osc_server_start_request"), "osc_server_start_request host=127.0.0.1 port=8000");

  m.startServer(ServerConfiguration{9000, "0.0.0.0"});
  EXPECT_EQ(server->starts.back(), (ServerConfiguration{9000, "0.0.0.0"}));

  server->failWith = OSCServerError::invalidHost("studio");
  EXPECT_NO_THROW(m.startServer(ServerConfiguration{9001, "studio"}));
  EXPECT_EQ(log.first("osc_server_fail"),
            "osc_server_fail host=studio port=9001 err_domain=OSCServerError err_code=0 error=<private>");
  EXPECT_EQ(log.count("osc_server_start_request"), 2U);

  m.stopServer();
  EXPECT_EQ(server->stops, 1);
  EXPECT_EQ(log.count("osc_server_stop"), 1U);
}

} // namespace
} // namespace pd::deckinput
