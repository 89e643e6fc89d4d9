#include "diagnostics/MetricKitObserver.hpp"

#include "diagnostics/FileAccess.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "diagnostics/LogRing.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/SerialQueue.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace pd::diagnostics {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxCollisions = 999;

std::int64_t truncatedMillis(std::chrono::nanoseconds duration) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// The folder is ours only as a real folder: through a link a store would write into, and a prune
// would delete from, whatever folder the link names.
bool isSymbolicLink(const fs::path& path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(path, ec));
}

} // namespace

struct MetricKitObserver::Impl {
  Impl(fs::path d, platform::metrics::MetricManager& m, std::size_t k) : directory(std::move(d)), manager(m), keep(k) {}

  // On the queue.
  void store(const std::string& kind, const std::string& json) {
    try {
      std::error_code ec;
      platform::paths::createPrivateDirectories(directory, ec);
      if (ec) throw PosixError(ec.value(), "create " + directory.string());
      if (isSymbolicLink(directory)) throw PosixError(ELOOP, "refusing symbolic link " + directory.string());
      // Two payloads stored in the same millisecond must not replace one another.
      const auto now = runtime::Clock::current().wall();
      fs::path file;
      for (int collision = 0;; ++collision) {
        if (collision > kMaxCollisions) throw PosixError(EEXIST, "no free payload name in " + directory.string());
        file = directory / fileName(kind, now, collision);
        std::error_code existsError;
        if (!fs::exists(fs::symlink_status(file, existsError))) break;
      }
      platform::paths::writeFileAtomically(file, json, 0600);
    } catch (...) {
      const auto fields = LogErrorFields::fields(std::current_exception(), true);
      Log::app().error("diagnostic_store_fail err_domain=%{public}s err_code=%ld error=%s", fields.domain, fields.code,
                       fields.detail);
      return;
    }
    prune();
  }

  // On the queue.
  void prune() {
    if (isSymbolicLink(directory)) return;
    std::vector<StoredFile> files;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
      files.push_back(StoredFile{it->path(), fileCreationTime(it->path())});
    }
    if (ec) return;
    // The file system dates files by the system's clock, not by the one tests may put in place.
    for (const fs::path& path : filesToPrune(std::move(files), std::chrono::system_clock::now(), keep)) {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  }

  const fs::path directory;
  platform::metrics::MetricManager& manager;
  const std::size_t keep;
  std::atomic<bool> subscribed{false};
  runtime::SerialQueue queue{"metrickit.store"};
};

MetricKitObserver& MetricKitObserver::shared() {
  // Never destroyed: the manager holds it for the life of the process.
  static MetricKitObserver* const observer =
      new MetricKitObserver(LogRing::shared().root() / "diagnostics", platform::metrics::MetricManager::shared());
  return *observer;
}

MetricKitObserver::MetricKitObserver(fs::path directory, platform::metrics::MetricManager& manager, std::size_t keep)
    : impl_(std::make_unique<Impl>(std::move(directory), manager, keep)) {}

MetricKitObserver::~MetricKitObserver() {
  if (impl_->subscribed.load()) impl_->manager.remove(*this);
  impl_->queue.shutdown();
}

void MetricKitObserver::subscribe() {
  if (impl_->subscribed.exchange(true)) return;
  impl_->manager.add(*this);
}

bool MetricKitObserver::isSubscribed() const noexcept { return impl_->subscribed.load(); }

void MetricKitObserver::didReceiveDiagnosticPayloads(
    const std::vector<platform::metrics::DiagnosticPayload>& payloads) {
  for (const auto& payload : payloads) {
    Log::app().notice("diagnostic_received crashes=%ld hangs=%ld", payload.crashDiagnostics.size(),
                      payload.hangDiagnostics.size());
    for (const auto& hang : payload.hangDiagnostics) {
      Log::app().notice("hang_diagnostic dur_ms=%ld", truncatedMillis(hang.duration));
    }
    storeDiagnostic("diagnostic", payload.jsonRepresentation());
  }
  // The lines just written should reach the ring soon.
  LogRing::shared().requestErrorFlush();
}

void MetricKitObserver::didReceiveMetricPayloads(const std::vector<platform::metrics::MetricPayload>& payloads) {
  for (const auto& payload : payloads) {
    Log::app().notice("metric_payload_received");
    storeDiagnostic("metrics", payload.jsonRepresentation());
  }
}

void MetricKitObserver::storeDiagnostic(std::string kind, std::string json) {
  impl_->queue.post([impl = impl_.get(), kind = std::move(kind), json = std::move(json)] { impl->store(kind, json); });
}

void MetricKitObserver::pruneDiagnostics() {
  impl_->queue.post([impl = impl_.get()] { impl->prune(); });
}

bool MetricKitObserver::waitUntilIdle(std::chrono::nanoseconds timeout) const {
  return impl_->queue.syncWithTimeout([] {}, timeout);
}

const fs::path& MetricKitObserver::directory() const noexcept { return impl_->directory; }

std::vector<fs::path> MetricKitObserver::filesToPrune(std::vector<StoredFile> files, runtime::Clock::WallTime now,
                                                      std::size_t keep) {
  // A file dated after now was stored before the clock was set back. Ranked newest, such files
  // would outlast every payload stored since, and each new one would go at its own prune.
  const auto rank = [now](const StoredFile& file) {
    return file.created && *file.created <= now ? *file.created : runtime::Clock::WallTime::min();
  };
  // Newest first; within one creation time the later name (the later store) is newer.
  std::sort(files.begin(), files.end(), [&rank](const StoredFile& a, const StoredFile& b) {
    const auto ra = rank(a), rb = rank(b);
    return ra != rb ? ra > rb : a.path.filename() > b.path.filename();
  });
  std::vector<fs::path> out;
  for (std::size_t i = keep; i < files.size(); ++i) out.push_back(std::move(files[i].path));
  return out;
}

std::string MetricKitObserver::fileName(std::string_view kind, runtime::Clock::WallTime time, int collision) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time - seconds).count();
  const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
  std::tm local{};
  if (::localtime_r(&whole, &local) == nullptr) local = std::tm{};
  char stamp[32];
  const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  char suffix[16] = "";
  if (collision > 0) std::snprintf(suffix, sizeof suffix, "_%03d", std::min(collision, kMaxCollisions));
  char tail[32];
  std::snprintf(tail, sizeof tail, "-%03d%s.json", static_cast<int>(millis), suffix);
  return std::string(kind) + "-" + std::string(stamp, length) + tail;
}

} // namespace pd::diagnostics
