#pragma once

// The tempo of the tablet's local-folder videos: finished tempos remembered, at most one analysis
// at a time with the newest request first, any number of waiters sharing one analysis, work that
// nobody waits for any more forgotten, an analysis that hangs abandoned, and each file re-checked
// through its content-version guard before and after it is analysed.

#include "deckinput/BPMDetectionResult.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "runtime/Actor.hpp"
#include "runtime/Task.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace pd::api {

class LocalBPMCache final : public runtime::Actor, public std::enable_shared_from_this<LocalBPMCache> {
public:
  using Entry = mediaserver::MacLocalVideoLibrary::Entry;
  using ServingVersionGuard = mediaserver::MacLocalVideoLibrary::ServingVersionGuard;

  // done: the tempo, or none when the file has none (or changed while it was analysed);
  // pending: not known yet.
  struct Outcome {
    enum class Kind : std::uint8_t { done, pending };
    Kind kind = Kind::pending;
    std::optional<std::int64_t> bpm;

    static Outcome done(std::optional<std::int64_t> tempo) { return {Kind::done, tempo}; }
    static Outcome pending() { return {}; }
    bool isDone() const noexcept { return kind == Kind::done; }
    bool operator==(const Outcome&) const = default;
  };

  enum class AnalysisEnd : std::uint8_t { finished, cancelled, transientFailure, fileChanged };

  // A file handed in with a library entry: where it lies, and a guard holding its content version
  // of that time.
  struct Remembered {
    std::filesystem::path url;
    std::shared_ptr<ServingVersionGuard> guardian;
  };

  struct Timing {
    // An analysis running longer is abandoned: its waiters hear "pending" and the next one starts.
    std::chrono::nanoseconds watchdog = std::chrono::seconds(120);
  };

  struct Limits {
    std::size_t results = 2000;
    // Exceeded only while every older remembered id is queued or in flight.
    std::size_t remembered = 64;
  };

  // Measures one file's tempo, as LocalBPMDetectionService::detectBPM does: it blocks its thread,
  // answers a failure as a result without tempo and has no cancellation point.
  using Detector = std::function<runtime::Awaitable<deckinput::BPMDetectionResult>(std::filesystem::path)>;

  struct Dependencies {
    Detector detect; // none: a fresh LocalBPMDetectionService for every analysis
    boost::asio::any_io_executor analysisExecutor; // none: runtime::backgroundPool()
    Timing timing;
    Limits limits;
  };

  static std::shared_ptr<LocalBPMCache> create();
  static std::shared_ptr<LocalBPMCache> create(Dependencies dependencies);

  // A task that yields the id's outcome and never fails: at once for a stored result, else once an
  // analysis (queued now when none is) ends. Cancelling the task gives up the wait; an id that
  // nobody waits for any more leaves the queue. The entry's guard is remembered first.
  runtime::Awaitable<runtime::Task<Outcome>> request(Entry entry);
  // The same for a file whose entry is not at hand; remembers nothing.
  runtime::Awaitable<runtime::Task<Outcome>> request(std::string id, std::filesystem::path url);
  // A task as above when the id has a result, an analysis in flight or a place in the queue (it
  // then starts next); nothing otherwise.
  runtime::Awaitable<std::optional<runtime::Task<Outcome>>> requestIfKnown(std::string id);
  // What every waiting task runs: the stored result, or a wait for the analysis in flight.
  runtime::Awaitable<Outcome> wait(std::string id);
  // The file and guard remembered for the id, if any.
  runtime::Awaitable<std::optional<Remembered>> seen(std::string id);

  ~LocalBPMCache();

private:
  using Waiter = runtime::UniqueFunction<void(Outcome)>;
  struct HeldAbandon {
    std::string id;
    std::int64_t serial = 0;
  };

  explicit LocalBPMCache(Dependencies dependencies);

  // Each of these runs on the actor.
  runtime::Task<Outcome> requestOnActor(const std::string& id, const std::filesystem::path& url);
  runtime::Task<Outcome> waitingTask(const std::string& id);
  void remember(const Entry& entry);
  void store(std::optional<std::int64_t> tempo, const std::string& id);
  runtime::Awaitable<Outcome> waitOnActor(std::string id);
  void cancelWaiter(const std::string& id, std::uint64_t waiterID);
  void startNextIfIdle();
  void finish(const std::string& id, std::optional<std::int64_t> tempo, std::int64_t serial, AnalysisEnd end);
  void abandon(const std::string& id, std::int64_t serial);
  void resumeWaiters(const std::string& id, const Outcome& outcome);
  void moveToQueueEnd(const std::string& id);

  Dependencies dependencies_;
  std::unordered_map<std::string, std::optional<std::int64_t>> results_;
  std::deque<std::string> resultsOrder_;
  std::deque<std::string> queue_;
  std::unordered_map<std::string, std::filesystem::path> urls_;
  std::unordered_map<std::string, std::map<std::uint64_t, Waiter>> waiters_;
  std::unordered_map<std::string, std::int64_t> attempts_;
  std::optional<std::string> runningID_;
  std::int64_t runningSerial_ = 0;
  runtime::Task<void> runningTask_;
  std::int64_t abandonedInFlight_ = 0;
  std::set<std::int64_t> abandonedSerials_;
  std::optional<HeldAbandon> pendingAbandon_;
  std::unordered_map<std::string, Remembered> seen_;
  std::deque<std::string> seenOrder_;
  std::uint64_t nextWaiterID_ = 0;
};

} // namespace pd::api
