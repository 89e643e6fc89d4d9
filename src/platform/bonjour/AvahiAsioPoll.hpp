#pragma once

// The discovery library's event-loop interface (AvahiPoll) served by an Asio executor, so the
// library's sockets and timers run on our serial queue and its callbacks arrive there, with no
// thread of its own. Internal to this folder.
//
// The library expects level-triggered readiness; Asio's reactor is edge-triggered. Each watch
// therefore asks poll(2) with a zero timeout before it waits and after every wake, and calls
// back again while the descriptor stays ready. Everything runs on the one thread of the queue.
//
// Create, use and destroy it on the executor's thread; free the client (which frees its
// watches and timeouts) before destroying the poll.

#include "runtime/Executor.hpp"

#include <avahi-common/watch.h>

#include <memory>

namespace pd::platform::bonjour::detail {

class AvahiAsioPoll {
public:
  explicit AvahiAsioPoll(runtime::Executor executor);
  ~AvahiAsioPoll();
  AvahiAsioPoll(const AvahiAsioPoll&) = delete;
  AvahiAsioPoll& operator=(const AvahiAsioPoll&) = delete;

  const AvahiPoll* api() const noexcept;

  // For freeing the client once the executor runs nothing any more (its queue was closed): the
  // library still makes and frees watches and timeouts while it lets go, but none is waited on,
  // since such a wait would never end and would keep the executor's loop alive with it.
  void stopWaiting() noexcept;

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::bonjour::detail
