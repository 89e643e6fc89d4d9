#include "platform/instance/ActivationListener.hpp"
#include "platform/instance/InstanceProtocol.hpp"
#include "platform/instance/RunningInstance.hpp"

#include "AppTestSupport.hpp"
#include "runtime/Error.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <future>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

namespace pd::platform::instance {
namespace {

using namespace std::chrono_literals;
using pd::testing::errnoOf;
using pd::testing::TempDirectory;

runtime::Clock::MonotonicTime in(std::chrono::milliseconds d) { return runtime::Clock::current().monotonic() + d; }

sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  return address;
}

int connectTo(int fd, const std::filesystem::path& path) {
  const sockaddr_un address = addressOf(path);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int connectRaw(const std::filesystem::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(connectTo(fd, path), 0);
  return fd;
}

// The first line `fd` receives within five seconds, with its newline; what came when none did.
std::string lineFrom(int fd) {
  std::string line;
  char buffer[64];
  pollfd p{fd, POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 5000) == 1) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  return line;
}

TEST(ActivationChannel, AnswersProcessIdAndActivation) {
  TempDirectory dir;
  std::atomic<int> activations{0};
  ActivationListener listener(dir / "instance.sock", [&] { ++activations; });

  auto incumbent = RunningInstance::find(listener.socketPath(), in(1000ms));
  ASSERT_TRUE(incumbent.has_value());
  EXPECT_EQ(incumbent->processIdentifier(), ::getpid());
  incumbent->activate();
  EXPECT_EQ(activations.load(), 1);
}

TEST(ActivationChannel, NobodyListeningIsNoIncumbent) {
  TempDirectory dir;
  // A far deadline: the answer comes at once rather than when the deadline passes, whatever the load.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunningInstance::find(dir / "instance.sock", in(30000ms)).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST(ActivationChannel, SocketFilesLeftBehindAreReplacedButNeverALiveListenerOrAnotherFile) {
  TempDirectory dir;
  const auto path = dir / "instance.sock";
  {
    // A socket file whose owner is gone: bound, never listening, closed.
    const sockaddr_un address = addressOf(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  ActivationListener listener(path, {});
  EXPECT_TRUE(RunningInstance::find(path, in(1000ms)).has_value());
  EXPECT_EQ(errnoOf([&] { ActivationListener second(path, {}); }), EADDRINUSE);
  // The live listener survived the attempt.
  EXPECT_TRUE(RunningInstance::find(path, in(1000ms)).has_value());

  const auto other = dir / "notes.txt";
  pd::testing::writeText(other, "keep me");
  EXPECT_EQ(errnoOf([&] { ActivationListener third(other, {}); }), EEXIST);
  EXPECT_EQ(pd::testing::readText(other), "keep me");
}

TEST(ActivationChannel, TeardownRemovesOnlyItsOwnSocket) {
  TempDirectory dir;
  const auto path = dir / "instance.sock";
  { ActivationListener listener(path, {}); }
  EXPECT_FALSE(std::filesystem::exists(path));

  auto first = std::make_unique<ActivationListener>(path, [] {});
  // A successor took the path over (the first's socket file was removed behind its back).
  std::filesystem::remove(path);
  ActivationListener successor(path, {});
  first.reset();
  EXPECT_TRUE(RunningInstance::find(path, in(1000ms)).has_value());
}

// Its owner is stopped: the listener never accepts, and its backlog is full.
TEST(ActivationChannel, AListenerThatNeverAcceptsIsLiveAndDoesNotHoldUpStartUp) {
  TempDirectory dir;
  const auto path = dir / "instance.sock";
  const sockaddr_un address = addressOf(path);
  const int frozen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(frozen, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(frozen, 0), 0);
  std::vector<int> waiting;
  bool full = false;
  for (int i = 0; i < 64 && !full; ++i) {
    waiting.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    full = connectTo(waiting.back(), path) != 0 && errno == EAGAIN;
  }
  ASSERT_TRUE(full);
  auto attempt =
      std::async(std::launch::async, [&] { return errnoOf([&] { ActivationListener listener(path, {}); }); });
  const bool answered = attempt.wait_for(5s) == std::future_status::ready;
  ::close(frozen); // lets a blocked attempt go on
  EXPECT_TRUE(answered) << "start-up waited for the stopped listener";
  EXPECT_EQ(attempt.get(), EADDRINUSE);
  for (const int fd : waiting) ::close(fd);
}

TEST(ActivationChannel, PathTooLongForASocketIsRefused) {
  const std::filesystem::path path = "/tmp/" + std::string(120, 'x');
  EXPECT_EQ(errnoOf([&] { ActivationListener listener(path, {}); }), ENAMETOOLONG);
  EXPECT_FALSE(RunningInstance::find(path, in(100ms)).has_value());
}

TEST(ActivationChannel, ConfusedPeersAreCutOffAndTheNextOneIsServed) {
  TempDirectory dir;
  std::atomic<int> activations{0};
  ActivationListener listener(dir / "instance.sock", [&] { ++activations; });

  // An endless line: cut at the size limit.
  const int flood = connectRaw(listener.socketPath());
  const std::string junk(200, 'a');
  ::send(flood, junk.data(), junk.size(), MSG_NOSIGNAL);
  // An unknown request: refused and closed.
  const int stranger = connectRaw(listener.socketPath());
  ::send(stranger, "reboot\n", 7, MSG_NOSIGNAL);
  char answer[16] = {};
  EXPECT_EQ(::recv(stranger, answer, sizeof answer - 1, 0), 6);
  EXPECT_STREQ(answer, "error\n");
  EXPECT_EQ(::recv(stranger, answer, sizeof answer, 0), 0);
  ::close(flood);
  ::close(stranger);

  auto incumbent = RunningInstance::find(listener.socketPath(), in(1000ms));
  ASSERT_TRUE(incumbent.has_value());
  incumbent->activate();
  EXPECT_EQ(activations.load(), 1);
}

TEST(ActivationChannel, RunningOutOfDescriptorsIdlesTheListenerUntilOneIsFree) {
  TempDirectory dir;
  ActivationListener listener(dir / "instance.sock", {});
  const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  std::string answer;
  std::chrono::nanoseconds busy{};
  {
    pd::testing::ExhaustedDescriptors full;
    // The connection waits in the backlog: every accept fails with EMFILE until a descriptor frees.
    ASSERT_EQ(connectTo(client, listener.socketPath()), 0);
    ASSERT_EQ(::send(client, "pid\n", 4, MSG_NOSIGNAL), 4);
    const auto cpu = [] {
      timespec t{};
      ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
      return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    };
    const auto before = cpu();
    std::this_thread::sleep_for(500ms);
    busy = cpu() - before;

    full.releaseOne();
    answer = lineFrom(client);
  }
  ::close(client);
  // Retrying at once would keep a core busy for the whole half second.
  EXPECT_LT(busy, 100ms);
  EXPECT_EQ(answer, "pid " + std::to_string(::getpid()) + "\n");
}

// Lowered below two descriptors, the limit makes the listener's poll fail until it is raised again.
TEST(ActivationChannel, AListenerThatCannotPollForAWhileAnswersAfterwards) {
  TempDirectory dir;
  ActivationListener listener(dir / "instance.sock", {});
  const int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &previous), 0);
  {
    struct Restore {
      rlimit limit;
      ~Restore() { ::setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{previous};
    rlimit tight = previous;
    tight.rlim_cur = 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    // The waiting connection wakes the listener, whose accept and then poll fail under the limit.
    ASSERT_EQ(connectTo(client, listener.socketPath()), 0);
    ASSERT_EQ(::send(client, "pid\n", 4, MSG_NOSIGNAL), 4);
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(lineFrom(client), "pid " + std::to_string(::getpid()) + "\n");
  ::close(client);
}

TEST(ActivationChannel, ActivationThatOutlastsTheDeadlineTimesOut) {
  TempDirectory dir;
  std::atomic<bool> release{false};
  // Comes to the front only after half a minute: a deadline missed shows as a wait of that length.
  ActivationListener listener(dir / "instance.sock", [&] {
    for (int i = 0; i < 6000 && !release.load(); ++i) {
      std::this_thread::sleep_for(5ms);
    }
  });
  auto incumbent = RunningInstance::find(listener.socketPath(), in(200ms));
  ASSERT_TRUE(incumbent.has_value());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(errnoOf([&] { incumbent->activate(); }), ETIMEDOUT);
  const auto took = std::chrono::steady_clock::now() - started;
  release = true;
  EXPECT_LT(took, 10s);
}

TEST(ActivationChannel, ProcessIdAnswersAreRangeChecked) {
  using protocol::parseProcessIdAnswer;
  EXPECT_EQ(parseProcessIdAnswer("pid 42"), 42);
  EXPECT_EQ(parseProcessIdAnswer("pid 2147483647"), 2147483647);
  for (const char* bad : {"pid 0", "pid -5", "pid +5", "pid 2147483648", "pid 99999999999", "pid 12x", "pid ", "pid",
                          "PID 5", " pid 5", "pid  5"}) {
    EXPECT_FALSE(parseProcessIdAnswer(bad).has_value()) << bad;
  }
}

} // namespace
} // namespace pd::platform::instance
