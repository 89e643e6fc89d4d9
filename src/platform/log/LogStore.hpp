#pragma once

// The in-process log store: every line the process logs, and the messages of the libraries we
// use under their own subsystem names, kept in memory for the log ring to collect. Bounded by
// an entry count and a byte budget; the oldest entries go first and are counted as dropped.

#include "platform/log/Logger.hpp"
#include "platform/log/Utf8.hpp"
#include "runtime/Clock.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pd::platform::log {

struct LogEntry {
  runtime::Clock::WallTime time{};
  Level level = Level::notice;
  std::string subsystem;
  std::string category;
  std::string message; // valid UTF-8, at most LogStore::kMaxMessageBytes
  std::int32_t pid = 0;
  std::uint64_t tid = 0;
  std::uint64_t sequence = 0; // 1 for the first entry of the store, then one more per entry
};

struct LogQuery {
  std::vector<std::string> subsystems; // keep only these; empty keeps every subsystem
  std::size_t maxCount = std::numeric_limits<std::size_t>::max();
};

class LogStore {
public:
  struct Limits {
    std::size_t maxEntries = 100'000;
    std::size_t maxBytes = 32u * 1024u * 1024u; // strings plus a fixed cost per entry
  };
  // A longer message is cut at a character boundary; one entry must never push out the rest.
  static constexpr std::size_t kMaxMessageBytes = 64u * 1024u;

  static LogStore& shared();

  explicit LogStore(Limits limits);
  LogStore() : LogStore(Limits{}) {}
  LogStore(const LogStore&) = delete;
  LogStore& operator=(const LogStore&) = delete;

  // Stores the entry as given (time, pid, tid), with its message made valid UTF-8 and cut to
  // kMaxMessageBytes; assigns and returns its sequence number.
  std::uint64_t append(LogEntry entry);
  // Stamps the entry with the current wall time, process and thread.
  std::uint64_t append(Level level, std::string_view subsystem, std::string_view category, std::string_view message);

  // Entries whose time is at or after `since`, in store order (oldest first). Store order
  // follows the sequence numbers; a wall clock step back can put an older time after a newer.
  std::vector<LogEntry> entriesSince(runtime::Clock::WallTime since, const LogQuery& query = {}) const;
  // Entries with a sequence number above `sequence`, oldest first.
  std::vector<LogEntry> entriesAfter(std::uint64_t sequence, const LogQuery& query = {}) const;
  // The same, with the number of entries above `sequence` that the bounds pushed out before
  // they could be read, counted in one holding of the lock with the entries themselves.
  struct Slice {
    std::vector<LogEntry> entries;
    std::uint64_t missed = 0;
  };
  Slice sliceAfter(std::uint64_t sequence, const LogQuery& query = {}) const;

  std::uint64_t lastSequence() const; // 0 while empty and never written
  std::uint64_t droppedCount() const; // entries pushed out by the bounds
  std::size_t size() const;
  std::size_t bytes() const;

private:
  struct Record {
    LogEntry entry;
    runtime::Clock::WallTime latestSoFar; // the newest time among this and every older record
    std::size_t cost;
  };
  friend void dispatchLine(Level, const std::string&, const std::string&, std::string);
  std::uint64_t appendNormalised(LogEntry entry);
  template <typename Predicate>
  std::vector<LogEntry> collect(std::size_t first, const LogQuery& query, Predicate keep) const;

  const Limits limits_;
  mutable std::mutex mutex_;
  std::deque<Record> records_;
  std::size_t bytes_ = 0;
  std::uint64_t nextSequence_ = 1;
  std::uint64_t dropped_ = 0;
  runtime::Clock::WallTime latest_ = runtime::Clock::WallTime::min();
};

// Records a message of one of the libraries the process uses (FFmpeg, libcurl, Avahi,
// PipeWire, Qt) under its own subsystem name: into the store and, when enabled, to stderr.
// Debug-level messages are dropped while debug output is off.
void recordExternal(std::string_view subsystem, std::string_view category, Level level, std::string_view message);

// The one time-stamp form of logs and their files: "YYYY-MM-DDTHH:MM:SS.mmmZ", UTC.
std::string formatTimestamp(runtime::Clock::WallTime time);

std::int32_t currentProcessId() noexcept;
std::uint64_t currentThreadId() noexcept; // the kernel's thread id

// Writes one line to the store and, when enabled, to stderr, stamped now. What the loggers use.
void dispatchLine(Level level, const std::string& subsystem, const std::string& category, std::string message);

} // namespace pd::platform::log
