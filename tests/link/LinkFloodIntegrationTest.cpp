// A hostile or broken sender on the tablet's own address and port, while the tablet streams: the
// link must stay up, the stream keep its frames, and the log ring keep recording. The forged
// datagrams go out through a raw socket, which needs CAP_NET_RAW; without it the case is skipped.
// PD_FLOOD_SECONDS sets the floods' length (4 and 10 seconds by default).

#include "LinkIntegrationSupport.hpp"

#include "diagnostics/LogRing.hpp"
#include "platform/crypto/Random.hpp"
#include "platform/net/UdpLink.hpp"
#include "video/HEVCDecoder.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <map>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace pd::link {

void NetworkManagerForMacTestAccess::waitForDecoders(Manager& m) {
  onQueue(m, [](Manager& s) {
    for (const auto& [stream, decoder] : s.ingest_.decoders()) decoder->waitForAsynchronousFrames();
    return true;
  });
}

std::uint64_t NetworkManagerForMacTestAccess::picturesShedByDecoders(Manager& m) {
  return onQueue(m, [](Manager& s) {
    std::uint64_t shed = 0;
    for (const auto& [stream, decoder] : s.ingest_.decoders()) shed += decoder->picturesShedAfterGaps();
    return shed;
  });
}

} // namespace pd::link

namespace pd::link::test {
namespace {

// UDP datagrams with a source of our choosing, on loopback.
class ForgedUdp {
public:
  ForgedUdp() : fd_(::socket(AF_INET, SOCK_RAW, IPPROTO_RAW)) {}
  ~ForgedUdp() {
    if (fd_ >= 0) ::close(fd_);
  }
  ForgedUdp(const ForgedUdp&) = delete;
  ForgedUdp& operator=(const ForgedUdp&) = delete;
  bool usable() const { return fd_ >= 0; }

  bool send(std::uint16_t fromPort, std::uint16_t toPort, std::span<const std::uint8_t> payload) {
    constexpr std::size_t kIp = 20, kUdp = 8;
    std::vector<std::uint8_t> packet(kIp + kUdp + payload.size());
    const auto put16 = [&](std::size_t at, std::uint16_t value) {
      packet[at] = static_cast<std::uint8_t>(value >> 8);
      packet[at + 1] = static_cast<std::uint8_t>(value & 0xFF);
    };
    packet[0] = 0x45; // IPv4, five words of header
    put16(2, static_cast<std::uint16_t>(packet.size()));
    packet[8] = 64;
    packet[9] = IPPROTO_UDP;
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    std::memcpy(&packet[12], &loopback, 4);
    std::memcpy(&packet[16], &loopback, 4);
    put16(kIp, fromPort);
    put16(kIp + 2, toPort);
    put16(kIp + 4, static_cast<std::uint16_t>(kUdp + payload.size()));
    // The UDP checksum stays 0 (none, allowed over IPv4); the kernel fills in the IP header's.
    std::copy(payload.begin(), payload.end(), packet.begin() + kIp + kUdp);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = loopback;
    return ::sendto(fd_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(packet.size());
  }

private:
  int fd_;
};

std::uint16_t freeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// A fragment of a frame that never completes, far ahead of the real stream's numbers.
std::vector<std::uint8_t> junkFragment(std::uint64_t sequence) {
  std::vector<std::uint8_t> datagram(15 + 64, 0xAB);
  for (int i = 0; i < 8; ++i)
    datagram[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(sequence >> (56 - 8 * i));
  datagram[8] = 0;
  datagram[9] = 2;
  datagram[10] = datagram[11] = datagram[12] = 0;
  datagram[13] = 200;
  datagram[14] = 0;
  return datagram;
}

bool ringHolds(const std::filesystem::path& root, const std::string& text) {
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
    if (entry.path().extension() != ".ndjson") continue;
    std::ifstream in(entry.path());
    std::stringstream content;
    content << in.rdbuf();
    if (content.str().find(text) != std::string::npos) return true;
  }
  return false;
}

// The resident set of this process in bytes (0 when unreadable).
std::int64_t residentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6) * 1024;
  }
  return 0;
}

