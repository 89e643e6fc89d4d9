#include "relay/ChunkBuffers.hpp"

#include <malloc.h>

#include <algorithm>

namespace pd::relay {

std::shared_ptr<ChunkBuffers> ChunkBuffers::make(std::size_t keep, std::size_t capacity) {
  return std::shared_ptr<ChunkBuffers>(new ChunkBuffers(keep, capacity));
}

void ChunkBuffers::keepOnTheHeaps() noexcept {
  constexpr int kMapFrom = 4 << 20; // above a chunk of 2 MiB and its fetch's extra byte
  mallopt(M_MMAP_THRESHOLD, kMapFrom);
  mallopt(M_TRIM_THRESHOLD, 2 * kMapFrom);
}

std::unique_ptr<ChunkBuffers::Bytes> ChunkBuffers::take(std::size_t size) {
  std::unique_ptr<Bytes> buffer;
  {
    const std::scoped_lock lock(mutex_);
    if (!idle_.empty()) {
      buffer = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (!buffer) {
    buffer = std::make_unique<Bytes>();
    buffer->reserve(std::max(size, capacity_));
  }
  // Only growth writes (zeroes into the new tail): a recycled chunk buffer mostly keeps its size.
  buffer->resize(size);
  return buffer;
}

std::shared_ptr<const ChunkBuffers::Bytes> ChunkBuffers::share(std::unique_ptr<Bytes> buffer) {
  auto home = weak_from_this();
  return std::shared_ptr<const Bytes>(buffer.release(), [home](const Bytes* bytes) {
    // Made without const in take(), so writing to it again is sound.
    std::unique_ptr<Bytes> owned(const_cast<Bytes*>(bytes));
    if (auto pool = home.lock()) pool->giveBack(std::move(owned));
  });
}

void ChunkBuffers::giveBack(std::unique_ptr<Bytes> buffer) {
  {
    const std::scoped_lock lock(mutex_);
    if (idle_.size() < keep_) {
      idle_.push_back(std::move(buffer));
      return;
    }
  }
  // Enough are idle: this one is freed here, outside the lock.
}

} // namespace pd::relay
