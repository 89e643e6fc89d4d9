#include "relay/RelayPrefetch.hpp"

#include "diagnostics/Log.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"

#include <algorithm>
#include <utility>

namespace pd::relay {

using diagnostics::Log;

namespace {

constexpr int kErrorsPerToken = 3;
constexpr int kWriteFailures = 3;

void logStop(const RelayDiskCacheInterface::Descriptor& descriptor, std::string_view reason) {
  Log::localvideo().notice("relay_prefetch_stop reason=%{public}s video=%{public}s itag=%ld", reason,
                           descriptor.key.videoID, descriptor.key.itag);
}

// A sleep the loop may not be woken from early: cancellation ends the loop at its next check.
runtime::Awaitable<void> sleepIgnoringInterruption(std::chrono::nanoseconds duration) {
  try {
    co_await runtime::sleep(duration);
  } catch (const runtime::CancellationError&) {}
}

enum class FetchFailure { yield, cancellation, other };

FetchFailure classify(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RelayError& relayError) {
    return relayError.errorCase() == RelayError::Case::prefetchYield ? FetchFailure::yield : FetchFailure::other;
  } catch (const runtime::CancellationError&) {
    return FetchFailure::cancellation;
  } catch (...) {
    return FetchFailure::other;
  }
}

} // namespace

std::shared_ptr<RelayPrefetch> RelayPrefetch::make(std::weak_ptr<RelayPrefetchHost> host,
                                                   boost::asio::any_io_executor relayExecutor, Timing timing) {
  return std::shared_ptr<RelayPrefetch>(new RelayPrefetch(std::move(host), std::move(relayExecutor), timing));
}

RelayPrefetch::RelayPrefetch(std::weak_ptr<RelayPrefetchHost> host, boost::asio::any_io_executor relayExecutor,
                             Timing timing)
    : host_(std::move(host)), executor_(std::move(relayExecutor)), timing_(timing) {}

RelayPrefetch::~RelayPrefetch() = default;

void RelayPrefetch::cancel() {
  if (task_) task_->cancel();
}

std::uint64_t RelayPrefetch::epochOf(const Descriptor& descriptor) const {
  const auto found = epoch_.find(descriptor);
  return found == epoch_.end() ? 0 : found->second;
}

bool RelayPrefetch::isQueued(const Descriptor& descriptor) const {
  return std::find(queue_.begin(), queue_.end(), descriptor) != queue_.end();
}

std::optional<std::string> RelayPrefetch::finishedReason(const Descriptor& descriptor) const {
  const auto found = finished_.find(descriptor);
  if (found == finished_.end()) return std::nullopt;
  return found->second;
}

void RelayPrefetch::schedulePrefetch(const Descriptor& descriptor, std::int64_t from) {
  cursor_[descriptor] = from < INT64_MAX ? from + 1 : from;
  if (finished_.contains(descriptor)) return;
  if (!epoch_.contains(descriptor)) epoch_[descriptor] = ++epochCounter_;
  if (!isQueued(descriptor)) queue_.push_back(descriptor);
  if (!task_) {
    task_ = runtime::spawn(executor_, [self = shared_from_this()] { return self->runPrefetch(); });
  }
}

void RelayPrefetch::setFinished(const Descriptor& descriptor, std::optional<std::string_view> reason) {
  const auto found = finished_.find(descriptor);
  const bool wasComplete = found != finished_.end() && found->second == "complete";
  if (reason) {
    finished_[descriptor] = std::string(*reason);
  } else if (found != finished_.end()) {
    finished_.erase(found);
  }
  const bool isComplete = reason == "complete";
  if (wasComplete == isComplete) return;
  if (auto host = host_.lock()) host->prefetchCompleteChanged(descriptor, isComplete);
}

void RelayPrefetch::stopPrefetch(const Descriptor& descriptor, std::string_view reason) {
  const bool wasRunning = isQueued(descriptor) && started_.contains(descriptor);
  std::erase(queue_, descriptor);
  cursor_.erase(descriptor);
  setFinished(descriptor, std::nullopt);
  started_.erase(descriptor);
  epoch_.erase(descriptor);
  if (wasRunning) logStop(descriptor, reason);
}

void RelayPrefetch::pausePrefetch(const Descriptor& descriptor, std::string_view reason) {
  std::erase(queue_, descriptor);
  if (started_.erase(descriptor) > 0) logStop(descriptor, reason);
}

void RelayPrefetch::finishPrefetch(const Descriptor& descriptor, std::string_view reason) {
  std::erase(queue_, descriptor);
  setFinished(descriptor, reason);
  if (started_.contains(descriptor) || reason != "complete") logStop(descriptor, reason);
}

runtime::Awaitable<void> RelayPrefetch::resumePrefetch(Key key) {
  auto host = host_.lock();
  if (!host) co_return;
  auto cache = host->cache();
  if (!cache) co_return;
  host.reset();
  const auto descriptor = co_await cache->descriptor(std::move(key));
  host = host_.lock();
  if (!descriptor || !host || host->tokensFor(*descriptor).empty()) co_return;
  const auto reason = finished_.find(*descriptor);
  const auto cursor = cursor_.find(*descriptor);
  if (reason == finished_.end() || cursor == cursor_.end()) co_return;
  if (reason->second != "mismatch" && reason->second != "write_fail") co_return;
  setFinished(*descriptor, std::nullopt);
  started_.erase(*descriptor);
  schedulePrefetch(*descriptor, cursor->second - 1);
}

