// The running log ring of this launch: start-up, flush scheduling, the terminal mark and the
// collection of log store entries into segment files.

#include "diagnostics/LogRing.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/instance/LaunchID.hpp"
#include "platform/log/LogStore.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/AnsweredJob.hpp"
#include "runtime/Executor.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/SerialQueue.hpp"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <map>
#include <stdexcept>
#include <utility>

namespace pd::diagnostics {

namespace fs = std::filesystem;
namespace plog = platform::log;
using Fields = LogErrorFields::Fields;

namespace {

constexpr std::string_view kManifestFileName = "manifest.json";

std::string_view levelWord(plog::Level level) noexcept {
  switch (level) {
  case plog::Level::notice: return "notice";
  case plog::Level::error: return "error";
  case plog::Level::fault: return "fault";
  case plog::Level::debug: return "debug";
  }
  return "notice";
}

std::string segmentName(std::string_view prefix, std::int64_t index) {
  char buffer[48];
  const int length = std::snprintf(buffer, sizeof buffer, "%.*s-%06lld.ndjson", static_cast<int>(prefix.size()),
                                   prefix.data(), static_cast<long long>(index));
  return std::string(buffer, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof buffer) - 1)));
}

std::int64_t totalBytes(const LogRing::Manifest& manifest) {
  std::int64_t total = 0;
  for (const auto& segment : manifest.segments) total += segment.bytes;
  for (const auto& segment : manifest.appleSegments) total += segment.bytes;
  return total;
}

std::int64_t elapsedMillis(runtime::Clock::MonotonicTime since) {
  const auto elapsed = runtime::Clock::current().monotonic() - since;
  return std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// The kept lines of one kind in one collection run.
struct Batch {
  std::string bytes;
  std::int64_t count = 0;
  std::optional<std::string> firstTs;
  std::optional<std::string> lastTs;

  void add(const std::string& line, const std::string& ts) {
    bytes += line;
    ++count;
    if (!firstTs) firstTs = ts;
    lastTs = ts;
  }
  LogRing::Segment record(std::string file) const {
    return LogRing::Segment{std::move(file), count, static_cast<std::int64_t>(bytes.size()), firstTs, lastTs};
  }
};

// A folder that cannot be written (a read-only home) fails every commit for the rest of the
// launch: the first failure says why, later ones come at most once per interval.
void reportCommitFailure(const std::optional<Fields>& failure, std::chrono::nanoseconds interval) {
  if (!failure) return;
  logThrottled("ring_flush_fail.manifest", ThrottleRule{1, interval}, [&](std::int64_t) {
    Log::app().error("ring_flush_fail reason=manifest err_domain=%{public}s err_code=%ld error=%s", failure->domain,
                     failure->code, failure->detail);
  });
}

} // namespace

struct LogRing::Impl {
  explicit Impl(Config c)
      : config(std::move(c)),
        launchDir(config.root / config.launchID),
        store(config.store != nullptr ? *config.store : plog::LogStore::shared()) {
    query.subsystems.push_back(config.ownSubsystem);
    query.subsystems.insert(query.subsystems.end(), config.platformSubsystems.begin(), config.platformSubsystems.end());
    manifest.launchID = config.launchID;
    manifest.pid = plog::currentProcessId();
    manifest.startedAt = plog::formatTimestamp(runtime::Clock::current().wall());
    manifest.terminalTracked = true;
  }

  // --- state lock -------------------------------------------------------------------------