// The receiver's loopback socket as the kernel lists it, found by its ports.
std::optional<KernelUdpSocket> kernelQueue(std::uint16_t localPort, std::uint16_t remotePort) {
  char local[32];
  char remote[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", localPort);
  std::snprintf(remote, sizeof remote, "0100007F:%04X", remotePort);
  for (auto& socket : kernelUdpSockets()) {
    if (socket.local == local && socket.remote == remote) return std::move(socket);
  }
  return std::nullopt;
}

// The buffer the kernel gives the receiver's socket: twice what it asks for, capped by rmem_max.
std::int64_t receiverBufferBytes() {
  std::int64_t cap = platform::net::UdpLink::kReceiveBufferBytes;
  std::ifstream("/proc/sys/net/core/rmem_max") >> cap;
  return 2 * std::min<std::int64_t>(cap, platform::net::UdpLink::kReceiveBufferBytes);
}

// How long thread `tid` of this process has been ready to run but waiting for a core, as the
// scheduler counts it; zero where the kernel keeps no count.
std::chrono::nanoseconds waitedForACore(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  std::int64_t onCore = 0;
  std::int64_t waited = 0;
  if (!(in >> onCore >> waited) || waited < 0) return {};
  return std::chrono::nanoseconds(waited);
}

// How long thread `tid` of this process has run on a core; zero where the kernel keeps no count.
std::chrono::nanoseconds ranOnACore(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  std::int64_t onCore = 0;
  if (!(in >> onCore) || onCore < 0) return {};
  return std::chrono::nanoseconds(onCore);
}

std::int64_t folderBytes(const std::filesystem::path& root) {
  std::int64_t total = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
    if (entry.is_regular_file(error)) total += static_cast<std::int64_t>(entry.file_size(error));
  }
  return total;
}

// A manager linked over loopback to an emulated tablet that streams a clip in mix and sends its
// own pings, with the launch's log ring recording; skipped without a raw socket to forge with.
class LinkFloodTest : public LinkIntegrationTest {
protected:
  void SetUp() override {
    LinkIntegrationTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    if (!forged_.usable()) GTEST_SKIP() << "no raw socket (needs CAP_NET_RAW): cannot forge the tablet's address";
    const auto clip = makeClip(folder_.path());
    if (clip.empty()) {
      if (testing::PrivateAvahi::requiredByCi()) FAIL() << "ffmpeg with libx265 could not make the video clip";
      GTEST_SKIP() << "ffmpeg with libx265 could not make the video clip";
    }
    platform::log::setStderrEnabled(false);
    ringConfig_.root = folder_.path() / "LogRing";
    ringConfig_.launchID = platform::crypto::makeUUIDString();
    ringConfig_.timing.flushPeriod = std::chrono::seconds(1);
    ring_.emplace(ringConfig_);
    ring_->start();

    manager_ = browsingManager(integrationDependencies("Flooded Mac"));
    ASSERT_TRUE(manager_);

    tabletPort_ = freeUdpPort();
    const std::string name = "Flood Tablet " + std::to_string(::getpid());
    emulator_.emplace(std::vector<std::string>{"--interface", "lo", "--bind", "127.0.0.1", "--port",
                                               std::to_string(tabletPort_), "--name", name, "--video", clip.string(),
                                               "--stream", "mix", "--ping"});
    // Each step waits for its event. On a loaded machine the emulator took up to 12 s to be
    // published and the receiver's resolve through the daemons up to 10 s to link: the limit
    // only catches a step that never happens.
    ASSERT_TRUE(emulator_->waitFor(
        "bonjour_published", [&] { pump(); }, kSetUpHang));
    std::optional<platform::bonjour::BrowseResult> tablet;
    ASSERT_TRUE(runUntil([&] { return (tablet = listedTablet(*manager_, name)).has_value(); }, kSetUpHang));
    const auto lo = loopbackRoute(*tablet);
    ASSERT_TRUE(lo);
    manager_->connect(*tablet, *lo);
    const auto linked = emulator_->waitFor(
        "linked", [&] { pump(); }, kSetUpHang);
    ASSERT_TRUE(linked);
    const std::string receiver = (*linked)["peer"].get<std::string>();
    receiverPort_ = static_cast<std::uint16_t>(std::stoi(receiver.substr(receiver.rfind(':') + 1)));
    ASSERT_TRUE(runUntil([&] { return !manager_->connectedPeers.get().empty(); }, kSetUpHang));
    ASSERT_TRUE(runUntil([&] { return manager_->decodedFrameCount(0) > 0; }, kSetUpHang));
  }

