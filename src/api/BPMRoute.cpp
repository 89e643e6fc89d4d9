#include "api/BPMRoute.hpp"

#include "diagnostics/Log.hpp"
#include "runtime/Race.hpp"
#include "runtime/ThreadPools.hpp"

#include <nlohmann/json.hpp>

#include <exception>

namespace pd::api {

namespace {

using Outcome = LocalBPMCache::Outcome;
using mediaserver::MacLocalVideoLibrary;
using mediaserver::ReceiverAPIResponse;

// Whether the remembered file still has the content it had when it was handed in. No answer in
// time, the check's own cancellation or its failure counts as a change: the id is then looked up
// afresh, and the lookup answers for a file that is gone or unreadable.
runtime::Awaitable<bool> rememberedFileUnchanged(const BPMRouteDependencies& dependencies, const std::string& id,
                                                 const LocalBPMCache::Remembered& remembered) {
  auto check = runtime::spawn(runtime::sharedPool().executor(),
                              [checkGuard = dependencies.checkGuard, id, remembered]() -> runtime::Awaitable<bool> {
                                co_return co_await checkGuard(id, remembered.url, remembered.guardian);
                              });
  try {
    const auto unchanged = co_await runtime::race(check, dependencies.timing.guardCheck);
    co_return unchanged.value_or(false);
  } catch (const runtime::CancellationError&) {
    throw;
  } catch (const std::exception&) {
    co_return false;
  }
}

} // namespace

runtime::Awaitable<ReceiverAPIResponse> bpmRoute(std::optional<std::string> videoID, RequestContext context,
                                                 BPMRouteDependencies dependencies) {
  const auto& respond = dependencies.jsonResponse;
  const auto pending = [&respond] { return respond(200, nlohmann::json{{"pending", true}}); };
  if (!videoID || !MacLocalVideoLibrary::isLocalID(*videoID)) {
    co_return respond(400, nlohmann::json{{"error", "invalid_video_id"}});
  }
  const std::string id = std::move(*videoID);
  auto& cache = *dependencies.cache;
  // Whatever wait the route holds is given up when the route ends early.
  runtime::Task<Outcome> waiting;
  try {
    if (runtime::isCancelled()) co_return pending();

    bool asked = false;
    if (auto known = co_await cache.requestIfKnown(id)) {
      waiting = std::move(*known);
      asked = true;
    } else if (auto remembered = co_await cache.seen(id)) {
      if (co_await rememberedFileUnchanged(dependencies, id, *remembered)) {
        waiting = co_await cache.request(id, remembered->url);
        asked = true;
      }
    }
    if (!asked) {
      const LocalLookup lookup = co_await dependencies.lookupLocal(id, context.op);
      if (const auto* failed = lookup.failed()) co_return *failed;
      if (runtime::isCancelled()) co_return pending();
      waiting = co_await cache.request(*lookup.found());
    }
    const std::optional<Outcome> outcome = co_await runtime::race(waiting, dependencies.timing.outcome);

    if (!context.generation || *context.generation != dependencies.currentGeneration()) {
      co_return respond(403, nlohmann::json{{"error", "forbidden"}});
    }
    const auto& log = diagnostics::Log::source();
    if (!outcome || !outcome->isDone()) {
      log.notice("local_bpm_complete pending=true op=%{public}s", context.op);
      co_return pending();
    }
    const std::int64_t tempo = outcome->bpm.value_or(0);
    log.notice("local_bpm_complete bpm=%ld pending=false op=%{public}s", tempo, context.op);
    co_return respond(200, nlohmann::json{{"bpm", tempo}});
  } catch (const runtime::CancellationError&) {
    // The request went away while the cache was being asked.
    waiting.cancel();
  }
  co_return pending();
}

} // namespace pd::api
