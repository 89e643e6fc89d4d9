#pragma once

// The "bpm" route: the tempo of a video of the local folder, or a sign that it is not known yet.
// The route never analyses anything itself: it hands the file to the LocalBPMCache and waits a
// bounded time for the outcome.

#include "api/LocalBPMCache.hpp"
#include "api/LocalLookup.hpp"
#include "api/RequestContext.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/ReceiverAPIResponse.hpp"
#include "runtime/Task.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pd::api {

struct BPMRouteDependencies {
  struct Timing {
    // The remembered guard's check of the file; past it the id is looked up afresh.
    std::chrono::nanoseconds guardCheck = std::chrono::seconds(5);
    // The wait for the cache's outcome; past it the answer is "pending".
    std::chrono::nanoseconds outcome = std::chrono::seconds(20);
  };

  std::shared_ptr<LocalBPMCache> cache;
  // The session token store's generation now.
  std::function<std::int64_t()> currentGeneration;
  // The library entry of a local id, or the answer to send when there is none; never throws.
  std::function<runtime::Awaitable<LocalLookup>(std::string id, std::string op)> lookupLocal;
  // Whether the file still has the guard's content version (the library's check, by id as key).
  std::function<runtime::Awaitable<bool>(std::string key, std::filesystem::path url,
                                         std::shared_ptr<mediaserver::MacLocalVideoLibrary::ServingVersionGuard>)>
      checkGuard;
  // A status and a JSON object to an answer.
  std::function<mediaserver::ReceiverAPIResponse(std::int64_t status, const nlohmann::json& body)> jsonResponse;
  Timing timing;
};

// "v" is the query's value, when given. Never throws.
runtime::Awaitable<mediaserver::ReceiverAPIResponse>
bpmRoute(std::optional<std::string> videoID, RequestContext context, BPMRouteDependencies dependencies);

} // namespace pd::api
