#include "api/ReceiverAPIService.hpp"

#include "api/BPMRoute.hpp"
#include "api/LocalBPMCache.hpp"
#include "api/ReceiverAPIServiceParts.hpp"
#include "api/Retention.hpp"
#include "api/SessionTokenStore.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "remotesource/InvidiousVideoSource.hpp"
#include "runtime/Clock.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace pd::api {

using diagnostics::Log;

namespace {

// As the link's lines for broken control messages: the first, then every 30th at most once a half
// second, each with the count so far.
constexpr diagnostics::ThrottleRule kRefusalLineRule{30, std::chrono::milliseconds(500)};

} // namespace

IssuedTokens::~IssuedTokens() { unregisterAll(); }

void IssuedTokens::unregisterAll() {
  for (const auto& token : std::exchange(tokens_, {})) {
    server_->unregister(token);
  }
}

ReceiverAPIResponse refusedCommitResponse() {
  return runtime::isCancelled() ? ReceiverAPIService::errorResponse(503, "cancelled")
                                : ReceiverAPIService::errorResponse(403, "forbidden");
}

std::shared_ptr<ReceiverAPIService> ReceiverAPIService::create(Dependencies dependencies) {
  if (!dependencies.server || !dependencies.source || !dependencies.preparer || !dependencies.instances ||
      !dependencies.sessionTokens || !dependencies.localLibrary) {
    throw std::invalid_argument("ReceiverAPIService needs every reference");
  }
  if (!dependencies.localBPM) {
    dependencies.localBPM = LocalBPMCache::create();
  }
  return std::shared_ptr<ReceiverAPIService>(new ReceiverAPIService(std::move(dependencies)));
}

std::chrono::nanoseconds ReceiverAPIService::Timing::longestWait() const noexcept {
  // The bpm route checks a remembered file, looks it up afresh and waits for the tempo; the
  // local search has its thumbnail jobs start until their deadline and run to their own limit;
  // the local resolve makes duration and thumbnail side by side before its short tempo wait.
  const auto bpm = guardCheckLimit + lookupLimit + bpmLimit;
  const auto search = localSearchLimit + thumbnailDeadline + thumbnailLimit;
  const auto resolve = lookupLimit + std::max(durationLimit, thumbnailLimit) + resolveBPMLimit;
  return std::max({bpm, search, resolve});
}

ReceiverAPIService::ReceiverAPIService(Dependencies dependencies)
    : parts_(std::make_unique<Parts>(Parts{std::move(dependencies), std::make_shared<Retention>()})) {}

ReceiverAPIService::~ReceiverAPIService() = default;

const std::shared_ptr<Retention>& ReceiverAPIService::retention() const noexcept { return parts_->retention; }
const std::shared_ptr<LocalBPMCache>& ReceiverAPIService::localBPM() const noexcept { return parts_->deps.localBPM; }
const std::shared_ptr<SessionTokenStore>& ReceiverAPIService::sessionTokens() const noexcept {
  return parts_->deps.sessionTokens;
}

