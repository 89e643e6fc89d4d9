#pragma once

// The library's state, shared by its source files only.

#include "mediaserver/ConcurrencyGate.hpp"
#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/SharedJobs.hpp"
#include "platform/text/Text.hpp"

#include <atomic>
#include <deque>
#include <map>

namespace pd::mediaserver {

// What one metadata read of a path (the link itself, never its target) gives.
struct FileFacts {
  bool regular = false;
  bool directory = false;
  std::int64_t size = 0;
  MacLocalVideoLibrary::Date modified = 0;
  MacLocalVideoLibrary::Date changed = 0;
  std::optional<MacLocalVideoLibrary::Date> created;
  std::uint64_t fileNumber = 0;

  static std::optional<FileFacts> at(int directory, const char* path);
};

// Set from the walk when reading the scanned folder itself fails.
class RootFailure {
public:
  void set() {
    std::scoped_lock guard(lock_);
    failed_ = true;
  }
  bool failed() const {
    std::scoped_lock guard(lock_);
    return failed_;
  }

private:
  mutable std::mutex lock_;
  bool failed_ = false;
};

struct KnownFile {
  std::string url;
  std::optional<std::int64_t> size;
  std::optional<MacLocalVideoLibrary::Date> modified;
  std::optional<MacLocalVideoLibrary::Date> created;
  std::optional<std::uint64_t> fileNumber;
};

// The global gates' limits, which also size the library's pools.
inline constexpr std::int64_t kScanGlobalLimit = 4;
inline constexpr std::int64_t kProbeGlobalLimit = 8;
inline constexpr std::int64_t kThumbnailGlobalLimit = 8;
inline constexpr std::int64_t kDurationGlobalLimit = 8;

struct MetadataJobs {
  explicit MetadataJobs(std::int64_t perKeyLimit);
  std::shared_ptr<SharedJobs<std::optional<std::filesystem::path>>> thumbnails;
  std::shared_ptr<SharedJobs<std::optional<double>>> durations;
  std::shared_ptr<FolderGates> thumbnailGates;
  std::shared_ptr<FolderGates> durationGates;
  std::shared_ptr<ConcurrencyGate> thumbnailGlobal;
  std::shared_ptr<ConcurrencyGate> durationGlobal;
};

struct MacLocalVideoLibrary::Impl {
  explicit Impl(Dependencies deps);

  Dependencies deps;
  std::mutex lock; // known, knownOrder, thumbnailsMadeSincePurge
  std::map<std::string, std::map<std::string, KnownFile>> known;
  std::deque<std::string> knownOrder;
  std::mutex thumbnailPurgeLock;
  std::int64_t thumbnailsMadeSincePurge = 0;
  std::filesystem::path thumbnailDirectory;
  MetadataJobs jobs{4};
  std::shared_ptr<SharedJobs<std::vector<Entry>>> scans;
  std::shared_ptr<SharedJobs<std::optional<Entry>>> probes;
  std::shared_ptr<FolderGates> probeGates = std::make_shared<FolderGates>(2);
  std::shared_ptr<FolderGates> scanGates = std::make_shared<FolderGates>(1);
  std::shared_ptr<ConcurrencyGate> scanGlobal = ConcurrencyGate::create(kScanGlobalLimit);
  std::shared_ptr<ConcurrencyGate> probeGlobal = ConcurrencyGate::create(kProbeGlobalLimit);
  std::shared_ptr<SharedJobs<bool>> checks;
  std::atomic<std::int64_t> scansRun{0};
  platform::text::FileNameOrder nameOrder;

  std::optional<std::filesystem::path> searchFolder() const;
  // Called on a library thread just before each piece of blocking file work.
  void beforeFileWork() const {
    if (deps.beforeFileWork) {
      deps.beforeFileWork();
    }
  }
  std::vector<Entry> scanFolder(const std::string& folderKey);
  void storeKnown(const std::string& folderKey, std::map<std::string, KnownFile> files);
  std::optional<KnownFile> knownFile(const std::string& folderKey, const std::string& id);

  std::optional<std::filesystem::path> makeThumbnail(const Entry& entry);
  // What a purge took away and left, for the line the caller writes once no lock is held.
  struct Purged {
    std::int64_t removed = 0;
    std::int64_t kept = 0;
  };
  Purged purgeThumbnails(const std::filesystem::path& directory);
  static void logPurge(const Purged& purged);
};

// Sets the modification time to now; false when that failed.
bool touchThumbnail(const std::filesystem::path& file);

} // namespace pd::mediaserver
