#pragma once

// The service's references and the helpers its route files share. Private to src/api.

#include "api/LocalLookup.hpp"
#include "api/ReceiverAPIService.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "runtime/Executor.hpp"
#include "runtime/ThreadPools.hpp"

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pd::api {

struct ReceiverAPIService::Parts {
  Dependencies deps;
  std::shared_ptr<Retention> retention;
};

// The tokens one request registered and has not yet handed to its commit: whatever is still
// held when the request ends (an error, a cancellation) is unregistered.
class IssuedTokens {
public:
  explicit IssuedTokens(std::shared_ptr<mediaserver::LocalVideoHTTPServer> server) : server_(std::move(server)) {}
  ~IssuedTokens();
  IssuedTokens(const IssuedTokens&) = delete;
  IssuedTokens& operator=(const IssuedTokens&) = delete;

  void add(std::string token) { tokens_.push_back(std::move(token)); }
  const std::vector<std::string>& tokens() const noexcept { return tokens_; }
  // For the commit, which then answers for them.
  std::vector<std::string> release() noexcept { return std::exchange(tokens_, {}); }
  // Unregisters them now.
  void unregisterAll();

private:
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server_;
  std::vector<std::string> tokens_;
};

// The answer of a route whose commit refused: a cancelled request's (which nobody reads), or the
// changed session's.
ReceiverAPIResponse refusedCommitResponse();

// A raced library call's end: its value or the error it threw, carried as a value so that the
// race neither rethrows it nor takes a cancellation of the work for a time-out.
template <typename T>
using Outcome = std::variant<T, std::exception_ptr>;

// Runs the library call on the shared pool as a task of its own, catching its end.
template <typename T, typename F>
runtime::Task<Outcome<T>> spawnOutcome(F call) {
  return runtime::spawn(runtime::sharedPool().executor(),
                        [call = std::move(call)]() mutable -> runtime::Awaitable<Outcome<T>> {
                          try {
                            co_return Outcome<T>(std::in_place_index<0>, co_await call());
                          } catch (...) {
                            co_return Outcome<T>(std::in_place_index<1>, std::current_exception());
                          }
                        });
}

// The entry lookup of the routes that take a local id: the entry, or the finished answer.
runtime::Awaitable<LocalLookup> lookupLocal(std::shared_ptr<mediaserver::MacLocalVideoLibrary> library, std::string id,
                                            std::chrono::nanoseconds limit);

// Makes one entry's thumbnail file, or none.
using ThumbnailMaker =
    std::function<runtime::Awaitable<std::optional<std::filesystem::path>>(mediaserver::MacLocalVideoLibrary::Entry)>;

// The thumbnail files that can be answered at once, for many entries in one go: one slot per
// entry, none where a job has to make it.
using KeptThumbnails = std::function<runtime::Awaitable<std::vector<std::optional<std::filesystem::path>>>(
    std::vector<mediaserver::MacLocalVideoLibrary::Entry>)>;

// The thumbnail files of entries: first those `kept` (when given) answers within `limit`, in
// one hand-off; then jobs for the others, at most kThumbnailJobs at once, none started once
// `deadline` (counted from the call) has passed on the monotonic clock, each bounded by `limit`.
// Cancelling the calling task ends the jobs.
runtime::Awaitable<std::vector<std::optional<std::filesystem::path>>>
localThumbnails(ThumbnailMaker make, KeptThumbnails kept, std::vector<mediaserver::MacLocalVideoLibrary::Entry> entries,
                std::chrono::nanoseconds limit, std::chrono::nanoseconds deadline);

} // namespace pd::api