  // Writes the manifest of this moment. The caller holds stateLock, so that commits from the
  // queue and from the terminal mark never overlap. The failure is logged by the caller once
  // the lock is released.
  std::optional<Fields> commitLocked() {
    try {
      platform::paths::writeFileAtomically(launchDir / kManifestFileName, manifest.encode(), 0600);
      return std::nullopt;
    } catch (...) {
      return LogErrorFields::fields(std::current_exception(), false);
    }
  }
  // Commits when the launch folder exists; remembers a failure for the next opportunity.
  std::optional<Fields> commitIfReadyLocked() {
    if (!manifestDirReady) return std::nullopt;
    auto failure = commitLocked();
    manifestCommitPending = failure.has_value();
    return failure;
  }
  std::optional<Fields> commitIfPendingLocked() {
    if (!manifestCommitPending) return std::nullopt;
    return commitIfReadyLocked();
  }
  bool terminalFlushPending() const {
    std::scoped_lock lock(stateLock);
    return terminalFlushPendingCount > 0;
  }

  // --- ring queue ---------------------------------------------------------------------------

  // Runs work on the queue after the delay; with false instead when the ring closes first.
  void after(std::chrono::nanoseconds delay, runtime::UniqueFunction<void(bool)> work) {
    const std::uint64_t id = ++lastDelayedID;
    auto wait = std::make_shared<boost::asio::steady_timer>(queue.executor(), delay);
    wait->async_wait([this, id](const boost::system::error_code& error) {
      const auto found = delayed.find(id);
      if (found == delayed.end()) return; // already answered by close()
      auto pending = std::move(found->second.work);
      delayed.erase(found);
      pending(!error && !closing);
    });
    delayed.emplace(id, Delayed{std::move(wait), std::move(work)});
  }

  // On the queue, when the ring goes away: every delayed job hears about it now, so that a
  // waiting flush request still gets its one answer.
  void close() {
    closing = true;
    timer.reset();
    auto pending = std::exchange(delayed, {});
    for (auto& [id, job] : pending) {
      job.wait->cancel();
      job.work(false);
    }
  }

  // An aborted launch (one that ends at the single-instance guard) gets its folder and
  // manifest for its last lines, but no sequence number, and leaves the ring as a whole to
  // the launch that runs.
  void startOnQueue(bool aborted) {
    if (started) return;
    started = true;
    std::error_code ec;
    platform::paths::createPrivateDirectories(config.root, ec);
    if (!ec) platform::paths::createPrivateDirectories(launchDir, ec);
    if (!ec && !fs::is_directory(fs::symlink_status(launchDir, ec)))
      ec = std::make_error_code(std::errc::not_a_directory);
    if (ec) {
      const auto fields = LogErrorFields::fields(PosixError(ec.value(), "create " + launchDir.string()), false);
      Log::app().error("ring_flush_fail reason=launch_marker err_domain=%{public}s err_code=%ld error=%s",
                       fields.domain, fields.code, fields.detail);
    } else {
      // Linux has no per-folder backup exclusion to set here.
      const std::optional<std::int64_t> seq =
          aborted ? std::nullopt : std::optional<std::int64_t>(nextLaunchSequence(config.root));
      std::optional<Fields> failure;
      {
        std::scoped_lock lock(stateLock);
        manifest.seq = seq;
        if (pendingMarkClean) manifest.clean = true;
        manifestDirReady = true;
        failure = commitIfReadyLocked();
      }
      reportCommitFailure(failure, config.timing.failureLogInterval);
    }
    if (aborted) return;

    removeStaleTemporaryFiles(config.root, config.launchID, config.timing.staleTemporaryAge);
    const PruneResult pruned = prune(config.root, config.launchID, config.limits);
    if (pruned.deleted > 0) {
      Log::app().notice("ring_prune deleted=%ld kept=%ld size_b=%ld", pruned.deleted, pruned.kept, pruned.sizeBytes);
    }

    timer = std::make_unique<runtime::RepeatingTimer>(queue.executor(), config.timing.flushPeriod,
                                                      [this] { flush(false, std::nullopt); });
    timer->start();

    const std::string verdict = previousExitStatus(config.root, config.launchID);
    Log::app().notice("app_launch prev_exit=%{public}s launch_id=%{public}s", verdict,
                      std::string_view(config.launchID).substr(0, 8));
  }

