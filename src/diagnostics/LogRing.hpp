#pragma once

// The on-disk log ring: for every launch, a folder of log segment files copied out of the
// process's log store, and a manifest that describes them.
//
//   <root>/launch.seq                    the sequence number of the newest launch
//   <root>/<launch id>/manifest.json     replaced whole and durably at every commit
//   <root>/<launch id>/seg-000001.ndjson our own entries, one JSON line each
//   <root>/<launch id>/apple-000001.ndjson  error entries of the platform libraries
//
// Every file operation runs on the ring's serial queue "logring.io"; a state lock guards the
// manifest and the few values that the terminal mark changes from the caller's thread, and
// every manifest commit happens while it is held. Flushes come from a 30 s timer, from error
// lines (coalesced) and from explicit requests; the terminal mark records an orderly exit and
// blocks its caller for at most half a second.

#include "runtime/Error.hpp"
#include "runtime/UniqueFunction.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::log {
class LogStore;
} // namespace pd::platform::log

namespace pd::diagnostics {

class LogRing {
public:
  // The vocabulary version of the log lines; manifests and exports carry it.
  static constexpr std::int64_t kVocabVersion = 4;

  struct Segment {
    std::string file; // name inside the launch folder
    std::int64_t entries = 0;
    std::int64_t bytes = 0;
    std::optional<std::string> firstTs;
    std::optional<std::string> lastTs;

    bool operator==(const Segment&) const = default;
  };

  struct Terminal {
    std::string reason; // "exit"
    std::string at;

    bool operator==(const Terminal&) const = default;
  };

  struct Manifest {
    std::int64_t vocabVersion = kVocabVersion;
    std::string launchID;
    std::int32_t pid = 0;
    std::string startedAt;
    std::optional<std::int64_t> seq;
    bool clean = false;
    bool truncated = false;
    std::int64_t entryCount = 0;
    std::vector<Segment> segments;
    std::vector<Segment> appleSegments;
    std::optional<bool> terminalTracked;
    std::optional<Terminal> terminal;

    bool operator==(const Manifest&) const = default;

    // Compact JSON, keys in byte order, absent optionals left out.
    std::string encode() const;
    // Throws platform::json::DecodingError when a required key is missing or mistyped.
    static Manifest decode(std::string_view bytes);
    // The launch folder's "manifest.json"; none when it is missing, unreadable or does not decode.
    static std::optional<Manifest> read(const std::filesystem::path& launchDirectory);
  };

  // One segment line. Keys in field order; "subsystem" only on platform-library entries.
  struct EntryLine {
    std::string ts;
    std::string level;
    std::string cat;
    std::string msg;
    std::int32_t pid = 0;
    std::uint64_t tid = 0;
    std::optional<std::string> subsystem;

    // The line without its line feed; invalid UTF-8 comes out replaced, never as an error.
    std::string encode() const;
  };

  // New segments could not be recorded in a committed manifest.
  class ManifestCommitError : public Error {
  public:
    ManifestCommitError() : Error("LogRing.ManifestCommitError", 0, "the manifest could not be committed") {}
  };

  struct Timing {
    std::chrono::nanoseconds flushPeriod = std::chrono::seconds(30);
    // An error flush follows the previous flush by this much, but waits at least the minimum.
    std::chrono::nanoseconds errorFlushSpacing = std::chrono::seconds(5);
    std::chrono::nanoseconds errorFlushMinimumDelay = std::chrono::seconds(1);
    std::chrono::nanoseconds flushRetryInterval = std::chrono::milliseconds(100);
    int flushRetries = 20;
    std::chrono::nanoseconds terminalWait = std::chrono::milliseconds(500);
    // A temporary file of an atomic write this old was left by a write that never finished.
    std::chrono::nanoseconds staleTemporaryAge = std::chrono::minutes(1);
    // A manifest commit that keeps failing is logged at most this often after its first line.
    std::chrono::nanoseconds failureLogInterval = std::chrono::minutes(10);
  };

  struct Limits {
    std::uint64_t perLaunchBytes = 10'485'760;
    std::size_t maxLaunches = 5;
    std::uint64_t maxRingBytes = 52'428'800;
    std::int64_t failureThreshold = 3;
  };

  struct Config {
    std::filesystem::path root;
    std::string launchID;
    std::string ownSubsystem;
    std::vector<std::string> platformSubsystems;
    platform::log::LogStore* store = nullptr; // null: the process's store
    Timing timing;
    Limits limits;
  };

  struct PruneResult {
    std::int64_t deleted = 0;
    std::int64_t kept = 0;
    std::uint64_t sizeBytes = 0;
  };

  // What the queue holds, for tests and diagnosis.
  struct QueueState {
    bool started = false;
    std::int64_t segmentIndex = 0;
    std::int64_t appleSegmentIndex = 0;
    bool writingSuspended = false;
    bool appleSuspended = false;
    std::int64_t consecutiveWriteFailures = 0;
    std::uint64_t resumeSequence = 0;
  };

