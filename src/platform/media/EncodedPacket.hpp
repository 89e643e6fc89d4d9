#pragma once

// One unit of compressed video on its way to a decoder: a private copy of the bytes with the
// zeroed tail that FFmpeg's bitstream readers may read into. Move-only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct AVPacket;

namespace pd::platform::media {

class EncodedPacket {
public:
  EncodedPacket() noexcept;
  ~EncodedPacket();
  EncodedPacket(EncodedPacket&&) noexcept;
  EncodedPacket& operator=(EncodedPacket&&) noexcept;

  // A copy of `bytes`. An empty packet with a negative FFmpeg error code in `status` when the
  // bytes are too many for a packet or memory runs out; status 0 otherwise.
  static EncodedPacket copyOf(std::span<const std::uint8_t> bytes, int& status);

  explicit operator bool() const noexcept { return packet_ != nullptr; }
  std::size_t size() const noexcept;
  AVPacket* get() const noexcept { return packet_.get(); }

private:
  struct Deleter {
    void operator()(AVPacket* packet) const noexcept;
  };
  std::unique_ptr<AVPacket, Deleter> packet_;
};

} // namespace pd::platform::media
