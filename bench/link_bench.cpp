// The receive path of the link, per datagram of whole frames cut into four fragments (the video
// side reassembles them and hands each frame to the mixed stream's decoder, which holds back
// pictures that come before a sync picture):
//   BM_DispatchInjected     the manager's receive loop alone: completion, generation check, activity
//                           stamp, first-byte dispatch to the video side, reassembly, re-arm (buffers
//                           handed in on the network queue, no socket);
//   BM_ControlDispatch      one control datagram from the receive loop's completion to its handler on
//                           the main thread (a ping, answered with a pong), per datagram, in batches
//                           of 64 that cross before the main thread drains them;
//   BM_SocketToDispatch     the whole road from a loopback socket through the UDP link and the
//                           receive loop to the video side. Timed by the CPU time of the network
//                           queue's thread, so the sender's cost and idle waits do not count.

#include "link/NetworkManagerForMac.hpp"
#include "video/VideoFragmentReassembler.hpp"
#include "platform/log/Logger.hpp"
#include "platform/net/UdpLink.hpp"
#include "runtime/MainThread.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace pd::link {

// Reaches the queue and the loop the benchmarks drive.
struct NetworkManagerForMacTestAccess {
  template <typename F>
  static void onQueue(NetworkManagerForMac& manager, F work) {
    if (!manager.networkQueue_.syncWithTimeout(std::move(work), std::chrono::seconds(60))) {
      throw std::runtime_error("network queue did not answer");
    }
  }
};

namespace {

using namespace std::chrono_literals;
using Access = NetworkManagerForMacTestAccess;

constexpr std::size_t kFragmentPayload = 1265; // a typical video fragment: 1,280 bytes with its header
constexpr std::size_t kFragmentsPerFrame = 4;

// `count` datagrams of whole frames on the mixed stream, numbered from `firstSequence`. Each
// frame is one length-prefixed picture unit without parameter sets: nothing a decoder session
// could be made for, so the figure stays the link's.
std::vector<std::vector<std::uint8_t>> videoFragments(std::size_t count, std::uint64_t firstSequence = 1) {
  constexpr std::size_t kFrameBytes = kFragmentPayload * kFragmentsPerFrame;
  std::vector<std::uint8_t> frame(kFrameBytes, 0);
  for (int i = 0; i < 4; ++i)
    frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((kFrameBytes - 4) >> (24 - 8 * i));
  frame[4] = 0x02; // a trailing picture, temporal layer 0
  frame[5] = 0x01;
  std::vector<std::vector<std::uint8_t>> datagrams;
  for (std::size_t n = 0; n < count; ++n) {
    const std::uint64_t sequence = firstSequence + n / kFragmentsPerFrame;
    const std::size_t index = n % kFragmentsPerFrame;
    std::vector<std::uint8_t> datagram(video::VideoFragmentReassembler::kHeaderSize);
    for (int i = 0; i < 8; ++i)
      datagram[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence >> (56 - 8 * i));
    datagram[8] = static_cast<std::uint8_t>(index);
    datagram[9] = static_cast<std::uint8_t>(kFragmentsPerFrame);
    for (int i = 0; i < 4; ++i)
      datagram[static_cast<std::size_t>(10 + i)] = static_cast<std::uint8_t>(kFrameBytes >> (24 - 8 * i));
    datagram[14] = 0;
    const auto slice = frame.begin() + static_cast<std::ptrdiff_t>(index * kFragmentPayload);
    datagram.insert(datagram.end(), slice, slice + static_cast<std::ptrdiff_t>(kFragmentPayload));
    datagrams.push_back(std::move(datagram));
  }
  return datagrams;
}

// A link whose datagrams the benchmark hands in.
class InjectedLink final : public platform::net::DatagramLink {
public:
  void setStateHandler(StateHandler handler) override {
    std::scoped_lock lock(mutex_);
    handler_ = std::move(handler);
  }
  void start(runtime::Executor queue) override {
    StateHandler handler;
    {
      std::scoped_lock lock(mutex_);
      handler = handler_;
    }
    queue.execute([handler] {
      if (handler) handler({platform::net::LinkState::ready, std::nullopt});
    });
  }
  void cancel() override {}
  platform::net::LinkState state() const override { return platform::net::LinkState::ready; }
  void receiveMessage(ReceiveCompletion completion) override { pending_ = std::move(completion); }
  void send(std::vector<std::uint8_t>, SendCompletion completion) override {
    if (completion) completion(std::nullopt);
  }
  std::optional<platform::net::LinkPath> currentPath() const override { return std::nullopt; }

