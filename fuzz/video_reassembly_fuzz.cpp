// Feeds runs of video datagrams to the fragment reassembly. The input is a list of records:
// a one-byte time step (tenths of a second), a two-byte big-endian length, then that many bytes
// of datagram. Any crash or sanitizer report is a finding, and so is a frame longer than the
// format's largest or a table that outgrows its bound.

#include "video/VideoFragmentReassembler.hpp"
#include "platform/log/Logger.hpp"

#include <cstddef>
#include <cstdint>
#include <set>
#include <span>

namespace {

using pd::video::VideoFragmentReassembler;

class Checker final : public VideoFragmentReassembler::Listener {
public:
  void fragmentAccepted(const VideoFragmentReassembler::Header& header, std::size_t) override {
    if (header.totalFragments == 0 || header.fragmentIndex >= header.totalFragments ||
        header.nalLength > VideoFragmentReassembler::kMaxFrameLength)
      __builtin_trap();
  }
  void frameLost(std::uint8_t stream) override {
    if (stream > 2) __builtin_trap();
  }
  void frameComplete(std::uint8_t stream, std::uint64_t, std::span<const std::uint8_t> frame) override {
    if (stream > 2 || frame.size() > VideoFragmentReassembler::kMaxFrameLength) __builtin_trap();
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    pd::platform::log::setStderrEnabled(false);
    return true;
  }();
  (void)quiet;
  static const std::set<std::uint8_t> active{0, 1, 2};
  VideoFragmentReassembler reassembler;
  Checker checker;
  double now = 1000.0;
  std::size_t offset = 0;
  while (offset + 3 <= size) {
    now += data[offset] / 10.0;
    const std::size_t length = (std::size_t{data[offset + 1]} << 8) | data[offset + 2];
    offset += 3;
    const std::size_t taken = length < size - offset ? length : size - offset;
    reassembler.handle(std::span(data + offset, taken), now, active, checker);
    offset += taken;
    if (reassembler.partialFrameCount() > active.size() * VideoFragmentReassembler::kMaxPartialFramesPerStream)
      __builtin_trap();
  }
  return 0;
}
