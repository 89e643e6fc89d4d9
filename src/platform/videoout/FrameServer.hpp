#pragma once

// Sharing decoded video with other applications: one PipeWire video source node per stream.
// Consumers find the node by its name, link to it and receive NV12 frames, or BGRx when that is
// what they take. The PipeWire headers stay inside the implementation.

#include "platform/media/VideoFrame.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pd::platform::log {
class Logger;
}

namespace pd::platform::videoout {

// Why a frame did not reach the consumers; the names follow the reason words of the log lines.
enum class PublishResult : std::uint8_t {
  published,
  noClient, // nobody is linked and streaming
  noBuffer, // every buffer is still held by the consumers
  negotiationFailed, // the consumers have not (yet) agreed on this frame's size or a format
  stopped, // stop() ran, or the server never reached the daemon
};

const char* toString(PublishResult result) noexcept;

// One advertised stream. Every operation may be called from any one thread at a time (the
// video-out queue); none waits on the consumers.
class FrameServer {
public:
  virtual ~FrameServer() = default;

  // The advertised name; nullopt once stopped.
  virtual std::optional<std::string> name() const = 0;
  // Renames the live node in place: linked consumers stay linked.
  virtual void setName(const std::string& name) = 0;
  // True while at least one consumer is linked and streaming.
  virtual bool hasClients() const = 0;
  // Copies (or converts) the frame into a buffer of the stream and hands it to the consumers:
  // prepareFrame() and, when that answers published, commitFrame().
  PublishResult publishFrame(const media::VideoFrame& frame);

  // What the buffer of a prepared frame holds.
  struct BufferInfo {
    std::uint32_t fourcc = 0; // the negotiated pixel format ('NV12', 'XR24'); 0 for none
    bool sharedMemory = false; // the consumers map the buffer itself, no copy through the socket
  };
  // The first half of a publication: takes a buffer of the stream and fills it with the frame,
  // but keeps it back. `published` means a frame is prepared; anything else says why not, and
  // nothing is held. A frame prepared earlier and neither committed nor abandoned is replaced.
  virtual PublishResult prepareFrame(const media::VideoFrame& frame, BufferInfo& info) = 0;
  // Hands the prepared frame to the consumers. False when there is none (never prepared, or its
  // buffer was withdrawn by a renegotiation meanwhile).
  virtual bool commitFrame() = 0;
  // Forgets the prepared frame; the consumers never see it, and its buffer serves the next one.
  virtual void abandonFrame() = 0;
  // Withdraws the node; afterwards the server only answers "stopped".
  virtual void stop() = 0;
  // The daemon's id of the node, for tools and tests; nullopt while unknown.
  virtual std::optional<std::uint32_t> nodeId() const = 0;
};

// The connection to the PipeWire daemon, with its own event thread. Servers made by it must be
// destroyed before it.
class VideoOut {
public:
  virtual ~VideoOut() = default;

  // Connects to the daemon of this session. Where none can be reached the result still works:
  // its servers accept frames and never have clients. That case is logged once, on `logger`.
  static std::unique_ptr<VideoOut> open(const log::Logger& logger);

  // False for the stand-in made when no daemon could be reached.
  virtual bool isConnected() const = 0;
  // A new source node advertised under `name`; nullptr when the daemon refuses it.
  virtual std::unique_ptr<FrameServer> createServer(const std::string& name) = 0;
  // When the daemon goes away its servers lose their consumers; the connection is made again
  // with back-off and every live server is advertised anew under its current name. `observer`
  // runs after each loss and each return, on a thread of the connection, with no lock held.
  virtual void setConnectionObserver(std::function<void()> observer) { static_cast<void>(observer); }
};

} // namespace pd::platform::videoout