  // True when the flush ran or had nothing to do; false when it stood back for a terminal flush.
  bool flush(bool force, std::optional<std::int64_t> generation) {
    if (!force && terminalFlushPending()) return false;
    flushesRun.fetch_add(1, std::memory_order_relaxed);
    std::optional<Fields> failure;
    bool committed = false;
    {
      std::scoped_lock lock(stateLock);
      failure = commitIfPendingLocked();
      committed = !manifestCommitPending;
    }
    reportCommitFailure(failure, config.timing.failureLogInterval);
    if (committed) removeDroppedFiles();
    lastFlushAt = runtime::Clock::current().monotonic();
    if (!started || writingSuspended) return true;

    const auto began = runtime::Clock::current().monotonic();
    try {
      const auto [own, apple] = collectEntries(generation);
      consecutiveWriteFailures = 0;
      if (own > 0 || apple > 0) {
        Log::app().notice("ring_flush entries=%ld apple=%ld segments=%ld dur_ms=%ld", own, apple, segmentIndex,
                          elapsedMillis(began));
      }
    } catch (...) {
      const auto fields = LogErrorFields::fields(std::current_exception(), false);
      Log::app().error("ring_flush_fail reason=collect err_domain=%{public}s err_code=%ld error=%s", fields.domain,
                       fields.code, fields.detail);
      recordWriteFailure();
    }
    return true;
  }

  void scheduleErrorFlush() {
    if (!started || errorFlushPending) return;
    errorFlushPending = true;
    const auto spacing = config.timing.errorFlushSpacing;
    const auto minimum = config.timing.errorFlushMinimumDelay;
    std::chrono::nanoseconds delay = minimum;
    if (lastFlushAt) {
      const auto elapsed = runtime::Clock::current().monotonic() - *lastFlushAt;
      if (elapsed < spacing) delay = std::max<std::chrono::nanoseconds>(spacing - elapsed, minimum);
    }
    after(delay, [this](bool fired) {
      errorFlushPending = false;
      if (fired) flush(false, std::nullopt);
    });
  }

  void requestedFlush(runtime::UniqueFunction<void()> completion) {
    if (terminalFlushPending() || !flush(false, std::nullopt)) {
      scheduleFlushRetry(config.timing.flushRetries, std::move(completion));
      return;
    }
    if (completion) completion();
  }

  void scheduleFlushRetry(int remaining, runtime::UniqueFunction<void()> completion) {
    if (remaining <= 0) {
      std::int64_t generation = 0;
      {
        std::scoped_lock lock(stateLock);
        generation = terminalFlushGeneration;
      }
      flush(true, generation);
      if (completion) completion();
      return;
    }
    after(config.timing.flushRetryInterval, [this, remaining, completion = std::move(completion)](bool fired) mutable {
      if (!fired) {
        // The ring is closing: the caller still hears back exactly once.
        if (completion) completion();
        return;
      }
      if (!terminalFlushPending() && flush(false, std::nullopt)) {
        if (completion) completion();
        return;
      }
      scheduleFlushRetry(remaining - 1, std::move(completion));
    });
  }

  // The terminal flush queued by markTerminal().
  void terminalFlush(std::int64_t generation) {
    flush(true, generation);
    std::optional<Fields> failure;
    {
      std::scoped_lock lock(stateLock);
      failure = commitIfPendingLocked();
    }
    reportCommitFailure(failure, config.timing.failureLogInterval);
    std::scoped_lock lock(stateLock);
    terminalFlushPendingCount = std::max<std::int64_t>(0, terminalFlushPendingCount - 1);
  }

