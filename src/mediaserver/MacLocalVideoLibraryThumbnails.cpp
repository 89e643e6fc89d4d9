#include "mediaserver/MacLocalVideoLibrary.hpp"
#include "mediaserver/MacLocalVideoLibraryImpl.hpp"

#include "diagnostics/Log.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/media/MediaDuration.hpp"
#include "platform/media/ThumbnailMaker.hpp"
#include "platform/paths/Paths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace pd::mediaserver {
namespace {

constexpr std::int64_t kWritesPerPurge = 200;
constexpr std::size_t kThumbnailsKept = 2000;
constexpr std::chrono::seconds kThumbnailMaxAge(2'592'000);

} // namespace

bool touchThumbnail(const std::filesystem::path& file) {
  const std::array<timespec, 2> times{timespec{0, UTIME_OMIT}, timespec{0, UTIME_NOW}};
  return ::utimensat(AT_FDCWD, file.c_str(), times.data(), AT_SYMLINK_NOFOLLOW) == 0;
}

MacLocalVideoLibrary::Impl::Purged MacLocalVideoLibrary::Impl::purgeThumbnails(const std::filesystem::path& directory) {
  struct Item {
    std::string name;
    timespec modified;
  };
  std::vector<Item> items;
  {
    // The folder is ours only as a real folder: through a link the purge would delete the old
    // files of whatever folder the link names.
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      return {};
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(fd), ::closedir);
    if (!dir) {
      ::close(fd);
      return {};
    }
    errno = 0;
    while (const auto* entry = ::readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") {
        continue;
      }
      struct stat info {};
      // Unreadable dates count as the distant past.
      const bool dated = ::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0;
      items.push_back({std::string(name), dated ? info.st_mtim : timespec{INT64_MIN / 2, 0}});
    }
    if (errno != 0) {
      return {};
    }
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return a.modified.tv_sec != b.modified.tv_sec ? a.modified.tv_sec > b.modified.tv_sec
                                                  : a.modified.tv_nsec > b.modified.tv_nsec;
  });
  const auto cutoff = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() - kThumbnailMaxAge);
  std::int64_t removed = 0;
  for (std::size_t position = 0; position < items.size(); ++position) {
    if (position < kThumbnailsKept && items[position].modified.tv_sec >= cutoff) {
      continue;
    }
    std::error_code error;
    // remove_all takes a link itself away, never what it points to.
    if (std::filesystem::remove_all(directory / items[position].name, error) > 0 && !error) {
      ++removed;
    }
  }
  return {removed, static_cast<std::int64_t>(items.size()) - removed};
}

void MacLocalVideoLibrary::Impl::logPurge(const Purged& purged) {
  if (purged.removed > 0) {
    diagnostics::Log::source().notice("local_thumbnail_purge removed=%ld kept=%ld", purged.removed, purged.kept);
  }
}

