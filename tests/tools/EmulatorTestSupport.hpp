#pragma once

// Helpers for the tablet emulator's tests: byte builders and a reassembler that reads the video
// datagrams the way the receiver does (header checked field by field, slices joined in index order).

#include "tablet-emulator/AnnexB.hpp"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pd::tools::tablet::test {

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (const int v : values) {
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// A NAL unit of `type` whose first payload byte carries first_slice_segment_in_pic_flag.
inline Bytes nalUnit(int type, bool firstSlice = true, std::size_t payload = 4) {
  Bytes unit{static_cast<std::uint8_t>(type << 1), 0x01};
  unit.push_back(firstSlice ? 0x80 : 0x00);
  for (std::size_t i = 1; i < payload; ++i) {
    unit.push_back(static_cast<std::uint8_t>(0x10 + i));
  }
  return unit;
}

inline Bytes startCode4() { return bytes({0, 0, 0, 1}); }
inline Bytes startCode3() { return bytes({0, 0, 1}); }

inline Bytes annexB(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

struct DecodedHeader {
  std::uint64_t sequence = 0;
  int fragmentIndex = 0;
  int totalFragments = 0;
  std::uint32_t accessUnitLength = 0;
  int streamId = 0;
};

inline std::optional<DecodedHeader> decodeHeader(const Bytes& datagram) {
  if (datagram.size() < 15) {
    return std::nullopt;
  }
  DecodedHeader h;
  for (int i = 0; i < 8; ++i) {
    h.sequence = (h.sequence << 8) | datagram[static_cast<std::size_t>(i)];
  }
  h.fragmentIndex = datagram[8];
  h.totalFragments = datagram[9];
  for (int i = 10; i < 14; ++i) {
    h.accessUnitLength = (h.accessUnitLength << 8) | datagram[static_cast<std::size_t>(i)];
  }
  h.streamId = datagram[14];
  return h;
}

// Collects datagrams; returns a frame once all its slices are there. Fails the frame (returns an
// error text) on anything the receiver would refuse.
class Reassembler {
public:
  struct Frame {
    int streamId = 0;
    std::uint64_t sequence = 0;
    Bytes payload;
  };

  std::optional<Frame> add(const Bytes& datagram, std::string& error) {
    const auto h = decodeHeader(datagram);
    if (!h) {
      error = "too short";
      return std::nullopt;
    }
    if (datagram[0] == '{') {
      error = "looks like a control message";
      return std::nullopt;
    }
    if (h->totalFragments == 0 || h->fragmentIndex >= h->totalFragments) {
      error = "bad index";
      return std::nullopt;
    }
    if (h->accessUnitLength > 322'575) {
      error = "too large";
      return std::nullopt;
    }
    const auto key = std::make_pair(h->streamId, h->sequence);
    auto& partial = partials_[key];
    if (partial.slices.empty()) {
      partial.total = h->totalFragments;
      partial.length = h->accessUnitLength;
    } else if (partial.total != h->totalFragments || partial.length != h->accessUnitLength) {
      error = "header mismatch";
      return std::nullopt;
    }
    partial.slices[h->fragmentIndex] = Bytes(datagram.begin() + 15, datagram.end());
    if (static_cast<int>(partial.slices.size()) != partial.total) {
      return std::nullopt;
    }
    Frame frame{h->streamId, h->sequence, {}};
    for (const auto& [index, slice] : partial.slices) {
      frame.payload.insert(frame.payload.end(), slice.begin(), slice.end());
    }
    if (frame.payload.size() != partial.length) {
      error = "joined length differs from the announced one";
    }
    partials_.erase(key);
    return frame;
  }

private:
  struct Partial {
    int total = 0;
    std::uint32_t length = 0;
    std::map<int, Bytes> slices;
  };
  std::map<std::pair<int, std::uint64_t>, Partial> partials_;
};

// Length-prefixed NAL units back to an Annex-B stream; empty when the prefixes do not add up.
inline Bytes lengthPrefixedToAnnexB(const Bytes& accessUnit) {
  Bytes out;
  std::size_t offset = 0;
  while (offset < accessUnit.size()) {
    if (accessUnit.size() - offset < 4) {
      return {};
    }
    const std::size_t length = (std::size_t{accessUnit[offset]} << 24) | (std::size_t{accessUnit[offset + 1]} << 16) |
                               (std::size_t{accessUnit[offset + 2]} << 8) | std::size_t{accessUnit[offset + 3]};
    offset += 4;
    if (length == 0 || accessUnit.size() - offset < length) {
      return {};
    }
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), accessUnit.begin() + static_cast<std::ptrdiff_t>(offset),
               accessUnit.begin() + static_cast<std::ptrdiff_t>(offset + length));
    offset += length;
  }
  return out;
}

} // namespace pd::tools::tablet::test