  // One collection run: the entries logged since the last run into at most one own and one
  // platform segment file, recorded in the manifest. Returns the lines written of each kind.
  std::pair<std::int64_t, std::int64_t> collectEntries(std::optional<std::int64_t> generation) {
    std::uint64_t resumeFrom = 0;
    std::int64_t startingTotal = 0;
    {
      std::scoped_lock lock(stateLock);
      resumeFrom = resumeSequence;
      startingTotal = totalBytes(manifest);
    }
    // The store numbers its entries, so the resume point is exact: entries that share a time
    // stamp are neither taken twice nor skipped, a wall clock step back loses nothing, and
    // entries that the store pushed out before this run could read them are counted.
    const plog::LogStore::Slice slice = store.sliceAfter(resumeFrom, query);
    const auto cap = static_cast<std::int64_t>(config.limits.perLaunchBytes);
    const std::uint64_t budget = startingTotal >= cap ? 0 : static_cast<std::uint64_t>(cap - startingTotal);

    Batch own;
    Batch apple;
    bool ownCapReached = false;
    std::uint64_t newResume = resumeFrom;
    for (const plog::LogEntry& entry : slice.entries) {
      newResume = std::max(newResume, entry.sequence);
      const bool isOwn = entry.subsystem == config.ownSubsystem;
      const bool passes = entry.level == plog::Level::error || entry.level == plog::Level::fault ||
                          (entry.level == plog::Level::notice && isOwn);
      if (!passes || (!isOwn && appleSuspended)) continue;
      EntryLine line{plog::formatTimestamp(entry.time),
                     std::string(levelWord(entry.level)),
                     entry.category,
                     entry.message,
                     entry.pid,
                     entry.tid,
                     isOwn ? std::nullopt : std::optional<std::string>(entry.subsystem)};
      std::string text;
      try {
        text = line.encode();
      } catch (const std::exception&) {
        continue; // one entry that cannot be written must not hold back every later one
      }
      text.push_back('\n');
      if (isOwn) {
        if (own.bytes.size() + text.size() <= budget) {
          own.add(text, line.ts);
        } else {
          ownCapReached = true; // a shorter line later in the run may still fit
        }
      } else if (own.bytes.size() + apple.bytes.size() + text.size() <= budget) {
        apple.add(text, line.ts);
      }
    }

    {
      std::scoped_lock lock(stateLock);
      // A terminal flush that a newer terminal mark overtook writes nothing and leaves the
      // resume point, so that the newer one reads the same entries again.
      if (generation && *generation != terminalFlushGeneration) return {0, 0};
    }

    // The resume point moves only once our own lines are on disk: a failed write leaves them
    // for the next run, and the failure count bounds how often that is tried. The platform
    // file waits for it too, so that a retry does not write its lines twice.
    std::optional<Segment> ownRecord;
    if (own.count > 0) {
      const std::string name = segmentName("seg", ++segmentIndex); // a failed write uses up its number
      platform::paths::writeFileAtomically(launchDir / name, own.bytes, 0600);
      ownRecord = own.record(name);
    }
    std::optional<Segment> appleRecord;
    if (apple.count > 0) {
      const std::string name = segmentName("apple", ++appleSegmentIndex);
      try {
        platform::paths::writeFileAtomically(launchDir / name, apple.bytes, 0600);
        appleRecord = apple.record(name);
      } catch (...) {
        appleSuspended = true;
        const auto fields = LogErrorFields::fields(std::current_exception(), false);
        Log::app().error("ring_flush_fail reason=apple_write err_domain=%{public}s err_code=%ld error=%s",
                         fields.domain, fields.code, fields.detail);
      }
    }

    std::optional<Fields> failure;
    {
      std::scoped_lock lock(stateLock);
      resumeSequence = newResume;
      if (slice.missed > 0) {
        manifest.truncated = true;
        // New segments commit it in the cap step; without them it goes to disk now.
        if (!ownRecord && !appleRecord) failure = commitIfReadyLocked();
      }
    }
    reportCommitFailure(failure, config.timing.failureLogInterval);
    if (slice.missed > 0) Log::app().notice("ring_truncated reason=store_overrun dropped=%ld", slice.missed);

    if (ownRecord || appleRecord) {
      capStep(ownRecord, appleRecord); // throws ManifestCommitError
      if (ownCapReached) ownCapStep(startingTotal + static_cast<std::int64_t>(own.bytes.size()));
    } else if (ownCapReached) {
      ownCapStep(startingTotal + static_cast<std::int64_t>(own.bytes.size()));
    }
    return {ownRecord ? own.count : 0, appleRecord ? apple.count : 0};
  }

