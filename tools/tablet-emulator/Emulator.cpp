#include "tablet-emulator/Emulator.hpp"

#include "tablet-emulator/BonjourPublisher.hpp"
#include "tablet-emulator/HttpProbe.hpp"
#include "tablet-emulator/LineReader.hpp"
#include "tablet-emulator/VideoClip.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <deque>
#include <iostream>
#include <stdexcept>

namespace pd::tools::tablet {

namespace asio = boost::asio;
using Udp = asio::ip::udp;
using SteadyClock = std::chrono::steady_clock;

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

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

std::vector<std::uint8_t> streamIds(StreamMode mode) {
  return mode == StreamMode::mix ? std::vector<std::uint8_t>{0} : std::vector<std::uint8_t>{1, 2};
}

std::string interfaceIPv4(const std::string& name) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return {};
  }
  std::string found;
  for (const ifaddrs* entry = list; entry != nullptr && found.empty(); entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || name != entry->ifa_name) {
      continue;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
      found = text;
    }
  }
  ::freeifaddrs(list);
  return found;
}

Endpoint toEndpoint(const Udp::endpoint& endpoint) { return Endpoint{endpoint.address().to_string(), endpoint.port()}; }

} // namespace

struct Emulator::Impl {
  explicit Impl(Options o) : options(std::move(o)) {
    for (std::size_t i = 0; i < sequences.size(); ++i) {
      sequences[i] = SequenceCounter(options.startSequence);
    }
  }

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

  std::optional<Udp::endpoint> resolve(const Endpoint& to) {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(to.address, ec);
    if (ec) {
      return std::nullopt;
    }
    return Udp::endpoint(address, to.port);
  }

  bool sendBytes(const Udp::endpoint& to, const std::uint8_t* data, std::size_t size) {
    boost::system::error_code ec;
    socket.send_to(asio::buffer(data, size), to, 0, ec);
    if (ec) {
      ++counters.sendErrors;
      return false;
    }
    ++counters.datagramsSent;
    counters.bytesSent += size;
    return true;
  }