  static constexpr std::chrono::seconds kSetUpHang{30};

  // The frames the emulator has sent: on a busy machine it falls behind the clip's 30 a second,
  // and the picture can only show what was sent.
  std::uint64_t framesSent() {
    emulator_->command("stats");
    const auto stats = emulator_->waitFor("stats", [&] { pump(); });
    return stats ? (*stats)["stats"].value("framesSent", std::uint64_t{0}) : std::uint64_t{0};
  }

  // The frames the tablet has sent, the receiver has decoded, and its decoders have given up by
  // their own rule after falling behind (a starved decoder thread drops and then waits for a
  // random-access picture).
  struct Frames {
    std::uint64_t sent = 0;
    std::uint64_t shown = 0;
    std::uint64_t shed = 0;
  };
  Frames framesNow() { return {framesSent(), manager_->decodedFrameCount(0), TA::picturesShedByDecoders(*manager_)}; }

  // The tablet stops streaming; then the frames since `before`, counted once every frame sent is
  // decoded, or else once the receiver has read its socket empty and its decoders have been
  // through what they were handed, twice running. On a loaded machine the last frames reach the
  // picture long after the flood: late is not lost.
  Frames framesOnceTheStreamStops(const Frames& before) {
    emulator_->command("stream stop");
    EXPECT_TRUE(emulator_->waitFor(
        "datagrams_sent", [&] { pump(); }, kSetUpHang));
    const std::uint64_t sent = framesSent() - before.sent;
    const auto decoded = [&] { return manager_->decodedFrameCount(0) - before.shown; };
    int quietRounds = 0;
    EXPECT_TRUE(runUntil(
        [&] {
          if (decoded() >= sent) return true;
          const auto queue = kernelQueue(receiverPort_, tabletPort_);
          if (!queue || queue->queuedBytes != 0) return (quietRounds = 0) != 0;
          const std::uint64_t seen = decoded();
          TA::waitForDecoders(*manager_);
          quietRounds = decoded() == seen ? quietRounds + 1 : 0;
          return quietRounds == 2;
        },
        kSetUpHang))
        << decoded() << " of " << sent << " frames decoded";
    return {sent, decoded(), TA::picturesShedByDecoders(*manager_) - before.shed};
  }

  // The frames the picture must show of those sent: all but a tenth, of those the decoders did
  // not give up by their own rule.
  static double framesOwed(const Frames& frames) {
    return 0.9 * static_cast<double>(frames.sent > frames.shed ? frames.sent - frames.shed : 0);
  }

  void TearDown() override {
    if (emulator_) emulator_->command("quit");
    if (manager_) {
      EXPECT_TRUE(releaseManager(manager_, [this] { pump(); }));
    }
  }

  static int floodSeconds(int fallback) {
    const char* configured = std::getenv("PD_FLOOD_SECONDS");
    return configured != nullptr ? std::max(1, std::atoi(configured)) : fallback;
  }

