// The search route over the user's video folder, its thumbnails, and the entry lookup that the
// routes taking a local id share.

#include "api/ReceiverAPIService.hpp"
#include "api/ReceiverAPIServiceParts.hpp"
#include "diagnostics/Log.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "runtime/Clock.hpp"
#include "runtime/Race.hpp"

#include <nlohmann/json.hpp>

#include <atomic>

namespace pd::api {

namespace {

using mediaserver::LocalSearchError;
using mediaserver::MacLocalVideoLibrary;
using Entry = MacLocalVideoLibrary::Entry;
using Path = std::filesystem::path;

// The code of a library failure; cancellation has its own answer in the search only.
std::string_view folderErrorCode(const std::exception_ptr& error, bool cancellationIsCancelled) {
  try {
    std::rethrow_exception(error);
  } catch (const runtime::CancellationError&) {
    return cancellationIsCancelled ? "cancelled" : "local_folder_unreadable";
  } catch (const LocalSearchError& searchError) {
    return searchError.searchCode() == LocalSearchError::Code::folderNotSet ? "local_folder_not_set"
                                                                            : "local_folder_unreadable";
  } catch (...) {
    return "local_folder_unreadable";
  }
}

// The jobs of one search's thumbnails: the entries still without one, the next of them to
// start, and one slot per entry.
struct ThumbnailJobs {
  ThumbnailMaker make;
  std::vector<Entry> entries;
  std::chrono::nanoseconds limit;
  runtime::Clock::MonotonicTime deadline;
  std::vector<std::size_t> pending;
  std::atomic<std::size_t> next{0};
  std::vector<std::optional<Path>> results;
};

// One of at most kThumbnailJobs workers: takes the next entry while the deadline has not passed.
// Each slot is written by one worker only and read once every worker has ended.
runtime::Awaitable<void> thumbnailWorker(std::shared_ptr<ThumbnailJobs> jobs) {
  bool first = true;
  while (true) {
    // The deadline only stops jobs from starting after the first round, as the design's group does.
    if (!first && runtime::Clock::current().monotonic() >= jobs->deadline) {
      co_return;
    }
    first = false;
    const auto position = jobs->next.fetch_add(1);
    if (position >= jobs->pending.size()) {
      co_return;
    }
    const auto index = jobs->pending[position];
    auto work = runtime::spawn(runtime::sharedPool().executor(),
                               [make = jobs->make, entry = jobs->entries[index]]() { return make(entry); });
    auto url = co_await runtime::race(std::move(work), jobs->limit);
    if (url && *url) {
      jobs->results[index] = std::move(**url);
    }
    if (runtime::isCancelled()) {
      co_return;
    }
  }
}

} // namespace

runtime::Awaitable<std::vector<std::optional<Path>>> localThumbnails(ThumbnailMaker make, KeptThumbnails kept,
                                                                     std::vector<Entry> entries,
                                                                     std::chrono::nanoseconds limit,
                                                                     std::chrono::nanoseconds deadline) {
  auto jobs = std::make_shared<ThumbnailJobs>();
  jobs->make = std::move(make);
  jobs->results.resize(entries.size());
  jobs->entries = std::move(entries);
  jobs->limit = limit;
  // The monotonic clock: a step of the wall clock must neither stall nor cut the thumbnails.
  jobs->deadline = runtime::Clock::current().monotonic() + deadline;
  if (kept && !jobs->entries.empty()) {
    // Files made earlier need no job each: one hand-off answers them all, within one job's limit.
    auto answer = runtime::spawn(runtime::sharedPool().executor(),
                                 [kept = std::move(kept), entries = jobs->entries]() { return kept(entries); });
    auto found = co_await runtime::race(std::move(answer), limit);
    if (found && found->size() == jobs->results.size()) {
      for (std::size_t i = 0; i < found->size(); ++i) {
        jobs->results[i] = std::move((*found)[i]);
      }
    }
    if (runtime::isCancelled()) {
      co_return std::move(jobs->results);
    }
  }
  for (std::size_t i = 0; i < jobs->results.size(); ++i) {
    if (!jobs->results[i]) {
      jobs->pending.push_back(i);
    }
  }
  std::vector<runtime::Task<void>> workers;
  const auto count = std::min(ReceiverAPIService::kThumbnailJobs, jobs->pending.size());
  for (std::size_t i = 0; i < count; ++i) {
    workers.push_back(runtime::spawn(runtime::sharedPool().executor(), [jobs] { return thumbnailWorker(jobs); }));
  }
  {
    // The workers belong to the request: its cancellation ends them.
    runtime::CancellationHandler cancelWorkers([workers] {
      for (const auto& worker : workers) {
        worker.cancel();
      }
    });
    for (const auto& worker : workers) {
      try {
        co_await worker.value();
      } catch (const runtime::CancellationError&) {
        // A cancelled worker's slots stay as they are.
      }
    }
  }
  co_return std::move(jobs->results);
}

runtime::Awaitable<LocalLookup> lookupLocal(std::shared_ptr<MacLocalVideoLibrary> library, std::string id,
                                            std::chrono::nanoseconds limit) {
  auto work = spawnOutcome<std::optional<Entry>>(
      [library = std::move(library), id = std::move(id)]() { return library->entry(id); });
  const auto outcome = co_await runtime::race(std::move(work), limit);
  if (!outcome) {
    co_return LocalLookup{ReceiverAPIService::errorResponse(503, "local_folder_timeout")};
  }
  if (const auto* error = std::get_if<std::exception_ptr>(&*outcome)) {
    co_return LocalLookup{ReceiverAPIService::errorResponse(503, folderErrorCode(*error, false))};
  }
  const auto& entry = std::get<0>(*outcome);
  if (!entry) {
    co_return LocalLookup{ReceiverAPIService::errorResponse(404, "local_file_not_found")};
  }
  co_return LocalLookup{*entry};
}

runtime::Awaitable<ReceiverAPIResponse> ReceiverAPIService::localSearch(std::string query, std::int64_t ticket,
                                                                        RequestContext context) {
  const auto self = shared_from_this();
  const auto& deps = parts_->deps;
  auto work = spawnOutcome<std::vector<Entry>>(
      [library = deps.localLibrary, query = std::move(query)]() { return library->search(query); });
  const auto outcome = co_await runtime::race(std::move(work), deps.timing.localSearchLimit);
  if (!outcome) {
    diagnostics::Log::source().notice("local_search_timeout op=%{public}s", context.op);
    co_return errorResponse(503, "local_folder_timeout");
  }
  if (const auto* error = std::get_if<std::exception_ptr>(&*outcome)) {
    co_return errorResponse(503, folderErrorCode(*error, true));
  }
  const auto& entries = std::get<0>(*outcome);
  // Named: GCC 12 destroys a capturing lambda twice when it is a temporary inside co_await.
  ThumbnailMaker make = [library = deps.localLibrary](Entry entry) { return library->thumbnail(std::move(entry)); };
  KeptThumbnails kept = [library = deps.localLibrary](std::vector<Entry> all) {
    return library->keptThumbnails(std::move(all));
  };
  const auto thumbnails = co_await localThumbnails(std::move(make), std::move(kept), entries,
                                                   deps.timing.thumbnailLimit, deps.timing.thumbnailDeadline);
  IssuedTokens issued(deps.server);
  auto items = nlohmann::json::array();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    nlohmann::json item = {{"videoID", entries[i].id}, {"title", title(entries[i].url.filename().string())}};
    if (thumbnails[i]) {
      auto token = deps.server->registerFile(*thumbnails[i]);
      issued.add(token);
      item["thumbnail"] = "/" + token;
    }
    items.push_back(std::move(item));
  }
  if (!co_await commitSearchTokens(issued.release(), ticket, context)) {
    co_return refusedCommitResponse();
  }
  diagnostics::Log::source().notice("local_search_complete count=%ld op=%{public}s",
                                    static_cast<std::int64_t>(entries.size()), context.op);
  co_return jsonResponse(200, {{"items", std::move(items)}});
}

} // namespace pd::api
