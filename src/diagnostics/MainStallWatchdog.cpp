#include "diagnostics/MainStallWatchdog.hpp"

#include "diagnostics/FileAccess.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/thermal/ThermalMonitor.hpp"
#include "runtime/Clock.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/SerialQueue.hpp"
#include "runtime/Task.hpp"

#include <algorithm>
#include <charconv>

namespace pd::diagnostics {

namespace {

using Uptime = MainStallWatchdog::Uptime;

constexpr std::string_view kProcStallKey = "proc_stall";
constexpr ThrottleRule kProcStallRule{10, std::chrono::seconds(5)};

Uptime nanos(std::chrono::nanoseconds duration) noexcept {
  return duration.count() > 0 ? static_cast<Uptime>(duration.count()) : 0;
}

std::int64_t millis(Uptime ns) noexcept { return static_cast<std::int64_t>(ns / 1'000'000); }

Uptime since(Uptime from, Uptime to) noexcept { return to > from ? to - from : 0; }

} // namespace

// --- Detector ---------------------------------------------------------------------------------

MainStallWatchdog::Detector::Detector(Timing timing, BeatSender sendBeat, std::function<std::string()> thermalLabel,
                                      std::function<bool()> isTraced)
    : timing_(timing),
      sendBeat_(std::move(sendBeat)),
      thermalLabel_(std::move(thermalLabel)),
      isTraced_(std::move(isTraced)) {}

void MainStallWatchdog::Detector::begin(Uptime now, Uptime launchTime) {
  expectedTickAt_ = now + nanos(timing_.period);
  // Its answer comes once launching is over and the main thread is free: launch_main_ready.
  sendBeat(launchTime);
}

void MainStallWatchdog::Detector::tick(Uptime now) {
  const Uptime late = since(expectedTickAt_, now);
  if (beatSentAt_ && now > expectedTickAt_) lateIntervals_.emplace_back(expectedTickAt_, now);
  expectedTickAt_ = now + nanos(timing_.period);

  if (armed_ && late >= nanos(timing_.processLateThreshold)) {
    logThrottled(Log::app(), platform::log::Level::notice, kProcStallKey, kProcStallRule,
                 "proc_stall late_ms=%ld thermal=%{public}s occurrences=%ld", millis(late), thermalLabel_());
  } else if (late < nanos(timing_.processLateThreshold)) {
    // The next late episode counts from 1 again.
    LogThrottle::shared().reset(kProcStallKey);
  }

  if (!beatSentAt_) {
    sendBeat(now);
  } else {
    checkStall(now);
  }
}

void MainStallWatchdog::Detector::sendBeat(Uptime sentAt) {
  beatSentAt_ = sentAt;
  lateIntervals_.clear();
  currentTaskDone_.reset();
  // A main thread blocked for long must not pile up probes.
  const bool probeTask = outstandingTasks_.size() < timing_.maxOutstandingProbes;
  if (probeTask) outstandingTasks_.insert(sentAt);
  sendBeat_(sentAt, probeTask);
}

void MainStallWatchdog::Detector::taskProbeFinished(Uptime sentAt, Uptime ranAt) {
  if (outstandingTasks_.erase(sentAt) > 0 && beatSentAt_ == sentAt) currentTaskDone_ = since(sentAt, ranAt);
}

Uptime MainStallWatchdog::Detector::lateSum(Uptime from, Uptime to) const {
  Uptime sum = 0;
  for (const auto& [start, end] : lateIntervals_) {
    const Uptime overlapStart = std::max(start, from);
    const Uptime overlapEnd = std::min(end, to);
    sum += since(overlapStart, overlapEnd);
  }
  return sum;
}

MainStallWatchdog::Detector::ProbeState MainStallWatchdog::Detector::probeState(Uptime sentAt, Uptime at) const {
  if (currentTaskDone_ && beatSentAt_ == sentAt) return {*currentTaskDone_, "done"};
  if (outstandingTasks_.contains(sentAt)) return {since(sentAt, at), "pending"};
  return {0, "none"};
}

void MainStallWatchdog::Detector::writeStall(Uptime waited, const ProbeState& probe, Uptime late) {
  Log::app().notice("main_stall dur_ms=%ld task_ms=%ld task_state=%{public}s late_ms=%ld thermal=%{public}s "
                    "traced=%{bool}d occurrences=%ld",
                    millis(waited), millis(probe.durationNs), probe.word, millis(late), thermalLabel_(), isTraced_(),
                    stallOccurrences_);
}

void MainStallWatchdog::Detector::checkStall(Uptime now) {
  if (!armed_ || !beatSentAt_) return;
  const Uptime sentAt = *beatSentAt_;
  const Uptime waited = since(sentAt, now);
  // Time in which the watchdog itself was starved is not held against the main thread.
  const Uptime late = lateSum(sentAt, now);
  if (late >= waited) return;
  if (waited - late < nanos(timing_.stallThreshold)) return;
  if (stallReported_) {
    if (since(lastStallReportAt_, now) < nanos(timing_.stallRepeat)) return;
  } else {
    ++stallOccurrences_;
  }
  stallReported_ = true;
  lastStallReportAt_ = now;
  writeStall(waited, probeState(sentAt, now), late);
}

void MainStallWatchdog::Detector::beatAnswered(Uptime sentAt, Uptime answeredAt) {
  if (!beatSentAt_ || *beatSentAt_ != sentAt) return; // a late answer to an older beat
  if (expectedTickAt_ < answeredAt) lateIntervals_.emplace_back(expectedTickAt_, answeredAt);
  const Uptime late = lateSum(sentAt, answeredAt);
  const Uptime duration = since(sentAt, answeredAt);
  const ProbeState probe = probeState(sentAt, answeredAt);
  beatSentAt_.reset();
  lateIntervals_.clear();
  currentTaskDone_.reset();

  if (!armed_) {
    armed_ = true;
    Log::app().notice("launch_main_ready dur_ms=%ld", millis(duration));
    return;
  }
  const Uptime effective = since(late, duration);
  if (stallReported_) {
    Log::app().notice("main_stall_recovered dur_ms=%ld task_ms=%ld task_state=%{public}s late_ms=%ld", millis(duration),
                      millis(probe.durationNs), probe.word, millis(late));
  } else if (effective >= nanos(timing_.stallThreshold)) {
    // A stall that ended before any tick saw it.
    ++stallOccurrences_;
    writeStall(duration, probe, late);
  }
  stallReported_ = false;
}

// --- the watchdog -----------------------------------------------------------------------------

struct MainStallWatchdog::Impl {
  Impl(Timing t, Environment e)
      : timing(t),
        environment(std::move(e)),
        detector(
            timing, [this](Uptime sentAt, bool probeTask) { sendBeat(sentAt, probeTask); },
            environment.thermalLabel ? environment.thermalLabel : [] { return std::string("unknown"); },
            environment.isTraced ? environment.isTraced : [] { return false; }) {}

