// Real peers on loopback: liblo's oscsend feeds the running server, the view model routes the
// messages, and a stand-in for the link sends deck_state to the tablet emulator (at most one in
// flight, dropping the rest, as the link does).

#include "deckinput/OSCViewModel.hpp"

#include "DeckInputTestSupport.hpp"

#include "platform/log/Logger.hpp"
#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <boost/asio/ip/udp.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

extern char** environ;

namespace pd::deckinput {
namespace {

using namespace std::chrono_literals;
using test::MainLoop;

bool requiredByCI() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

// A child process whose stdout lines are collected; its stdin stays open until it is stopped.
class Child {
public:
  explicit Child(std::vector<std::string> argv) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (auto& a : argv) {
      args.push_back(a.data());
    }
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    if (rc != 0) {
      ::close(out[0]);
      throw std::runtime_error("spawn " + argv[0]);
    }
    reader_ = std::thread([this, fd = out[0]] {
      std::string pending;
      char buffer[4096];
      for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
          break;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
          std::scoped_lock lock(mutex_);
          lines_.push_back(pending.substr(0, nl));
        }
      }
      ::close(fd);
    });
  }

  ~Child() {
    ::close(stdin_); // the emulator quits when its stdin closes
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    reader_.join();
  }

  std::vector<nlohmann::json> events() const {
    std::scoped_lock lock(mutex_);
    std::vector<nlohmann::json> result;
    for (const auto& line : lines_) {
      auto json = nlohmann::json::parse(line, nullptr, false);
      if (!json.is_discarded()) {
        result.push_back(std::move(json));
      }
    }
    return result;
  }

  std::vector<nlohmann::json> events(std::string_view name) const {
    std::vector<nlohmann::json> result;
    for (auto& event : events()) {
      if (event.value("event", "") == name) {
        result.push_back(std::move(event));
      }
    }
    return result;
  }

private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