void RelayPrefetch::restartIfComplete(const Descriptor& descriptor, std::int64_t index) {
  const auto reason = finished_.find(descriptor);
  if (reason == finished_.end() || reason->second != "complete") return;
  setFinished(descriptor, std::nullopt);
  started_.erase(descriptor);
  schedulePrefetch(descriptor, index);
}

void RelayPrefetch::takeTurns(const Descriptor& descriptor) {
  if (queue_.size() > 1 && queue_.front() == descriptor) {
    std::rotate(queue_.begin(), queue_.begin() + 1, queue_.end());
  }
}

runtime::Awaitable<void> RelayPrefetch::pace(std::int64_t bytes, runtime::Clock::MonotonicTime started) const {
  const auto size = bytes == 0 ? timing_.chunkSize : bytes;
  const double seconds = static_cast<double>(size) / timing_.bytesPerSecond;
  const auto elapsed = runtime::Clock::current().monotonic() - started;
  const auto delay = runtime::durationFromSeconds(seconds) - elapsed;
  if (delay > std::chrono::nanoseconds::zero()) co_await sleepIgnoringInterruption(delay);
}

runtime::Awaitable<void> RelayPrefetch::runPrefetch() {
  try {
    co_await prefetchLoop();
  } catch (...) {
    // Besides the relay's cancel(), only running out of memory ends the loop here. Its streams
    // stay queued where they stood, and with the handle cleared the next schedule starts a loop
    // again instead of finding this one forever "running".
  }
  task_.reset();
}

runtime::Awaitable<void> RelayPrefetch::prefetchLoop() {
  using Stop = RelayDiskCacheInterface::PrefetchStep::Stop;
  // Both live for one run of the loop only.
  std::unordered_map<std::string, int> errorsPerToken;
  std::unordered_map<Descriptor, std::pair<std::uint64_t, int>, DescriptorHash> writeFailures;

  while (!runtime::isCancelled()) {
    auto host = host_.lock();
    if (!host || queue_.empty()) break;
    const Descriptor descriptor = queue_.front();
    const auto cache = host->cache();
    if (!cache) break;
    const std::uint64_t epoch = epochOf(descriptor);

    auto tokens = host->tokensFor(descriptor);
    if (tokens.empty()) {
      stopPrefetch(descriptor, "unregistered");
      continue;
    }
    std::sort(tokens.begin(), tokens.end());
    const auto usable = std::find_if(tokens.begin(), tokens.end(),
                                     [&](const std::string& token) { return errorsPerToken[token] < kErrorsPerToken; });
    if (usable == tokens.end()) {
      finishPrefetch(descriptor, "errors");
      continue;
    }
    const std::string token = *usable;
    if (host->upstreamBusy()) {
      host.reset();
      co_await sleepIgnoringInterruption(timing_.busyPoll);
      continue;
    }

    const auto cursor = cursor_.find(descriptor);
    const std::int64_t from = cursor == cursor_.end() ? 0 : cursor->second;
    host.reset();
    const auto step = co_await cache->nextPrefetchChunk(descriptor, from);
    host = host_.lock();
    if (!host) break;
    if (queue_.empty() || queue_.front() != descriptor || epochOf(descriptor) != epoch || host->upstreamBusy()) {
      continue;
    }
    if (!step.fetchIndex) {
      switch (step.stop) {
      case Stop::complete: finishPrefetch(descriptor, "complete"); break;
      case Stop::diskLow: pausePrefetch(descriptor, "disk_low"); break;
      case Stop::overLimit: pausePrefetch(descriptor, "over_limit"); break;
      case Stop::mismatch: finishPrefetch(descriptor, "mismatch"); break;
      case Stop::unavailable: std::erase(queue_, descriptor); break;
      }
      continue;
    }

    const std::int64_t index = *step.fetchIndex;
    if (started_.insert(descriptor).second) {
      Log::localvideo().notice("relay_prefetch_start video=%{public}s itag=%ld start_chunk=%lld",
                               descriptor.key.videoID, descriptor.key.itag, index);
    }
    const auto started = runtime::Clock::current().monotonic();
    RelayDiskCacheInterface::SharedBytes bytes;
    std::exception_ptr error;
    try {
      bytes = co_await host->prefetchChunk(token, index);
    } catch (...) {
      error = std::current_exception();
    }
    host.reset();

    if (bytes) {
      const auto size = static_cast<std::int64_t>(bytes->size());
      const bool stored = co_await cache->writeChunk(descriptor, index, std::move(bytes));
      if (epochOf(descriptor) != epoch) continue;
      errorsPerToken[token] = 0;
      auto& failures = writeFailures[descriptor];
      if (stored) {
        failures = {epoch, 0};
      } else {
        failures = {epoch, (failures.first == epoch ? failures.second : 0) + 1};
        if (failures.second >= kWriteFailures) {
          if (isQueued(descriptor)) finishPrefetch(descriptor, "write_fail");
          continue;
        }
      }
      takeTurns(descriptor);
      co_await pace(size, started);
      continue;
    }

    const auto failure = classify(error);
    if (failure == FetchFailure::yield) continue;
    if (runtime::isCancelled()) break;
    host = host_.lock();
    const bool stale = !host || !host->hasToken(token) || epochOf(descriptor) != epoch;
    host.reset();
    if (failure != FetchFailure::cancellation && !stale) errorsPerToken[token] += 1;
    takeTurns(descriptor);
    co_await pace(timing_.chunkSize, started);
  }
}

} // namespace pd::relay
