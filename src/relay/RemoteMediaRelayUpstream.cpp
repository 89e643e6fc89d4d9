#include "relay/DestinationRules.hpp"
#include "relay/RelayRedirectGuard.hpp"
#include "relay/RemoteMediaRelay.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/http/HttpClient.hpp"
#include "runtime/Callback.hpp"
#include "runtime/ThreadPools.hpp"

namespace pd::relay {

using diagnostics::Log;
using platform::log::Level;

namespace {

constexpr diagnostics::ThrottleRule kUpstreamFailRule{20, std::chrono::milliseconds(500)};

// Collects a ranged body, stopping one byte past the expected length so that an oversized answer
// is not read to its end. Written on the client's queue, read after the transfer has ended.
struct BodyBuffer {
  BodyBuffer(std::size_t length, ChunkBuffers& buffers) : expected(length), bytes(buffers.take(0)) {
    bytes->reserve(length + 1);
  }
  std::size_t expected;
  std::unique_ptr<ChunkBuffers::Bytes> bytes;

  bool append(std::string_view piece) {
    const std::size_t room = expected + 1 - bytes->size();
    const std::size_t taken = std::min(room, piece.size());
    bytes->insert(bytes->end(), reinterpret_cast<const std::uint8_t*>(piece.data()),
                  reinterpret_cast<const std::uint8_t*>(piece.data()) + taken);
    return bytes->size() <= expected;
  }
};

} // namespace

void logUpstreamFailure(std::string_view reason, long status, const std::string& token) {
  diagnostics::logThrottled<std::string_view, long, std::string>(
      Log::localvideo(), Level::error, "relay_upstream_fail", kUpstreamFailRule,
      "relay_upstream_fail reason=%{public}s status=%ld token=%{private,mask.hash}s occurrences=%ld", reason, status,
      token);
}

void logUpstreamNetworkFailure(const std::string& token, const std::exception_ptr& error) {
  if (runtime::isCancelled() || isCancellation(error)) return;
  const auto fields = diagnostics::LogErrorFields::fields(error, true);
  diagnostics::logThrottled<std::string, std::string, std::int64_t, std::string>(
      Log::localvideo(), Level::error, "relay_upstream_fail", kUpstreamFailRule,
      "relay_upstream_fail reason=network status=0 token=%{private,mask.hash}s err_domain=%{public}s err_code=%ld "
      "error=%s occurrences=%ld",
      token, fields.domain, fields.code, fields.detail);
}

// --- upstream slots ---

runtime::Awaitable<void> RemoteMediaRelay::acquireUpstreamSlot(std::optional<ChunkKey> yieldingFor) {
  auto self = shared_from_this();
  return onActor([self, yieldingFor = std::move(yieldingFor)]() mutable -> runtime::Awaitable<void> {
    co_await self->acquireSlotOnActor(std::move(yieldingFor));
  });
}

runtime::Awaitable<void> RemoteMediaRelay::acquireSlotOnActor(std::optional<ChunkKey> yieldingFor) {
  if (yieldingFor) {
    const bool stillOwned = prefetchOwnedChunks_.erase(*yieldingFor) > 0;
    if (stillOwned && (activeUpstream_ > 0 || !upstreamWaiters_.empty() || foregroundDemand_ > 0)) {
      throw RelayError::prefetchYield();
    }
  }
  if (activeUpstream_ < kUpstreamSlots) {
    ++activeUpstream_;
    co_return;
  }
  const std::uint64_t id = ++nextWaiterID_;
  auto self = shared_from_this();
  {
    // The relay's state is touched only on its strand, whichever thread cancels the caller.
    runtime::CancellationHandler onCancel([self, id] {
      runtime::spawnDetached(self->executor(), [self, id]() -> runtime::Awaitable<void> {
        self->cancelUpstreamWaiter(id);
        co_return;
      });
    });
    auto start = [this, id](runtime::UniqueFunction<void(std::exception_ptr)> resume) {
      if (runtime::isCancelled()) {
        resume(std::make_exception_ptr(runtime::CancellationError()));
        return;
      }
      upstreamWaiters_.push_back({id, std::move(resume)});
    };
    // A non-null exception_ptr is rethrown here.
    co_await runtime::awaitCallback<std::exception_ptr>(std::move(start));
  }
}

runtime::Awaitable<void> RemoteMediaRelay::releaseUpstreamSlot() {
  auto self = shared_from_this();
  return onActor([self] { self->releaseSlotOnActor(); });
}

void RemoteMediaRelay::releaseSlotOnActor() {
  if (upstreamWaiters_.empty()) {
    if (activeUpstream_ > 0) --activeUpstream_;
    return;
  }
  auto waiter = std::move(upstreamWaiters_.front());
  upstreamWaiters_.pop_front();
  waiter.resume(nullptr);
}

void RemoteMediaRelay::cancelUpstreamWaiter(std::uint64_t id) {
  const auto found =
      std::find_if(upstreamWaiters_.begin(), upstreamWaiters_.end(), [id](const Waiter& w) { return w.id == id; });
  if (found == upstreamWaiters_.end()) return;
  auto waiter = std::move(*found);
  upstreamWaiters_.erase(found);
  waiter.resume(std::make_exception_ptr(runtime::CancellationError()));
}

// --- the fetch ---

runtime::Awaitable<RemoteMediaRelay::Fetched>
RemoteMediaRelay::fetchUpstream(std::string token, std::int64_t start, std::int64_t end, bool retried, bool prefetch) {
  auto self = shared_from_this();
  return onActor([self, token = std::move(token), start, end, retried, prefetch]() -> runtime::Awaitable<Fetched> {
    co_return co_await self->fetchOnActor(token, start, end, retried, prefetch);
  });
}

runtime::Awaitable<RemoteMediaRelay::Fetched>
RemoteMediaRelay::fetchOnActor(std::string token, std::int64_t start, std::int64_t end, bool retried, bool prefetch) {
  Entry* entry = find(token);
  if (entry == nullptr) throw RelayError::unknownToken();
  // A refresh under way finishes before the address is read.
  if (auto work = entry->refreshWork; work && !work->isAbandoned()) co_await awaitRefresh(token, work);
  entry = find(token);
  if (entry == nullptr) throw RelayError::unknownToken();
  const std::string url = entry->media.url;
  const std::vector<std::string> rules = entry->media.allowedHosts;
  const std::int64_t generation = entry->urlGeneration;
  const AddressClassifier classify =
      configuration_.classify ? configuration_.classify : AddressClassifier(classifyAddress);

  const bool allowed = co_await isAllowedDestinationWithTimeout(url, rules, classify);
  runtime::checkCancellation();
  if (!allowed) {
    logUpstreamFailure("host_not_allowed", 0, token);
    throw RelayError::hostNotAllowed();
  }

  const auto expected = static_cast<std::size_t>(end - start + 1);
  platform::http::Request request;
  request.url = url;
  // Only the range is asked for; identity keeps the bytes on the range's grid.
  request.headers = {"Range: bytes=" + std::to_string(start) + "-" + std::to_string(end), "Accept-Encoding: identity"};
  request.idleTimeout = configuration_.requestTimeout;
  request.totalTimeout = configuration_.resourceTimeout;
  request.redirects = platform::http::Redirects::handOver;
  // Judged as soon as the header is in, so that a wrong answer costs no body; the same tests
  // below then name the failure.
  request.headersCheck = [start, end](long status, const platform::http::Response& answer) {
    if (status != 206) return false;
    const auto header = answer.header("Content-Range");
    const auto parsed = parseContentRange(header ? std::optional<std::string_view>(*header) : std::nullopt);
    return parsed && parsed->start == start && parsed->end == end && parsed->total;
  };
  auto buffer = std::make_shared<BodyBuffer>(expected, *bodies_);

  platform::http::Response response;
  std::exception_ptr failure;
  // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
  platform::http::BodySink sink = [buffer](std::string_view piece) { return buffer->append(piece); };
  try {
    const RelayRedirectGuard guard(rules, classify, token);
    response = co_await guard.send(*client_, std::move(request), std::move(sink));
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const RelayError& error) {
      if (error.errorCase() == RelayError::Case::hostNotAllowed) {
        logUpstreamFailure("host_not_allowed", 0, token);
      }
      throw;
    } catch (const runtime::CancellationError&) {
      throw;
    } catch (...) {
      const auto received = static_cast<std::int64_t>(buffer->bytes->size());
      count([&](Stats& stats) {
        stats.upstreamBytes += received;
        if (prefetch) stats.prefetchBytes += received;
      });
      logUpstreamNetworkFailure(token, failure);
      throw;
    }
  }
  runtime::checkCancellation();

