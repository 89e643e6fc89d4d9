#include "tablet-emulator/VideoDatagram.hpp"

#include <algorithm>

namespace pd::tools::tablet {

void writeVideoHeader(const VideoHeader& header, std::uint8_t* out) {
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>(header.sequence >> (56 - 8 * i));
  }
  out[8] = header.fragmentIndex;
  out[9] = header.totalFragments;
  for (int i = 0; i < 4; ++i) {
    out[10 + i] = static_cast<std::uint8_t>(header.accessUnitLength >> (24 - 8 * i));
  }
  out[14] = header.streamId;
}

namespace {
std::size_t fragmentCount(std::size_t length, std::size_t payloadSize) {
  return std::max<std::size_t>(1, (length + payloadSize - 1) / payloadSize);
}
} // namespace

FragmentResult::Error checkFragmentable(std::size_t length, std::size_t payloadSize) {
  if (payloadSize == 0 || payloadSize > maxFragmentPayload) {
    return FragmentResult::Error::badPayloadSize;
  }
  if (length > maxAccessUnitLength) {
    return FragmentResult::Error::tooLarge;
  }
  if (fragmentCount(length, payloadSize) > maxFragments) {
    return FragmentResult::Error::tooManyFragments;
  }
  return FragmentResult::Error::none;
}

std::uint32_t announcedLength(ByteSpan accessUnit, NalLengthRule rule) {
  if (rule == NalLengthRule::exact) {
    return static_cast<std::uint32_t>(accessUnit.size());
  }
  std::size_t total = 0;
  for (std::size_t at = 0; at + 4 <= accessUnit.size();) {
    const std::size_t length = (std::size_t{accessUnit[at]} << 24) | (std::size_t{accessUnit[at + 1]} << 16) |
                               (std::size_t{accessUnit[at + 2]} << 8) | accessUnit[at + 3];
    const std::size_t unit = std::min(length, accessUnit.size() - at - 4);
    if (rule == NalLengthRule::firstNal) {
      return static_cast<std::uint32_t>(unit);
    }
    total += unit;
    at += 4 + unit;
  }
  return static_cast<std::uint32_t>(total);
}

FragmentResult fragmentAccessUnit(ByteSpan accessUnit, std::uint8_t streamId, std::uint64_t sequence,
                                  std::size_t payloadSize, NalLengthRule rule) {
  FragmentResult result;
  result.error = checkFragmentable(accessUnit.size(), payloadSize);
  if (result.error != FragmentResult::Error::none) {
    return result;
  }
  const std::size_t count = fragmentCount(accessUnit.size(), payloadSize);
  VideoHeader header;
  header.sequence = sequence;
  header.totalFragments = static_cast<std::uint8_t>(count);
  header.accessUnitLength = announcedLength(accessUnit, rule);
  header.streamId = streamId;
  result.datagrams.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const std::size_t offset = index * payloadSize;
    const std::size_t length = std::min(payloadSize, accessUnit.size() - offset);
    Bytes datagram(videoHeaderSize + length);
    header.fragmentIndex = static_cast<std::uint8_t>(index);
    writeVideoHeader(header, datagram.data());
    std::copy_n(accessUnit.begin() + static_cast<std::ptrdiff_t>(offset), length,
                datagram.begin() + static_cast<std::ptrdiff_t>(videoHeaderSize));
    result.datagrams.push_back(std::move(datagram));
  }
  return result;
}

SequenceCounter::SequenceCounter(std::uint64_t first) : next_(skipControlPrefix(first)) {}

std::uint64_t SequenceCounter::next() {
  const std::uint64_t value = next_;
  next_ = skipControlPrefix(value + 1);
  return value;
}

std::uint64_t SequenceCounter::skipControlPrefix(std::uint64_t value) {
  constexpr std::uint64_t brace = 0x7B;
  if ((value >> 56) == brace) {
    return (brace + 1) << 56;
  }
  return value;
}

} // namespace pd::tools::tablet