  // Records the new segments and holds the launch to its cap by dropping the oldest platform
  // segments; our own segments are never dropped here.
  void capStep(const std::optional<Segment>& ownRecord, const std::optional<Segment>& appleRecord) {
    const auto cap = static_cast<std::int64_t>(config.limits.perLaunchBytes);
    std::vector<std::string> dropped;
    bool nothingLeftToDrop = false;
    std::int64_t total = 0;
    bool committed = false;
    std::optional<Fields> failure;
    {
      std::scoped_lock lock(stateLock);
      if (ownRecord) {
        manifest.segments.push_back(*ownRecord);
        manifest.entryCount += ownRecord->entries;
      }
      if (appleRecord) manifest.appleSegments.push_back(*appleRecord);
      total = totalBytes(manifest);
      while (total > cap) {
        manifest.truncated = true;
        if (manifest.appleSegments.empty()) {
          nothingLeftToDrop = true;
          break;
        }
        dropped.push_back(manifest.appleSegments.front().file);
        total -= manifest.appleSegments.front().bytes;
        manifest.appleSegments.erase(manifest.appleSegments.begin());
      }
      if (manifestDirReady) {
        failure = commitIfReadyLocked();
        committed = !failure;
      }
    }
    reportCommitFailure(failure, config.timing.failureLogInterval);
    droppedAwaitingCommit.insert(droppedAwaitingCommit.end(), dropped.begin(), dropped.end());
    if (!committed) throw ManifestCommitError();
    removeDroppedFiles();
    if (nothingLeftToDrop) {
      writingSuspended = true;
      Log::app().notice("ring_truncated reason=per_launch_cap size_b=%ld", total);
    } else if (!dropped.empty()) {
      Log::app().notice("ring_truncated reason=apple_dropped size_b=%ld", total);
    }
  }

  // Once a manifest without them is on disk. Until then the manifest there still names them, and
  // forgetting them at a failed commit would leave them in the folder for the rest of its life.
  void removeDroppedFiles() {
    for (const std::string& name : std::exchange(droppedAwaitingCommit, {})) {
      std::error_code ignored;
      fs::remove(launchDir / name, ignored);
    }
  }

  void ownCapStep(std::int64_t sizeBytes) {
    suspendWriting();
    Log::app().notice("ring_truncated reason=per_launch_cap size_b=%ld", sizeBytes);
  }

  void recordWriteFailure() {
    ++consecutiveWriteFailures;
    if (consecutiveWriteFailures < config.limits.failureThreshold) return;
    suspendWriting();
    Log::app().notice("ring_truncated reason=write_fail size_b=0");
  }

  // No more segments in this launch; the manifest says that data is missing.
  void suspendWriting() {
    writingSuspended = true;
    std::optional<Fields> failure;
    {
      std::scoped_lock lock(stateLock);
      manifest.truncated = true;
      failure = commitIfReadyLocked();
    }
    reportCommitFailure(failure, config.timing.failureLogInterval);
  }

  const Config config;
  const fs::path launchDir;
  plog::LogStore& store;
  plog::LogQuery query;

  mutable std::mutex stateLock;
  // Guarded by stateLock.
  Manifest manifest;
  bool manifestDirReady = false;
  std::int64_t terminalFlushPendingCount = 0;
  std::int64_t terminalFlushGeneration = 0;
  bool manifestCommitPending = false;
  bool pendingMarkClean = false;
  std::uint64_t resumeSequence = 0; // the store's sequence number of the last entry taken

