#include "platform/videoout/FrameServer.hpp"

namespace pd::platform::videoout {

const char* toString(PublishResult result) noexcept {
  switch (result) {
  case PublishResult::published: return "published";
  case PublishResult::noClient: return "no_client";
  case PublishResult::noBuffer: return "no_buffer";
  case PublishResult::negotiationFailed: return "negotiation";
  case PublishResult::stopped: return "stopped";
  }
  return "unknown";
}

PublishResult FrameServer::publishFrame(const media::VideoFrame& frame) {
  BufferInfo info;
  const PublishResult result = prepareFrame(frame, info);
  if (result != PublishResult::published) return result;
  // Only a renegotiation between the two halves takes the buffer away.
  return commitFrame() ? PublishResult::published : PublishResult::negotiationFailed;
}

} // namespace pd::platform::videoout
