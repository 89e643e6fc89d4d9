#pragma once

// The tablet's JSON API behind the local HTTP server: the session-token check, the search,
// resolve and bpm routes over YouTube or the user's video folder, and the retention of every
// media token an answer hands out. The broadcaster makes one with create() and installs
// handle() as the server's API hook.

#include "api/RequestContext.hpp"
#include "mediaserver/ReceiverAPIResponse.hpp"
#include "runtime/Task.hpp"

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::mediaserver {
class LocalVideoHTTPServer;
class MacLocalVideoLibrary;
} // namespace pd::mediaserver
namespace pd::relay {
class RemoteVideoPreparer;
}
namespace pd::remotesource {
class InvidiousInstanceManager;
class InvidiousVideoSource;
} // namespace pd::remotesource

namespace pd::api {

class LocalBPMCache;
class Retention;
class SessionTokenStore;

using mediaserver::ReceiverAPIResponse;

class ReceiverAPIService : public std::enable_shared_from_this<ReceiverAPIService> {
public:
  struct Timing {
    std::chrono::nanoseconds localSearchLimit = std::chrono::seconds(15);
    std::chrono::nanoseconds lookupLimit = std::chrono::seconds(15);
    std::chrono::nanoseconds thumbnailLimit = std::chrono::seconds(5);
    // No thumbnail job of a search starts after this.
    std::chrono::nanoseconds thumbnailDeadline = std::chrono::seconds(20);
    std::chrono::nanoseconds durationLimit = std::chrono::seconds(5);
    std::chrono::nanoseconds resolveBPMLimit = std::chrono::seconds(2);
    std::chrono::nanoseconds bpmLimit = std::chrono::seconds(20);
    std::chrono::nanoseconds guardCheckLimit = std::chrono::seconds(5);

    // The longest a route of the local side can wait on the limits above, its waits one after
    // another: the server ends an answer only past this, so that none of them is ever cut short.
    std::chrono::nanoseconds longestWait() const noexcept;
  };
  static constexpr std::size_t kThumbnailJobs = 4;
  static constexpr std::size_t kMaxQueryCharacters = 200;

  // Where a commit stands, for a seam that lets a rotation run in between.
  enum class CommitStep { afterFirstRead, afterInsert };
  using CommitSeam = std::function<runtime::Awaitable<void>(CommitStep)>;

  struct Dependencies {
    std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
    std::shared_ptr<const remotesource::InvidiousVideoSource> source;
    std::shared_ptr<const relay::RemoteVideoPreparer> preparer;
    std::shared_ptr<remotesource::InvidiousInstanceManager> instances;
    std::shared_ptr<SessionTokenStore> sessionTokens;
    std::shared_ptr<mediaserver::MacLocalVideoLibrary> localLibrary;
    // Absent: the service makes its own.
    std::shared_ptr<LocalBPMCache> localBPM;
    Timing timing;
    // Absent in the running program.
    CommitSeam commitSeam;
  };

  // Throws std::invalid_argument when a reference is missing.
  static std::shared_ptr<ReceiverAPIService> create(Dependencies dependencies);
  ~ReceiverAPIService();
  ReceiverAPIService(const ReceiverAPIService&) = delete;
  ReceiverAPIService& operator=(const ReceiverAPIService&) = delete;

  // The only entry of the server: token check, dispatch, the request line. Never throws; any
  // number of calls at once.
  runtime::Awaitable<ReceiverAPIResponse> handle(std::string route, std::map<std::string, std::string> query);

  // The longest a route may take, for the server's deadline: its timing's longest wait, or the
  // YouTube side's whole call through every instance of the list as it stands now. Any thread.
  std::chrono::nanoseconds longestWait() const noexcept;

  // After a rotation: unregisters every token handed out under an older generation.
  runtime::Awaitable<void> revokeSourceTokens(std::int64_t belowGeneration);

  // Commits an answer's tokens under its ticket; false (tokens already unregistered) when the
  // session changed or the request was cancelled (its connection is gone). Never cancelled
  // half-way: the tokens are either kept or unregistered.
  runtime::Awaitable<bool> commitSearchTokens(std::vector<std::string> tokens, std::int64_t ticket,
                                              const RequestContext& context);
  runtime::Awaitable<bool> commitResolveTokens(std::vector<std::string> tokens, std::optional<std::string> deck,
                                               std::int64_t ticket, const RequestContext& context);
  void unregisterTokens(const std::vector<std::string>& tokens) const;

  const std::shared_ptr<Retention>& retention() const noexcept;
  const std::shared_ptr<LocalBPMCache>& localBPM() const noexcept;
  const std::shared_ptr<SessionTokenStore>& sessionTokens() const noexcept;

  // The answers every route builds on. Bodies are compact, keys sorted at every level, "/"
  // written "\/". A body that cannot be written is answered 500 "{}" and logged.
  static ReceiverAPIResponse jsonResponse(std::int64_t status, const nlohmann::json& body);
  static ReceiverAPIResponse errorResponse(std::int64_t status, std::string_view code,
                                           std::optional<std::string_view> detail = std::nullopt);
  static ReceiverAPIResponse errorResponse(std::exception_ptr error);
  static bool constantTimeEquals(std::optional<std::string_view> presented, std::string_view current) noexcept;
  // 11 characters, each an ASCII letter or digit, "_" or "-".
  static bool isValidVideoID(std::string_view id);
  // 8 lower-case hexadecimal digits.
  static std::string makeOperationID();
  static std::string imageContentType(std::string_view url);
  // A local item's title: the file name without its last extension.
  static std::string title(const std::string& fileName);

  // The routes, as handle() dispatches them once the token passed.
  runtime::Awaitable<ReceiverAPIResponse> search(std::optional<std::string> query, RequestContext context);
  runtime::Awaitable<ReceiverAPIResponse> resolve(std::optional<std::string> videoID, std::optional<std::string> deck,
                                                  RequestContext context);
  runtime::Awaitable<ReceiverAPIResponse> bpm(std::optional<std::string> videoID, RequestContext context);
  // The thumbnail image domains as suffix rules, then each effective instance host.
  runtime::Awaitable<std::vector<std::string>> thumbnailHostRules() const;

  struct Parts;

private:
  explicit ReceiverAPIService(Dependencies dependencies);
  runtime::Awaitable<ReceiverAPIResponse>
  dispatch(const std::string& route, const std::map<std::string, std::string>& query, RequestContext context);
  runtime::Awaitable<bool> commit(std::vector<std::string> tokens, std::int64_t ticket,
                                  std::optional<std::optional<std::string>> resolveDeck, const RequestContext& context);
  runtime::Awaitable<ReceiverAPIResponse> youTubeSearch(std::string query, std::int64_t ticket, RequestContext context);
  runtime::Awaitable<ReceiverAPIResponse> youTubeResolve(std::string videoID, std::optional<std::string> deck,
                                                         std::int64_t ticket, RequestContext context);
  runtime::Awaitable<ReceiverAPIResponse> localSearch(std::string query, std::int64_t ticket, RequestContext context);
  runtime::Awaitable<ReceiverAPIResponse> resolveLocal(std::string id, std::optional<std::string> deck,
                                                       std::int64_t ticket, RequestContext context);
  runtime::Awaitable<std::int64_t> nextTicket();

  std::unique_ptr<Parts> parts_;
};

} // namespace pd::api