  // On the network queue only.
  bool deliver(std::span<const std::uint8_t> datagram) {
    if (!pending_) return false;
    auto completion = std::move(pending_);
    pending_ = nullptr;
    completion(datagram, std::nullopt);
    return true;
  }
  bool armed() const { return static_cast<bool>(pending_); }

private:
  std::mutex mutex_;
  StateHandler handler_;
  ReceiveCompletion pending_;
};

class MainLoop {
public:
  MainLoop() : installation_(runtime::MainThread::installIoContext(context_)) {}
  void runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    context_.restart();
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("not reached in time");
      context_.run_one_for(5ms);
      if (context_.stopped()) context_.restart();
    }
  }

private:
  boost::asio::io_context context_;
  runtime::MainThread::Installation installation_;
};

platform::bonjour::BrowseResult benchPeer() {
  platform::bonjour::BrowseResult peer;
  peer.endpoint = platform::net::ServiceEndpoint{"Bench", "_velquatrin._udp", "local"};
  peer.interfaces.push_back(platform::net::Interface{"lo", 1, platform::net::InterfaceType::loopback});
  return peer;
}

NetworkManagerForMac::Dependencies benchDependencies() {
  auto dependencies = NetworkManagerForMac::systemDependencies();
  dependencies.networkPeerID = [] { return std::string("bench"); };
  dependencies.deviceName = "Bench";
  return dependencies;
}

// A manager linked over `link`, its receive loop armed.
std::shared_ptr<NetworkManagerForMac> injectedManager(MainLoop& loop, const std::shared_ptr<InjectedLink>& link) {
  auto dependencies = benchDependencies();
  dependencies.makeLink = [link](const auto&, const auto&) { return link; };
  auto manager = NetworkManagerForMac::create(std::move(dependencies));
  manager->connect(benchPeer(), benchPeer().interfaces.front());
  loop.runUntil([&] {
    bool armed = false;
    Access::onQueue(*manager, [&] { armed = link->armed(); });
    return armed;
  });
  return manager;
}

