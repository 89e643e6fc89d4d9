#include "platform/metrics/CrashRecord.hpp"

#include "platform/paths/Paths.hpp"
#include "runtime/Error.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>

#ifndef PD_APP_VERSION
#define PD_APP_VERSION "unknown"
#endif

namespace pd::platform::metrics {

namespace {

constexpr std::array<int, 5> kFatalSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::string_view kHeader = "pdcrash 1";
constexpr std::string_view kFilePrefix = "crash-";
constexpr std::string_view kFileSuffix = ".rec";

// Everything the handler reads is prepared at installation, in plain static storage.
constexpr std::size_t kMaxPath = 4096;
// The folder and "crash-<pid>"; the handler adds ".rec", or "-<n>.rec" when that name is taken.
char recordBase[kMaxPath];
constexpr std::size_t kLongestNameEnd = 7; // "-9.rec" and the terminating zero
constexpr int kRecordNames = 10;
std::atomic<bool> installed{false};
std::atomic<bool> recordStarted{false};
std::uint64_t imageBase = 0;
struct sigaction previousActions[kFatalSignals.size()];

// A fixed buffer that writes itself out when full; only async-signal-safe calls.
class SignalSafeWriter {
public:
  explicit SignalSafeWriter(int fd) noexcept : fd_(fd) {}
  ~SignalSafeWriter() { flush(); }
  SignalSafeWriter(const SignalSafeWriter&) = delete;
  SignalSafeWriter& operator=(const SignalSafeWriter&) = delete;

