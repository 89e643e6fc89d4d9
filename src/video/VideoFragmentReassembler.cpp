#include "video/VideoFragmentReassembler.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/ThrottledLog.hpp"

#include <chrono>
#include <string>
#include <utility>

namespace pd::video {
namespace {

using diagnostics::Log;
using diagnostics::logThrottled;
using diagnostics::ThrottleRule;
using platform::log::Level;

constexpr auto kThrottleInterval = std::chrono::milliseconds(500);
constexpr ThrottleRule kErrorLineRule{60, kThrottleInterval};

std::uint64_t readBigEndian(const std::uint8_t* bytes, int width) noexcept {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

} // namespace

std::optional<VideoFragmentReassembler::Header>
VideoFragmentReassembler::parseHeader(std::span<const std::uint8_t> datagram) noexcept {
  if (datagram.size() < kHeaderSize) return std::nullopt;
  Header header;
  header.sequence = readBigEndian(datagram.data(), 8);
  header.fragmentIndex = datagram[8];
  header.totalFragments = datagram[9];
  header.nalLength = static_cast<std::uint32_t>(readBigEndian(datagram.data() + 10, 4));
  header.streamID = datagram[14];
  return header;
}

void VideoFragmentReassembler::handle(std::span<const std::uint8_t> datagram, double now,
                                      const std::set<std::uint8_t>& activeStreams, Listener& listener) {
  const std::optional<Header> parsed = parseHeader(datagram);
  if (!parsed) {
    logThrottled(Log::video(), Level::error, "frag_invalid_short", kErrorLineRule,
                 "frag_invalid reason=too_short size_b=%ld occurrences=%ld", static_cast<long>(datagram.size()));
    return;
  }
  const Header& header = *parsed;
  if (!activeStreams.contains(header.streamID)) {
    logThrottled(Log::video(), Level::debug, "frag_drop_mode", {300, kThrottleInterval},
                 "frag_drop reason=inactive_stream stream=%hhu occurrences=%ld", header.streamID);
    return;
  }
  if (header.totalFragments == 0 || header.fragmentIndex >= header.totalFragments) {
    logThrottled(Log::video(), Level::error, "frag_invalid_index", kErrorLineRule,
                 "frag_invalid reason=bad_index stream=%hhu seq=%llu idx=%ld total=%ld occurrences=%ld",
                 header.streamID, static_cast<unsigned long long>(header.sequence),
                 static_cast<long>(header.fragmentIndex), static_cast<long>(header.totalFragments));
    return;
  }
  if (header.nalLength > kMaxFrameLength) {
    logThrottled(Log::video(), Level::error, "frag_invalid_nal", kErrorLineRule,
                 "frag_invalid reason=nal_too_large stream=%hhu seq=%llu nal_b=%u occurrences=%ld", header.streamID,
                 static_cast<unsigned long long>(header.sequence), header.nalLength);
    return;
  }
  const std::span<const std::uint8_t> payload = datagram.subspan(kHeaderSize);
  listener.fragmentAccepted(header, datagram.size());

  StreamFrames& stream = frames_[header.streamID];
  auto found = stream.find(header.sequence);
  if (found != stream.end() &&
      (found->second.totalFragments != header.totalFragments || found->second.nalLength != header.nalLength)) {
    logThrottled(Log::video(), Level::error, "frag_invalid_mismatch", kErrorLineRule,
                 "frag_invalid reason=header_mismatch stream=%hhu seq=%llu occurrences=%ld", header.streamID,
                 static_cast<unsigned long long>(header.sequence));
    removeFragmentState(header.streamID, header.sequence);
    return;
  }

  // The announced length is only a hint of the frame's size (senders differ in what they count),
  // so the bound is the largest frame the format allows, whatever a frame announces.
  const std::size_t replaced = found != stream.end() && found->second.payloads[header.fragmentIndex]
                                   ? found->second.payloads[header.fragmentIndex]->size()
                                   : 0;
  const std::size_t held = found != stream.end() ? found->second.storedBytes : 0;
  if (held - replaced + payload.size() > kMaxFrameLength) {
    logThrottled(Log::video(), Level::error, "frag_invalid_overflow", kErrorLineRule,
                 "frag_invalid reason=frame_too_large stream=%hhu seq=%llu idx=%ld size_b=%ld occurrences=%ld",
                 header.streamID, static_cast<unsigned long long>(header.sequence),
                 static_cast<long>(header.fragmentIndex), static_cast<long>(payload.size()));
    return;
  }

  if (found == stream.end()) {
    if (stream.size() >= kMaxPartialFramesPerStream) evictForNewFrame(header.streamID, listener);
    PartialFrame frame;
    frame.totalFragments = header.totalFragments;
    frame.nalLength = header.nalLength;
    frame.firstSeenAt = now;
    frame.payloads.resize(header.totalFragments);
    found = stream.emplace(header.sequence, std::move(frame)).first;
  }
  PartialFrame& frame = found->second;
  frame.lastFragmentAt = now;
  auto& slot = frame.payloads[header.fragmentIndex];
  if (!slot) ++frame.distinct;
  slot.emplace(payload.begin(), payload.end());
  frame.storedBytes = static_cast<std::uint32_t>(held - replaced + payload.size());

  sweepStaleFragments(now, listener);

  // The sweep may have taken this very frame.
  auto& streamAfterSweep = frames_[header.streamID];
  const auto current = streamAfterSweep.find(header.sequence);
  if (current == streamAfterSweep.end() || current->second.distinct != current->second.totalFragments) return;
  complete(header.streamID, header.sequence, current->second, listener);
}

void VideoFragmentReassembler::complete(std::uint8_t stream, std::uint64_t sequence, PartialFrame& frame,
                                        Listener& listener) {
  joinBuffer_.clear();
  joinBuffer_.reserve(frame.nalLength);
  const long total = frame.totalFragments;
  for (std::size_t index = 0; index < frame.payloads.size(); ++index) {
    if (!frame.payloads[index]) {
      listener.frameLost(stream);
      logThrottled(Log::video(), Level::error, "frag_missing_" + std::to_string(stream), kErrorLineRule,
                   "frag_missing stream=%hhu seq=%llu frags=%ld/%ld occurrences=%ld", stream,
                   static_cast<unsigned long long>(sequence), static_cast<long>(index), total);
      removeFragmentState(stream, sequence);
      return;
    }
    joinBuffer_.insert(joinBuffer_.end(), frame.payloads[index]->begin(), frame.payloads[index]->end());
  }
  removeFragmentState(stream, sequence);
  listener.frameComplete(stream, sequence, joinBuffer_);
}

void VideoFragmentReassembler::removeFragmentState(std::uint8_t stream, std::uint64_t sequence) {
  const auto found = frames_.find(stream);
  if (found == frames_.end()) return;
  StreamFrames& frames = found->second;
  frames.erase(sequence);
  const std::uint64_t floor = sequence >= kPurgeDistance ? sequence - kPurgeDistance : 0;
  frames.erase(frames.begin(), frames.lower_bound(floor));
}

void VideoFragmentReassembler::sweepStaleFragments(double now, Listener& listener) {
  if (now - lastFragmentSweepTime_ < kSweepInterval) return;
  lastFragmentSweepTime_ = now;
  long dropped = 0;
  for (auto& [stream, frames] : frames_) {
    for (auto it = frames.begin(); it != frames.end();) {
      if (now - it->second.firstSeenAt > kStaleAfter) {
        it = frames.erase(it);
        ++dropped;
        listener.frameLost(stream);
      } else {
        ++it;
      }
    }
  }
  if (dropped > 0) {
    logThrottled(Log::video(), Level::debug, "frag_sweep", {10, kThrottleInterval},
                 "frag_sweep dropped=%ld occurrences=%ld", dropped);
  }
}

void VideoFragmentReassembler::evictForNewFrame(std::uint8_t stream, Listener& listener) {
  // The frame that has waited longest for its next fragment is the least likely to complete;
  // taking the lowest number instead would let a sender of high numbers push out the live stream.
  StreamFrames& frames = frames_[stream];
  auto oldest = frames.begin();
  for (auto it = frames.begin(); it != frames.end(); ++it) {
    if (it->second.lastFragmentAt < oldest->second.lastFragmentAt) oldest = it;
  }
  const std::uint64_t sequence = oldest->first;
  frames.erase(oldest);
  listener.frameLost(stream);
  logThrottled(Log::video(), Level::error, "frag_drop_partial_limit", kErrorLineRule,
               "frag_drop reason=partial_limit stream=%hhu seq=%llu occurrences=%ld", stream,
               static_cast<unsigned long long>(sequence));
}

void VideoFragmentReassembler::clear() { frames_.clear(); }

std::size_t VideoFragmentReassembler::partialFrameCount() const noexcept {
  std::size_t count = 0;
  for (const auto& [stream, frames] : frames_) count += frames.size();
  return count;
}

bool VideoFragmentReassembler::hasPartialFrame(std::uint8_t stream, std::uint64_t sequence) const {
  const auto found = frames_.find(stream);
  return found != frames_.end() && found->second.contains(sequence);
}

} // namespace pd::video
