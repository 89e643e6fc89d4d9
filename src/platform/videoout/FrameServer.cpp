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

} // namespace pd::platform::videoout
