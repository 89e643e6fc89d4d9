// A hostile or broken sender on the tablet's own address and port, while the tablet streams: the
// link must stay up, the stream keep its frames, and the log ring keep recording. The forged
// datagrams go out through a raw socket, which needs CAP_NET_RAW; without it the case is skipped.
// PD_FLOOD_SECONDS sets the flood's length (a few seconds by default).

#include "LinkIntegrationSupport.hpp"

#include "diagnostics/LogRing.hpp"
#include "platform/crypto/Random.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <fstream>
#include <sstream>

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

TEST_F(LinkIntegrationTest, AFloodFromTheTabletsAddressNeitherBreaksTheLinkNorSilencesTheRing) {
  ForgedUdp forged;
  if (!forged.usable()) GTEST_SKIP() << "no raw socket (needs CAP_NET_RAW): cannot forge the tablet's address";
  const auto clip = makeClip(folder_.path());
  if (clip.empty()) {
    if (testing::PrivateAvahi::requiredByCi()) FAIL() << "ffmpeg with libx265 could not make the video clip";
    GTEST_SKIP() << "ffmpeg with libx265 could not make the video clip";
  }
  const char* configured = std::getenv("PD_FLOOD_SECONDS");
  const int seconds = configured != nullptr ? std::max(1, std::atoi(configured)) : 4;

  platform::log::setStderrEnabled(false);
  auto ringConfig = diagnostics::LogRing::standardConfig();
  ringConfig.root = folder_.path() / "LogRing";
  ringConfig.launchID = platform::crypto::makeUUIDString();
  ringConfig.timing.flushPeriod = std::chrono::seconds(1);
  diagnostics::LogRing ring(ringConfig);
  ring.start();

  auto dependencies = NetworkManagerForMac::systemDependencies();
  dependencies.networkPeerID = [] { return std::string("11111111-2222-4333-8444-555555555555"); };
  dependencies.deviceName = "Flooded Mac";
  auto manager = NetworkManagerForMac::create(std::move(dependencies));
  manager->updateBrowsing("start");
  ASSERT_TRUE(runUntil([&] { return manager->isBrowsing.get(); }, 10s));

  const std::uint16_t tabletPort = freeUdpPort();
  const std::string name = "Flood Tablet " + std::to_string(::getpid());
  Emulator emulator({"--interface", "lo", "--bind", "127.0.0.1", "--port", std::to_string(tabletPort), "--name", name,
                     "--video", clip.string(), "--stream", "mix", "--ping"});
  ASSERT_TRUE(emulator.waitFor("bonjour_published", [&] { pump(); }));
  std::optional<platform::bonjour::BrowseResult> tablet;
  ASSERT_TRUE(runUntil(
      [&] {
        for (const auto& result : manager->discoveredPeers.get()) {
          if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) tablet = result;
        }
        return tablet.has_value();
      },
      5s));
  const auto lo = std::find_if(tablet->interfaces.begin(), tablet->interfaces.end(),
                               [](const platform::net::Interface& i) { return i.name == "lo"; });
  ASSERT_NE(lo, tablet->interfaces.end());
  manager->connect(*tablet, *lo);
  const auto linked = emulator.waitFor("linked", [&] { pump(); });
  ASSERT_TRUE(linked);
  const std::string receiver = (*linked)["peer"].get<std::string>();
  const auto receiverPort = static_cast<std::uint16_t>(std::stoi(receiver.substr(receiver.rfind(':') + 1)));
  ASSERT_TRUE(runUntil([&] { return !manager->connectedPeers.get().empty(); }, 5s));
  ASSERT_TRUE(runUntil([&] { return manager->decodedFrameCount(0) > 0; }, 5s));

  // About 5,000 datagrams a second: broken JSON, unknown types, a mode request without a mode,
  // and fragments of frames that never complete.
  const std::uint64_t framesBefore = manager->decodedFrameCount(0);
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::uint64_t round = 0;
  bool sendsFailed = false;
  while (std::chrono::steady_clock::now() < end) {
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
  (void)runUntil([] { return false; }, 300ms); // the frames still on their way
  const std::uint64_t shown = manager->decodedFrameCount(0) - framesBefore;
  ASSERT_FALSE(sendsFailed);

  EXPECT_FALSE(manager->connectedPeers.get().empty()) << manager->connectionStatus.get();
  // The clip plays at 30 frames a second.
  const double expected = 30.0 * elapsed;
  EXPECT_GE(static_cast<double>(shown), 0.9 * expected) << shown << " frames in " << elapsed << " s";
  RecordProperty("flood_seconds", static_cast<int>(elapsed));
  RecordProperty("flood_datagrams", static_cast<int>(round * 5));
  RecordProperty("frames_shown_permille", static_cast<int>(1000.0 * static_cast<double>(shown) / expected));

  // An event after the flood still reaches the launch's segments.
  manager->cancelConnection(); // writes "browse_stop reason=user_cancel"
  auto flushed = std::make_shared<std::promise<void>>();
  auto written = flushed->get_future();
  ring.requestFlush([flushed] { flushed->set_value(); });
  ASSERT_EQ(written.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(ringHolds(ringConfig.root, "browse_stop reason=user_cancel"));
  emulator.command("quit");
  EXPECT_TRUE(releaseManager(manager, [this] { pump(); }));
}

} // namespace
} // namespace pd::link::test
