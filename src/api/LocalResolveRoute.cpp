// The resolve route for a file of the user's video folder: its token, title, duration,
// thumbnail and, when the tempo cache has it within a moment, its tempo.

#include "api/LocalBPMCache.hpp"
#include "api/ReceiverAPIService.hpp"
#include "api/ReceiverAPIServiceParts.hpp"
#include "diagnostics/Log.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Race.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace pd::api {

namespace {

using mediaserver::MacLocalVideoLibrary;
using Entry = MacLocalVideoLibrary::Entry;

// Durations the tablet can take: finite, not negative, below 2^31 - 1 seconds.
bool isUsableDuration(double seconds) { return std::isfinite(seconds) && seconds >= 0.0 && seconds < 2147483647.0; }

} // namespace

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::resolveLocal(std::string id,
                                                                         std::optional<std::string> deck,
                                                                         std::int64_t ticket, RequestContext context) {
  const auto self = shared_from_this();
  const auto& deps = parts_->deps;
  auto lookup = co_await lookupLocal(deps.localLibrary, id, deps.timing.lookupLimit);
  if (const auto* failed = lookup.failed()) {
    co_return *failed;
  }
  const Entry entry = *lookup.found();

  mediaserver::LocalVideoHTTPServer::FileVerifier verifier;
  if (entry.content) {
    auto guard = std::make_shared<MacLocalVideoLibrary::ServingVersionGuard>(*entry.content);
    verifier = [guard](const std::filesystem::path& url) { return guard->matches(url); };
  }
  IssuedTokens issued(deps.server);
  issued.add(deps.server->registerFile(entry.url, std::move(verifier)));
  nlohmann::json body = {{"videoID", entry.id},
                         {"title", title(entry.url.filename().string())},
                         {"video", "/" + issued.tokens().front()},
                         {"videoHasAudio", true}};

  const auto cancelled = [&] {
    issued.unregisterAll();
    diagnostics::Log::source().notice("local_resolve_cancelled op=%{public}s", context.op);
    return errorResponse(503, "cancelled");
  };

  // Duration and thumbnail side by side, each limited from this moment on: one race after the
  // other, the second with what is left of its limit, is the same as two at once and needs no task
  // to hold either race. A cancelled request ends both races, and so both jobs, at once.
  auto durationWork = runtime::spawn(runtime::sharedPool().executor(),
                                     [library = deps.localLibrary, entry] { return library->duration(entry); });
  auto thumbnailWork = runtime::spawn(runtime::sharedPool().executor(),
                                      [library = deps.localLibrary, entry] { return library->thumbnail(entry); });
  const auto started = runtime::Clock::current().monotonic();
  std::optional<double> seconds;
  if (auto raced = co_await runtime::race(std::move(durationWork), deps.timing.durationLimit)) {
    seconds = *raced;
  }
  const auto spent = runtime::Clock::current().monotonic() - started;
  std::optional<std::filesystem::path> thumbnailFile;
  if (auto raced = co_await runtime::race(
          std::move(thumbnailWork), std::max(deps.timing.thumbnailLimit - spent, std::chrono::nanoseconds::zero()))) {
    thumbnailFile = std::move(*raced);
  }
  if (seconds && isUsableDuration(*seconds)) {
    body["durationSeconds"] = *seconds;
  }
  if (thumbnailFile) {
    auto token = deps.server->registerFile(*thumbnailFile);
    issued.add(token);
    body["thumbnail"] = "/" + token;
  }
  if (runtime::isCancelled()) {
    co_return cancelled();
  }

  auto waiting = co_await deps.localBPM->request(entry);
  const auto outcome = co_await runtime::race(std::move(waiting), deps.timing.resolveBPMLimit);
  if (runtime::isCancelled()) {
    co_return cancelled();
  }
  std::int64_t tempo = 0;
  const bool pending = !outcome || !outcome->isDone();
  if (pending) {
    body["bpmPending"] = true;
  } else {
    tempo = outcome->bpm.value_or(0);
    body["bpm"] = tempo;
  }

  if (!co_await commitResolveTokens(issued.release(), std::move(deck), ticket, context)) {
    co_return refusedCommitResponse();
  }
  diagnostics::Log::source().notice("local_resolve_complete bpm=%ld pending=%{bool}d op=%{public}s", tempo, pending,
                                    context.op);
  co_return jsonResponse(200, body);
}

} // namespace pd::api
