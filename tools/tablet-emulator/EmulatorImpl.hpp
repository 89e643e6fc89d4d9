#pragma once

// The emulator's state and event loop, shared by the files that implement it: Emulator.cpp (socket,
// Bonjour, stdin, pings and commands) and EmulatorVideo.cpp (streams and bursts).

#include "tablet-emulator/Emulator.hpp"

#include "tablet-emulator/BonjourPublisher.hpp"
#include "tablet-emulator/HttpProbe.hpp"
#include "tablet-emulator/LineReader.hpp"
#include "tablet-emulator/VideoClip.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace pd::tools::tablet {

namespace asio = boost::asio;
using Udp = asio::ip::udp;
using SteadyClock = std::chrono::steady_clock;

// One JSON object per line on stdout, flushed at once so that a driving test sees it immediately.
class EventWriter {
public:
  void write(Json event) {
    event["ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start_).count();
    std::string line = serialize(event);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

private:
  SteadyClock::time_point start_ = SteadyClock::now();
};

struct Emulator::Impl {
  explicit Impl(Options o);
  Options options;
  asio::io_context io;
  Udp::socket socket{io};
  asio::signal_set signals{io, SIGINT, SIGTERM};
  asio::steady_timer pingTimer{io};
  EventWriter out;
  std::unique_ptr<TabletSession> session;
  std::array<std::uint8_t, 65536> rxBuffer{};
  Udp::endpoint rxFrom;

  std::shared_ptr<const VideoClip> clipA;
  std::shared_ptr<const VideoClip> clipB;
  std::array<SequenceCounter, 3> sequences{};
  std::optional<Endpoint> earlyVideoPeer; // the receiver that got frames ahead of its ack

  struct Counters {
    std::uint64_t datagramsSent = 0;
    std::uint64_t videoDatagramsSent = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t sendErrors = 0;
    std::uint64_t datagramsReceived = 0;
    std::uint64_t framesSent = 0;
  } counters;

  struct Stream {
    explicit Stream(asio::io_context& io) : timer(io) {}
    bool active = false;
    StreamMode mode = StreamMode::mix;
    double fps = 30.0;
    asio::steady_timer timer;
    SteadyClock::time_point next;
    std::uint64_t frameIndex = 0;
    std::uint64_t frames = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t failed = 0;
    std::uint64_t ticksWithoutPeer = 0;
    std::array<bool, 3> firstFrameReported{};
  } stream{io};

  struct Burst {
    explicit Burst(asio::io_context& io) : timer(io) {}
    bool active = false;
    std::uint64_t target = 0;
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    double rate = 0.0;
    StreamMode mode = StreamMode::mix;
    SteadyClock::time_point start;
    asio::steady_timer timer;
    std::deque<Bytes> pending;
    std::uint64_t frameIndex = 0;
    std::size_t streamCursor = 0;
  } burst{io};

  // Declared after io: destroyed first, so that nothing they post outlives the loop.
  std::unique_ptr<BonjourPublisher> bonjour;
  std::unique_ptr<HttpProbe> probe;
  std::unique_ptr<LineReader> stdinReader;
  bool quitting = false;
  int exitCode = 0;

  void emit(Json event) { out.write(std::move(event)); }

  // ---- sending ----------------------------------------------------------------------------------

  std::optional<Udp::endpoint> resolve(const Endpoint& to);
  bool sendBytes(const Udp::endpoint& to, const std::uint8_t* data, std::size_t size);
  bool sendText(const Endpoint& to, const std::string& text);

  const VideoClip& clipFor(std::uint8_t streamId) const { return streamId == 2 && clipB ? *clipB : *clipA; }

  // ---- start-up ---------------------------------------------------------------------------------

  std::shared_ptr<const VideoClip> loadClip(const std::string& path);
  void openSocket();
  void startBonjour(std::uint16_t port);
  void startStdin();
  int run();
  void quit(const char* reason);

  // ---- receiving and pings ----------------------------------------------------------------------

  void receive();
  void schedulePing(std::chrono::milliseconds after);

  // ---- video stream -----------------------------------------------------------------------------

  std::optional<std::uint64_t> sendFrame(std::uint8_t streamId, std::uint64_t frameIndex, const Udp::endpoint& to,
                                         std::uint64_t& sent, std::uint64_t& failed);

  // A tablet that streams as soon as it is asked: the first frames reach a new receiver before
  // the handshake ack does.
  void sendFramesBeforeAck(const Endpoint& to, const std::string& bytes);
  bool startStream(const cmd::StreamStart& start, std::string& error);
  void stopStream();
  void streamTick();

  // ---- burst ------------------------------------------------------------------------------------

  bool startBurst(const cmd::Burst& request, std::string& error);
  Bytes nextBurstDatagram();
  void burstTick();
  void finishBurst(const char* reason);

  // ---- commands ---------------------------------------------------------------------------------

  Json stats() const;

  void onCommandLine(const std::string& line);
};

} // namespace pd::tools::tablet
