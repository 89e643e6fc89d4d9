#pragma once

// The automatic reconnect's bookkeeping, apart from the timers and the connection it drives:
// whether a run is on, the attempt count that sets the back-off, the streak of "occupied"
// rejections, whether only the last tablet may be tried, how long the browser has found nobody,
// and the target last reported. Main thread.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace pd::link {

class ReconnectPolicy {
public:
  using Seconds = std::chrono::duration<double>;

  // What an attempt went for; reported when it changes.
  struct Target {
    std::string kind;
    std::string reason;
    std::optional<std::string> interface;
    std::optional<std::string> peerName;
    friend bool operator==(const Target&, const Target&) = default;
  };

  struct Wait {
    std::int64_t attempt = 0;
    Seconds delay{0.0};
    bool occupied = false; // the wait is the longer one of a tablet held by another receiver
  };

  bool active() const noexcept { return active_; }
  std::int64_t attempt() const noexcept { return attempt_; }
  std::int64_t occupiedRejectStreak() const noexcept { return occupiedRejectStreak_; }
  bool pinnedToLastPeer() const noexcept { return pinnedToLastPeer_; }

  // Begins a run from scratch; false, changing nothing, when one is on already. `pinned`: only
  // the last tablet may be tried.
  bool start(bool pinned) noexcept;
  // The run is over: given up, cancelled, or the link is up.
  void stop() noexcept;

  // Counts the next attempt and says how long to wait for it: not at all for the first, then one
  // second doubling per attempt, times `jitter` (0.8 to 1.2), never past `cap`, or past
  // `occupiedCap` while the tablet says it is held by another receiver.
  Wait nextWait(Seconds cap, Seconds occupiedCap, double jitter) noexcept;
  // A connection is being tried: the tablet counts as free until it rejects us again.
  void notePeerFree() noexcept { peerOccupied_ = false; }
  // The tablet turned us away. Rejections for "occupied" in a row jump the attempt count, so the
  // waits lengthen towards the occupied cap.
  void noteRejected(bool occupied) noexcept;
  // An attempt saw tablets.
  void notePeersSeen() noexcept { consecutiveNoPeer_ = 0; }
  // An attempt found no tablet; true on every fourth in a row, when the browser should start afresh.
  bool noteNoPeer() noexcept { return ++consecutiveNoPeer_ % 4 == 0; }
  // The kind of the previously reported target ("unset" for none) when `target` differs from it;
  // none when it is unchanged.
  std::optional<std::string> reportTarget(Target target);

private:
  bool active_ = false;
  bool peerOccupied_ = false;
  bool pinnedToLastPeer_ = false;
  std::int64_t attempt_ = 0;
  std::int64_t occupiedRejectStreak_ = 0;
  std::int64_t consecutiveNoPeer_ = 0;
  std::optional<Target> lastReportedTarget_;
};

} // namespace pd::link
