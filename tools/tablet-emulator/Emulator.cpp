#include "tablet-emulator/EmulatorImpl.hpp"

#include <boost/asio/post.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cmath>
#include <iostream>
#include <stdexcept>

namespace pd::tools::tablet {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

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

Emulator::Impl::Impl(Options o) : options(std::move(o)) {
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    sequences[i] = SequenceCounter(options.startSequence);
  }
}

std::optional<Udp::endpoint> Emulator::Impl::resolve(const Endpoint& to) {
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(to.address, ec);
  if (ec) {
    return std::nullopt;
  }
  return Udp::endpoint(address, to.port);
}

bool Emulator::Impl::sendBytes(const Udp::endpoint& to, const std::uint8_t* data, std::size_t size) {
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

bool Emulator::Impl::sendText(const Endpoint& to, const std::string& text) {
  const auto endpoint = resolve(to);
  return endpoint && sendBytes(*endpoint, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::shared_ptr<const VideoClip> Emulator::Impl::loadClip(const std::string& path) {
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

void Emulator::Impl::openSocket() {
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

void Emulator::Impl::startBonjour(std::uint16_t port) {
  BonjourPublisher::Config config;
  config.name = options.serviceName;
  config.type = serviceType;
  config.port = port;
  config.pv = options.txtPv;
  config.app = options.txtApp;
  boost::system::error_code ec;
  const auto local = socket.local_endpoint(ec);
  config.ipv4Only = !ec && local.address().is_v4();
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

void Emulator::Impl::startStdin() {
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

int Emulator::Impl::run() {
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
    probe->fetchLoad(url, [this, from, target, url](bool fetched) { session->answerLoad(from, target, url, fetched); });
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

void Emulator::Impl::quit(const char* reason) {
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

void Emulator::Impl::receive() {
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

void Emulator::Impl::schedulePing(std::chrono::milliseconds after) {
  pingTimer.expires_after(after);
  pingTimer.async_wait([this](const boost::system::error_code& ec) {
    if (ec || quitting) {
      return;
    }
    session->sendPing();
    schedulePing(options.pingInterval);
  });
}

Json Emulator::Impl::stats() const {
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

void Emulator::Impl::onCommandLine(const std::string& line) {
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

Emulator::Emulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Emulator::~Emulator() = default;

int Emulator::run() { return impl_->run(); }

} // namespace pd::tools::tablet