  // Ring queue only.
  bool started = false;
  bool closing = false;
  std::int64_t segmentIndex = 0;
  std::int64_t appleSegmentIndex = 0;
  std::optional<runtime::Clock::MonotonicTime> lastFlushAt; // none: the distant past
  bool errorFlushPending = false;
  bool writingSuspended = false;
  std::int64_t consecutiveWriteFailures = 0;
  bool appleSuspended = false;
  std::vector<std::string> droppedAwaitingCommit; // platform segments left out of the manifest
  struct Delayed {
    std::shared_ptr<boost::asio::steady_timer> wait;
    runtime::UniqueFunction<void(bool)> work;
  };
  std::map<std::uint64_t, Delayed> delayed;
  std::uint64_t lastDelayedID = 0;

  std::atomic<bool> stopped{false};
  std::atomic<std::uint64_t> starts{0};
  std::atomic<std::uint64_t> errorFlushes{0};
  std::atomic<std::uint64_t> flushes{0};
  std::atomic<std::uint64_t> terminals{0};
  std::atomic<std::uint64_t> flushesRun{0};

  // Last, so that it is closed before everything its work uses goes away.
  runtime::SerialQueue queue{"logring.io"};
  std::unique_ptr<runtime::RepeatingTimer> timer; // made and dropped on the queue
};

LogRing::Config LogRing::standardConfig() {
  Config config;
  config.root = rootDirectory();
  config.launchID = platform::instance::currentLaunchID();
  config.ownSubsystem = Log::subsystem();
  config.platformSubsystems = platformSubsystems();
  return config;
}

LogRing& LogRing::shared() {
  // Never destroyed: error lines may ask it for a flush until the very end of the process, and
  // find it stopped (its thread joined) once the receiver has ended.
  static LogRing* const ring = new LogRing(standardConfig());
  return *ring;
}

