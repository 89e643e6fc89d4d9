#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "relay/RelayDiskCache.hpp"
#include "relay/RelayDiskCacheFiles.hpp"
#include "relay/RelayDiskCacheState.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace pd::relay {

namespace fs = std::filesystem;
using diagnostics::Log;
namespace files = cachefiles;

std::mutex& exitPurgeLock() {
  static auto* lock = new std::mutex; // never destroyed: the exit path may still take it
  return *lock;
}

std::set<std::string>& exitPurgeDirectories() {
  static auto* directories = new std::set<std::string>;
  return *directories;
}

namespace {

std::vector<std::string> listNames(const fs::path& directory, std::error_code& error) {
  std::vector<std::string> names;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  return names;
}

} // namespace

void RelayDiskCache::State::evict(std::int64_t incoming, std::optional<std::int64_t> givenLimit) {
  retryPendingDeletions();
  const std::int64_t limit = givenLimit ? *givenLimit : config.limitProvider();
  if (saturatingAdd(totalBytes, incoming) <= limit) return;

  struct Candidate {
    Key key;
    std::int64_t bytes;
    runtime::Clock::MonotonicTime lastAccess;
  };
  std::vector<Candidate> candidates;
  for (const auto& [key, item] : items) {
    if (!opened.contains(key)) {
      // A read at hand counts as a use as well.
      const runtime::Clock::MonotonicTime read{runtime::Clock::MonotonicTime::duration(item.liveness->lastRead.load())};
      candidates.push_back({key, item.bytes, std::max(item.lastAccess, read)});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.lastAccess < b.lastAccess; });

  std::int64_t entries = 0;
  std::int64_t freed = 0;
  for (const auto& candidate : candidates) {
    if (saturatingAdd(totalBytes, incoming) <= limit) break;
    std::int64_t bytes = 0;
    if (const auto item = items.find(candidate.key); item != items.end()) {
      bytes = item->second.bytes;
      dropItem(item);
    }
    if (!config.directory) {
      totalBytes -= bytes;
    } else {
      discardFile(fileOf(candidate.key), bytes); // a failed deletion keeps the bytes charged as pending
    }
    entries += 1;
    freed = saturatingAdd(freed, candidate.bytes);
  }
  if (entries > 0) {
    emit([entries, freed, size = totalBytes, limit] {
      Log::localvideo().notice("relay_cache_evict entries=%ld freed_b=%lld size_b=%lld limit_b=%lld", entries, freed,
                               size, limit);
    });
  }
}

void RelayDiskCache::State::invalidate(const Key& key, std::string_view reason) {
  std::int64_t bytes = 0;
  if (const auto item = items.find(key); item != items.end()) {
    bytes = item->second.bytes;
    dropItem(item);
  }
  if (!config.directory) {
    totalBytes -= bytes;
  } else {
    discardFile(fileOf(key), bytes);
  }
  emit([reason = std::string(reason), videoID = key.videoID, itag = key.itag] {
    Log::localvideo().notice("relay_cache_invalidate reason=%{public}s video=%{public}s itag=%ld", reason, videoID,
                             itag);
  });
}

bool RelayDiskCache::State::deleteFile(const fs::path& file) {
  if (!config.directory || !files::isSafeDirectoryPath(*config.directory)) {
    failure("unsafe_path", ELOOP);
    return false;
  }
  if (files::removeFileSafely(file)) return true;
  failure("delete", files::currentErrnoOrEIO());
  return false;
}

void RelayDiskCache::State::discardFile(const fs::path& file, std::int64_t bytes) {
  if (deleteFile(file)) {
    totalBytes -= bytes;
  } else {
    auto& pending = pendingDeletion[file];
    pending = saturatingAdd(pending, bytes);
  }
}

void RelayDiskCache::State::recoverIfDirectoryMissing() {
  if (!config.directory) return;
  if (items.empty() && pendingDeletion.empty()) return;
  struct stat status {};
  if (::lstat(config.directory->c_str(), &status) == 0 || errno != ENOENT) return;
  std::vector<Key> keys;
  keys.reserve(items.size());
  for (const auto& entry : items) keys.push_back(entry.first);
  for (const auto& key : keys) verifyFile(key);
  retryPendingDeletions();
}