void BM_DispatchInjected(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  MainLoop loop;
  auto link = std::make_shared<InjectedLink>();
  auto manager = injectedManager(loop, link);

  constexpr int kBatch = 10'000;
  const auto datagrams = videoFragments(kBatch);
  for (auto _ : state) {
    Access::onQueue(*manager, [&] {
      for (const auto& datagram : datagrams) benchmark::DoNotOptimize(link->deliver(datagram));
    });
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["ns_per_datagram"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (manager->videoDatagramCount() != static_cast<std::uint64_t>(state.iterations() * kBatch)) {
    state.SkipWithError("datagrams went missing");
  }
  manager.reset();
  platform::log::setStderrEnabled(true);
}
BENCHMARK(BM_DispatchInjected)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ControlDispatch(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  MainLoop loop;
  auto link = std::make_shared<InjectedLink>();
  auto manager = injectedManager(loop, link);

  constexpr int kBatch = 64;
  const std::string text = R"({"type":"ping","seq":7,"timestampUnixMs":1765000000000,"mode":"mix"})";
  const std::vector<std::uint8_t> datagram(text.begin(), text.end());
  for (auto _ : state) {
    const std::uint64_t base = manager->controlDatagramCount();
    Access::onQueue(*manager, [&] {
      for (int n = 0; n < kBatch; ++n) benchmark::DoNotOptimize(link->deliver(datagram));
    });
    loop.runUntil([&] { return manager->controlDatagramCount() - base >= kBatch; });
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["ns_per_datagram"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  manager.reset();
  platform::log::setStderrEnabled(true);
}
// bench/dispatch_instructions.sh counts instructions over two runs that differ only in their
// iteration count, which it sets here.
void iterationsFromEnvironment(benchmark::internal::Benchmark* benchmark) {
  const char* text = std::getenv("PD_BENCH_ITERATIONS");
  if (text == nullptr) return;
  char* end = nullptr;
  const long long count = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || count < 1 || count > 100'000'000) {
    throw std::invalid_argument("PD_BENCH_ITERATIONS takes a count from 1 to 100000000");
  }
  benchmark->Iterations(count);
}
BENCHMARK(BM_ControlDispatch)->UseRealTime()->Unit(benchmark::kMicrosecond)->Apply(iterationsFromEnvironment);

// The tablet's end: a UDP socket on 127.0.0.1 that learns the receiver's address from the
// handshake request it is sent.
class Sender {
public:
  Sender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Sender() { ::close(fd_); }
  std::uint16_t port() const { return port_; }
  // Waits for the receiver's first datagram and connects to where it came from.
  void connectToReceiver() {
    char buffer[2048];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    if (::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) < 0 ||
        ::connect(fd_, reinterpret_cast<sockaddr*>(&from), length) != 0) {
      throw std::runtime_error("no handshake from the receiver");
    }
  }
  void send(const std::vector<std::uint8_t>& datagram) {
    while (::send(fd_, datagram.data(), datagram.size(), 0) < 0 && (errno == ENOBUFS || errno == EINTR)) {}
  }

private:
  int fd_;
  std::uint16_t port_ = 0;
};

double threadCpuSeconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void BM_SocketToDispatch(benchmark::State& state) {
  platform::log::setStderrEnabled(false);
  MainLoop loop;
  Sender sender;
  auto dependencies = benchDependencies();
  const auto port = sender.port();
  // The peer's Bonjour name stands for the sender's numeric address here.
  dependencies.makeLink = [port](const platform::net::Endpoint&, const platform::net::LinkParameters& parameters) {
    return std::make_shared<platform::net::UdpLink>(platform::net::HostPort{"127.0.0.1", port}, parameters);
  };
  auto manager = NetworkManagerForMac::create(std::move(dependencies));
  const auto lo = platform::net::interfaceByName("lo");
  if (!lo) {
    state.SkipWithError("no loopback interface");
    return;
  }
  std::atomic<bool> linked{false};
  std::thread handshake([&] {
    sender.connectToReceiver();
    linked = true;
  });
  manager->connect(benchPeer(), *lo);
  loop.runUntil([&] { return linked.load(); });
  handshake.join();

  clockid_t queueClock{};
  Access::onQueue(*manager, [&] { ::pthread_getcpuclockid(::pthread_self(), &queueClock); });

  constexpr std::uint64_t kBatch = 20'000;
  const auto datagrams = videoFragments(kBatch);
  // At most this many datagrams wait in the socket, so none is dropped for a full buffer.
  const auto kWindow = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    const std::uint64_t base = manager->videoDatagramCount();
    const double cpuBefore = threadCpuSeconds(queueClock);
    for (std::uint64_t sent = 0; sent < kBatch; ++sent) {
      while (sent - (manager->videoDatagramCount() - base) >= kWindow) std::this_thread::yield();
      sender.send(datagrams[sent]);
    }
    while (manager->videoDatagramCount() - base < kBatch) std::this_thread::yield();
    state.SetIterationTime(threadCpuSeconds(queueClock) - cpuBefore);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
  state.counters["ns_per_datagram"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  manager.reset();
  platform::log::setStderrEnabled(true);
}
BENCHMARK(BM_SocketToDispatch)->Arg(1)->Arg(16)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond);

// The floor under BM_SocketToDispatch: a thread that does nothing but a blocking recv() per
// datagram, fed the same way. The difference is what the link and the receive loop add.
void BM_PlainRecvFloor(benchmark::State& state) {
  Sender sender;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(sender.port());
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bufferBytes = platform::net::UdpLink::kReceiveBufferBytes;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
  std::atomic<std::uint64_t> received{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> started{false};
  clockid_t clock{};
  std::thread receiver([&] {
    ::pthread_getcpuclockid(::pthread_self(), &clock);
    started = true;
    std::vector<std::uint8_t> buffer(platform::net::UdpLink::kMaxDatagramBytes + 1);
    while (!stop) {
      if (::recv(fd, buffer.data(), buffer.size(), 0) > 0) received.fetch_add(1, std::memory_order_relaxed);
    }
  });
  const std::vector<std::uint8_t> hello{'{', '}'};
  ::send(fd, hello.data(), hello.size(), 0);
  sender.connectToReceiver();
  while (!started) std::this_thread::yield();

  std::vector<std::uint8_t> datagram(kFragmentPayload + video::VideoFragmentReassembler::kHeaderSize, 0x42);
  constexpr std::uint64_t kBatch = 20'000;
  const auto kWindow = static_cast<std::uint64_t>(state.range(0));
  for (auto _ : state) {
    const std::uint64_t base = received.load();
    const double cpuBefore = threadCpuSeconds(clock);
    for (std::uint64_t sent = 0; sent < kBatch; ++sent) {
      while (sent - (received.load() - base) >= kWindow) std::this_thread::yield();
      sender.send(datagram);
    }
    while (received.load() - base < kBatch) std::this_thread::yield();
    state.SetIterationTime(threadCpuSeconds(clock) - cpuBefore);
  }
  state.counters["ns_per_datagram"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  stop = true;
  sender.send(datagram); // wakes the blocked recv()
  receiver.join();
  ::close(fd);
}
BENCHMARK(BM_PlainRecvFloor)->Arg(1)->Arg(16)->Arg(64)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
} // namespace pd::link

BENCHMARK_MAIN();
