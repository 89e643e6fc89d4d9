#include "tablet-emulator/EmulatorImpl.hpp"

#include <cmath>

namespace pd::tools::tablet {

namespace {

std::vector<std::uint8_t> streamIds(StreamMode mode) {
  return mode == StreamMode::mix ? std::vector<std::uint8_t>{0} : std::vector<std::uint8_t>{1, 2};
}

} // namespace

std::optional<std::uint64_t> Emulator::Impl::sendFrame(std::uint8_t streamId, std::uint64_t frameIndex,
                                                       const Udp::endpoint& to, std::uint64_t& sent,
                                                       std::uint64_t& failed) {
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

void Emulator::Impl::sendFramesBeforeAck(const Endpoint& to, const std::string& bytes) {
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

bool Emulator::Impl::startStream(const cmd::StreamStart& start, std::string& error) {
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

void Emulator::Impl::stopStream() {
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

void Emulator::Impl::streamTick() {
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

bool Emulator::Impl::startBurst(const cmd::Burst& request, std::string& error) {
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

Bytes Emulator::Impl::nextBurstDatagram() {
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

void Emulator::Impl::burstTick() {
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

void Emulator::Impl::finishBurst(const char* reason) {
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

} // namespace pd::tools::tablet