  bool sendText(const Endpoint& to, const std::string& text) {
    const auto endpoint = resolve(to);
    return endpoint && sendBytes(*endpoint, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }

  const VideoClip& clipFor(std::uint8_t streamId) const { return streamId == 2 && clipB ? *clipB : *clipA; }

  // ---- start-up ---------------------------------------------------------------------------------

  std::shared_ptr<const VideoClip> loadClip(const std::string& path) {
    const Bytes data = readFileBounded(path, maxClipFileBytes);
    auto clip = std::make_shared<VideoClip>(prepareClip(data, options.payloadSize));
    emit(Json{{"event", "video_loaded"},
              {"file", path},
              {"bytes", data.size()},
              {"accessUnits", clip->accessUnits.size()},
              {"keyframes", clip->keyframes},
              {"largestAccessUnit", clip->largestAccessUnit},
              {"skippedOversize", clip->skippedOversize},
              {"skippedWithoutPicture", clip->skippedWithoutPicture},
              {"startsWithKeyframe", clip->startsWithKeyframe}});
    if (clip->accessUnits.empty()) {
      throw std::runtime_error(path + ": no access unit that can be sent");
    }
    return clip;
  }

  void openSocket() {
    std::string bindAddress = options.bindAddress;
    if (bindAddress.empty() && !options.interfaceName.empty()) {
      bindAddress = interfaceIPv4(options.interfaceName);
      if (bindAddress.empty()) {
        throw std::runtime_error("interface " + options.interfaceName + " has no IPv4 address");
      }
    }
    if (bindAddress.empty()) {
      bindAddress = "0.0.0.0";
    }
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(bindAddress, ec);
    if (ec) {
      throw std::runtime_error("bad bind address " + bindAddress);
    }
    const Udp::endpoint local(address, options.port);
    socket.open(local.protocol());
    socket.set_option(asio::socket_base::send_buffer_size(4 * 1024 * 1024), ec); // best effort, helps bursts
    socket.bind(local, ec);
    if (ec) {
      throw std::runtime_error("cannot bind " + bindAddress + ":" + std::to_string(options.port) + ": " + ec.message());
    }
  }

  void startBonjour(std::uint16_t port) {
    BonjourPublisher::Config config;
    config.name = options.serviceName;
    config.type = serviceType;
    config.port = port;
    config.pv = options.txtPv;
    config.app = options.txtApp;
    if (!options.interfaceName.empty()) {
      const unsigned index = ::if_nametoindex(options.interfaceName.c_str());
      if (index == 0 || index > static_cast<unsigned>(std::numeric_limits<int>::max())) {
        emit(Json{{"event", "bonjour_failed"}, {"stage", "interface"}, {"error", "unknown interface"}});
        return;
      }
      config.interfaceIndex = static_cast<int>(index);
    }
    bonjour = std::make_unique<BonjourPublisher>(config, [this](Json event) {
      asio::post(io, [this, event = std::move(event)]() mutable { emit(std::move(event)); });
    });
    try {
      bonjour->start();
    } catch (const std::exception& e) {
      bonjour.reset();
      emit(Json{{"event", "bonjour_failed"}, {"stage", "client"}, {"error", e.what()}});
    }
  }

  void startStdin() {
    LineReader::Callbacks callbacks;
    callbacks.line = [this](std::string line) {
      asio::post(io, [this, line = std::move(line)] { onCommandLine(line); });
    };
    callbacks.tooLong = [this](std::size_t limit) {
      asio::post(io, [this, limit] {
        emit(Json{{"event", "error"}, {"command", nullptr}, {"error", "line longer than " + std::to_string(limit)}});
      });
    };
    callbacks.end = [this] {
      asio::post(io, [this] {
        if (options.quitOnEof) {
          quit("stdin_closed");
        } else {
          emit(Json{{"event", "stdin_closed"}});
        }
      });
    };
    stdinReader = std::make_unique<LineReader>(STDIN_FILENO, std::move(callbacks));
  }

  int run() {
    try {
      if (!options.videoPath.empty()) {
        clipA = loadClip(options.videoPath);
      }
      if (!options.videoPathB.empty()) {
        clipB = loadClip(options.videoPathB);
      }
      openSocket();
    } catch (const std::exception& e) {
      emit(Json{{"event", "fatal"}, {"error", e.what()}});
      std::cerr << "tablet-emulator: " << e.what() << '\n';
      return 2;
    }
    TabletSession::Hooks hooks;
    hooks.send = [this](const Endpoint& to, const std::string& bytes) {
      sendFramesBeforeAck(to, bytes);
      return sendText(to, bytes);
    };
    probe = std::make_unique<HttpProbe>(io, [this](Json event) { emit(std::move(event)); });
    hooks.emit = [this](Json event) {
      probe->observe(event);
      emit(std::move(event));
    };
    hooks.fetch = [this](const Endpoint& from, const std::string& target, const std::string& url) {
      probe->fetchLoad(url,
                       [this, from, target, url](bool fetched) { session->answerLoad(from, target, url, fetched); });
    };
    hooks.wallNow = [] { return std::chrono::system_clock::now(); };
    hooks.monotonicNow = [] { return SteadyClock::now(); };
    session = std::make_unique<TabletSession>(options.session, std::move(hooks));

    const auto local = socket.local_endpoint();
    emit(Json{{"event", "ready"},
              {"address", local.address().to_string()},
              {"port", local.port()},
              {"pid", ::getpid()},
              {"bonjour", options.bonjour},
              {"name", options.serviceName}});
    if (options.bonjour) {
      startBonjour(local.port());
    }
    signals.async_wait([this](const boost::system::error_code& ec, int signal) {
      if (!ec) {
        quit(signal == SIGINT ? "sigint" : "sigterm");
      }
    });
    receive();
    schedulePing(options.pingInterval);
    if (options.autoStream) {
      std::string error;
      if (!startStream(*options.autoStream, error)) {
        emit(Json{{"event", "error"}, {"command", "--stream"}, {"error", error}});
      }
    }
    startStdin();
    io.run();
    return exitCode;
  }

  void quit(const char* reason) {
    if (quitting) {
      return;
    }
    quitting = true;
    stopStream();
    finishBurst("quit");
    emit(Json{{"event", "bye"}, {"reason", reason}, {"stats", stats()}});
    boost::system::error_code ec;
    pingTimer.cancel();
    signals.cancel(ec);
    socket.close(ec);
    io.stop();
  }

  // ---- receiving and pings ----------------------------------------------------------------------

  void receive() {
    socket.async_receive_from(asio::buffer(rxBuffer), rxFrom,
                              [this](const boost::system::error_code& ec, std::size_t size) {
                                if (ec == asio::error::operation_aborted || quitting) {
                                  return;
                                }
                                if (ec) {
                                  emit(Json{{"event", "receive_error"}, {"error", ec.message()}});
                                } else {
                                  ++counters.datagramsReceived;
                                  session->handleDatagram(toEndpoint(rxFrom), ByteSpan(rxBuffer.data(), size));
                                }
                                receive();
                              });
  }

  void schedulePing(std::chrono::milliseconds after) {
    pingTimer.expires_after(after);
    pingTimer.async_wait([this](const boost::system::error_code& ec) {
      if (ec || quitting) {
        return;
      }
      session->sendPing();
      schedulePing(options.pingInterval);
    });
  }

  // ---- video stream -----------------------------------------------------------------------------

  std::optional<std::uint64_t> sendFrame(std::uint8_t streamId, std::uint64_t frameIndex, const Udp::endpoint& to,
                                         std::uint64_t& sent, std::uint64_t& failed) {
    const VideoClip& clip = clipFor(streamId);
    const Bytes& accessUnit = clip.accessUnits[frameIndex % clip.accessUnits.size()];
    const std::uint64_t sequence = sequences[streamId].next();
    const FragmentResult fragments =
        fragmentAccessUnit(accessUnit, streamId, sequence, options.payloadSize, options.nalLength);
    for (const Bytes& datagram : fragments.datagrams) {
      if (sendBytes(to, datagram.data(), datagram.size())) {
        ++sent;
        ++counters.videoDatagramsSent;
      } else {
        ++failed;
      }
    }
    if (fragments.datagrams.empty()) {
      return std::nullopt;
    }
    return sequence;
  }

  // A tablet that streams as soon as it is asked: the first frames reach a new receiver before
  // the handshake ack does.
  void sendFramesBeforeAck(const Endpoint& to, const std::string& bytes) {
    if (options.framesBeforeAck == 0 || !stream.active || earlyVideoPeer == to) {
      return;
    }
    const Json message = Json::parse(bytes, nullptr, false);
    if (!message.is_object() || message.value("type", "") != "handshake_ack") {
      return;
    }
    const auto endpoint = resolve(to);
    if (!endpoint) {
      return;
    }
    earlyVideoPeer = to;
    const std::uint64_t before = stream.datagrams;
    for (std::size_t frame = 0; frame < options.framesBeforeAck; ++frame) {
      for (const std::uint8_t id : streamIds(stream.mode)) {
        (void)sendFrame(id, stream.frameIndex, *endpoint, stream.datagrams, stream.failed);
        ++stream.frames;
        ++counters.framesSent;
      }
      ++stream.frameIndex;
    }
    emit(Json{{"event", "video_before_ack"},
              {"frames", options.framesBeforeAck},
              {"datagrams", stream.datagrams - before},
              {"to", to.text()}});
  }

  bool startStream(const cmd::StreamStart& start, std::string& error) {
    if (!clipA) {
      error = "no video file (start with --video FILE)";
      return false;
    }
    stopStream();
    stream.active = true;
    stream.mode = start.mode;
    stream.fps = start.fps;
    stream.frameIndex = static_cast<std::uint64_t>(std::llround(options.startAtSeconds * start.fps));
    stream.frames = stream.datagrams = stream.failed = stream.ticksWithoutPeer = 0;
    stream.firstFrameReported = {};
    stream.next = SteadyClock::now();
    emit(Json{{"event", "stream_started"}, {"mode", std::string(toText(start.mode))}, {"fps", start.fps}});
    streamTick();
    return true;
  }

  void stopStream() {
    if (!stream.active) {
      return;
    }
    stream.active = false;
    stream.timer.cancel();
    emit(Json{{"event", "datagrams_sent"},
              {"source", "stream"},
              {"count", stream.datagrams},
              {"failed", stream.failed},
              {"frames", stream.frames},
              {"ticksWithoutPeer", stream.ticksWithoutPeer}});
  }

  void streamTick() {
    if (!stream.active) {
      return;
    }
    const auto target = session->videoTarget();
    const auto endpoint = target ? resolve(*target) : std::nullopt;
    if (!endpoint) {
      // Hold the clip at its position, so the first frame a receiver gets once linked is a keyframe.
      ++stream.ticksWithoutPeer;
    } else {
      for (const std::uint8_t id : streamIds(stream.mode)) {
        const std::uint64_t before = stream.datagrams;
        const auto sequence = sendFrame(id, stream.frameIndex, *endpoint, stream.datagrams, stream.failed);
        ++stream.frames;
        ++counters.framesSent;
        if (sequence && !stream.firstFrameReported[id]) {
          stream.firstFrameReported[id] = true;
          emit(Json{{"event", "frame_sent"},
                    {"stream", id},
                    {"seq", *sequence},
                    {"datagrams", stream.datagrams - before},
                    {"to", target->text()}});
        }
      }
      ++stream.frameIndex;
    }
    const auto period =
        std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / stream.fps));
    const auto now = SteadyClock::now();
    stream.next += period;
    if (stream.next + std::chrono::seconds(1) < now) {
      stream.next = now + period; // fell far behind (a stopped process, a slow machine): no catch-up burst
    }
    stream.timer.expires_at(stream.next);
    stream.timer.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        streamTick();
      }
    });
  }

  // ---- burst ------------------------------------------------------------------------------------

  bool startBurst(const cmd::Burst& request, std::string& error) {
    if (!clipA) {
      error = "no video file (start with --video FILE)";
      return false;
    }
    if (burst.active) {
      error = "a burst is running";
      return false;
    }
    if (!session->videoTarget()) {
      error = session->linkedPeer() ? "silenced" : "no linked receiver";
      return false;
    }
    burst.active = true;
    burst.target = request.count;
    burst.sent = burst.failed = 0;
    burst.rate = request.rate;
    burst.mode = request.mode.value_or(session->settings().mode);
    burst.start = SteadyClock::now();
    burst.pending.clear();
    burst.frameIndex = 0;
    burst.streamCursor = 0;
    asio::post(io, [this] { burstTick(); });
    return true;
  }

  Bytes nextBurstDatagram() {
    while (burst.pending.empty()) {
      const auto ids = streamIds(burst.mode);
      const std::uint8_t id = ids[burst.streamCursor % ids.size()];
      const VideoClip& clip = clipFor(id);
      const Bytes& accessUnit = clip.accessUnits[burst.frameIndex % clip.accessUnits.size()];
      auto fragments = fragmentAccessUnit(accessUnit, id, sequences[id].next(), options.payloadSize, options.nalLength);
      for (auto& datagram : fragments.datagrams) {
        burst.pending.push_back(std::move(datagram));
      }
      if (++burst.streamCursor % ids.size() == 0) {
        ++burst.frameIndex;
      }
    }
    Bytes datagram = std::move(burst.pending.front());
    burst.pending.pop_front();
    return datagram;
  }

  void burstTick() {
    if (!burst.active) {
      return;
    }
    const auto target = session->videoTarget();
    const auto endpoint = target ? resolve(*target) : std::nullopt;
    if (!endpoint) {
      finishBurst("unlinked");
      return;
    }
    const auto now = SteadyClock::now();
    std::uint64_t due = burst.target;
    if (burst.rate > 0.0) {
      const double elapsed = std::chrono::duration<double>(now - burst.start).count();
      const double allowed = std::floor(elapsed * burst.rate) + 1.0;
      due = allowed >= static_cast<double>(burst.target) ? burst.target : static_cast<std::uint64_t>(allowed);
    }
    // Unpaced bursts yield to the loop now and then, so that commands and replies still get through.
    constexpr std::uint64_t slice = 4096;
    std::uint64_t budget = slice;
    while (burst.sent + burst.failed < due && budget-- > 0) {
      const Bytes datagram = nextBurstDatagram();
      if (sendBytes(*endpoint, datagram.data(), datagram.size())) {
        ++burst.sent;
        ++counters.videoDatagramsSent;
      } else {
        ++burst.failed;
      }
    }
    if (burst.sent + burst.failed >= burst.target) {
      finishBurst("done");
      return;
    }
    if (burst.rate <= 0.0 || burst.sent + burst.failed < due) {
      asio::post(io, [this] { burstTick(); });
      return;
    }
    const auto nextAt = burst.start + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(
                                          static_cast<double>(burst.sent + burst.failed) / burst.rate));
    burst.timer.expires_at(nextAt);
    burst.timer.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) {
        burstTick();
      }
    });
  }

  void finishBurst(const char* reason) {
    if (!burst.active) {
      return;
    }
    burst.active = false;
    burst.timer.cancel();
    burst.pending.clear();
    const double elapsed = std::chrono::duration<double, std::milli>(SteadyClock::now() - burst.start).count();
    emit(Json{{"event", "datagrams_sent"},
              {"source", "burst"},
              {"reason", reason},
              {"count", burst.sent},
              {"failed", burst.failed},
              {"requested", burst.target},
              {"elapsedMs", elapsed}});
  }

  // ---- commands ---------------------------------------------------------------------------------

  Json stats() const {
    const std::optional<Endpoint> peer = session ? session->linkedPeer() : std::nullopt;
    return Json{{"datagramsSent", counters.datagramsSent},
                {"videoDatagramsSent", counters.videoDatagramsSent},
                {"bytesSent", counters.bytesSent},
                {"sendErrors", counters.sendErrors},
                {"datagramsReceived", counters.datagramsReceived},
                {"framesSent", counters.framesSent},
                {"linked", peer ? Json(peer->text()) : Json(nullptr)},
                {"streaming", stream.active},
                {"bursting", burst.active},
                {"mode", session ? std::string(toText(session->settings().mode)) : std::string("mix")}};
  }

  void onCommandLine(const std::string& line) {
    if (quitting) {
      return;
    }
    const CommandParse parsed = parseCommand(line);
    if (!parsed.command) {
      if (!parsed.error.empty()) {
        emit(Json{{"event", "error"}, {"command", line}, {"error", parsed.error}});
      }
      return;
    }
    std::string error;
    bool isQuit = false;
    std::visit(
        Overloaded{
            [&](const cmd::Accept&) { session->setHandshakePolicy(HandshakePolicy::accept); },
            [&](const cmd::Reject& c) { session->setHandshakePolicy(HandshakePolicy::reject, c.reason, c.occupiedBy); },
            [&](const cmd::LoseAck&) { session->setHandshakePolicy(HandshakePolicy::loseAck); },
            [&](const cmd::Silence& c) {
              if (c.answerHeld) {
                session->resume();
              } else {
                session->setSilenced(c.on);
              }
            },
            [&](const cmd::Ping& c) {
              session->setPingEnabled(c.on);
              if (c.on) {
                schedulePing(std::chrono::milliseconds(0));
              }
            },
            [&](const cmd::PingNow&) {
              if (!session->linkedPeer()) {
                error = "no linked receiver";
              } else {
                session->sendPing(true);
              }
            },
            [&](const cmd::RequestMode& c) {
              if (!session->requestModeChange(c.mode)) {
                error = "not sent (no linked receiver or send failure)";
              }
            },
            [&](const cmd::LocalMode& c) { session->setLocalMode(c.mode); },
            [&](const cmd::Version& c) { session->profile().protocolVersion = c.version; },
            [&](const cmd::AppVersion& c) { session->profile().appVersion = c.version; },
            [&](const cmd::Features& c) { session->profile().features = c.words; },
            [&](const cmd::LinkId& c) { session->setLinkIdEcho(c.echo); },
            [&](const cmd::Ack& c) {
              session->setLoadAck(c.status, c.reason);
              session->setFetchBeforeAck(c.fetch);
            },
            [&](const cmd::Api& c) { probe->api(c.route, c.parameters, error); },
            [&](const cmd::Fetch& c) { probe->fetch(c.path, c.range, error); },
            [&](const cmd::ApiToken& c) { probe->setToken(c.token); },
            [&](const cmd::SendStreamStop& c) {
              if (!session->sendStreamStop(c.streams, c.reason)) {
                error = "not sent (no linked receiver or send failure)";
              }
            },
            [&](const cmd::SendJson& c) {
              if (!session->sendRaw(c.text)) {
                error = "not sent (no linked receiver or send failure)";
              }
            },
            [&](const cmd::StreamStart& c) { startStream(c, error); },
            [&](const cmd::StreamStop&) { stopStream(); },
            [&](const cmd::Burst& c) { startBurst(c, error); },
            [&](const cmd::Bonjour& c) {
              if (!bonjour) {
                error = "Bonjour is not running";
              } else if (c.on) {
                bonjour->publish();
              } else {
                bonjour->withdraw();
              }
            },
            [&](const cmd::Txt& c) {
              if (!bonjour) {
                error = "Bonjour is not running";
              } else {
                bonjour->setTxt(c.key, c.value);
              }
            },
            [&](const cmd::Stats&) {
              emit(Json{{"event", "stats"}, {"stats", stats()}});
            },
            [&](const cmd::Quit&) { isQuit = true; },
        },
        *parsed.command);
    if (!error.empty()) {
      emit(Json{{"event", "error"}, {"command", line}, {"error", error}});
      return;
    }
    emit(Json{{"event", "ok"}, {"command", line}});
    if (isQuit) {
      quit("command");
    }
  }
};

Emulator::Emulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() = default;

int Emulator::run() { return impl_->run(); }

} // namespace pd::tools::tablet