  struct CallCounts {
    std::uint64_t start = 0;
    std::uint64_t errorFlush = 0; // requestErrorFlush() calls
    std::uint64_t flush = 0; // requestFlush() calls
    std::uint64_t terminal = 0; // markTerminal() calls
    std::uint64_t flushesRun = 0; // flushes that ran on the queue, whatever asked for them
  };

  // The subsystems under which our platform layers record the libraries' own messages
  // (FFmpeg, libcurl, Avahi, PipeWire, Qt): the ring keeps their errors and faults.
  static const std::vector<std::string>& platformSubsystems();

  // "LogRing" in the application's data folder, else in the private temporary folder (which it
  // makes), else a folder that each call makes anew in the shared temporary folder: the
  // process's ring asks once, and its payload store lives in that ring's root.
  static std::filesystem::path rootDirectory();
  // The process's ring: rootDirectory(), currentLaunchID(), the process's log store.
  static Config standardConfig();
  static LogRing& shared();

  explicit LogRing(Config config);
  // Closes the queue: queued work still runs, delayed work is dropped.
  ~LogRing();
  LogRing(const LogRing&) = delete;
  LogRing& operator=(const LogRing&) = delete;

  // Queues the start: launch folder, sequence number, first manifest, pruning, timer and the
  // previous-exit line. Later calls do nothing. Returns at once.
  void start();
  // Instead of start(), for a launch that ends at the single-instance guard: only the launch
  // folder and a manifest without a sequence number, so that the launch neither prunes nor
  // counts for the previous-exit verdict or the pruning's protection.
  void startAborted();
  // Schedules one coalesced early flush. Any thread; returns at once.
  void requestErrorFlush();
  // Flushes once, standing back for a pending terminal flush for at most about 2 s, then calls
  // the completion on the ring's queue (after stop(): at once, on the caller's thread).
  void requestFlush(runtime::UniqueFunction<void()> completion = nullptr);
  // Records the orderly exit in the manifest and flushes; blocks for at most Timing::terminalWait.
  void markTerminal();
  // As the program ends, before static objects are destroyed: runs the work queued so far, then
  // one last flush that takes every line logged before the call, then joins the queue's thread,
  // so that no flush reads the clock or the store while they are torn down. Final: later starts,
  // flushes and the terminal mark's flush are dropped (the terminal mark still commits the
  // manifest itself), and a later requestFlush() calls its completion at once on the caller's
  // thread, as do the two questions below. Later lines stay in the process's log store only.
  void stop();
  // Calls back on the ring's queue with true exactly when the previous launch ended uncleanly
  // (after stop(): at once, on the caller's thread).
  void previousExitWasUnclean(runtime::UniqueFunction<void(bool)> completion);
  // The launch folders to export, the running launch first, then newest to oldest, cut to the
  // limit (none: all). Calls back on the ring's queue (after stop(): at once, on the caller's
  // thread).
  void launchesForExport(std::optional<std::int64_t> limit,
                         runtime::UniqueFunction<void(std::vector<std::filesystem::path>)> completion);

  const std::filesystem::path& root() const noexcept;
  const std::filesystem::path& launchDirectory() const noexcept;
  const std::string& launchID() const noexcept;
  Manifest manifest() const;
  // Read on the queue; throws std::runtime_error when the queue does not answer (closed by
  // stop(), or busy for 10 s).
  QueueState queueState() const;
  CallCounts callCounts() const noexcept;
  // Waits until the work queued so far has run; false on time-out.
  bool waitUntilIdle(std::chrono::nanoseconds timeout) const;

  // The ring as a whole. None of these throws; failures give the neutral values.
  static bool isLaunchDirectoryName(std::string_view name) noexcept;
  static std::int64_t nextLaunchSequence(const std::filesystem::path& root);
  static std::vector<std::filesystem::path> listLaunchDirectories(const std::filesystem::path& root);
  static std::uint64_t directorySize(const std::filesystem::path& directory);
  static std::string launchSortKey(const std::filesystem::path& directory, const std::optional<Manifest>& manifest);
  // Keeps at most maxLaunches launch folders and maxRingBytes, never deleting the current
  // launch or the newest unclean earlier one. Counts only the deletions that happened.
  static PruneResult prune(const std::filesystem::path& root, std::string_view currentLaunchID, const Limits& limits);
  // Removes what interrupted atomic writes of the ring left in the root and in the launch
  // folders other than the current one, once older than `age`.
  static void removeStaleTemporaryFiles(const std::filesystem::path& root, std::string_view currentLaunchID,
                                        std::chrono::nanoseconds age);
  // "clean", "unclean" or "unknown" for the newest launch other than the current one.
  static std::string previousExitStatus(const std::filesystem::path& root, std::string_view currentLaunchID);
  static std::vector<std::filesystem::path> exportLaunches(const std::filesystem::path& root,
                                                           std::optional<std::int64_t> limit,
                                                           std::string_view currentLaunchID);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::diagnostics