int runToEnd(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) {
    args.push_back(a.data());
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
    return -1;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The link's deck-state rule over real UDP: one deck_state datagram in flight at most, others
// dropped; the count is released on the main thread when the send completes.
class UdpDeckStateLink final : public DeckStateSink, public std::enable_shared_from_this<UdpDeckStateLink> {
public:
  explicit UdpDeckStateLink(std::uint16_t tabletPort)
      : queue_("test.link"),
        socket_(queue_.executor()),
        tablet_(boost::asio::ip::make_address_v4("127.0.0.1"), tabletPort) {
    socket_.open(boost::asio::ip::udp::v4());
  }
  ~UdpDeckStateLink() override {
    queue_.syncWithTimeout([this] { socket_.close(); }, 1s);
  }

  void sendDeckState(const link::DeckState& state) override {
    if (inFlight >= 1) {
      ++dropped;
      return;
    }
    ++inFlight;
    maxInFlight = std::max(maxInFlight, inFlight);
    auto datagram = std::make_shared<std::string>(nlohmann::json{
        {"type", "deck_state"},
        {"deck", state.deckNumber},
        {"playing", state.isPlaying},
        {"onAir", state.isOnAir},
        {"bpm", state.musicBPM},
        {"title", state.musicTitle},
        {"artist", state.musicArtist},
        {"duration", state.duration}}.dump());
    queue_.post([self = shared_from_this(), datagram] {
      self->socket_.async_send_to(boost::asio::buffer(*datagram), self->tablet_,
                                  [self, datagram](const boost::system::error_code&, std::size_t) {
                                    runtime::MainThread::post([self] {
                                      --self->inFlight;
                                      ++self->sent;
                                    });
                                  });
    });
  }
  bool hasConnectedPeers() const override { return true; }
  boost::signals2::signal<void()>& linkChanged() override { return changed_; }

  int inFlight = 0;
  int maxInFlight = 0;
  int sent = 0;
  int dropped = 0;

private:
  runtime::SerialQueue queue_;
  boost::asio::ip::udp::socket socket_;
  boost::asio::ip::udp::endpoint tablet_;
  boost::signals2::signal<void()> changed_;
};

TEST(OSCEndToEnd, OscsendReachesTheDecksAndTheTablet) {
  const std::string oscsend = "/usr/bin/oscsend";
  if (!std::filesystem::exists(oscsend) || !std::filesystem::exists(PD_TABLET_EMULATOR)) {
    if (requiredByCI()) {
      FAIL() << "oscsend (liblo-tools) or the tablet emulator is missing";
    }
    GTEST_SKIP() << "oscsend (liblo-tools) or the tablet emulator is missing";
  }
  platform::log::setStderrEnabled(false);
  MainLoop loop;

  Child emulator({PD_TABLET_EMULATOR, "--no-bonjour", "--bind", "127.0.0.1", "--port", "0"});
  loop.runUntil([&] { return !emulator.events("ready").empty(); });
  const auto tabletPort = emulator.events("ready").front().at("port").get<std::uint16_t>();

  auto service = OSCServerService::create();
  auto link = std::make_shared<UdpDeckStateLink>(tabletPort);
  OSCViewModel model(service, link);
  model.startServer(ServerConfiguration{0, "127.0.0.1"});
  loop.runUntil([&] { return model.serverState.get().isRunning(); });
  const std::string port = std::to_string(*service->boundPort());

  // Each oscsend is a process of its own: a new sender each time.
  const std::vector<std::vector<std::string>> sends = {
      {oscsend, "127.0.0.1", port, "/deck/1/bpm", "f", "128.5"},
      {oscsend, "127.0.0.1", port, "/deck/1/title", "s", "Song Title"},
      {oscsend, "127.0.0.1", port, "/deck/1/artist", "s", "アーティスト"},
      {oscsend, "127.0.0.1", port, "/deck/1/playing", "i", "1"},
      {oscsend, "127.0.0.1", port, "/deck/2/onAir", "i", "1"},
      {oscsend, "127.0.0.1", port, "/deck/2/duration", "f", "301.25"},
  };
  std::atomic<int> failures{0};
  std::thread client([&] {
    for (const auto& argv : sends) {
      if (runToEnd(argv) != 0) {
        ++failures;
      }
    }
  });
  loop.runUntil([&] {
    const auto& decks = model.deckStates.get();
    return decks.at(2).duration == 301.25F || failures > 0;
  });
  client.join();
  ASSERT_EQ(failures, 0);

  const auto& decks = model.deckStates.get();
  EXPECT_EQ(decks.at(1).musicBPM, 128.5F);
  EXPECT_EQ(decks.at(1).musicTitle, "Song Title");
  EXPECT_EQ(decks.at(1).musicArtist, "アーティスト");
  EXPECT_TRUE(decks.at(1).isPlaying);
  EXPECT_TRUE(decks.at(2).isOnAir);
  // One sender each, unless two of the processes drew the same ephemeral port, which the
  // kernel may hand out again as soon as the last one has closed it.
  EXPECT_GE(service->connectionCount(), sends.size() - 1);
  EXPECT_LE(service->connectionCount(), sends.size());

  // Every routed message led to one attempt: sent, or dropped while another was in flight
  // (datagrams that reach the main thread in one burst).
  loop.runUntil([&] { return link->inFlight == 0; });
  EXPECT_EQ(link->sent + link->dropped, static_cast<int>(sends.size()));
  EXPECT_LE(link->maxInFlight, 1);
  EXPECT_GE(link->sent, 1);
  loop.runUntil([&] { return emulator.events("deck_state").size() == static_cast<std::size_t>(link->sent); });
  for (const auto& event : emulator.events("deck_state")) {
    if (event.at("message").at("deck") == 1) {
      EXPECT_EQ(event.at("message").at("bpm"), 128.5) << "the first message of deck 1 set it";
    }
  }

  // With nothing in flight the next update of each deck goes out and carries the whole record,
  // whatever was dropped before.
  for (const std::string deck : {"1", "2"}) {
    const int sentBefore = link->sent;
    std::thread one([&] { runToEnd({oscsend, "127.0.0.1", port, "/deck/" + deck + "/beat", "i", "7"}); });
    loop.runUntil([&] { return link->sent == sentBefore + 1 && link->inFlight == 0; });
    one.join();
  }
  loop.runUntil([&] { return emulator.events("deck_state").size() == static_cast<std::size_t>(link->sent); });
  nlohmann::json deck1;
  nlohmann::json deck2;
  for (const auto& event : emulator.events("deck_state")) {
    (event.at("message").at("deck") == 1 ? deck1 : deck2) = event.at("message");
  }
  EXPECT_EQ(deck1.at("bpm"), 128.5);
  EXPECT_EQ(deck1.at("title"), "Song Title");
  EXPECT_EQ(deck1.at("artist"), "アーティスト");
  EXPECT_EQ(deck1.at("playing"), true);
  EXPECT_EQ(deck1.at("onAir"), false);
  EXPECT_EQ(deck2.at("onAir"), true);
  EXPECT_EQ(deck2.at("duration"), 301.25);
  EXPECT_EQ(deck2.at("title"), "");

  model.stopServer();
}

} // namespace
} // namespace pd::deckinput
