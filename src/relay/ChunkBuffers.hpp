#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pd::relay {

// Buffers for chunks read from disk or fetched from upstream, taken back when the last holder of a
// served chunk lets go. A recycled buffer is already mapped and needs no zeroing: zeroing a fresh
// 2 MiB for every read took as much time as the read's own copy. Recycling also keeps the process's
// footprint at the chunks it holds: 2 MiB blocks freed on one thread and made anew on another stay
// with the allocator's per-thread heaps, which after one full-speed pass through a 200 MiB stream
// held about 40 MiB more than the chunks in use. A buffer still holds an earlier chunk's bytes when
// it is taken: it may be shared only once every byte of it has been written again.
class ChunkBuffers : public std::enable_shared_from_this<ChunkBuffers> {
public:
  using Bytes = std::vector<std::uint8_t>;

  // Keeps at most `keep` idle buffers of about `capacity` bytes each.
  static std::shared_ptr<ChunkBuffers> make(std::size_t keep, std::size_t capacity);

  // Once, first thing in a program that serves chunks. glibc maps each block above its threshold
  // on its own, 16 bytes past a page boundary, and the kernel was measured copying file and socket
  // bytes into and out of a buffer placed so at a fifth of its speed. glibc raises that threshold when
  // the first mapped block is freed, which a recycled buffer never is; setting it (and the trim
  // threshold, which glibc keeps at twice it) from the start puts chunk buffers on the heaps, as
  // they would be after that first free.
  static void keepOnTheHeaps() noexcept;

  // A buffer of `size` bytes with unspecified contents.
  std::unique_ptr<Bytes> take(std::size_t size);
  // The filled buffer as a served chunk; it comes back here when the last reference goes.
  std::shared_ptr<const Bytes> share(std::unique_ptr<Bytes> buffer);

private:
  ChunkBuffers(std::size_t keep, std::size_t capacity) : keep_(keep), capacity_(capacity) {}
  void giveBack(std::unique_ptr<Bytes> buffer);

  const std::size_t keep_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Bytes>> idle_;
};

} // namespace pd::relay