  // After the flood: an event still reaches the launch's segments.
  void expectALaterLineInTheRing() {
    manager_->cancelConnection(); // writes "browse_stop reason=user_cancel"
    auto flushed = std::make_shared<std::promise<void>>();
    auto written = flushed->get_future();
    ring_->requestFlush([flushed] { flushed->set_value(); });
    ASSERT_EQ(written.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(ringHolds(ringConfig_.root, "browse_stop reason=user_cancel"));
  }

  ForgedUdp forged_;
  diagnostics::LogRing::Config ringConfig_ = diagnostics::LogRing::standardConfig();
  std::optional<diagnostics::LogRing> ring_;
  std::shared_ptr<NetworkManagerForMac> manager_;
  std::optional<Emulator> emulator_;
  std::uint16_t tabletPort_ = 0;
  std::uint16_t receiverPort_ = 0;
};

TEST_F(LinkFloodTest, AFloodFromTheTabletsAddressNeitherBreaksTheLinkNorSilencesTheRing) {
  const int seconds = floodSeconds(4);
  auto& manager = manager_;
  auto& forged = forged_;
  const std::uint16_t tabletPort = tabletPort_;
  const std::uint16_t receiverPort = receiverPort_;

  // About 5,000 datagrams a second: broken JSON, unknown types, a mode request without a mode,
  // and fragments of frames that never complete.
  const Frames before = framesNow();
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::uint64_t round = 0;
  bool sendsFailed = false;
  // The flood lasts its seconds and, on a machine too busy for the emulator's 30 frames a second,
  // until the tablet has sent 10 a second's worth: the picture is judged on frames sent meanwhile.
  const std::uint64_t framesWanted = 10 * static_cast<std::uint64_t>(seconds);
  const auto floodGoesOn = [&] {
    const auto now = std::chrono::steady_clock::now();
    return now < end || (now < end + kSetUpHang && framesSent() - before.sent < framesWanted);
  };
  while (floodGoesOn()) {
    for (int i = 0; i < 10; ++i, ++round) {
      sendsFailed |= !forged.send(tabletPort, receiverPort, bytes("{junk"));
      sendsFailed |= !forged.send(tabletPort, receiverPort, bytes("{\"type\"]"));
      sendsFailed |=
          !forged.send(tabletPort, receiverPort, bytes(R"({"type":"flood_)" + std::to_string(round) + "\"}"));
      sendsFailed |= !forged.send(tabletPort, receiverPort, bytes(R"({"type":"mode_change_request"})"));
      sendsFailed |= !forged.send(tabletPort, receiverPort, junkFragment((std::uint64_t{1} << 40) + round));
    }
    (void)runUntil([] { return false; }, 10ms);
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Frames frames = framesOnceTheStreamStops(before);
  const auto shown = frames.shown;
  const auto sentFrames = static_cast<double>(frames.sent);
  ASSERT_FALSE(sendsFailed);

  EXPECT_FALSE(manager->connectedPeers.get().empty()) << manager->connectionStatus.get();
  EXPECT_GE(frames.sent, framesWanted) << "the emulator hardly streamed";
  const double expected = sentFrames;
  EXPECT_GE(static_cast<double>(shown), framesOwed(frames))
      << shown << " of " << sentFrames << " frames in " << elapsed << " s; " << frames.shed << " shed by the decoder";
  RecordProperty("flood_seconds", static_cast<int>(elapsed));
  RecordProperty("flood_datagrams", static_cast<int>(round * 5));
  RecordProperty("frames_shown_permille", static_cast<int>(1000.0 * static_cast<double>(shown) / expected));

  expectALaterLineInTheRing();
}

// The same sender at a high rate, with every kind of broken control message a hostile or broken
// tablet could send, large and deeply nested documents among them: the main thread keeps up,
// memory and the ring stay bounded, and the link's own messages still get through.
TEST_F(LinkFloodTest, AHighRateFloodOfBrokenControlMessagesLeavesThePictureTheLinkAndMemoryBounded) {
  const int seconds = floodSeconds(10);
  // Datagrams a second: the rate of the flood that froze the picture (PD_FLOOD_RATE; 0 for as
  // fast as one thread sends and the receiver reads).
  const char* rateText = std::getenv("PD_FLOOD_RATE");
  const double rate = rateText != nullptr ? std::max(0.0, std::atof(rateText)) : 100'000.0;
  auto& manager = manager_;
  auto& forged = forged_;
  const std::uint16_t tabletPort = tabletPort_;
  const std::uint16_t receiverPort = receiverPort_;
  auto& emulator = *emulator_;

  // What a broken or hostile sender writes: truncated real messages, "{" and random bytes, wrong
  // kinds, unknown types, invalid UTF-8, duplicate keys, and now and then a deep or a large document.
  std::vector<std::vector<std::uint8_t>> small;
  const std::string ack = R"({"type":"load_video_ack","target":"A","url":"http://x/y","status":"ready"})";
  for (std::size_t cut = 1; cut < ack.size(); cut += 7) small.push_back(bytes(ack.substr(0, cut)));
  std::mt19937 random(7);
  for (int i = 0; i < 16; ++i) {
    std::vector<std::uint8_t> noise(1 + random() % 200);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    noise[0] = '{';
    small.push_back(std::move(noise));
  }
  for (const char* text :
       {R"({"type":"stream_stop","streams":"all"})", R"({"type":"stream_stop","streams":[1,300]})",
        R"({"type":"load_video_ack","target":"C"})", R"({"type":"load_video_ack","target":"A","url":"u"})",
        R"({"type":"mode_change_request"})", R"({"type":"handshake_ack","seq":"x"})", R"({"type":"flood"})",
        R"({"type":"deck_state","deck":"A"})", "{\"type\":\"p\xff\xfeng\"}", R"({"type":"ping","type":"pong"})",
        R"({"type":5})", "{"})
    small.push_back(bytes(text));
  std::vector<std::vector<std::uint8_t>> heavy;
  heavy.push_back(bytes(R"({"type":"stream_stop","streams":)" + std::string(6000, '[') + std::string(6000, ']') + "}"));
  heavy.push_back(bytes(R"({"type":"flood","pad":")" + std::string(60 * 1024, 'x') + R"("})"));
  heavy.push_back(bytes(R"({"type":"flood","pad":")" + std::string(15 * 1024, 'x') + R"("})"));

  // The flood never runs further ahead of the receiver's reading than half its socket's buffer.
  // Past a full buffer the kernel drops the stream's datagrams and the tablet's pings with the
  // flood's before the receiver sees any of them, which no receiver can prevent; how soon that
  // happens depends on the cores the receiver gets, not on how it sheds what it has read.
  const std::int64_t queueLimit = receiverBufferBytes() / 2;
  const auto queuedBytes = [&] {
    const auto queue = kernelQueue(receiverPort, tabletPort);
    return queue ? queue->queuedBytes : std::int64_t{0};
  };
  const auto kernelDropsBefore = kernelQueue(receiverPort, tabletPort);
  ASSERT_TRUE(kernelDropsBefore) << "the receiver's socket is not in /proc/net/udp";
  const std::uint64_t backlogDropsBefore = TA::controlBacklog(*manager).dropped();

  std::atomic<bool> flooding{true};
  std::atomic<std::uint64_t> sent{0};
  std::atomic<bool> sendsFailed{false};
  std::thread sender([&] {
    std::uint64_t count = 0;
    const auto begun = std::chrono::steady_clock::now();
    while (flooding.load(std::memory_order_relaxed)) {
      for (const auto& datagram : small) {
        if (!forged.send(tabletPort, receiverPort, datagram)) sendsFailed = true;
      }
      if (!forged.send(tabletPort, receiverPort, heavy[(count / (small.size() + 1)) % heavy.size()])) {
        sendsFailed = true;
      }
      count += small.size() + 1;
      sent.store(count, std::memory_order_relaxed);
      while (flooding.load(std::memory_order_relaxed) && queuedBytes() > queueLimit) {
        std::this_thread::sleep_for(100us);
      }
      if (rate > 0) {
        std::this_thread::sleep_until(begun + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(static_cast<double>(count) / rate)));
      }
    }
  });
  // The main thread's stalls: a probe posted every 10 ms notes how late it ran, less the time the
  // main thread was ready but waited for a core meanwhile, which is the machine's load and not
  // the flood's; and not at all when the case itself held the main thread meanwhile (`holds` is
  // odd while it does). Time spent running something else or blocked counts in full.
  std::atomic<bool> probing{true};
  std::atomic<int> holds{0};
  double longestStall = 0;
  const pid_t mainThread = ::gettid();
  const pid_t networkThread = TA::onQueue(*manager, [](NetworkManagerForMac&) { return ::gettid(); });
  // What the receiver's main and network threads have waited for a core, every 10 ms: the time
  // the scheduler took from the link's own messages on their way through the receiver.
  struct CoreWaits {
    std::chrono::steady_clock::time_point at;
    std::chrono::nanoseconds waited;
    std::chrono::nanoseconds networkRan; // shown when a beat is late: busy, or blocked?
  };
  std::vector<CoreWaits> coreWaits;
  std::thread prober([&] {
    while (probing.load()) {
      coreWaits.push_back({std::chrono::steady_clock::now(), waitedForACore(mainThread) + waitedForACore(networkThread),
                           ranOnACore(networkThread)});
      runtime::MainThread::post([&longestStall, &holds, mainThread, heldAt = holds.load(),
                                 waitedAt = waitedForACore(mainThread), postedAt = std::chrono::steady_clock::now()] {
        if (heldAt % 2 != 0 || holds.load() != heldAt) return;
        const auto late = std::chrono::steady_clock::now() - postedAt - (waitedForACore(mainThread) - waitedAt);
        longestStall = std::max(longestStall, std::chrono::duration<double>(late).count());
      });
      std::this_thread::sleep_for(10ms);
    }
  });

