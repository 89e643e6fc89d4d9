#pragma once

// A small PipeWire video consumer for the tests: it links itself to a node by id (no session
// manager runs beside the test daemon), asks for one pixel format and keeps the size and mean
// colour of what arrives.

#include <array>
#include <cstdint>
#include <memory>

namespace pd::testing {

class TestConsumer {
public:
  enum class Format { nv12, bgrx };

  struct Snapshot {
    int frames = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // NV12: mean Y, Cb, Cr. BGRx: mean B, G, R.
    std::array<double, 3> mean{};
  };

  // Without `inspectPixels` frames are only counted, which keeps the consumer cheap for benchmarks.
  // With `keepsLastBuffer` it holds each frame's buffer until the next one arrives, as a viewer
  // that shows the latest frame does, and still holds one when it leaves.
  TestConsumer(Format format, std::uint32_t sourceNodeId, bool inspectPixels = true, bool keepsLastBuffer = false);
  ~TestConsumer();
  TestConsumer(const TestConsumer&) = delete;
  TestConsumer& operator=(const TestConsumer&) = delete;

  bool linked() const;
  Snapshot snapshot() const;
  // Unlinks and withdraws the consumer's node.
  void leave();

private:
  struct State;
  std::unique_ptr<State> state_;
};

} // namespace pd::testing