  const long status = response.status;
  if (status <= 0) throw RelayError::upstreamStatus(0);
  if (status == 403 || status == 410) {
    if (!retried) {
      co_await refresh(token, status, generation);
      co_return co_await fetchOnActor(std::move(token), start, end, true, prefetch);
    }
    logUpstreamFailure("http_" + std::to_string(status), status, token);
    throw RelayError::upstreamStatus(status);
  }
  if (status != 206) {
    logUpstreamFailure(status == 200 ? std::string("range_ignored") : "http_" + std::to_string(status), status, token);
    throw RelayError::upstreamStatus(status);
  }
  const auto header = response.header("Content-Range");
  const auto parsed = parseContentRange(header ? std::optional<std::string_view>(*header) : std::nullopt);
  if (!parsed || parsed->start != start || parsed->end != end) {
    logUpstreamFailure("range_mismatch", 206, token);
    throw RelayError::rangeMismatch();
  }
  const Entry* current = find(token);
  const auto known = current != nullptr ? current->totalLength : std::nullopt;
  if (!parsed->total || (known && *known != *parsed->total)) {
    logUpstreamFailure("total_changed", 206, token);
    throw RelayError::rangeMismatch();
  }
  const auto received = static_cast<std::int64_t>(buffer->bytes->size());
  count([&](Stats& stats) {
    stats.upstreamBytes += received;
    if (prefetch) stats.prefetchBytes += received;
  });
  if (buffer->bytes->size() != expected) {
    logUpstreamFailure("short_read", 206, token);
    throw RelayError::shortRead();
  }
  co_return Fetched{bodies_->share(std::move(buffer->bytes)), *parsed->total};
}

