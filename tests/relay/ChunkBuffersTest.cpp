#include "relay/ChunkBuffers.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace pd::relay {
namespace {

// A buffer comes back when the last holder of its chunk lets go and is handed out again at the size
// asked, so that a stream read through keeps the same few buffers; a chunk that outlives the
// buffers themselves is freed by its last holder.
TEST(ChunkBuffersTest, AReleasedChunksBufferIsTakenAgainAtTheSizeAsked) {
  auto buffers = ChunkBuffers::make(2, 64);
  auto first = buffers->take(10);
  ASSERT_EQ(first->size(), 10u);
  EXPECT_GE(first->capacity(), 64u);
  const auto* storage = first->data();
  auto chunk = buffers->share(std::move(first));
  auto held = buffers->take(64);
  EXPECT_NE(held->data(), storage) << "a shared buffer is not handed out while held";

  chunk.reset();
  // A block of the same size made meanwhile would get the storage had it gone back to the heap.
  std::vector<std::uint8_t> meanwhile;
  meanwhile.reserve(64);
  auto again = buffers->take(64);
  EXPECT_EQ(again->data(), storage);
  EXPECT_EQ(again->size(), 64u);

  auto orphan = buffers->share(std::move(again));
  buffers.reset();
  orphan.reset();
}

} // namespace
} // namespace pd::relay