  const std::int64_t rssBefore = residentBytes();
  const std::int64_t ringBefore = folderBytes(ringConfig_.root);
  std::int64_t rssPeak = rssBefore;
  std::size_t pendingPeak = 0;
  const auto sample = [&] {
    pump();
    rssPeak = std::max(rssPeak, residentBytes());
    pendingPeak = std::max(pendingPeak, TA::controlBacklog(*manager).pendingMessages());
  };
  const Frames before = framesNow();
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  // The receiver's pings reaching the tablet, and its answers to the tablet's pings: both show
  // the link's own messages getting through the flood. Their numbers show whether one was shed.
  // Their times are the senders' own (each message's timestamp), so that neither the emulator's
  // reading nor this case's show in them.
  const auto wallAtStart = std::chrono::system_clock::now();
  const auto sentAt = [&](const nlohmann::json& event) {
    const auto wallMs = event.value("message", nlohmann::json::object()).value("timestampUnixMs", std::int64_t{0});
    return start + (std::chrono::system_clock::time_point(std::chrono::milliseconds(wallMs)) - wallAtStart);
  };
  std::vector<std::chrono::steady_clock::time_point> pings{start};
  std::map<std::int64_t, std::chrono::steady_clock::time_point> tabletPings;
  std::map<std::int64_t, std::chrono::steady_clock::time_point> answers;
  std::chrono::steady_clock::time_point heldFrom{};
  std::chrono::steady_clock::time_point heldUntil{};
  bool heldForTheBacklog = false;
  bool shedWhileHeld = false;
  std::size_t pendingWhileHeld = 0;
  std::vector<std::int64_t> pingNumbers;
  std::vector<std::int64_t> pongNumbers;
  // The flood lasts its seconds and, on a machine too busy for the emulator's 30 frames a second,
  // until the tablet has sent 10 a second's worth: the picture is judged on frames sent meanwhile.
  const std::uint64_t framesWanted = 10 * static_cast<std::uint64_t>(seconds);
  std::uint64_t framesSoFar = 0;
  bool statsAsked = false;
  const auto note = [&](const nlohmann::json& event) {
    const auto number = event.value("seq", nlohmann::json()).is_number_integer()
                            ? std::optional(event["seq"].get<std::int64_t>())
                            : std::nullopt;
    if (event["event"] == "sent") {
      const auto& message = event["message"];
      if (message.value("type", "") == "ping" && message.value("seq", nlohmann::json()).is_number_integer()) {
        tabletPings.emplace(message["seq"].get<std::int64_t>(), sentAt(event));
      }
    } else if (event["event"] == "ping") {
      pings.push_back(sentAt(event));
      if (number) pingNumbers.push_back(*number);
    } else if (number) {
      pongNumbers.push_back(*number);
      answers.emplace(*number, sentAt(event));
    }
  };
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) {
      if (framesSoFar >= framesWanted || now >= end + kSetUpHang) break;
      if (!statsAsked) emulator.command("stats");
      statsAsked = true;
    }
    const auto left = now < end ? std::chrono::duration_cast<std::chrono::milliseconds>(end - now) : 100ms;
    const auto event = emulator.waitForAny({"ping", "pong", "sent", "stats"}, sample, std::max(left, 1ms));
    if (!event) continue;
    if ((*event)["event"] == "stats") {
      framesSoFar = (*event)["stats"].value("framesSent", before.sent) - before.sent;
      statsAsked = false;
      continue;
    }
    if (holds == 0 && event->contains("rttMs")) {
      // Just after a beat, the main thread takes no message, as when it is busy: the backlog has
      // to stop at its bound and shed the rest, whatever the machine's speed.
      ++holds;
      heldForTheBacklog = true;
      heldFrom = std::chrono::steady_clock::now();
      const auto& backlog = TA::controlBacklog(*manager);
      const std::uint64_t droppedAt = backlog.dropped();
      const auto deadline = std::chrono::steady_clock::now() + 1s;
      while (backlog.dropped() == droppedAt && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      shedWhileHeld = backlog.dropped() > droppedAt;
      pendingWhileHeld = backlog.pendingMessages();
      heldUntil = std::chrono::steady_clock::now();
      ++holds;
    }
    note(*event);
  }
  const auto floodEnd = std::chrono::steady_clock::now();
  // From here the case holds the main thread: first for the sender's last round, which on a busy
  // machine can wait a long time for a core.
  ++holds;
  flooding = false;
  sender.join();
  // The beats the emulator wrote before it answers this are read too: on a loaded machine this
  // case reads its output late, and a beat sent before the end may still wait in the pipe.
  emulator.command("stats");
  for (auto event = emulator.waitForAny({"ping", "pong", "sent", "stats"}, sample, kSetUpHang);
       event && (*event)["event"] != "stats";
       event = emulator.waitForAny({"ping", "pong", "sent", "stats"}, sample, kSetUpHang)) {
    note(*event);
  }
  std::erase_if(pings, [&](std::chrono::steady_clock::time_point at) { return at > floodEnd; });
  std::sort(pings.begin(), pings.end());
  pings.push_back(floodEnd);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  probing = false;
  prober.join();
  const Frames frames = framesOnceTheStreamStops(before);
  const auto shown = frames.shown;
  const auto sentFrames = static_cast<double>(frames.sent);
  ASSERT_FALSE(sendsFailed);
  const auto kernelDropsAfter = kernelQueue(receiverPort, tabletPort);
  const std::uint64_t kernelDrops = kernelDropsAfter ? kernelDropsAfter->drops - kernelDropsBefore->drops : 0;
  const std::uint64_t backlogDrops = TA::controlBacklog(*manager).dropped() - backlogDropsBefore;

  // A span of time less what the receiver's threads waited for a core within it (from the samples
  // around it) and less this case's own hold of the main thread.
  const auto netSeconds = [&](std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    auto net = to - from;
    const auto after = [](const CoreWaits& point, std::chrono::steady_clock::time_point at) { return point.at < at; };
    const auto first = std::lower_bound(coreWaits.begin(), coreWaits.end(), from, after);
    const auto last = std::lower_bound(coreWaits.begin(), coreWaits.end(), to, after);
    if (!coreWaits.empty()) {
      const auto& begin = first == coreWaits.begin() ? coreWaits.front() : *std::prev(first);
      const auto& finish = last == coreWaits.end() ? coreWaits.back() : *last;
      net -= finish.waited - begin.waited;
    }
    net -= std::max(std::min(to, heldUntil) - std::max(from, heldFrom), std::chrono::steady_clock::duration{});
    return std::chrono::duration<double>(net).count();
  };
  const auto networkRan = [&](std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    const auto after = [](const CoreWaits& point, std::chrono::steady_clock::time_point at) { return point.at < at; };
    const auto first = std::lower_bound(coreWaits.begin(), coreWaits.end(), from, after);
    const auto last = std::lower_bound(coreWaits.begin(), coreWaits.end(), to, after);
    if (coreWaits.empty()) return 0.0;
    const auto& begin = first == coreWaits.begin() ? coreWaits.front() : *std::prev(first);
    const auto& finish = last == coreWaits.end() ? coreWaits.back() : *last;
    return std::chrono::duration<double>(finish.networkRan - begin.networkRan).count();
  };
  std::ostringstream lateBeats; // each late span with the network thread's time on a core within it
  double widestPingGap = 0;
  for (std::size_t i = 1; i < pings.size(); ++i) {
    const double gap = netSeconds(pings[i - 1], pings[i]);
    widestPingGap = std::max(widestPingGap, gap);
    if (gap >= 4.0)
      lateBeats << "pings " << gap << " s (network thread ran " << networkRan(pings[i - 1], pings[i]) << " s) ";
  }
  // Each of the tablet's pings answered within a beat, or, sent too late for that, not yet due.
  double longestAnswer = 0;
  std::ostringstream unanswered;
  for (const auto& [number, pingedAt] : tabletPings) {
    const auto answer = answers.find(number);
    const double took = netSeconds(pingedAt, answer != answers.end() ? answer->second : floodEnd);
    if (answer != answers.end()) longestAnswer = std::max(longestAnswer, took);
    else if (took >= 2.0) unanswered << number << " ";
    if (took >= 2.0) {
      lateBeats << "answer " << number << " " << took << " s (network thread ran "
                << networkRan(pingedAt, answer != answers.end() ? answer->second : floodEnd) << " s) ";
    }
  }
  EXPECT_FALSE(manager->connectedPeers.get().empty()) << manager->connectionStatus.get();
  EXPECT_GE(frames.sent, framesWanted) << "the emulator hardly streamed";
  const double expected = sentFrames;
  EXPECT_TRUE(heldForTheBacklog);
  EXPECT_TRUE(shedWhileHeld) << pendingWhileHeld << " messages waiting";
  EXPECT_GE(static_cast<double>(shown), framesOwed(frames))
      << shown << " of " << sentFrames << " frames in " << elapsed << " s; " << frames.shed
      << " shed by the decoder; kernel drops " << kernelDrops;
  EXPECT_LT(longestStall, 0.25) << "s without a core not counted";
  // None shed: each arrived, numbered one after the other. How late one comes is the scheduler's
  // on a loaded machine; a missed beat would leave twice the 2 s between two of them.
  const auto shedNumbers = [](const std::vector<std::int64_t>& numbers) {
    std::ostringstream missing;
    for (std::size_t i = 1; i < numbers.size(); ++i) {
      if (numbers[i] != numbers[i - 1] + 1) missing << numbers[i - 1] << ".." << numbers[i] << " ";
    }
    return missing.str();
  };
  EXPECT_GE(pingNumbers.size(), 2U);
  EXPECT_GE(pongNumbers.size(), 2U);
  EXPECT_EQ(shedNumbers(pingNumbers), "") << "kernel drops " << kernelDrops;
  EXPECT_EQ(shedNumbers(pongNumbers), "") << "kernel drops " << kernelDrops;
  EXPECT_LT(widestPingGap, 4.0) << "s without a core not counted; " << lateBeats.str();
  EXPECT_GE(tabletPings.size(), 2U);
  EXPECT_LT(longestAnswer, 2.0) << "s without a core not counted; " << lateBeats.str();
  EXPECT_EQ(unanswered.str(), "");
  const ControlBacklog::Limits limits;
  EXPECT_LE(pendingPeak, limits.messages + limits.reservedMessages);
  EXPECT_LE(pendingWhileHeld, limits.messages + limits.reservedMessages);
  EXPECT_LT(rssPeak - rssBefore, 100 * 1024 * 1024);
  RecordProperty("flood_datagrams_per_second", static_cast<int>(static_cast<double>(sent.load()) / elapsed));
  RecordProperty("frames_shown_permille", static_cast<int>(1000.0 * static_cast<double>(shown) / expected));
  RecordProperty("longest_stall_ms", static_cast<int>(longestStall * 1000));
  RecordProperty("widest_ping_gap_ms", static_cast<int>(widestPingGap * 1000));
  RecordProperty("longest_answer_ms", static_cast<int>(longestAnswer * 1000));
  RecordProperty("pending_peak", static_cast<int>(pendingPeak));
  RecordProperty("backlog_drops", static_cast<int>(backlogDrops));
  RecordProperty("kernel_drops", static_cast<int>(kernelDrops));
  RecordProperty("rss_growth_kib", static_cast<int>((rssPeak - rssBefore) / 1024));

  // The flood took little room in the ring.
  expectALaterLineInTheRing();
  const std::int64_t ringGrowth = folderBytes(ringConfig_.root) - ringBefore;
  EXPECT_LT(ringGrowth, 2 * 1024 * 1024);
  RecordProperty("ring_growth_kib", static_cast<int>(ringGrowth / 1024));
}

} // namespace
} // namespace pd::link::test
