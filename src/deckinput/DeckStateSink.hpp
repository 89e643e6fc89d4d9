#pragma once

// The part of the peer link that the OSC view model uses: hand a deck's state to the tablet,
// ask whether a tablet is linked, and hear when the link's observable state changes. The link
// manager implements it; the view model holds it weakly.

#include "link/records/DeckState.hpp"

#include <boost/signals2/signal.hpp>

namespace pd::deckinput {

class DeckStateSink {
public:
  virtual ~DeckStateSink() = default;

  // Main thread; returns at once and never fails. The link decides whether the state goes out
  // (at most one deck state is in flight; of those that come meanwhile only the newest of each
  // deck follows).
  virtual void sendDeckState(const link::DeckState& state) = 0;
  // Main thread: whether any tablet is connected.
  virtual bool hasConnectedPeers() const = 0;
  // Emitted on the main thread whenever the link's observable state changes.
  virtual boost::signals2::signal<void()>& linkChanged() = 0;
};

} // namespace pd::deckinput
