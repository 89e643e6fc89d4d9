#include "api/LocalBPMCache.hpp"

#include "deckinput/LocalBPMDetectionService.hpp"
#include "diagnostics/Log.hpp"
#include "runtime/Callback.hpp"
#include "runtime/Executor.hpp"
#include "runtime/ThreadPools.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <exception>

namespace pd::api {

namespace {

using deckinput::BPMDetectionResult;

runtime::Awaitable<BPMDetectionResult> detectWithFreshService(std::filesystem::path url) {
  const deckinput::LocalBPMDetectionService service;
  co_return co_await service.detectBPM(std::move(url));
}

void removeAll(std::deque<std::string>& list, const std::string& id) {
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
}

bool holds(const std::deque<std::string>& list, const std::string& id) {
  return std::find(list.begin(), list.end(), id) != list.end();
}

runtime::Task<LocalBPMCache::Outcome> readyTask(const boost::asio::any_io_executor& executor,
                                                LocalBPMCache::Outcome outcome) {
  return runtime::spawn(executor, [outcome]() -> runtime::Awaitable<LocalBPMCache::Outcome> { co_return outcome; });
}

} // namespace

std::shared_ptr<LocalBPMCache> LocalBPMCache::create() { return create(Dependencies{}); }

std::shared_ptr<LocalBPMCache> LocalBPMCache::create(Dependencies dependencies) {
  if (!dependencies.detect) dependencies.detect = detectWithFreshService;
  if (!dependencies.analysisExecutor) dependencies.analysisExecutor = runtime::backgroundPool().executor();
  return std::shared_ptr<LocalBPMCache>(new LocalBPMCache(std::move(dependencies)));
}

LocalBPMCache::LocalBPMCache(Dependencies dependencies) : dependencies_(std::move(dependencies)) {}

LocalBPMCache::~LocalBPMCache() = default;

runtime::Awaitable<runtime::Task<LocalBPMCache::Outcome>> LocalBPMCache::request(Entry entry) {
  auto self = shared_from_this();
  return onActor([self, entry = std::move(entry)] {
    self->remember(entry);
    return self->requestOnActor(entry.id, entry.url);
  });
}

runtime::Awaitable<runtime::Task<LocalBPMCache::Outcome>> LocalBPMCache::request(std::string id,
                                                                                 std::filesystem::path url) {
  auto self = shared_from_this();
  return onActor([self, id = std::move(id), url = std::move(url)] { return self->requestOnActor(id, url); });
}

runtime::Awaitable<std::optional<runtime::Task<LocalBPMCache::Outcome>>> LocalBPMCache::requestIfKnown(std::string id) {
  auto self = shared_from_this();
  return onActor([self, id = std::move(id)]() -> std::optional<runtime::Task<Outcome>> {
    if (const auto stored = self->results_.find(id); stored != self->results_.end()) {
      return readyTask(self->executor(), Outcome::done(stored->second));
    }
    if (self->attempts_.contains(id)) return self->waitingTask(id);
    if (holds(self->queue_, id)) {
      self->moveToQueueEnd(id);
      self->startNextIfIdle();
      return self->waitingTask(id);
    }
    return std::nullopt;
  });
}

runtime::Awaitable<LocalBPMCache::Outcome> LocalBPMCache::wait(std::string id) {
  auto self = shared_from_this();
  return onActor([self, id = std::move(id)] { return self->waitOnActor(id); });
}

runtime::Awaitable<std::optional<LocalBPMCache::Remembered>> LocalBPMCache::seen(std::string id) {
  auto self = shared_from_this();
  return onActor([self, id = std::move(id)]() -> std::optional<Remembered> {
    const auto found = self->seen_.find(id);
    if (found == self->seen_.end()) return std::nullopt;
    return found->second;
  });
}

runtime::Task<LocalBPMCache::Outcome> LocalBPMCache::requestOnActor(const std::string& id,
                                                                    const std::filesystem::path& url) {
  if (const auto stored = results_.find(id); stored != results_.end()) {
    return readyTask(executor(), Outcome::done(stored->second));
  }
  if (!attempts_.contains(id)) {
    urls_[id] = url;
    moveToQueueEnd(id);
    startNextIfIdle();
  }
  return waitingTask(id);
}

runtime::Task<LocalBPMCache::Outcome> LocalBPMCache::waitingTask(const std::string& id) {
  return runtime::spawn(executor(), [self = shared_from_this(), id]() -> runtime::Awaitable<Outcome> {
    co_return co_await self->wait(id);
  });
}

void LocalBPMCache::remember(const Entry& entry) {
  if (!entry.content) return;
  seen_[entry.id] = Remembered{entry.url, std::make_shared<ServingVersionGuard>(*entry.content)};
  removeAll(seenOrder_, entry.id);
  seenOrder_.push_back(entry.id);
  // Guards of ids that are queued or in flight stay: their analyses still need them. So does the
  // one just handed in, which is about to be queued: evicting it would let its file be analysed
  // unguarded.
  while (seenOrder_.size() > dependencies_.limits.remembered) {
    const auto idle = std::find_if(seenOrder_.begin(), seenOrder_.end(), [this, &entry](const std::string& id) {
      return id != entry.id && !attempts_.contains(id) && !holds(queue_, id);
    });
    if (idle == seenOrder_.end()) break;
    seen_.erase(*idle);
    seenOrder_.erase(idle);
  }
}

void LocalBPMCache::store(std::optional<std::int64_t> tempo, const std::string& id) {
  results_[id] = tempo;
  removeAll(resultsOrder_, id);
  resultsOrder_.push_back(id);
  while (resultsOrder_.size() > dependencies_.limits.results) {
    results_.erase(resultsOrder_.front());
    resultsOrder_.pop_front();
  }
}

runtime::Awaitable<LocalBPMCache::Outcome> LocalBPMCache::waitOnActor(std::string id) {
  if (const auto stored = results_.find(id); stored != results_.end()) co_return Outcome::done(stored->second);
  if (runtime::isCancelled()) co_return Outcome::pending();
  // Nothing queued or in flight would ever resume this wait (the analysis ended without a result,
  // or the id left the queue, before the waiting task got here).
  if (!attempts_.contains(id) && !holds(queue_, id)) co_return Outcome::pending();
  const std::uint64_t waiterID = ++nextWaiterID_;
  // Runs on the cancelling thread: the waiter itself is let go on the actor.
  const runtime::CancellationHandler onCancel([weak = weak_from_this(), strand = executor(), id, waiterID] {
    boost::asio::post(strand, [weak, id, waiterID] {
      if (auto self = weak.lock()) self->cancelWaiter(id, waiterID);
    });
  });
  // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
  auto enlist = [this, &id, waiterID](Waiter resume) { waiters_[id].emplace(waiterID, std::move(resume)); };
  auto outcome = co_await runtime::awaitCallback<Outcome>(std::move(enlist));
  co_return outcome;
}

void LocalBPMCache::cancelWaiter(const std::string& id, std::uint64_t waiterID) {
  const auto forID = waiters_.find(id);
  if (forID == waiters_.end()) return;
  if (const auto waiter = forID->second.find(waiterID); waiter != forID->second.end()) {
    Waiter resume = std::move(waiter->second);
    forID->second.erase(waiter);
    resume(Outcome::pending());
  }
  if (!forID->second.empty()) return;
  waiters_.erase(forID);
  // An analysis in flight runs on and its result is still stored; a queued one nobody awaits goes.
  if (attempts_.contains(id)) return;
  if (holds(queue_, id)) {
    removeAll(queue_, id);
    urls_.erase(id);
  }
}

void LocalBPMCache::startNextIfIdle() {
  if (runningID_) return;
  std::string id;
  std::filesystem::path url;
  for (;;) {
    if (queue_.empty()) return;
    id = std::move(queue_.back());
    queue_.pop_back();
    if (const auto found = urls_.find(id); found != urls_.end()) {
      url = found->second;
      break;
    }
  }
  runningID_ = id;
  const std::int64_t serial = ++runningSerial_;
  attempts_[id] = serial;
  std::shared_ptr<ServingVersionGuard> guard;
  if (const auto remembered = seen_.find(id); remembered != seen_.end()) guard = remembered->second.guardian;

  runningTask_ = runtime::spawn(
      dependencies_.analysisExecutor,
      [weak = weak_from_this(), detect = dependencies_.detect, id, url, guard, serial]() -> runtime::Awaitable<void> {
        std::optional<std::int64_t> tempo;
        AnalysisEnd end = AnalysisEnd::fileChanged;
        if (!guard || guard->matches(url)) {
          BPMDetectionResult result;
          try {
            result = co_await detect(url);
          } catch (...) {
            result = {std::nullopt, 0,
                      deckinput::LocalBPMDetectionService::isTransientFailure(std::current_exception())};
          }
          // The analysis has no cancellation point: an abandon is seen only now, as the task's flag.
          if (guard && !guard->matches(url)) {
            end = AnalysisEnd::fileChanged;
          } else if (!result.bpm) {
            end = runtime::isCancelled()      ? AnalysisEnd::cancelled
                  : result.isTransientFailure ? AnalysisEnd::transientFailure
                                              : AnalysisEnd::finished;
          } else {
            end = AnalysisEnd::finished;
            tempo = result.bpm;
          }
        }
        if (auto self = weak.lock()) {
          boost::asio::post(self->executor(), [self, id, tempo, serial, end] { self->finish(id, tempo, serial, end); });
        }
      });

  runtime::spawnDetached(
      executor(),
      [weak = weak_from_this(), limit = dependencies_.timing.watchdog, id, serial]() -> runtime::Awaitable<void> {
        try {
          co_await runtime::sleep(limit);
        } catch (const runtime::CancellationError&) {
          // A sleep cut short counts as elapsed: abandon() ignores an analysis that is already over.
        }
        if (auto self = weak.lock()) {
          boost::asio::post(self->executor(), [self, id, serial] { self->abandon(id, serial); });
        }
      });
}

void LocalBPMCache::finish(const std::string& id, std::optional<std::int64_t> tempo, std::int64_t serial,
                           AnalysisEnd end) {
  const auto& log = diagnostics::Log::source();
  if (const auto attempt = attempts_.find(id); attempt != attempts_.end() && attempt->second == serial) {
    attempts_.erase(attempt);
    urls_.erase(id);
    switch (end) {
    case AnalysisEnd::finished:
      store(tempo, id);
      resumeWaiters(id, Outcome::done(tempo));
      break;
    case AnalysisEnd::cancelled:
    case AnalysisEnd::transientFailure:
      log.notice("local_bpm_cancelled reason=%{public}s", end == AnalysisEnd::cancelled ? "cancel" : "read_fail");
      resumeWaiters(id, Outcome::pending());
      break;
    case AnalysisEnd::fileChanged:
      log.notice("local_bpm_cancelled reason=file_changed");
      // Its place in the order stays until it is pushed out.
      seen_.erase(id);
      resumeWaiters(id, Outcome::done(std::nullopt));
      break;
    }
  }

  if (abandonedSerials_.erase(serial) > 0) {
    --abandonedInFlight_;
    if (auto held = std::exchange(pendingAbandon_, std::nullopt)) abandon(held->id, held->serial);
  } else {
    if (serial != runningSerial_) return;
    if (pendingAbandon_ && pendingAbandon_->serial == serial) pendingAbandon_.reset();
    runningID_.reset();
    runningTask_ = {};
  }
  startNextIfIdle();
}

void LocalBPMCache::abandon(const std::string& id, std::int64_t serial) {
  if (serial != runningSerial_ || runningID_ != id) return;
  const auto& log = diagnostics::Log::source();
  if (abandonedInFlight_ > 0) {
    // Only one abandoned analysis may still occupy a thread; this one keeps running until it ends.
    log.notice("local_bpm_hold reason=abandoned_in_flight count=%ld", abandonedInFlight_);
    pendingAbandon_ = HeldAbandon{id, serial};
    return;
  }
  log.notice("local_bpm_abandon reason=timeout");
  urls_.erase(id);
  resumeWaiters(id, Outcome::pending());
  std::exchange(runningTask_, {}).cancel();
  abandonedSerials_.insert(serial);
  ++abandonedInFlight_;
  runningID_.reset();
  ++runningSerial_;
  startNextIfIdle();
}

void LocalBPMCache::resumeWaiters(const std::string& id, const Outcome& outcome) {
  const auto found = waiters_.find(id);
  if (found == waiters_.end()) return;
  auto waiting = std::move(found->second);
  waiters_.erase(found);
  for (auto& [waiterID, resume] : waiting) resume(outcome);
}

void LocalBPMCache::moveToQueueEnd(const std::string& id) {
  removeAll(queue_, id);
  queue_.push_back(id);
}

} // namespace pd::api
