#pragma once

// Watches the main thread from a queue of its own. Every half second it sends a beat to the
// main loop and a task probe to the main executor and measures how long the answer takes; it
// also notices when its own timer fires late, which means the whole process was starved, not
// the main thread. Lines on Log::app():
//   launch_main_ready   once, when the main thread first answers after start-up
//   main_stall          while or after the main thread fails to answer for 1 s or more
//   main_stall_recovered when a reported stall ends
//   proc_stall          when the watchdog's own timer is 3 s or more late
// It changes nothing in the system; it only reports.

#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pd::diagnostics {

class MainStallWatchdog {
public:
  // Monotonic time in nanoseconds; it does not advance while the machine sleeps.
  using Uptime = std::uint64_t;

  struct Timing {
    std::chrono::nanoseconds period = std::chrono::milliseconds(500);
    std::chrono::nanoseconds stallThreshold = std::chrono::seconds(1);
    std::chrono::nanoseconds stallRepeat = std::chrono::seconds(2);
    std::chrono::nanoseconds processLateThreshold = std::chrono::seconds(3);
    std::size_t maxOutstandingProbes = 8;
  };

  // How the watchdog reaches the main thread and the machine. The defaults post through
  // runtime::MainThread (the Qt event loop in the application) and spawn on its executor.
  struct Environment {
    std::function<void(runtime::UniqueFunction<void()>)> postToMainLoop;
    std::function<void(runtime::UniqueFunction<void()>)> runOnMainExecutor;
    std::function<std::string()> thermalLabel;
    std::function<bool()> isTraced;
  };
  static Environment standardEnvironment();

  // The bookkeeping, free of threads and timers: each operation is handed its time. The
  // watchdog runs it on its queue; tests drive it directly.
  class Detector {
  public:
    // Called for every beat: send it to the main loop, and the task probe when `probeTask`.
    using BeatSender = std::function<void(Uptime sentAt, bool probeTask)>;

    Detector(Timing timing, BeatSender sendBeat, std::function<std::string()> thermalLabel,
             std::function<bool()> isTraced);

    void begin(Uptime now, Uptime launchTime);
    void tick(Uptime now);
    void beatAnswered(Uptime sentAt, Uptime answeredAt);
    void taskProbeFinished(Uptime sentAt, Uptime ranAt);

    bool isArmed() const noexcept { return armed_; }
    std::int64_t stallOccurrences() const noexcept { return stallOccurrences_; }
    std::size_t outstandingProbeCount() const noexcept { return outstandingTasks_.size(); }
    std::optional<Uptime> outstandingBeat() const noexcept { return beatSentAt_; }

  private:
    struct ProbeState {
      Uptime durationNs;
      const char* word;
    };
    void sendBeat(Uptime sentAt);
    void checkStall(Uptime now);
    Uptime lateSum(Uptime from, Uptime to) const;
    ProbeState probeState(Uptime sentAt, Uptime at) const;
    void writeStall(Uptime waited, const ProbeState& probe, Uptime late);

    Timing timing_;
    BeatSender sendBeat_;
    std::function<std::string()> thermalLabel_;
    std::function<bool()> isTraced_;
    bool armed_ = false;
    Uptime expectedTickAt_ = 0;
    std::optional<Uptime> beatSentAt_;
    std::vector<std::pair<Uptime, Uptime>> lateIntervals_;
    std::set<Uptime> outstandingTasks_;
    std::optional<Uptime> currentTaskDone_;
    bool stallReported_ = false;
    Uptime lastStallReportAt_ = 0;
    std::int64_t stallOccurrences_ = 0;
  };

  static MainStallWatchdog& shared();

  MainStallWatchdog();
  MainStallWatchdog(Timing timing, Environment environment);
  // Stops as stop() does.
  ~MainStallWatchdog();
  MainStallWatchdog(const MainStallWatchdog&) = delete;
  MainStallWatchdog& operator=(const MainStallWatchdog&) = delete;

  // Main thread, once during start-up: notes the launch time, makes the queue and queues the
  // start. Later calls do nothing until stop().
  void start();
  // Main thread, as the program ends: cancels the timer and joins the queue's thread, so that
  // no tick reads the clock while static objects are destroyed. A later start() watches anew,
  // from a new launch time. Does nothing when not started.
  void stop();
  // Main thread.
  bool isStarted() const noexcept { return impl_ != nullptr; }

  // True when a debugger or tracer is attached ("TracerPid" in /proc/self/status).
  static bool isBeingTraced();
  static bool isBeingTraced(std::string_view procStatus);

  static Uptime uptimeNow() noexcept;

private:
  struct Impl;
  const Timing timing_;
  const Environment environment_;
  std::unique_ptr<Impl> impl_; // while started
};

} // namespace pd::diagnostics
