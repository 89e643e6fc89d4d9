#include "platform/media/EncodedPacket.hpp"

extern "C" {
#include <libavcodec/defs.h>
#include <libavcodec/packet.h>
#include <libavutil/error.h>
}

#include <climits>
#include <cstring>

namespace pd::platform::media {

void EncodedPacket::Deleter::operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }

EncodedPacket::EncodedPacket() noexcept = default;
EncodedPacket::~EncodedPacket() = default;
EncodedPacket::EncodedPacket(EncodedPacket&&) noexcept = default;
EncodedPacket& EncodedPacket::operator=(EncodedPacket&&) noexcept = default;

EncodedPacket EncodedPacket::copyOf(std::span<const std::uint8_t> bytes, int& status) {
  EncodedPacket result;
  // A packet's size is an int, and the padding comes on top of it.
  if (bytes.size() > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
    status = AVERROR(EINVAL);
    return result;
  }
  std::unique_ptr<AVPacket, Deleter> packet(av_packet_alloc());
  if (!packet) {
    status = AVERROR(ENOMEM);
    return result;
  }
  status = av_new_packet(packet.get(), static_cast<int>(bytes.size()));
  if (status < 0) return result;
  if (!bytes.empty()) std::memcpy(packet->data, bytes.data(), bytes.size());
  result.packet_ = std::move(packet);
  return result;
}

std::size_t EncodedPacket::size() const noexcept { return packet_ ? static_cast<std::size_t>(packet_->size) : 0; }

} // namespace pd::platform::media