// --- refresh ---

runtime::Awaitable<void> RemoteMediaRelay::awaitRefresh(std::string token, std::shared_ptr<SharedWork<void>> work) {
  std::exception_ptr error;
  try {
    co_await work->value();
  } catch (...) {
    error = std::current_exception();
  }
  // Whoever sees the work finish clears it, so that a refresh whose maker was cancelled while
  // others waited does not answer every later failure of the entry with its old outcome.
  if (Entry* entry = find(token); entry != nullptr && entry->refreshWork == work) {
    const bool keep = error && isCancellation(error) && !work->isAbandoned();
    if (!keep) entry->refreshWork = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

runtime::Awaitable<void> RemoteMediaRelay::refresh(std::string token, long status, std::int64_t generation) {
  Entry* entry = find(token);
  if (entry == nullptr) throw RelayError::unknownToken();
  if (entry->urlGeneration != generation) co_return;
  if (auto running = entry->refreshWork; running && !running->isAbandoned()) {
    co_await awaitRefresh(token, running);
    co_return;
  }
  if (!entry->media.refresh || !entry->media.identity) {
    logUpstreamFailure("refresh_unavailable", status, token);
    throw RelayError::refreshUnavailable();
  }
  auto action = entry->media.refresh;
  const remotesource::MediaIdentity identity = *entry->media.identity;
  auto self = shared_from_this();
  auto work = SharedWork<void>::make(runtime::spawn(
      runtime::sharedPool().executor(), [self, action, identity, token, generation]() -> runtime::Awaitable<void> {
        const RemoteMediaRefresh refreshed = co_await action();
        runtime::checkCancellation();
        auto apply = [self, refreshed, identity, token, generation] {
          self->applyRefresh(token, refreshed, identity, generation);
        };
        co_await self->onActor(std::move(apply));
      }));
  entry->refreshWork = work;

  std::exception_ptr error;
  try {
    co_await awaitRefresh(token, work);
  } catch (...) {
    error = std::current_exception();
  }
  if (!error) {
    Log::localvideo().notice("relay_refresh result=ok status=%ld token=%{private,mask.hash}s", status, token);
    co_return;
  }
  if (isCancellation(error)) std::rethrow_exception(error);
  std::string result = "fail";
  try {
    std::rethrow_exception(error);
  } catch (const RelayError& relayError) {
    if (relayError.errorCase() == RelayError::Case::identityChanged) result = "identity_changed";
  } catch (...) {}
  const auto fields = diagnostics::LogErrorFields::fields(error, true);
  Log::localvideo().error("relay_refresh result=%{public}s status=%ld token=%{private,mask.hash}s "
                          "err_domain=%{public}s err_code=%ld error=%s",
                          result, status, token, fields.domain, fields.code, fields.detail);
  std::rethrow_exception(error);
}

void RemoteMediaRelay::applyRefresh(const std::string& token, const RemoteMediaRefresh& refreshed,
                                    const remotesource::MediaIdentity& identity, std::int64_t generation) {
  Entry* entry = find(token);
  if (entry == nullptr || entry->urlGeneration != generation) return;
  if (!refreshed.identity || !identityMatches(identity, *refreshed.identity, entry->totalLength)) {
    throw RelayError::identityChanged();
  }
  auto rules = refreshed.allowedHosts ? *refreshed.allowedHosts : entry->media.allowedHosts;
  if (matchRule(refreshed.url, rules) == RuleMatch::none) throw RelayError::hostNotAllowed();
  applyRefreshedURL(token, refreshed.url, std::move(rules));
}

void RemoteMediaRelay::applyRefreshedURL(const std::string& token, std::string url,
                                         std::vector<std::string> allowedHosts) {
  Entry* entry = find(token);
  if (entry == nullptr) return;
  entry->media.url = std::move(url);
  entry->media.allowedHosts = std::move(allowedHosts);
  ++entry->urlGeneration;
}

} // namespace pd::relay
