#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace pd::platform::media {

// Decoded audio as planar 32-bit float samples at one sample rate. The frame length is the
// shortest channel's length, so every channel offers at least frameLength() samples.
class AudioPCMBuffer {
public:
  AudioPCMBuffer() = default;
  AudioPCMBuffer(double sampleRate, std::vector<std::vector<float>> channels)
      : sampleRate_(sampleRate), channels_(std::move(channels)) {
    if (!channels_.empty()) {
      frameLength_ = channels_.front().size();
      for (const auto& channel : channels_) frameLength_ = std::min(frameLength_, channel.size());
    }
  }

  double sampleRate() const noexcept { return sampleRate_; }
  // 0 when the buffer holds no float samples at all.
  std::size_t channelCount() const noexcept { return channels_.size(); }
  std::size_t frameLength() const noexcept { return frameLength_; }
  std::span<const float> channel(std::size_t index) const noexcept {
    return std::span<const float>(channels_.at(index)).first(frameLength_);
  }

private:
  double sampleRate_ = 0;
  std::vector<std::vector<float>> channels_;
  std::size_t frameLength_ = 0;
};

} // namespace pd::platform::media
