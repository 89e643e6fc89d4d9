#pragma once

// The long-lived model behind sending videos to the tablet. It owns the local HTTP server (with
// the relay inside it), the session token, the remote-video preparer and the receiver API
// service; it reaches the link through its port. It announces where the server listens, sends a
// local file or a YouTube video to deck A or B, follows the tablet's load answer and sends the
// analysed tempo. Main thread only, like every observable model.

#include "link/SenderLink.hpp"
#include "runtime/Published.hpp"
#include "runtime/Task.hpp"
#include "sender/TemporaryCopies.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::http {
class Client;
}
namespace pd::remotesource {
class InvidiousInstanceManager;
struct VideoSearchItem;
} // namespace pd::remotesource
namespace pd::relay {
class RelayDiskCacheInterface;
class RemoteVideoPreparer;
struct PreparedRemoteVideo;
} // namespace pd::relay
namespace pd::mediaserver {
class LocalVideoHTTPServer;
}

namespace pd::sender {

struct BroadcasterServices;

class LocalVideoBroadcaster final : public runtime::ObservableObject,
                                    public std::enable_shared_from_this<LocalVideoBroadcaster> {
public:
  // The deck a video goes to; its raw value is the "target" of the link's messages.
  enum class Target { a, b };
  static constexpr std::string_view rawValue(Target target) noexcept { return target == Target::a ? "A" : "B"; }
  // Exactly "A" or "B".
  static std::optional<Target> targetFromRaw(std::string_view raw) noexcept;

  // A deck's load state as the tablet reported it.
  struct PlaybackState {
    enum class Case { failed, none, awaiting, noResponse, unconfirmed, ready, replaced };
    Case state = Case::none;
    std::optional<std::string> reason; // only for failed

    static PlaybackState failed(std::optional<std::string> reason) { return {Case::failed, std::move(reason)}; }
    // Same case; two failed states also need the same reason (both absent, or equal texts).
    friend bool operator==(const PlaybackState& a, const PlaybackState& b) noexcept {
      return a.state == b.state && (a.state != Case::failed || a.reason == b.reason);
    }
  };

  struct Timing {
    std::chrono::nanoseconds ackTimeout = std::chrono::seconds(30);
    std::chrono::nanoseconds announcementPeriod = std::chrono::seconds(10);
  };

  // What the composition root hands over: the process-wide pieces and the settings readers.
  struct Dependencies {
    std::shared_ptr<link::SenderLink> link;
    // Carries the relay's, the preparer's and both Invidious clients' requests.
    std::shared_ptr<platform::http::Client> httpClient;
    std::shared_ptr<remotesource::InvidiousInstanceManager> instanceManager;
    // The process-wide relay disk cache; null: the relay caches in memory only.
    std::shared_ptr<relay::RelayDiskCacheInterface> relayDiskCache;
    // Asked each time the relay considers its disk cache.
    std::function<bool()> relayCacheEnabled = [] { return true; };
    // "ipadSearchFolder" and "ipadSearchSource", read afresh at each use.
    std::function<std::optional<std::string>()> searchFolderSetting;
    std::function<std::optional<std::string>()> searchSourceSetting;
    // Where the caches live (the thumbnails, the temporary folder); none: the platform's.
    std::optional<std::filesystem::path> cachesDirectory;
    // Entries of the temporary folder changed at or after this time survive the launch sweep;
    // none: the process's start.
    std::optional<std::chrono::system_clock::time_point> sweepKeepsSince;
    Timing timing;
  };

  // The observable state of one deck.
  struct Deck {
    explicit Deck(runtime::ObservableObject& owner)
        : fileName(owner), status(owner), bpm(owner), isAnalyzing(owner, false), playback(owner) {}
    runtime::Published<std::optional<std::string>> fileName;
    runtime::Published<std::string> status;
    runtime::Published<std::optional<std::int64_t>> bpm;
    runtime::Published<bool> isAnalyzing;
    runtime::Published<PlaybackState> playback;
  };

  // Main thread. Builds relay, server, preparer and API service, installs the link's callbacks
  // and the server's hooks, and starts the sweep of copies left by an earlier run.
  static std::shared_ptr<LocalVideoBroadcaster> create(Dependencies dependencies);
  ~LocalVideoBroadcaster();
  LocalVideoBroadcaster(const LocalVideoBroadcaster&) = delete;
  LocalVideoBroadcaster& operator=(const LocalVideoBroadcaster&) = delete;

  Deck deckA{*this};
  Deck deckB{*this};
  Deck& deck(Target target) noexcept { return target == Target::a ? deckA : deckB; }
  const Deck& deck(Target target) const noexcept { return target == Target::a ? deckA : deckB; }

  // The link's events (installed as its callbacks).
  void handlePeerChanged(const std::optional<std::string>& peerID);
  void startSourceEndpointAnnouncements();
  void handleLoadVideoAck(const link::LoadVideoAck& ack);

  // Sends a file of this computer; a temporary copy is the broadcaster's to delete.
  void sendLocalFile(const std::filesystem::path& file, Target target, bool isTemporaryCopy);
  void reportNotVideo(const std::string& fileName, Target target);
  // A dropped video that was not copied, and why.
  void reportCopyRefused(const std::string& fileName, Target target, CopyRefusal refusal);
  // Sends a YouTube video found by the search.
  void sendRemoteVideo(const remotesource::VideoSearchItem& item, Target target);

  // Where drops are copied to: the caches folder's "tmp", private to the user; made on demand.
  // Throws pd::PosixError when no safe folder can be had.
  std::filesystem::path temporaryFolder() const;
  // What temporaryFolder() is made from, for work off the main thread that must not hold the
  // broadcaster (sender::temporaryFolder(cachesDirectory()) is the same folder).
  const std::optional<std::filesystem::path>& cachesDirectory() const noexcept { return dependencies_.cachesDirectory; }
  // Removes a temporary copy off the main thread: its whole "PalendrixDrop-" folder when that
  // folder lies directly in the temporary folder, else the file alone.
  void deleteTempCopy(const std::filesystem::path& copy) const;

  // The current session token and its generation, read under the store's lock.
  std::string sessionToken() const;
  std::int64_t sessionGeneration() const;
  mediaserver::LocalVideoHTTPServer& httpServer() const noexcept { return *httpServer_; }
  const std::shared_ptr<relay::RemoteVideoPreparer>& remotePreparer() const noexcept;
  // The URL of the deck's last committed load_video, if any.
  std::optional<std::string> servedURL(Target target) const;

  // The user-facing reason of a failed YouTube preparation.
  static std::string remotePrepareErrorText(const std::exception_ptr& error);

  // Use create().
  explicit LocalVideoBroadcaster(Dependencies dependencies);

private:
  // The serving state and the counters of one deck.
  struct Serving {
    std::int64_t loadGeneration = 0;
    std::int64_t request = 0;
    std::vector<std::string> activeTokens;
    std::optional<std::string> servedURL;
    runtime::Task<void> ackTimeoutTask;
    runtime::Task<void> remoteTask;
    std::optional<std::filesystem::path> tempCopy;
  };
  struct Analysis {
    Target target = Target::a;
    std::int64_t generation = 0;
    std::int64_t request = 0;
    std::string url;
  };

  // Builds the preparer and the API service over the server; the API service stays null when it
  // cannot be built, and the API road then answers 503.
  static void buildServices(BroadcasterServices& services,
                            const std::shared_ptr<mediaserver::LocalVideoHTTPServer>& server,
                            const Dependencies& dependencies);
  void install();
  Serving& serving(Target target) noexcept { return target == Target::a ? servingA_ : servingB_; }
  const Serving& serving(Target target) const noexcept { return target == Target::a ? servingA_ : servingB_; }
  bool isRemoteSourcePeerLinked() const;

  static runtime::Awaitable<void> announce(std::weak_ptr<LocalVideoBroadcaster> weak,
                                           std::shared_ptr<BroadcasterServices> services);
  static runtime::Awaitable<void> sendLocal(std::weak_ptr<LocalVideoBroadcaster> weak, std::filesystem::path file,
                                            Target target, std::optional<OwnedTemporaryCopy> copy,
                                            std::int64_t request);
  static runtime::Awaitable<void> sendRemote(std::weak_ptr<LocalVideoBroadcaster> weak,
                                             std::shared_ptr<link::SenderLink> link, std::string videoID,
                                             std::string title, Target target, std::int64_t request, std::string op);
  std::int64_t commitServing(std::vector<std::string> tokens, std::optional<std::filesystem::path> tempCopy,
                             const std::string& url, const std::string& title, Target target);
  void clearServing(Target target);
  void startAckTimeout(const std::string& url, Target target);
  void unregisterAll(const std::vector<std::string>& tokens) const;

  void startLocalBPM(std::filesystem::path file, Analysis analysis);
  void startRemoteBPM(const relay::PreparedRemoteVideo& prepared, std::uint16_t port, Analysis analysis);
  void applyBPMResult(std::optional<std::int64_t> bpm, const Analysis& analysis, std::string_view failureStatus);
  // The zero tempo of a video nothing can be analysed of; the status only for a current request.
  void applyNoAnalysis(const Analysis& analysis, const std::string& status);

  Dependencies dependencies_;
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> httpServer_;
  std::shared_ptr<BroadcasterServices> services_;
  Serving servingA_;
  Serving servingB_;
  runtime::Task<void> sourceEndpointTask_;
  std::optional<std::string> lastPeerID_;
};

} // namespace pd::sender
