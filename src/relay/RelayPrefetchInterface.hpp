#pragma once

// What the relay asks of its background prefetch. Every call runs on the relay's own executor
// (the prefetch works on the relay's state), so none of them may block.

#include "relay/RelayDiskCacheInterface.hpp"
#include "runtime/Task.hpp"

#include <cstdint>
#include <string_view>

namespace pd::relay {

class RelayPrefetchInterface {
public:
  using Key = RelayDiskCacheInterface::Key;
  using Descriptor = RelayDiskCacheInterface::Descriptor;

  virtual ~RelayPrefetchInterface() = default;

  // A foreground read of chunk `index`: prefetch goes on after it.
  virtual void schedulePrefetch(const Descriptor& descriptor, std::int64_t index) = 0;
  virtual void stopPrefetch(const Descriptor& descriptor, std::string_view reason) = 0;
  // Restarts a prefetch of the key that stopped because of a version mismatch or a failed write.
  virtual runtime::Awaitable<void> resumePrefetch(Key key) = 0;
  // A foreground read that missed every cache: a prefetch that had finished as "complete" starts
  // over from `index + 1`; any other finished reason is left alone.
  virtual void restartIfComplete(const Descriptor& descriptor, std::int64_t index) = 0;
};

// Until the background prefetch exists: nothing is fetched ahead.
class NoPrefetch final : public RelayPrefetchInterface {
public:
  void schedulePrefetch(const Descriptor&, std::int64_t) override {}
  void stopPrefetch(const Descriptor&, std::string_view) override {}
  runtime::Awaitable<void> resumePrefetch(Key) override { co_return; }
  void restartIfComplete(const Descriptor&, std::int64_t) override {}
};

} // namespace pd::relay