std::optional<std::filesystem::path> MacLocalVideoLibrary::Impl::makeThumbnail(const Entry& entry) {
  if (thumbnailDirectory.empty()) {
    return std::nullopt;
  }
  beforeFileWork();
  auto file = thumbnailDirectory / (entry.id + ".jpg");
  struct stat info {};
  // Only a file of our own making is reused: the server opens the name it is given following
  // links, so a link left here would serve whatever it names. Anything else is written over.
  if (::lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    (void)touchThumbnail(file);
    return file;
  }
  const auto jpeg = platform::media::makeJPEGThumbnail(entry.url);
  if (!jpeg) {
    return std::nullopt;
  }
  try {
    platform::paths::writeFileAtomically(file, *jpeg, 0600);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  bool purge = false;
  {
    std::scoped_lock guard(lock);
    if (++thumbnailsMadeSincePurge >= kWritesPerPurge) {
      thumbnailsMadeSincePurge = 0;
      purge = true;
    }
  }
  if (purge) {
    Purged purged;
    {
      std::scoped_lock guard(thumbnailPurgeLock);
      purged = purgeThumbnails(thumbnailDirectory);
    }
    logPurge(purged);
  }
  return file;
}

runtime::Awaitable<std::optional<std::filesystem::path>> MacLocalVideoLibrary::thumbnail(Entry entry) {
  using Made = std::optional<std::filesystem::path>;
  auto self = shared_from_this();
  auto& impl = *impl_;
  // The id names the thumbnail's file: only the library's own form may reach a path.
  if (!isLocalID(entry.id)) {
    co_return std::nullopt;
  }
  SharedJobs<Made>::Work work = [self, &impl, entry](MarkStarted markStarted) -> runtime::Awaitable<Made> {
    auto make = [self, &impl, entry] { return impl.makeThumbnail(entry); };
    co_return co_await gatedRun(impl.jobs.thumbnailGates, LocalVideoHTTPServer::volumeKey(entry.url),
                                impl.jobs.thumbnailGlobal, markStarted, make);
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    Made made;
    try {
      made = co_await impl.jobs.thumbnails->value(entry.id, work);
    } catch (const std::exception&) {
      co_return std::nullopt;
    }
    if (!made) {
      co_return std::nullopt;
    }
    auto touch = [self, &impl, file = *made] {
      std::scoped_lock guard(impl.thumbnailPurgeLock);
      return touchThumbnail(file);
    };
    if (co_await inSeparateTask(JobPriority::utility, touch)) {
      co_return made;
    }
    // Gone from disk (a purge, or by hand) while remembered: make it again, once.
    co_await impl.jobs.thumbnails->forget(entry.id);
  }
  co_return std::nullopt;
}

runtime::Awaitable<std::vector<std::optional<std::filesystem::path>>>
MacLocalVideoLibrary::keptThumbnails(std::vector<Entry> entries) {
  using Files = std::vector<std::optional<std::filesystem::path>>;
  auto self = shared_from_this();
  auto& impl = *impl_;
  std::vector<std::string> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries) {
    // Only the library's own ids name files; an empty key is never kept.
    keys.push_back(isLocalID(entry.id) ? entry.id : std::string());
  }
  auto kept = co_await impl.jobs.thumbnails->keptValues(keys);
  Files files(kept.size());
  bool any = false;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (kept[i] && *kept[i]) {
      files[i] = std::move(**kept[i]);
      any = true;
    }
  }
  if (!any) {
    co_return files;
  }
  // One hand-off for all the touches, each under the purge's lock as a single touch is.
  auto touch = [self, &impl, files] {
    std::vector<char> touched(files.size(), 0);
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (files[i]) {
        std::scoped_lock guard(impl.thumbnailPurgeLock);
        touched[i] = touchThumbnail(*files[i]) ? 1 : 0;
      }
    }
    return touched;
  };
  const auto touched = co_await inSeparateTask(JobPriority::utility, touch);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i] && touched[i] == 0) {
      // Gone from disk while remembered: thumbnail() makes it again.
      co_await impl.jobs.thumbnails->forget(keys[i]);
      files[i].reset();
    }
  }
  co_return files;
}

runtime::Awaitable<std::optional<double>> MacLocalVideoLibrary::duration(Entry entry) {
  using Seconds = std::optional<double>;
  auto self = shared_from_this();
  auto& impl = *impl_;
  SharedJobs<Seconds>::Work work = [self, &impl, entry](MarkStarted markStarted) -> runtime::Awaitable<Seconds> {
    auto load = [self, &impl, entry] {
      impl.beforeFileWork();
      return platform::media::mediaDuration(entry.url);
    };
    co_return co_await gatedRun(impl.jobs.durationGates, LocalVideoHTTPServer::volumeKey(entry.url),
                                impl.jobs.durationGlobal, markStarted, load);
  };
  try {
    co_return co_await impl.jobs.durations->value(entry.id, work);
  } catch (const std::exception&) {
    co_return std::nullopt;
  }
}

} // namespace pd::mediaserver