  void text(std::string_view value) noexcept {
    for (const char c : value) {
      if (length_ == sizeof buffer_) flush();
      buffer_[length_++] = c;
    }
  }
  void decimal(std::uint64_t value) noexcept {
    char digits[24];
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n > 0) text(std::string_view(&digits[--n], 1));
  }
  void signedDecimal(std::int64_t value) noexcept {
    if (value < 0) {
      text("-");
      decimal(static_cast<std::uint64_t>(-(value + 1)) + 1); // no overflow at the minimum
    } else {
      decimal(static_cast<std::uint64_t>(value));
    }
  }
  void hex(std::uint64_t value) noexcept {
    static constexpr char kDigits[] = "0123456789abcdef";
    char digits[16];
    std::size_t n = 0;
    do {
      digits[n++] = kDigits[value & 0xF];
      value >>= 4;
    } while (value != 0);
    text("0x");
    while (n > 0) text(std::string_view(&digits[--n], 1));
  }
  void flush() noexcept {
    std::size_t done = 0;
    while (done < length_) {
      const ssize_t n = ::write(fd_, buffer_ + done, length_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    length_ = 0;
  }

private:
  int fd_;
  char buffer_[512];
  std::size_t length_ = 0;
};

// A file of our own, never one that exists: whatever is at a name (an earlier process's unread
// record that carries our pid, a pipe, a link) is left alone and the next name tried.
int openNewRecord() noexcept {
  char path[kMaxPath + kLongestNameEnd];
  std::size_t base = 0;
  while (recordBase[base] != '\0') {
    path[base] = recordBase[base];
    ++base;
  }
  for (int n = 0; n < kRecordNames; ++n) {
    std::size_t length = base;
    if (n > 0) {
      path[length++] = '-';
      path[length++] = static_cast<char>('0' + n);
    }
    for (const char c : {'.', 'r', 'e', 'c', '\0'}) path[length++] = c;
    // Never blocking: O_NONBLOCK as well, should a pipe ever be opened here.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void writeRecord(int signal, const siginfo_t* info) noexcept {
  const int fd = openNewRecord();
  if (fd < 0) return;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    ::close(fd);
    return;
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  {
    SignalSafeWriter out(fd);
    out.text(kHeader);
    out.text("\nversion=");
    out.text(PD_APP_VERSION);
    out.text("\nsignal=");
    out.signedDecimal(signal);
    out.text("\ncode=");
    out.signedDecimal(info != nullptr ? info->si_code : 0);
    out.text("\naddr=");
    out.hex(info != nullptr ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0);
    out.text("\npid=");
    out.signedDecimal(::getpid());
    out.text("\ntid=");
    out.signedDecimal(static_cast<std::int64_t>(::syscall(SYS_gettid)));
    out.text("\ntime_s=");
    out.signedDecimal(static_cast<std::int64_t>(now.tv_sec));
    out.text("\ntime_ns=");
    out.signedDecimal(static_cast<std::int64_t>(now.tv_nsec));
    out.text("\nbase=");
    out.hex(imageBase);
    out.text("\n");
    out.flush(); // what is known so far is on disk even if the walk below faults
    // backtrace() was called once at installation, so it does not load anything here.
    void* frames[kMaxCrashFrames];
    const int count = ::backtrace(frames, static_cast<int>(kMaxCrashFrames));
    for (int i = 0; i < count; ++i) {
      out.text("frame=");
      out.hex(reinterpret_cast<std::uintptr_t>(frames[i]));
      out.text("\n");
    }
    out.text("end\n");
  }
  ::close(fd);
}

std::size_t signalSlot(int signal) noexcept {
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    if (kFatalSignals[i] == signal) return i;
  }
  return kFatalSignals.size();
}

void onFatalSignal(int signal, siginfo_t* info, void* /*context*/) {
  const int savedErrno = errno;
  if (!recordStarted.exchange(true)) writeRecord(signal, info);
  // Hand the signal back to whoever had it before us (normally the default action). A fault
  // repeats itself when the faulting instruction runs again on return; a signal that was sent
  // (kill, raise, abort) has to be sent again.
  const std::size_t slot = signalSlot(signal);
  if (slot < kFatalSignals.size()) ::sigaction(signal, &previousActions[slot], nullptr);
  if (info == nullptr || info->si_code <= 0) {
    ::syscall(SYS_tgkill, ::getpid(), ::syscall(SYS_gettid), signal);
  }
  errno = savedErrno;
}

int findImageBase(dl_phdr_info* info, std::size_t, void* out) {
  *static_cast<std::uint64_t*>(out) = static_cast<std::uint64_t>(info->dlpi_addr);
  return 1; // the first entry is the executable itself
}

void installAlternateStack() {
  const long suggested = ::sysconf(_SC_SIGSTKSZ);
  const std::size_t size = std::max<std::size_t>(64 * 1024, suggested > 0 ? static_cast<std::size_t>(suggested) : 0);
  // Never freed: the handler may run at any moment until the process ends.
  static char* const stack = new char[size];
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = size;
  alternate.ss_flags = 0;
  ::sigaltstack(&alternate, nullptr);
}

template <typename T>
bool parseNumber(std::string_view text, T& out, int base = 10) {
  if (base == 16) {
    if (text.size() < 3 || text.substr(0, 2) != "0x") return false;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// "crash-<pid>.rec", or "crash-<pid>-<n>.rec" (n from 1 to 9) where the first name was taken.
bool isRecordName(std::string_view name, std::int32_t& pid) {
  if (name.size() <= kFilePrefix.size() + kFileSuffix.size() || !name.starts_with(kFilePrefix) ||
      !name.ends_with(kFileSuffix))
    return false;
  std::string_view digits = name.substr(kFilePrefix.size(), name.size() - kFilePrefix.size() - kFileSuffix.size());
  if (const std::size_t dash = digits.find('-'); dash != std::string_view::npos) {
    const std::string_view n = digits.substr(dash + 1);
    if (n.size() != 1 || n[0] < '1' || n[0] > '9') return false;
    digits = digits.substr(0, dash);
  }
  return parseNumber(digits, pid) && pid > 0;
}

// At most `limit` + 1 bytes, without following a link; none when it cannot be read.
std::optional<std::string> readBounded(const std::filesystem::path& file, std::size_t limit) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  std::string out;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    out.resize(limit + 1);
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    ::close(fd);
    return out;
  }
  ::close(fd);
  return std::nullopt;
}

} // namespace

void installCrashHandler(const std::filesystem::path& directory) {
  std::error_code ec;
  if (directory.has_parent_path()) paths::createPrivateDirectories(directory.parent_path(), ec);
  if (ec) throw PosixError(ec.value(), "create " + directory.parent_path().string());
  // Made and tightened through a descriptor that refuses a link: a mode set by path would land
  // on whatever a link at the folder's name points to.
  paths::ensurePrivateDirectory(directory);
  const std::string path = (directory / (std::string(kFilePrefix) + std::to_string(::getpid()))).string();
  if (path.size() >= kMaxPath) throw PosixError(ENAMETOOLONG, "crash record path");

  if (installed.load()) {
    // Moving the folder while a handler could run: the path is swapped byte by byte, so block
    // the signals meanwhile.
    sigset_t block, previous;
    sigemptyset(&block);
    for (const int signal : kFatalSignals) sigaddset(&block, signal);
    ::pthread_sigmask(SIG_BLOCK, &block, &previous);
    std::memcpy(recordBase, path.c_str(), path.size() + 1);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return;
  }
  std::memcpy(recordBase, path.c_str(), path.size() + 1);
  ::dl_iterate_phdr(&findImageBase, &imageBase);
  // The first backtrace() loads the unwinder, which allocates: do it now, not in the handler.
  void* warmUp[4];
  (void)::backtrace(warmUp, 4);
  installAlternateStack();

  struct sigaction action {};
  action.sa_sigaction = &onFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    ::sigaction(kFatalSignals[i], &action, &previousActions[i]);
  }
  installed.store(true);
}

bool isCrashHandlerInstalled() noexcept { return installed.load(); }

std::optional<CrashDiagnostic> parseCrashRecord(std::string_view text) {
  if (text.size() > kMaxCrashRecordBytes) return std::nullopt;
  const std::size_t headerEnd = text.find('\n');
  if (text.substr(0, headerEnd) != kHeader) return std::nullopt;
  if (headerEnd == std::string_view::npos) return std::nullopt;
  text.remove_prefix(headerEnd + 1);

  CrashDiagnostic crash;
  std::optional<int> signal;
  std::optional<std::int64_t> seconds;
  std::int64_t nanoseconds = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break; // a last line cut short by the handler's death
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line == "end") {
      crash.complete = true;
      break;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    bool ok = true;
    if (key == "signal") {
      int number = 0;
      ok = parseNumber(value, number) && number > 0 && number < 65;
      if (ok) signal = number;
    } else if (key == "code") {
      ok = parseNumber(value, crash.code);
    } else if (key == "addr") {
      ok = parseNumber(value, crash.faultAddress, 16);
    } else if (key == "pid") {
      ok = parseNumber(value, crash.pid) && crash.pid > 0;
    } else if (key == "tid") {
      ok = parseNumber(value, crash.tid);
    } else if (key == "time_s") {
      std::int64_t number = 0;
      // The clock counts nanoseconds in 64 bits, up to the year 2262.
      ok = parseNumber(value, number) && number >= 0 && number < 9'000'000'000;
      if (ok) seconds = number;
    } else if (key == "time_ns") {
      ok = parseNumber(value, nanoseconds) && nanoseconds >= 0 && nanoseconds < 1'000'000'000;
    } else if (key == "base") {
      ok = parseNumber(value, crash.imageBase, 16);
    } else if (key == "frame") {
      std::uint64_t frame = 0;
      ok = parseNumber(value, frame, 16);
      if (ok && crash.frames.size() < kMaxCrashFrames) crash.frames.push_back(frame);
    } else if (key == "version") {
      ok = value.size() <= 64 && std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
      if (ok) crash.appVersion = std::string(value);
    }
    // Other keys are left for later versions of the writer.
    if (!ok) return std::nullopt;
  }
  if (!signal || !seconds) return std::nullopt;
  crash.signal = *signal;
  crash.time = runtime::Clock::WallTime(std::chrono::duration_cast<runtime::Clock::WallTime::duration>(
      std::chrono::seconds(*seconds) + std::chrono::nanoseconds(nanoseconds)));
  return crash;
}

std::vector<CrashDiagnostic> collectCrashRecords(const std::filesystem::path& directory) {
  std::vector<CrashDiagnostic> out;
  std::error_code ec;
  std::vector<std::filesystem::path> records;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    std::int32_t pid = 0;
    if (!isRecordName(it->path().filename().string(), pid) || pid == ::getpid()) continue;
    records.push_back(it->path());
  }
  std::sort(records.begin(), records.end());
  for (const auto& file : records) {
    if (auto text = readBounded(file, kMaxCrashRecordBytes)) {
      if (auto crash = parseCrashRecord(*text)) out.push_back(std::move(*crash));
    }
    ::unlink(file.c_str());
  }
  return out;
}

} // namespace pd::platform::metrics