std::chrono::nanoseconds ReceiverAPIService::longestWait() const noexcept {
  // The YouTube side has no limit of its own: it takes what the client's attempts and failovers
  // take, and an answer cut before that would report a slow success as a failure.
  return std::max(parts_->deps.timing.longestWait(), parts_->deps.source->longestCall());
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::handle(std::string route,
                                                                   std::map<std::string, std::string> query) {
  const auto self = shared_from_this();
  const auto start = runtime::Clock::current().monotonic();
  RequestContext context{makeOperationID(), std::nullopt};
  std::optional<std::string_view> presented;
  if (const auto found = query.find("s"); found != query.end()) {
    presented = found->second;
  }
  const auto session = parts_->deps.sessionTokens->current();
  if (!constantTimeEquals(presented, session.token)) {
    // Any host on the network can ask: its refusals must not push the log's useful lines out.
    diagnostics::logThrottled(Log::source(), platform::log::Level::error, "receiver_api_auth_fail", kRefusalLineRule,
                              "receiver_api_auth_fail route=%{public}s occurrences=%ld", route);
    co_return errorResponse(403, "forbidden");
  }
  context.generation = session.generation;
  ReceiverAPIResponse answer;
  try {
    answer = co_await dispatch(route, query, context);
  } catch (...) {
    answer = errorResponse(std::current_exception());
  }
  // The server ended the request (its peer left, or its deadline passed) and sends nothing of this
  // answer: the line of what it did send is its own.
  if (runtime::isCancelled()) {
    co_return answer;
  }
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(runtime::Clock::current().monotonic() - start);
  Log::source().notice("receiver_api_request route=%{public}s status=%ld dur_ms=%ld op=%{public}s", route,
                       answer.status, static_cast<std::int64_t>(elapsed.count()), context.op);
  co_return answer;
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::dispatch(const std::string& route,
                                                                     const std::map<std::string, std::string>& query,
                                                                     RequestContext context) {
  const auto value = [&query](const char* key) -> std::optional<std::string> {
    if (const auto found = query.find(key); found != query.end()) {
      return found->second;
    }
    return std::nullopt;
  };
  if (route == "search") {
    co_return co_await search(value("q"), std::move(context));
  }
  if (route == "resolve") {
    co_return co_await resolve(value("v"), value("d"), std::move(context));
  }
  if (route == "bpm") {
    co_return co_await bpm(value("v"), std::move(context));
  }
  co_return errorResponse(404, "not_found");
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::bpm(std::optional<std::string> videoID,
                                                                RequestContext context) {
  const auto self = shared_from_this();
  const auto& deps = parts_->deps;
  BPMRouteDependencies route;
  route.cache = deps.localBPM;
  route.currentGeneration = [store = deps.sessionTokens] { return store->generation(); };
  route.lookupLocal = [library = deps.localLibrary, limit = deps.timing.lookupLimit](std::string id, std::string) {
    return lookupLocal(library, std::move(id), limit);
  };
  route.checkGuard =
      [library = deps.localLibrary](std::string key, std::filesystem::path url,
                                    std::shared_ptr<mediaserver::MacLocalVideoLibrary::ServingVersionGuard> guard) {
        return library->check(std::move(key), std::move(url), std::move(guard));
      };
  route.jsonResponse = &ReceiverAPIService::jsonResponse;
  route.timing.guardCheck = deps.timing.guardCheckLimit;
  route.timing.outcome = deps.timing.bpmLimit;
  co_return co_await bpmRoute(std::move(videoID), std::move(context), std::move(route));
}

runtime::Awaitable<std::int64_t> ReceiverAPIService::nextTicket() {
  co_return co_await parts_->retention->nextTicket();
}

void ReceiverAPIService::unregisterTokens(const std::vector<std::string>& tokens) const {
  for (const auto& token : tokens) {
    parts_->deps.server->unregister(token);
  }
}

runtime::Awaitable<bool> ReceiverAPIService::commitSearchTokens(std::vector<std::string> tokens, std::int64_t ticket,
                                                                const RequestContext& context) {
  co_return co_await commit(std::move(tokens), ticket, std::nullopt, context);
}

runtime::Awaitable<bool> ReceiverAPIService::commitResolveTokens(std::vector<std::string> tokens,
                                                                 std::optional<std::string> deck, std::int64_t ticket,
                                                                 const RequestContext& context) {
  co_return co_await commit(std::move(tokens), ticket, std::optional<std::optional<std::string>>(std::move(deck)),
                            context);
}

runtime::Awaitable<bool> ReceiverAPIService::commit(std::vector<std::string> tokens, std::int64_t ticket,
                                                    std::optional<std::optional<std::string>> resolveDeck,
                                                    const RequestContext& context) {
  const auto self = shared_from_this();
  // Whatever happens to the request from here on, its tokens are either kept or unregistered.
  IssuedTokens own(parts_->deps.server);
  for (auto& token : tokens) {
    own.add(std::move(token));
  }
  const auto sessionChanged = [&own] {
    const auto count = static_cast<std::int64_t>(own.tokens().size());
    own.unregisterAll();
    Log::source().notice("source_tokens_revoke reason=session_changed count=%ld", count);
    return false;
  };
  const auto& store = *parts_->deps.sessionTokens;
  const auto generation = context.generation;
  if (!generation || store.generation() != *generation) {
    co_return sessionChanged();
  }
  if (parts_->deps.commitSeam) {
    co_await parts_->deps.commitSeam(CommitStep::afterFirstRead);
  }
  // A request whose connection is gone has nobody to hand its tokens to.
  if (runtime::isCancelled()) {
    co_return false;
  }
  // The insert runs as a task of its own, awaited to its end: a cancelled request must not lose
  // the tokens the insert pushed out.
  Retention::Item item{ticket, *generation, own.tokens()};
  auto insert =
      runtime::spawn(runtime::sharedPool().executor(),
                     [retention = parts_->retention, item = std::move(item),
                      resolveDeck = std::move(resolveDeck)]() mutable -> runtime::Awaitable<std::vector<std::string>> {
                       if (resolveDeck) {
                         co_return co_await retention->insertResolve(std::move(item), std::move(*resolveDeck));
                       }
                       co_return co_await retention->insertSearch(std::move(item));
                     });
  std::vector<std::string> pushedOut;
  std::exception_ptr insertError;
  try {
    pushedOut = co_await insert.value();
  } catch (...) {
    insertError = std::current_exception();
  }
  if (insertError) {
    // Nothing was inserted: the own tokens go with the request.
    std::rethrow_exception(insertError);
  }
  // From here the books hold the own tokens (or refused them and answered them back).
  const auto kept = own.release();
  unregisterTokens(pushedOut);
  if (parts_->deps.commitSeam) {
    co_await parts_->deps.commitSeam(CommitStep::afterInsert);
  }
  const bool current = store.generation() == *generation;
  if (current && !runtime::isCancelled()) {
    co_return true;
  }
  for (auto token : kept) {
    own.add(std::move(token));
  }
  if (!current) {
    co_return sessionChanged();
  }
  co_return false;
}

runtime::Awaitable<void> ReceiverAPIService::revokeSourceTokens(std::int64_t belowGeneration) {
  const auto self = shared_from_this();
  auto revocation =
      runtime::spawn(runtime::sharedPool().executor(),
                     [retention = parts_->retention, belowGeneration]() { return retention->revoke(belowGeneration); });
  const auto tokens = co_await revocation.value();
  unregisterTokens(tokens);
  Log::source().notice("source_tokens_revoke reason=peer_changed count=%ld", static_cast<std::int64_t>(tokens.size()));
}

} // namespace pd::api
