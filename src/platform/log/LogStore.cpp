#include "platform/log/LogStore.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>

namespace pd::platform::log {

namespace {

std::atomic<std::int32_t> cachedPid{0};
thread_local std::uint64_t cachedTid = 0;

// A forked child has a new process id, and its one thread a new thread id.
void forgetIdsInChild() noexcept {
  cachedPid.store(0, std::memory_order_relaxed);
  cachedTid = 0;
}

void registerForkHandler() noexcept {
  static const bool registered = (::pthread_atfork(nullptr, nullptr, &forgetIdsInChild), true);
  (void)registered;
}

void normaliseMessage(std::string& message) {
  if (!isValidUtf8(message)) message = toValidUtf8(message);
  truncateUtf8(message, LogStore::kMaxMessageBytes);
}

std::size_t costOf(const LogEntry& entry) noexcept {
  return sizeof(LogEntry) + 2 * sizeof(void*) + entry.subsystem.size() + entry.category.size() + entry.message.size();
}

// Control characters would let a message forge or break lines in the journal; tabs are harmless.
void appendEscapedForLine(std::string& out, std::string_view message) {
  for (char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out.push_back(c);
    } else if (c == '\t') {
      out.push_back(c);
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out.append("\\x");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
}

enum class StderrKind { socket, pipe, other };

StderrKind stderrKind() noexcept {
  static const StderrKind kind = [] {
    struct stat info {};
    if (::fstat(STDERR_FILENO, &info) != 0) return StderrKind::other;
    if (S_ISSOCK(info.st_mode)) return StderrKind::socket;
    return S_ISFIFO(info.st_mode) ? StderrKind::pipe : StderrKind::other;
  }();
  return kind;
}

// Holds SIGPIPE back from this thread while alive. A write to a pipe whose reader went away
// raises it at the writing thread; it is then taken off again, so that it neither ends the
// process nor reaches it later. Does nothing when the thread already blocked it itself.
class SigpipeHeldBack {
public:
  SigpipeHeldBack() noexcept {
    sigemptyset(&pipeOnly_);
    sigaddset(&pipeOnly_, SIGPIPE);
    held_ = ::pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_) == 0 && sigismember(&previous_, SIGPIPE) == 0;
  }
  ~SigpipeHeldBack() {
    if (!held_) return;
    if (raised_) {
      const timespec noWait{};
      while (::sigtimedwait(&pipeOnly_, nullptr, &noWait) < 0 && errno == EINTR) {}
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeHeldBack(const SigpipeHeldBack&) = delete;
  SigpipeHeldBack& operator=(const SigpipeHeldBack&) = delete;

  void writeFailed(int error) noexcept { raised_ = raised_ || error == EPIPE; }

private:
  sigset_t pipeOnly_{};
  sigset_t previous_{};
  bool held_ = false;
  bool raised_ = false;
};

// One write per line, so that lines of different threads do not interleave. A vanished
// reader must not kill the process: on a socket (the journal) MSG_NOSIGNAL avoids SIGPIPE, on
// a pipe the signal is held back. A terminal or a file raises none, so its lines pay nothing.
void writeToStderr(const std::string& line) noexcept {
  const StderrKind kind = stderrKind();
  const bool socket = kind == StderrKind::socket;
  std::optional<SigpipeHeldBack> heldBack;
  if (kind == StderrKind::pipe) heldBack.emplace();
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written =
        socket ? ::send(STDERR_FILENO, data, left, MSG_NOSIGNAL) : ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (heldBack) heldBack->writeFailed(errno);
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

std::string stderrLine(const LogEntry& entry) {
  std::string line;
  line.reserve(entry.message.size() + entry.subsystem.size() + entry.category.size() + 48);
  line.append(formatTimestamp(entry.time));
  line.push_back(' ');
  line.append(levelName(entry.level));
  line.append(" [");
  line.append(entry.subsystem);
  line.push_back(':');
  line.append(entry.category);
  line.append("] ");
  appendEscapedForLine(line, entry.message);
  line.push_back('\n');
  return line;
}

} // namespace

std::int32_t currentProcessId() noexcept {
  std::int32_t pid = cachedPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    registerForkHandler();
    pid = static_cast<std::int32_t>(::getpid());
    cachedPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

std::uint64_t currentThreadId() noexcept {
  if (cachedTid == 0) {
    registerForkHandler();
    cachedTid = static_cast<std::uint64_t>(::gettid());
  }
  return cachedTid;
}

std::string formatTimestamp(runtime::Clock::WallTime time) {
  using namespace std::chrono;
  const auto millis = floor<milliseconds>(time);
  const auto day = floor<days>(millis);
  const year_month_day date{day};
  const hh_mm_ss clock{millis - day};
  char buffer[48];
  const int length =
      std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                    static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                    static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                    static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
  return std::string(buffer, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof buffer) - 1)));
}

LogStore& LogStore::shared() {
  // Never destroyed: static destructors and late threads may still log.
  static LogStore* const store = new LogStore();
  return *store;
}

LogStore::LogStore(Limits limits) : limits_(limits) {}

std::uint64_t LogStore::append(LogEntry entry) {
  normaliseMessage(entry.message);
  return appendNormalised(std::move(entry));
}

std::uint64_t LogStore::append(Level level, std::string_view subsystem, std::string_view category,
                               std::string_view message) {
  LogEntry entry;
  entry.time = runtime::Clock::current().wall();
  entry.level = level;
  entry.subsystem = subsystem;
  entry.category = category;
  entry.message = message;
  entry.pid = currentProcessId();
  entry.tid = currentThreadId();
  return append(std::move(entry));
}

std::uint64_t LogStore::appendNormalised(LogEntry entry) {
  const std::size_t cost = costOf(entry);
  std::scoped_lock lock(mutex_);
  entry.sequence = nextSequence_++;
  latest_ = std::max(latest_, entry.time);
  const std::uint64_t sequence = entry.sequence;
  records_.push_back(Record{std::move(entry), latest_, cost});
  bytes_ += cost;
  // The newest entry always stays, even alone over the byte budget.
  while (records_.size() > 1 && (records_.size() > limits_.maxEntries || bytes_ > limits_.maxBytes)) {
    bytes_ -= records_.front().cost;
    records_.pop_front();
    ++dropped_;
  }
  return sequence;
}

template <typename Predicate>
std::vector<LogEntry> LogStore::collect(std::size_t first, const LogQuery& query, Predicate keep) const {
  std::vector<LogEntry> out;
  for (std::size_t i = first; i < records_.size() && out.size() < query.maxCount; ++i) {
    const LogEntry& entry = records_[i].entry;
    if (!keep(entry)) continue;
    if (!query.subsystems.empty() &&
        std::find(query.subsystems.begin(), query.subsystems.end(), entry.subsystem) == query.subsystems.end())
      continue;
    out.push_back(entry);
  }
  return out;
}

std::vector<LogEntry> LogStore::entriesSince(runtime::Clock::WallTime since, const LogQuery& query) const {
  std::scoped_lock lock(mutex_);
  // latestSoFar never decreases, and every record before the first one reaching `since` is older.
  const auto start = std::partition_point(records_.begin(), records_.end(),
                                          [since](const Record& record) { return record.latestSoFar < since; });
  const auto first = static_cast<std::size_t>(start - records_.begin());
  return collect(first, query, [since](const LogEntry& entry) { return entry.time >= since; });
}

std::vector<LogEntry> LogStore::entriesAfter(std::uint64_t sequence, const LogQuery& query) const {
  return sliceAfter(sequence, query).entries;
}

LogStore::Slice LogStore::sliceAfter(std::uint64_t sequence, const LogQuery& query) const {
  std::scoped_lock lock(mutex_);
  // Records leave only from the front, so the held ones are numbered without a gap.
  const std::uint64_t front = records_.empty() ? nextSequence_ : records_.front().entry.sequence;
  Slice slice;
  if (front > sequence + 1) slice.missed = front - sequence - 1;
  const std::uint64_t offset = sequence < front ? 0 : sequence - front + 1;
  if (offset >= records_.size()) return slice;
  slice.entries = collect(static_cast<std::size_t>(offset), query, [](const LogEntry&) { return true; });
  return slice;
}

std::uint64_t LogStore::lastSequence() const {
  std::scoped_lock lock(mutex_);
  return nextSequence_ - 1;
}

std::uint64_t LogStore::droppedCount() const {
  std::scoped_lock lock(mutex_);
  return dropped_;
}

std::size_t LogStore::size() const {
  std::scoped_lock lock(mutex_);
  return records_.size();
}

std::size_t LogStore::bytes() const {
  std::scoped_lock lock(mutex_);
  return bytes_;
}

void dispatchLine(Level level, const std::string& subsystem, const std::string& category, std::string message) {
  LogEntry entry;
  entry.time = runtime::Clock::current().wall();
  entry.level = level;
  entry.subsystem = subsystem;
  entry.category = category;
  normaliseMessage(message);
  entry.message = std::move(message);
  entry.pid = currentProcessId();
  entry.tid = currentThreadId();
  if (isStderrEnabled()) {
    const std::string line = stderrLine(entry);
    LogStore::shared().appendNormalised(std::move(entry));
    writeToStderr(line);
  } else {
    LogStore::shared().appendNormalised(std::move(entry));
  }
}

void recordExternal(std::string_view subsystem, std::string_view category, Level level, std::string_view message) {
  if (level == Level::debug && !detail::debugOn()) return;
  dispatchLine(level, std::string(subsystem), std::string(category), std::string(message));
}

} // namespace pd::platform::log