  // The timer is destroyed on the queue that serves it; then the queue's thread is joined.
  ~Impl() {
    queue.syncWithTimeout([this] { timer.reset(); }, std::chrono::seconds(10));
    queue.shutdown();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // On the queue. The main-thread side only reads the clock and hands the time back; it holds
  // an executor of the queue, which drops the answer once the watchdog is gone.
  void sendBeat(Uptime sentAt, bool probeTask) {
    const runtime::Executor back = queue.executor();
    environment.postToMainLoop([back, this, sentAt] {
      const Uptime answeredAt = uptimeNow();
      back.execute([this, sentAt, answeredAt] { detector.beatAnswered(sentAt, answeredAt); });
    });
    if (probeTask) {
      environment.runOnMainExecutor([back, this, sentAt] {
        const Uptime ranAt = uptimeNow();
        back.execute([this, sentAt, ranAt] { detector.taskProbeFinished(sentAt, ranAt); });
      });
    }
  }

  void startOnQueue(Uptime launchTime) {
    if (timer) return;
    timer = std::make_unique<runtime::RepeatingTimer>(queue.executor(), timing.period,
                                                      [this] { detector.tick(uptimeNow()); });
    timer->start();
    detector.begin(uptimeNow(), launchTime);
  }

  const Timing timing;
  const Environment environment;
  Detector detector; // queue only
  runtime::SerialQueue queue{"tech.quelbo.mainstall"};
  std::unique_ptr<runtime::RepeatingTimer> timer; // queue only
};

MainStallWatchdog::Environment MainStallWatchdog::standardEnvironment() {
  Environment environment;
  environment.postToMainLoop = [](runtime::UniqueFunction<void()> work) { runtime::MainThread::post(std::move(work)); };
  environment.runOnMainExecutor = [](runtime::UniqueFunction<void()> work) {
    runtime::spawnDetached(runtime::MainThread::executor(),
                           [work = std::move(work)]() mutable -> runtime::Awaitable<void> {
                             work();
                             co_return;
                           });
  };
  environment.thermalLabel = [] {
    return std::string(platform::thermal::label(platform::thermal::readThermalState()));
  };
  environment.isTraced = [] { return isBeingTraced(); };
  return environment;
}

MainStallWatchdog& MainStallWatchdog::shared() {
  // Never destroyed: whoever started it stops it before static objects go.
  static MainStallWatchdog* const watchdog = new MainStallWatchdog();
  return *watchdog;
}

MainStallWatchdog::MainStallWatchdog() : MainStallWatchdog(Timing{}, standardEnvironment()) {}

MainStallWatchdog::MainStallWatchdog(Timing timing, Environment environment)
    : timing_(timing), environment_(std::move(environment)) {}

MainStallWatchdog::~MainStallWatchdog() = default;

void MainStallWatchdog::start() {
  if (impl_) return;
  const Uptime launchTime = uptimeNow();
  impl_ = std::make_unique<Impl>(timing_, environment_);
  impl_->queue.post([impl = impl_.get(), launchTime] { impl->startOnQueue(launchTime); });
}

void MainStallWatchdog::stop() { impl_.reset(); }

bool MainStallWatchdog::isBeingTraced() {
  const auto status = readFileBounded("/proc/self/status", 64 * 1024);
  return status && isBeingTraced(*status);
}

bool MainStallWatchdog::isBeingTraced(std::string_view procStatus) {
  constexpr std::string_view kKey = "TracerPid:";
  std::size_t at = 0;
  while (at < procStatus.size()) {
    const std::size_t end = std::min(procStatus.find('\n', at), procStatus.size());
    std::string_view line = procStatus.substr(at, end - at);
    at = end + 1;
    if (!line.starts_with(kKey)) continue;
    line.remove_prefix(kKey.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    std::int64_t pid = 0;
    const auto parsed = std::from_chars(line.data(), line.data() + line.size(), pid);
    return parsed.ec == std::errc() && pid != 0;
  }
  return false;
}

Uptime MainStallWatchdog::uptimeNow() noexcept {
  return nanos(
      std::chrono::duration_cast<std::chrono::nanoseconds>(runtime::Clock::current().monotonic().time_since_epoch()));
}

} // namespace pd::diagnostics
