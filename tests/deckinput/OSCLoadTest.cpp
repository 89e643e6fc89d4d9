// Load: a loopback sender at 20,000 messages per second. Nothing may be lost by the server, and
// the decks must show the last message within 5 ms. Runs 1 s by default; PD_OSC_LOAD_SECONDS=10
// gives the full acceptance run. Prints the CPU time of the receive queue and the main thread.

#include "deckinput/OSCViewModel.hpp"

#include "DeckInputTestSupport.hpp"
#include "OSCBytes.hpp"

#include "platform/log/Logger.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace pd::deckinput {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::MainLoop;

class CountingLink final : public DeckStateSink {
public:
  void sendDeckState(const link::DeckState&) override { ++forwarded; }
  bool hasConnectedPeers() const override { return true; }
  boost::signals2::signal<void()>& linkChanged() override { return changed; }
  std::int64_t forwarded = 0;
  boost::signals2::signal<void()> changed;
};

// CPU seconds (user + system) of one thread of this process, from /proc.
double threadCpuSeconds(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) {
    return 0.0;
  }
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  // Fields after the name start with the state (field 3); utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) {
      utime = std::stol(field);
    } else if (index == 15) {
      stime = std::stol(field);
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The receive queue's thread, found by its name.
pid_t receiveQueueThread() {
  DIR* dir = ::opendir("/proc/self/task");
  pid_t found = 0;
  for (dirent* entry = dir != nullptr ? ::readdir(dir) : nullptr; entry != nullptr; entry = ::readdir(dir)) {
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.ends_with("osc.receive")) {
      found = static_cast<pid_t>(std::atoi(entry->d_name));
    }
  }
  if (dir != nullptr) {
    ::closedir(dir);
  }
  return found;
}

double mainThreadCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(OSCLoad, TwentyThousandMessagesPerSecondLoseNothing) {
  const char* env = std::getenv("PD_OSC_LOAD_SECONDS");
  const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 1;
  constexpr int kRate = 20'000;
  constexpr int kPerMillisecond = kRate / 1000;
  const std::int64_t total = static_cast<std::int64_t>(seconds) * kRate;

  platform::log::setStderrEnabled(false);
  MainLoop loop;
  auto service = OSCServerService::create();
  auto link = std::make_shared<CountingLink>();
  OSCViewModel model(service, link);
  std::int64_t received = 0;
  boost::signals2::scoped_connection counter = service->subscribeMessages([&](const OSCMessage&) { ++received; });
  model.startServer(ServerConfiguration{0, "127.0.0.1"});
  loop.runUntil([&] { return model.serverState.get().isRunning(); });
  const auto port = *service->boundPort();

  // Message i sets deck (i % 4 + 1)'s beat to i: the decks show exactly which message came last.
  std::vector<std::vector<std::uint8_t>> datagrams;
  datagrams.reserve(static_cast<std::size_t>(total));
  for (std::int64_t i = 0; i < total; ++i) {
    test::OSCBytes b;
    b.address("/deck/" + std::to_string(i % 4 + 1) + "/beat").tags("i").int32(static_cast<std::int32_t>(i));
    datagrams.push_back(std::move(b.bytes));
  }

  // The queue's thread names itself once it runs, which on a busy machine may be after the server
  // is running.
  pid_t receiveThread = 0;
  loop.runUntil([&] { return (receiveThread = receiveQueueThread()) != 0; });
  const double receiveCpuBefore = threadCpuSeconds(receiveThread);
  const double mainCpuBefore = mainThreadCpuSeconds();

  std::atomic<bool> sendDone{false};
  std::atomic<Clock::rep> lastSendAt{0};
  const auto started = Clock::now();
  std::thread sender([&] {
    test::UdpSender socket;
    // 20 datagrams at the start of every millisecond, on an absolute schedule.
    for (std::int64_t i = 0; i < total; ++i) {
      if (i % kPerMillisecond == 0) {
        std::this_thread::sleep_until(started + std::chrono::milliseconds(i / kPerMillisecond));
      }
      socket.send(datagrams[static_cast<std::size_t>(i)], port);
    }
    lastSendAt = Clock::now().time_since_epoch().count();
    sendDone = true;
  });

  const std::int64_t lastBeat = total - 1;
  const std::int64_t lastDeck = lastBeat % 4 + 1;
  std::optional<Clock::time_point> currentAt;
  boost::signals2::scoped_connection watch =
      model.deckStates.changed().connect([&](const OSCViewModel::DeckStates& decks) {
        if (!currentAt && decks.at(lastDeck).beat == lastBeat) {
          currentAt = Clock::now();
        }
      });
  loop.runUntil(
      [&] {
        return currentAt.has_value() || (sendDone && Clock::now() - started > std::chrono::seconds(seconds) + 2s);
      },
      std::chrono::milliseconds(seconds * 1000 + 10'000));
  sender.join();
  loop.runUntil([&] { return received == total; }, 2s);
  const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
  const double receiveCpu = threadCpuSeconds(receiveThread) - receiveCpuBefore;
  const double mainCpu = mainThreadCpuSeconds() - mainCpuBefore;

  ASSERT_TRUE(currentAt.has_value()) << "the last message never reached the decks";
  const double lagMs =
      std::chrono::duration<double, std::milli>(*currentAt - Clock::time_point(Clock::duration(lastSendAt.load())))
          .count();
  std::cout << "[osc load] seconds=" << seconds << " sent=" << total << " received=" << received
            << " forwarded=" << link->forwarded << " last_message_to_deck_ms=" << lagMs
            << " receive_queue_cpu_s=" << receiveCpu << " (" << 100.0 * receiveCpu / elapsed << "% of one core)"
            << " main_thread_cpu_s=" << mainCpu << " (" << 100.0 * mainCpu / elapsed << "%)\n";

  EXPECT_EQ(received, total);
  EXPECT_EQ(link->forwarded, total);
  EXPECT_LE(lagMs, 5.0);
  for (std::int64_t deck = 1; deck <= 4; ++deck) {
    EXPECT_EQ(model.deckStates.get().at(deck).beat, total - 1 - ((lastDeck - deck + 4) % 4));
  }
  model.stopServer();
}

} // namespace
} // namespace pd::deckinput