void RelayDiskCache::State::verifyFile(const Key& key) {
  const auto item = items.find(key);
  if (item == items.end() || !config.directory) return;
  const fs::path file = fileOf(key);
  bool gone = false;
  {
    const files::FileDescriptor parent = files::openDirectorySecurely(file.parent_path());
    if (!parent) {
      if (errno != ENOENT) return;
      gone = true;
    } else {
      struct stat status {};
      if (::fstatat(parent.get(), file.filename().c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return;
        gone = true;
      } else {
        std::int64_t need = 0;
        for (const std::int64_t index : item->second.present) {
          const std::int64_t start = index * kChunkSize;
          need = std::max(need, start + std::min(kChunkSize, item->second.length - start));
        }
        if (S_ISLNK(status.st_mode) || static_cast<std::int64_t>(status.st_size) < need) {
          invalidate(key, "short_file");
        }
        return;
      }
    }
  }
  if (gone) {
    totalBytes -= item->second.bytes;
    dropItem(item);
    emit([videoID = key.videoID, itag = key.itag] {
      Log::localvideo().notice("relay_cache_invalidate reason=file_missing video=%{public}s itag=%ld", videoID, itag);
    });
  }
}

void RelayDiskCache::State::retryPendingDeletions() {
  const auto snapshot = pendingDeletion;
  for (const auto& [file, bytes] : snapshot) {
    const bool reused = config.directory && std::any_of(items.begin(), items.end(),
                                                        [&](const auto& entry) { return fileOf(entry.first) == file; });
    if (reused) continue;
    if (deleteFile(file)) {
      pendingDeletion.erase(file);
      totalBytes -= bytes;
    }
  }
}

bool RelayDiskCache::State::prepareIfNeeded() {
  if (prepared) return true;
  if (!config.directory) return false;
  const fs::path& directory = *config.directory;
  if (!files::isSafeDirectoryPath(directory)) {
    failure("unsafe_path", ELOOP);
    return false;
  }
  {
    const std::scoped_lock lock(exitPurgeLock());
    if (exitPurgeDirectories().contains(files::directoryKey(directory))) return false;
  }
  std::error_code error;
  if (!files::makePrivateDirectory(directory, error)) {
    failure("prepare", error.value());
    return false;
  }
  const auto names = listNames(directory, error);
  if (error) {
    failure("prepare", error.value());
    return false;
  }
  prepared = true;

  std::int64_t removed = 0;
  std::int64_t freed = 0;
  for (const auto& name : names) {
    const fs::path entry = directory / name;
    struct stat status {};
    // A folder is no file of ours: it is left alone, never charged nor retried.
    if (::lstat(entry.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) continue;
    const std::int64_t size = files::allocatedSize(entry);
    bool deleted = false;
    if (!files::isSafeDirectoryPath(directory)) {
      failure("unsafe_path", ELOOP);
    } else if (files::removeFileSafely(entry)) {
      deleted = true;
    } else {
      failure("delete", files::currentErrnoOrEIO());
    }
    if (deleted) {
      removed += 1;
      freed = saturatingAdd(freed, size);
    } else {
      auto& pending = pendingDeletion[entry];
      pending = saturatingAdd(pending, size);
      totalBytes = saturatingAdd(totalBytes, size);
    }
  }
  Log::localvideo().notice("relay_cache_purge reason=launch files=%ld freed_b=%lld pending=%ld", removed, freed,
                           static_cast<std::int64_t>(pendingDeletion.size()));
  return true;
}

void RelayDiskCache::purgeAtExit(const std::optional<fs::path>& directory) {
  if (!directory) return;
  // The lock covers the file work only; its lines are written once it is released, in order.
  const fs::path target = files::directoryKey(*directory);
  std::vector<std::function<void()>> lines;
  {
    const std::scoped_lock lock(exitPurgeLock());
    exitPurgeDirectories().insert(target.string());
    struct stat status {};
    if (::lstat(target.c_str(), &status) != 0 && errno == ENOENT) return;
    if (!files::isSafeDirectoryPath(target)) {
      lines.emplace_back([] {
        Log::localvideo().error(
            "relay_cache_fail stage=unsafe_path err_domain=- err_code=0 error=symbolic_link occurrences=1");
      });
    } else {
      std::error_code error;
      const auto names = listNames(target, error);
      if (error) {
        lines.emplace_back([error] {
          const auto fields = diagnostics::LogErrorFields::fields(std::system_error(error), true);
          Log::localvideo().error(
              "relay_cache_fail stage=exit_purge err_domain=%{public}s err_code=%ld error=%s occurrences=1",
              fields.domain, fields.code, fields.detail);
        });
      } else {
        std::int64_t failures = 0;
        for (const auto& name : names) {
          const files::FileDescriptor parent = files::openDirectorySecurely(target);
          if (!parent) {
            if (errno != ENOENT) failures += 1;
            continue;
          }
          struct stat entry {};
          if (::fstatat(parent.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) failures += 1;
            continue;
          }
          if (!S_ISLNK(entry.st_mode) && !S_ISREG(entry.st_mode)) {
            failures += 1;
            continue;
          }
          if (::unlinkat(parent.get(), name.c_str(), 0) != 0 && errno != ENOENT) failures += 1;
        }
        if (::rmdir(target.c_str()) != 0 && errno != ENOENT) failures += 1;
        if (failures == 0) {
          lines.emplace_back([count = static_cast<std::int64_t>(names.size())] {
            Log::localvideo().notice("relay_cache_purge reason=exit files=%ld", count);
          });
        } else {
          lines.emplace_back([failures] {
            Log::localvideo().error(
                "relay_cache_fail stage=exit_purge err_domain=- err_code=0 error=remaining occurrences=%ld", failures);
          });
        }
      }
    }
  }
  for (auto& line : lines) line();
}

} // namespace pd::relay