LogRing::LogRing(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

LogRing::~LogRing() {
  Impl* impl = impl_.get();
  impl->queue.syncWithTimeout([impl] { impl->close(); }, std::chrono::seconds(10));
  impl->queue.shutdown();
}

void LogRing::start() {
  impl_->starts.fetch_add(1, std::memory_order_relaxed);
  impl_->queue.post([impl = impl_.get()] { impl->startOnQueue(false); });
}

void LogRing::startAborted() {
  impl_->starts.fetch_add(1, std::memory_order_relaxed);
  impl_->queue.post([impl = impl_.get()] { impl->startOnQueue(true); });
}

void LogRing::requestErrorFlush() {
  impl_->errorFlushes.fetch_add(1, std::memory_order_relaxed);
  impl_->queue.post([impl = impl_.get()] { impl->scheduleErrorFlush(); });
}

void LogRing::requestFlush(runtime::UniqueFunction<void()> completion) {
  impl_->flushes.fetch_add(1, std::memory_order_relaxed);
  // The closed queue drops it, and the caller must still hear back once.
  impl_->queue.post(
      runtime::AnsweredJob([impl = impl_.get(), completion = std::move(completion)](bool onQueue) mutable {
        if (onQueue) {
          impl->requestedFlush(std::move(completion));
        } else if (completion) {
          completion();
        }
      }));
}

void LogRing::markTerminal() {
  Impl& impl = *impl_;
  impl.terminals.fetch_add(1, std::memory_order_relaxed);
  std::int64_t generation = 0;
  {
    std::scoped_lock lock(impl.stateLock);
    ++impl.terminalFlushPendingCount;
    generation = ++impl.terminalFlushGeneration;
  }
  const std::string at = plog::formatTimestamp(runtime::Clock::current().wall());
  std::optional<Fields> failure;
  {
    std::scoped_lock lock(impl.stateLock);
    impl.manifest.terminal = Terminal{"exit", at};
    impl.manifest.clean = true;
    if (impl.manifestDirReady) {
      failure = impl.commitIfReadyLocked();
    } else {
      impl.pendingMarkClean = true; // the start commits it as soon as the folder exists
    }
  }
  reportCommitFailure(failure, impl.config.timing.failureLogInterval);

  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  impl.queue.post([&impl, generation, done] {
    impl.terminalFlush(generation);
    done->set_value();
  });
  // A dropped job (closed queue) breaks the promise, which ends the wait as well.
  finished.wait_for(impl.config.timing.terminalWait);
}

void LogRing::stop() {
  Impl* impl = impl_.get();
  if (impl->stopped.exchange(true)) return;
  // Behind everything queued so far, a terminal flush included; forced, so that it never
  // stands back, and without a generation, so that it keeps what it collects.
  impl->queue.post([impl] {
    impl->flush(true, std::nullopt);
    impl->close();
  });
  impl->queue.shutdown();
}

void LogRing::previousExitWasUnclean(runtime::UniqueFunction<void(bool)> completion) {
  // Dropped by the closed queue, the two questions read the files on the caller's thread: the
  // ring's thread is gone by then, and only the terminal mark's atomic manifest commit writes.
  impl_->queue.post(runtime::AnsweredJob([impl = impl_.get(), completion = std::move(completion)](bool) mutable {
    const bool unclean = previousExitStatus(impl->config.root, impl->config.launchID) == "unclean";
    if (completion) completion(unclean);
  }));
}

void LogRing::launchesForExport(std::optional<std::int64_t> limit,
                                runtime::UniqueFunction<void(std::vector<fs::path>)> completion) {
  impl_->queue.post(runtime::AnsweredJob([impl = impl_.get(), limit, completion = std::move(completion)](bool) mutable {
    auto launches = exportLaunches(impl->config.root, limit, impl->config.launchID);
    if (completion) completion(std::move(launches));
  }));
}

const fs::path& LogRing::root() const noexcept { return impl_->config.root; }

const fs::path& LogRing::launchDirectory() const noexcept { return impl_->launchDir; }

const std::string& LogRing::launchID() const noexcept { return impl_->config.launchID; }

LogRing::Manifest LogRing::manifest() const {
  std::scoped_lock lock(impl_->stateLock);
  return impl_->manifest;
}

LogRing::QueueState LogRing::queueState() const {
  auto state = std::make_shared<QueueState>();
  // Unanswered (closed, or busy past the limit), the work may still run and write the state
  // later: it is not read then, and the caller learns that there is no state to show.
  const bool answered = impl_->queue.syncWithTimeout(
      [impl = impl_.get(), state] {
        state->started = impl->started;
        state->segmentIndex = impl->segmentIndex;
        state->appleSegmentIndex = impl->appleSegmentIndex;
        state->writingSuspended = impl->writingSuspended;
        state->appleSuspended = impl->appleSuspended;
        state->consecutiveWriteFailures = impl->consecutiveWriteFailures;
      },
      std::chrono::seconds(10));
  if (!answered) throw std::runtime_error("log ring queue did not answer");
  std::scoped_lock lock(impl_->stateLock);
  state->resumeSequence = impl_->resumeSequence;
  return *state;
}

LogRing::CallCounts LogRing::callCounts() const noexcept {
  const Impl& impl = *impl_;
  return {impl.starts.load(std::memory_order_relaxed), impl.errorFlushes.load(std::memory_order_relaxed),
          impl.flushes.load(std::memory_order_relaxed), impl.terminals.load(std::memory_order_relaxed),
          impl.flushesRun.load(std::memory_order_relaxed)};
}

bool LogRing::waitUntilIdle(std::chrono::nanoseconds timeout) const {
  return impl_->queue.syncWithTimeout([] {}, timeout);
}

} // namespace pd::diagnostics
